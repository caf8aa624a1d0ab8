// What the editor shows and what a click, an edit or the gain slider does to
// the instrument, apart from any window system: the Win32 window (GUI) asks
// it for texts and highlights and hands it the user's actions, and another
// toolkit could do the same.
//
// The user-interface thread calls everything here except markForRefresh,
// which comes from whichever thread runs the instrument's program check.
#pragma once

#include "engine/Program.h"

#include <atomic>
#include <cstdint>

class PLINKA;

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
};

constexpr int32_t kGainSliderMax = 200;  // the slider shows 200 - gain: up is louder

class EditorModel {
public:
    explicit EditorModel(PLINKA& instrument) : instrument_(instrument) {}
    EditorModel(const EditorModel&) = delete;
    EditorModel& operator=(const EditorModel&) = delete;

    // ---- what the editor shows ----
    // The program of the edited MIDI channel.
    int32_t shownProgram() const;
    // Copies the shown program's five envelope texts.
    void shownTexts(char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const;
    // "MIDIch:%i" (1..16) and "Polyphony:%i", at most 31 characters.
    void midiChannelText(char (&text)[32]) const;
    void polyphonyText(char (&text)[32]) const;
    // The last compile message of an edit, or "OK".
    const char* statusText() const;
    int32_t sliderPosition() const;
    // Whether a button shows its highlighted state.
    bool isSelected(int control) const;
    // Whether an envelope of the shown program yielded no values: its label
    // is then marked.
    bool envelopeIsEmpty(int kind) const;

    // ---- what the user does ----
    // An edit field of kind's text changed: it is stored in the shown program
    // (at most 1023 characters) and the whole bank is compiled.
    void editEnvelope(int kind, const char* text);
    // A click on one of the buttons (other identifiers do nothing).
    void click(int control);
    // The slider reports its position, 0 (top) .. 200.
    void moveGainSlider(int32_t position);

    // ---- refresh hand-over to the window ----
    // Both flags: the displays and highlights, and the texts and slider.
    void markForRefresh();
    // Each answers whether its flag was set, and clears it.
    bool takeRefreshTexts() { return refreshTexts.exchange(false, std::memory_order_acq_rel); }
    bool takeRefreshStatus() { return refreshStatus.exchange(false, std::memory_order_acq_rel); }

    std::atomic<bool> refreshStatus{false};
    std::atomic<bool> refreshTexts{false};
    // Message of the last compile started from the editor; null when it
    // succeeded. Points at one of the compiler's constant messages.
    std::atomic<const char*> errorText{nullptr};

private:
    // A change of what notes play: new status and highlights, texts unchanged.
    void statusChanged();

    PLINKA& instrument_;
};
