// What the editor shows and what a click, an edit or the gain slider does to
// the instrument, apart from any window system: the Win32 window (GUI) asks
// it for texts and highlights and hands it the user's actions, and another
// toolkit could do the same.
//
// Everything here belongs to the user-interface thread. Program changes made
// elsewhere (a MIDI program change on the audio thread, a chunk load) reach it
// through the instrument's change count, which only the instrument writes.
#pragma once

#include "engine/Program.h"
#include "engine/WaveCompiler.h"

#include <cstdint>
#include <string>
#include <vector>

class Instrument;

// Child-window identifiers of the editor's controls.
enum EditorControl : int {
    kPulseButton = 1000,
    kTriangleButton = 1001,
    kNoiseButton = 1002,
    kMultiButton = 1003,
    kNtscButton = 1004,
    kPalButton = 1005,
    kGainSlider = 1006,
    kMidiChannelLabel = 1007,
    kMidiChannelUpButton = 1008,
    kMidiChannelDownButton = 1009,
    kPolyphonyLabel = 1010,
    kPolyphonyUpButton = 1011,
    kPolyphonyDownButton = 1012,
    kStatusLabel = 1013,
    kControllersButton = 1015,  // whether the keyboard's controllers are played
    kSampleButton = 1016,
    kVrc6PulseButton = 1017,
    kVrc6SawButton = 1018,
    kConsoleButton = 1019,  // the console mode, stepped on at each click
    kS5bButton = 1020,
    kMmc5PulseButton = 1021,
    kFdsButton = 1022,
    kN163Button = 1023,
    kPreviousWaveButton = 1024,  // an N163 program's previous wave in the wave area
    kNextWaveButton = 1025,
    kN163ChannelsButton = 1026,  // the console's 163 channel count, stepped on at each click
    kWaveLabel = 1027,           // "Wave 1/3": which wave the area shows
    kVrc7Button = 1028,
    kMonoButton = 1029,  // the shown program's MonoMode, stepped on at each click
    kMpeButton = 1030,   // the bank's MpeMode, stepped on at each click
};

// The edit fields: the five envelope rows in EnvelopeKind order, then the
// playing column's glide and tempo steps. The windows number their fields so.
enum EditorField : int {
    kGlideField = kEnvelopeKindCount,
    kTempoStepsField,
    kEditorFieldCount,
};
inline constexpr int kPlayingFieldCount = int{kEditorFieldCount} - int{kEnvelopeKindCount};

// The button of each channel type, in ChannelType order; its text is the
// channel table's label. The ids are the windows' own and never change.
inline constexpr int kChannelTypeButton[kChannelTypeCount] = {
    kPulseButton,   kTriangleButton, kNoiseButton, kSampleButton, kVrc6PulseButton,
    kVrc6SawButton, kS5bButton,      kMmc5PulseButton, kFdsButton, kN163Button, kVrc7Button};
static_assert(
    [] {
        for (const int id : kChannelTypeButton)
            if (id == 0)
                return false;
        return true;
    }(),
    "a channel type without a button");

constexpr int32_t kGainSliderMax = 200;  // the slider shows 200 - gain: up is louder

class EditorModel {
public:
    // Told, on the user-interface thread, when the instrument's programs
    // changed: the plug-in format's adapter tells its host.
    using ProgramChangeNotice = void (*)(void* context);

    explicit EditorModel(Instrument& instrument, ProgramChangeNotice notice = nullptr, void* context = nullptr);
    EditorModel(const EditorModel&) = delete;
    EditorModel& operator=(const EditorModel&) = delete;

    // ---- what the editor shows ----
    // The program whose texts the window shows: the edited channel's program
    // as it was at the last refresh of the texts. Edits go to this program,
    // so a program change that the window has not shown yet can never make a
    // keystroke store one program's texts in another.
    int32_t shownProgram() const { return shownProgram_; }
    // Copies the texts of the shown program's five rows: its envelope texts,
    // but for a Sample program its key map in the Duty row (the channel has
    // no duty), for an FDS or N163 program its wave text.
    void shownTexts(char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const;
    // The texts of every field: the five rows', then the glide in
    // milliseconds ("0": none) and the tempo steps ("off", or the count), as
    // the text bank writes them and the fields read them back.
    void shownFieldTexts(char (&texts)[kEditorFieldCount][kEnvelopeTextSize]) const;
    // The label of a field: "Volume:" ... "Duty:", or "Keys:" for a Sample
    // program's Duty row, "Wave:" for an FDS or N163 program's; "Glide ms:"
    // and "Tempo steps:" for the playing column's.
    const char* rowLabel(int field) const;
    // "MIDIch:%i" (1..16) and "Polyphony:%i", at most 31 characters.
    void midiChannelText(char (&text)[32]) const;
    void polyphonyText(char (&text)[32]) const;
    // What the last drop of files did, or that a note's N163 wave found no
    // room in the console's 163, until the next edit changes a text;
    // otherwise the last compile message of an edit, or "OK".
    const char* statusText() const;
    int32_t sliderPosition() const;
    // Whether a button shows its highlighted state.
    bool isSelected(int control) const;
    // What a button says: the layout's text, but the console button names
    // the mode ("Console: Off" ... "Console: Unfiltered") and the N163
    // channel button the count ("N163 channels: 8").
    const char* buttonText(int control) const;
    // Whether a button does anything now: "<" and ">" only where the shown
    // program has a wave (or, a VRC7 program, a patch) before or after the
    // one shown.
    bool isEnabled(int control) const;
    // Whether an envelope of the shown program yielded no values (a Sample
    // program's key map: sounds no key): its label is then marked.
    bool envelopeIsEmpty(int kind) const;

    // The wave the area shows, as the shown program plays it: a blank text,
    // or one in error, plays the sine.
    struct ShownWave {
        WaveProgram program;
        int32_t index = 0;  // the wave shown of the program's waves
        int32_t top = 0;    // the chip's highest step: 63 (FDS) or 15 (N163)
        const uint8_t* steps() const { return program.wave(index); }
    };
    // False, leaving `wave` as it was, when the shown program plays no wave.
    bool shownWave(ShownWave& wave) const;
    // "Wave 2/3", a VRC7 program's "Patch 3: Electric piano" or "Custom
    // patch", or empty when the shown program has neither.
    void waveLabelText(char (&text)[32]) const;
    // Whether a press on the wave area is being dragged.
    bool isDrawingWave() const { return drawing_.active; }

    // ---- what the user does ----
    // Each edit that changes what the song saves tells the instrument's edit
    // listener once; one that changes nothing of it (a text set to what it
    // was, a click on the type already chosen, the polyphony) does not.
    //
    // An edit field of kind's text changed: it is stored in the shown program
    // (at most 1023 characters) and the whole bank is compiled; a Sample
    // program's Duty row stores its key map, which is compiled against the
    // bank's samples. The status line shows the compiler's message.
    void editEnvelope(int kind, const char* text);
    // Any field's text changed: a row's goes to editEnvelope; the glide's
    // and the tempo steps' are read as the text bank reads them (a number,
    // or "off" for tempo steps) and stored in the shown program. A text that
    // is no number, or one out of range, stores nothing: the status line
    // says what the field takes until the field is set right (or the window
    // shows the stored value again).
    void editField(int field, const char* text);
    // A click on one of the buttons (other identifiers do nothing).
    void click(int control);
    // The slider reports its position, 0 (top) .. 200. The first move begins
    // the slider's gesture, which lasts until releaseGainSlider: a drag, or
    // a key held down, is one gesture for a host recording automation.
    void moveGainSlider(int32_t position);
    // The user let go of the slider: its gesture ends.
    void releaseGainSlider();
    // The mouse pressed on the wave area, moved with the button held, and
    // let go (window coordinates, as the layout's). Each step the pointer
    // crosses takes the value under it, the steps between two reports
    // filled in on the straight line between them; the shown program's wave
    // text becomes the drawn wave (its modulator kept), and the listener
    // hears of the gesture once, at its first change. A press outside the
    // area, on a program without a wave, or on a text in error (which would
    // be lost) draws nothing; the last says why in the status line.
    void pressWave(int x, int y);
    void dragWave(int x, int y);
    void releaseWave();
    // Files (UTF-8 paths) dropped on the window: the samples (.dmc) among them
    // go into the bank and onto the shown Sample program's free keys, the
    // tracker instruments into the shown program and the ones after it, and
    // the status line says what happened. Reads the files: the user-interface
    // thread only.
    void dropFiles(const std::vector<std::string>& paths);

    // Runs the instrument's program check and gives notice of a change; the
    // window then shows it at its next refresh.
    void checkProgramChange();

    // ---- refresh hand-over to the window ----
    // Both refreshes, and the edited channel's program shown anew: the window
    // has just opened.
    void markForRefresh();
    // Each answers whether its refresh is due, and clears it: the texts and
    // slider, or the displays, highlights and status. A program change the
    // instrument has counted since the last call makes both due.
    bool takeRefreshTexts();
    bool takeRefreshStatus();

private:
    // Takes in the program changes the instrument counted since the last look.
    void noticeProgramChanges();
    // A change of what notes play: new status and highlights, texts unchanged.
    void statusChanged() { refreshStatus_ = true; }
    // A controller's MPE configuration message switches the zone on the audio
    // thread: the button shows it at the next look.
    void noticeMpe();
    // What the shown program's Duty row holds.
    enum class DutyRow { Duty, KeyMap, Wave };
    DutyRow dutyRow() const;
    bool showsKeyMap() const { return dutyRow() == DutyRow::KeyMap; }
    bool showsWave() const { return dutyRow() == DutyRow::Wave; }
    // The rows' texts into the first five of texts.
    void rowTexts(char (*texts)[kEnvelopeTextSize]) const;
    void editPlaying(int field, const char* text);
    // Whether the status shows a playing field's refusal (of that field, or
    // of either for -1), which goes once the field holds a value again.
    bool showsPlayingError(int field = -1) const;
    // Sets the drawing's steps from the last point to (step, value), and
    // stores the wave's text when a step changed.
    void drawWaveTo(int32_t step, int32_t value);
    // Compiles the shown VRC7 program's text into patch: the error, or null.
    const char* shownPatch(WaveProgram& patch) const;
    // "<" or ">" on a VRC7 program: the patch before or after the shown one
    // (1 to 15, then custom), its custom bytes kept.
    void stepPatch(int32_t step);
    // Takes in the N163 wave misses the engine counted since the last look.
    void noticeN163Misses();

    Instrument& instrument_;
    ProgramChangeNotice notice_;
    void* context_;
    // Everything below belongs to the user-interface thread alone.
    uint32_t seenProgramChanges_ = 0;
    int32_t shownProgram_ = 0;
    bool refreshTexts_ = false;
    bool refreshStatus_ = false;
    // Message of the last compile started from the editor; null when it
    // succeeded. Points at one of the compiler's constant messages.
    const char* errorText_ = nullptr;
    // The message a playing field's refusal took the place of, shown again
    // when the fields are set right: the bank's error is still there.
    const char* errorBeforeRefusal_ = nullptr;
    bool refused_[kPlayingFieldCount] = {};  // which playing fields hold a text refused
    std::string dropText_;     // what the last drop did; empty once a text was edited
    int32_t gainAtGrab_ = -1;  // the gain when the slider's gesture began; -1: none under way
    int32_t waveIndex_ = 0;    // the N163 wave shown, clamped to the program's when read
    uint32_t seenN163Misses_ = 0;
    int32_t seenMpe_ = -1;  // the bank's MPE zone the buttons were last shown with
    char missText_[128] = {};  // the last N163 wave that found no room; empty once a text was edited
    // The wave being drawn: the program's wave at the press with the drawn
    // steps, and where the pointer last was.
    struct Drawing {
        bool active = false;
        bool edited = false;  // the listener has heard of this gesture
        int32_t channelType = 0;
        WaveProgram wave;
        int32_t index = 0;
        int32_t top = 0;
        int32_t lastStep = 0;
        int32_t lastValue = 0;
    } drawing_;
};
