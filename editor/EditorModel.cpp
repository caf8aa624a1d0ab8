#include "EditorModel.h"

#include "EditorLayout.h"
#include "FtiDrop.h"
#include "SampleDrop.h"
#include "chip/vrc7/Vrc7_Tables.h"
#include "instrument/Instrument.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

// Short enough to need no memory of its own in a string.
constexpr const char* kDropNoMemoryText = "Out of memory";
// A drawn wave whose numbers would not fit the program's text is not stored.
constexpr const char* kWaveTooLongText =
    "Error: The drawn wave's numbers would not fit the 1023 characters of the text";
// An FDS or N163 program's Duty row holds its wave text.
constexpr const char* kWaveLabelText = "Wave:";
constexpr const char* kPatchLabelText = "Patch:";  // a VRC7 program's Duty row holds its patch

// The highest step value of a channel type's waves.
int32_t waveTop(int32_t channelType)
{
    return channelType == Fds ? kFdsWaveTop : kN163SampleTop;
}

// The VRC7's patches as "<" and ">" step through them: 1 to 15, then custom.
constexpr int32_t kCustomPatchPlace = kVrc7MaxPatch + 1;
int32_t patchPlace(int32_t patch)
{
    return patch == 0 ? kCustomPatchPlace : patch;
}

// A playing field's text as the text bank reads it: a number of decimal
// digits, spaces around it allowed, or for tempo steps "off" (any case),
// which is 0. Empty when it is neither; a number too long to matter reads
// as one past any range.
std::optional<int32_t> playingNumber(const char* text, bool offIsZero)
{
    std::string_view number = text ? text : "";
    while (!number.empty() && number.front() == ' ')
        number.remove_prefix(1);
    while (!number.empty() && number.back() == ' ')
        number.remove_suffix(1);
    if (number.empty())
        return std::nullopt;
    if (offIsZero && number.size() == 3 && std::tolower(static_cast<unsigned char>(number[0])) == 'o' &&
        std::tolower(static_cast<unsigned char>(number[1])) == 'f' &&
        std::tolower(static_cast<unsigned char>(number[2])) == 'f')
        return 0;
    int32_t value = 0;
    for (const char c : number) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = std::min(value * 10 + (c - '0'), kMaxGlideMs + kMaxTempoSteps + 1);
    }
    return value;
}

int32_t channelTypeOfButton(int control)
{
    for (int32_t type = 0; type < kChannelTypeCount; ++type)
        if (kChannelTypeButton[type] == control)
            return type;
    return -1;
}

}  // namespace

EditorModel::EditorModel(Instrument& instrument, ProgramChangeNotice notice, void* context)
    : instrument_(instrument), notice_(notice), context_(context)
{
    // Misses of notes played before the editor was made are old news.
    seenN163Misses_ = instrument_.engine.n163WaveMisses();
    markForRefresh();
}

void EditorModel::checkProgramChange()
{
    if (instrument_.checkProgramChange() && notice_)
        notice_(context_);
}

EditorModel::DutyRow EditorModel::dutyRow() const
{
    const int32_t type = instrument_.channelType(shownProgram_);
    if (type == Sample)
        return DutyRow::KeyMap;
    return hasChipText(type) ? DutyRow::Wave : DutyRow::Duty;
}

void EditorModel::shownTexts(char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const
{
    rowTexts(texts);
}

void EditorModel::shownFieldTexts(char (&texts)[kEditorFieldCount][kEnvelopeTextSize]) const
{
    rowTexts(texts);
    const Instrument::Playing playing = instrument_.playing(shownProgram_);
    std::snprintf(texts[kGlideField], sizeof texts[kGlideField], "%i", static_cast<int>(playing.glide));
    if (playing.tempoSteps == 0)
        std::snprintf(texts[kTempoStepsField], sizeof texts[kTempoStepsField], "off");
    else
        std::snprintf(texts[kTempoStepsField], sizeof texts[kTempoStepsField], "%i",
                      static_cast<int>(playing.tempoSteps));
}

void EditorModel::rowTexts(char (*texts)[kEnvelopeTextSize]) const
{
    char envelopes[kEnvelopeKindCount][kEnvelopeTextSize];
    instrument_.envelopeTexts(shownProgram_, envelopes);
    std::memcpy(texts, envelopes, sizeof envelopes);
    switch (dutyRow()) {
    case DutyRow::Duty:
        break;
    case DutyRow::KeyMap:
        instrument_.keyMapText(shownProgram_, texts[Duty]);
        break;
    case DutyRow::Wave:
        instrument_.waveText(shownProgram_, texts[Duty]);
        break;
    }
}

const char* EditorModel::rowLabel(int kind) const
{
    if (kind >= kEnvelopeKindCount && kind < kEditorFieldCount)
        return kPlayingLabelText[kind - kEnvelopeKindCount];
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return "";
    if (kind != Duty)
        return kEnvelopeLabelText[kind];
    switch (dutyRow()) {
    case DutyRow::Duty:
        break;
    case DutyRow::KeyMap:
        return kKeyMapLabelText;
    case DutyRow::Wave:
        return instrument_.channelType(shownProgram_) == Vrc7 ? kPatchLabelText : kWaveLabelText;
    }
    return kEnvelopeLabelText[kind];
}

void EditorModel::midiChannelText(char (&text)[32]) const
{
    std::snprintf(text, sizeof text, "MIDIch:%i", instrument_.editedChannel() + 1);
}

void EditorModel::polyphonyText(char (&text)[32]) const
{
    std::snprintf(text, sizeof text, "Polyphony:%i", instrument_.polyphony());
}

const char* EditorModel::statusText() const
{
    if (!dropText_.empty())
        return dropText_.c_str();
    if (missText_[0] != '\0')
        return missText_;
    return errorText_ ? errorText_ : "OK";
}

int32_t EditorModel::sliderPosition() const
{
    // A loaded chunk may hold any gain; the slider shows what it can.
    return kGainSliderMax - std::clamp(instrument_.gain(), 0, kGainSliderMax);
}

bool EditorModel::isSelected(int control) const
{
    switch (control) {
    case kNtscButton:
        return instrument_.ntsc() == 1;
    case kPalButton:
        return instrument_.ntsc() == 0;
    case kMultiButton:
        return instrument_.isMulti(shownProgram_);
    case kControllersButton:
        return instrument_.midiControllers();
    case kConsoleButton:
        return instrument_.console() != ConsoleOff;
    case kMonoButton:
        return instrument_.playing(shownProgram_).mono != MonoOff;
    case kMpeButton:
        return instrument_.mpe() != MpeOff;
    default: {
        // A channel type's button, or a "+" or "-", which never is.
        const int32_t type = channelTypeOfButton(control);
        return type >= 0 && type == instrument_.channelType(shownProgram_);
    }
    }
}

const char* EditorModel::buttonText(int control) const
{
    if (control == kConsoleButton) {
        static constexpr const char* kConsoleText[kConsoleModeCount] = {"Console: Off", "Console: NES",
                                                                        "Console: Famicom", "Console: Unfiltered"};
        return kConsoleText[std::clamp(instrument_.console(), int32_t{0}, kConsoleModeCount - 1)];
    }
    if (control == kN163ChannelsButton) {
        static constexpr const char* kChannelsText[kMaxN163Channels] = {
            "N163 channels: 1", "N163 channels: 2", "N163 channels: 3", "N163 channels: 4",
            "N163 channels: 5", "N163 channels: 6", "N163 channels: 7", "N163 channels: 8"};
        return kChannelsText[std::clamp(instrument_.n163Channels(), int32_t{1}, kMaxN163Channels) - 1];
    }
    if (control == kMonoButton) {
        static constexpr const char* kMonoText[kMonoModeCount] = {"Mono: Off", "Mono: On", "Mono: Legato"};
        return kMonoText[std::clamp(instrument_.playing(shownProgram_).mono, int32_t{0}, kMonoModeCount - 1)];
    }
    if (control == kMpeButton) {
        static constexpr const char* kMpeText[kMpeModeCount] = {"MPE: Off", "MPE: On", "MPE: Upper"};
        return kMpeText[std::clamp(instrument_.mpe(), int32_t{0}, kMpeModeCount - 1)];
    }
    for (const EditorButton& button : kEditorButtons)
        if (button.id == control)
            return button.text;
    return "";
}

bool EditorModel::isEnabled(int control) const
{
    if (control != kPreviousWaveButton && control != kNextWaveButton)
        return true;
    if (instrument_.channelType(shownProgram_) == Vrc7) {
        WaveProgram patch;
        if (shownPatch(patch))
            return false;
        const int32_t place = patchPlace(patch.patch);
        return control == kPreviousWaveButton ? place > 1 : place < kCustomPatchPlace;
    }
    ShownWave wave;
    if (!shownWave(wave))
        return false;
    return control == kPreviousWaveButton ? wave.index > 0 : wave.index + 1 < wave.program.count;
}

bool EditorModel::envelopeIsEmpty(int kind) const
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return false;  // a playing field, never marked
    if (kind != Duty)
        return instrument_.envelopeIsEmpty(shownProgram_, kind);
    switch (dutyRow()) {
    case DutyRow::Duty:
        break;
    case DutyRow::KeyMap:
        return instrument_.keyMapEntryCount(shownProgram_) == 0;
    case DutyRow::Wave: {
        // A blank text plays the sine; one in error plays it instead of the wave.
        char text[kEnvelopeTextSize];
        instrument_.waveText(shownProgram_, text);
        WaveProgram wave;
        return compileWave(text, instrument_.channelType(shownProgram_), wave) != nullptr;
    }
    }
    return instrument_.envelopeIsEmpty(shownProgram_, kind);
}

bool EditorModel::shownWave(ShownWave& wave) const
{
    const int32_t type = instrument_.channelType(shownProgram_);
    if (!playsWave(type))
        return false;
    char text[kEnvelopeTextSize];
    instrument_.waveText(shownProgram_, text);
    compileWave(text, type, wave.program);
    wave.index = std::clamp(waveIndex_, int32_t{0}, wave.program.count - 1);
    wave.top = waveTop(type);
    return true;
}

const char* EditorModel::shownPatch(WaveProgram& patch) const
{
    char text[kEnvelopeTextSize];
    instrument_.waveText(shownProgram_, text);
    return compileWave(text, Vrc7, patch);
}

void EditorModel::waveLabelText(char (&text)[32]) const
{
    ShownWave wave;
    WaveProgram patch;
    if (instrument_.channelType(shownProgram_) == Vrc7) {
        // A text in error names no patch: the status line says what is wrong.
        if (shownPatch(patch))
            std::snprintf(text, sizeof text, "Patch: ?");
        else if (patch.patch == 0)
            std::snprintf(text, sizeof text, "Custom patch");
        else
            std::snprintf(text, sizeof text, "Patch %i: %s", static_cast<int>(patch.patch),
                          kVrc7PatchNames[patch.patch]);
    } else if (shownWave(wave))
        std::snprintf(text, sizeof text, "Wave %i/%i", wave.index + 1, wave.program.count);
    else
        text[0] = '\0';
}

void EditorModel::editEnvelope(int kind, const char* text)
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return;
    // The Win32 window reports its own filling of the fields as edits: those
    // leave the text as it was, and the drop's message stays.
    char texts[kEnvelopeKindCount][kEnvelopeTextSize];
    shownTexts(texts);
    const bool changed = std::strncmp(texts[kind], text ? text : "", kEnvelopeTextSize - 1) != 0;
    if (changed) {
        dropText_.clear();
        missText_[0] = '\0';
    }
    if (kind == Duty && showsKeyMap())
        errorText_ = instrument_.setKeyMapText(shownProgram_, text);
    else if (kind == Duty && showsWave())
        errorText_ = instrument_.setWaveText(shownProgram_, text);
    else
        errorText_ = instrument_.setEnvelopeText(shownProgram_, kind, text);
    statusChanged();
    if (changed)
        instrument_.noteStateEdited();
}

void EditorModel::editField(int field, const char* text)
{
    if (field == kGlideField || field == kTempoStepsField)
        editPlaying(field, text);
    else
        editEnvelope(field, text);
}

bool EditorModel::showsPlayingError(int field) const
{
    return (field != kTempoStepsField && errorText_ == kErrorGlide) ||
           (field != kGlideField && errorText_ == kErrorTempoSteps);
}

void EditorModel::editPlaying(int field, const char* text)
{
    // As for the rows: the Win32 window's own filling of a field leaves the
    // drop's message, and a value set to what it was tells no listener.
    char texts[kEditorFieldCount][kEnvelopeTextSize];
    shownFieldTexts(texts);
    if (std::strncmp(texts[field], text ? text : "", kEnvelopeTextSize - 1) != 0) {
        dropText_.clear();
        missText_[0] = '\0';
    }
    const Instrument::Playing before = instrument_.playing(shownProgram_);
    Instrument::Playing playing = before;
    const bool glide = field == kGlideField;
    const char* error = glide ? kErrorGlide : kErrorTempoSteps;
    if (const std::optional<int32_t> value = playingNumber(text, !glide)) {
        (glide ? playing.glide : playing.tempoSteps) = *value;
        error = instrument_.setPlaying(shownProgram_, playing);
    }
    refused_[field - kEnvelopeKindCount] = error != nullptr;
    if (error) {
        if (!showsPlayingError())
            errorBeforeRefusal_ = errorText_;
        errorText_ = error;
    } else if (showsPlayingError(field)) {
        // The other field may still hold a text refused.
        const int other = glide ? kTempoStepsField : kGlideField;
        const bool otherRefused = refused_[other - kEnvelopeKindCount];
        errorText_ = otherRefused ? (glide ? kErrorTempoSteps : kErrorGlide) : errorBeforeRefusal_;
    }
    statusChanged();
    if (!error && playing != before)
        instrument_.noteStateEdited();
}

void EditorModel::click(int control)
{
    if (const int32_t type = channelTypeOfButton(control); type >= 0) {
        const bool edited = instrument_.channelType(shownProgram_) != type;
        const DutyRow rowBefore = dutyRow();
        instrument_.setChannelType(shownProgram_, type);
        statusChanged();
        // The Duty row swaps between the duty envelope, the key map and the wave.
        if (dutyRow() != rowBefore)
            refreshTexts_ = true;
        if (edited)
            instrument_.noteStateEdited();
        return;
    }
    bool edited = true;
    switch (control) {
    case kMultiButton:
        instrument_.toggleMulti(shownProgram_);
        break;
    case kNtscButton:
    case kPalButton:
        // Always a new set-up, even when the standard stays; a host that
        // records automation hears of it.
        edited = instrument_.ntsc() != (control == kNtscButton ? 1 : 0);
        instrument_.setNtsc(control == kNtscButton);
        instrument_.editParameter(kParamClock, control == kNtscButton ? 1.0 : 0.0);
        break;
    case kControllersButton:
        instrument_.setMidiControllers(!instrument_.midiControllers());
        break;
    case kConsoleButton:
        instrument_.setConsole((instrument_.console() + 1) % kConsoleModeCount);
        break;
    case kMpeButton:
        instrument_.setMpe((std::clamp(instrument_.mpe(), int32_t{0}, kMpeModeCount - 1) + 1) % kMpeModeCount);
        break;
    case kN163ChannelsButton:
        // 8, 1, 2, ... 7, 8: a click past the most starts again from one.
        instrument_.setN163Channels(instrument_.n163Channels() % kMaxN163Channels + 1);
        break;
    case kMonoButton: {
        Instrument::Playing playing = instrument_.playing(shownProgram_);
        playing.mono = (std::clamp(playing.mono, int32_t{0}, kMonoModeCount - 1) + 1) % kMonoModeCount;
        if (const char* error = instrument_.setPlaying(shownProgram_, playing)) {
            errorText_ = error;  // the instrument refused the program's values: nothing stored
            statusChanged();
            return;
        }
        break;
    }
    case kPreviousWaveButton:
    case kNextWaveButton: {
        if (instrument_.channelType(shownProgram_) == Vrc7) {
            stepPatch(control == kNextWaveButton ? 1 : -1);
            return;
        }
        // Which wave is shown is the editor's, not the song's.
        ShownWave wave;
        if (!shownWave(wave))
            return;
        const int32_t step = control == kNextWaveButton ? 1 : -1;
        waveIndex_ = std::clamp(wave.index + step, int32_t{0}, wave.program.count - 1);
        statusChanged();
        return;
    }
    case kMidiChannelUpButton:
    case kMidiChannelDownButton: {
        // The shown program changes with the channel: the host is told now,
        // and the window shows it at its next refresh, as any program change.
        const int32_t step = control == kMidiChannelUpButton ? 1 : kMidiChannelCount - 1;
        instrument_.setEditedChannel((instrument_.editedChannel() + step) % kMidiChannelCount);
        checkProgramChange();
        return;
    }
    case kPolyphonyUpButton:
    case kPolyphonyDownButton: {
        // Automated, but not saved with the song.
        const int32_t step = control == kPolyphonyUpButton ? 1 : kMaxPolyphony - 1;
        instrument_.editParameter(kParamPolyphony, (instrument_.polyphony() - 1 + step) % kMaxPolyphony + 1);
        edited = false;
        break;
    }
    default:
        return;  // the slider, the displays and anything else
    }
    statusChanged();
    if (edited)
        instrument_.noteStateEdited();
}

void EditorModel::moveGainSlider(int32_t position)
{
    if (gainAtGrab_ < 0) {
        gainAtGrab_ = instrument_.gain();
        instrument_.beginParameterEdit(kParamGain);
    }
    instrument_.editParameter(kParamGain, kGainSliderMax - std::clamp(position, 0, kGainSliderMax));
}

void EditorModel::releaseGainSlider()
{
    if (gainAtGrab_ < 0)
        return;
    instrument_.endParameterEdit(kParamGain);
    // The whole drag is one edit of the saved gain, if it moved it at all.
    if (std::exchange(gainAtGrab_, -1) != instrument_.gain())
        instrument_.noteStateEdited();
}

void EditorModel::pressWave(int x, int y)
{
    drawing_.active = false;
    if (!kWaveArea.contains(x, y))
        return;
    ShownWave wave;
    if (!shownWave(wave))
        return;
    char text[kEnvelopeTextSize];
    instrument_.waveText(shownProgram_, text);
    drawing_.channelType = instrument_.channelType(shownProgram_);
    if (const char* error = compileWave(text, drawing_.channelType, drawing_.wave)) {
        // Drawing over the sine would throw the text away.
        errorText_ = error;
        statusChanged();
        return;
    }
    drawing_.active = true;
    drawing_.edited = false;
    drawing_.index = wave.index;
    drawing_.top = wave.top;
    drawing_.lastStep = waveStepAt(x, drawing_.wave.length);
    drawing_.lastValue = waveValueAt(y, drawing_.top);
    drawWaveTo(drawing_.lastStep, drawing_.lastValue);
}

void EditorModel::dragWave(int x, int y)
{
    if (!drawing_.active)
        return;
    drawWaveTo(waveStepAt(x, drawing_.wave.length), waveValueAt(y, drawing_.top));
}

void EditorModel::releaseWave()
{
    drawing_.active = false;
}

void EditorModel::drawWaveTo(int32_t step, int32_t value)
{
    // Every step from the last point's to this one, on the line between them.
    uint8_t* steps = drawing_.wave.samples + drawing_.wave.length * drawing_.index;
    uint8_t before[kMaxWaveSamples];
    std::copy(steps, steps + drawing_.wave.length, before);
    const int32_t from = drawing_.lastStep, span = step - from;
    for (int32_t i = std::min(from, step); i <= std::max(from, step); ++i) {
        const int32_t along = i - from;
        const int32_t filled =
            span == 0
                ? value
                : drawing_.lastValue +
                      static_cast<int32_t>(std::lround(static_cast<double>(value - drawing_.lastValue) * along / span));
        steps[i] = static_cast<uint8_t>(std::clamp(filled, int32_t{0}, drawing_.top));
    }
    drawing_.lastStep = step;
    drawing_.lastValue = value;
    if (std::equal(steps, steps + drawing_.wave.length, before))
        return;

    const std::string text = formatWave(drawing_.wave, drawing_.channelType);
    if (text.size() >= kEnvelopeTextSize) {
        // The steps go back to what the program keeps.
        std::copy(before, before + drawing_.wave.length, steps);
        errorText_ = kWaveTooLongText;
        statusChanged();
        return;
    }
    dropText_.clear();
    missText_[0] = '\0';
    errorText_ = instrument_.setWaveText(shownProgram_, text.c_str());
    refreshTexts_ = true;
    statusChanged();
    if (!std::exchange(drawing_.edited, true))
        instrument_.noteStateEdited();
}

void EditorModel::stepPatch(int32_t step)
{
    WaveProgram patch;
    if (const char* error = shownPatch(patch)) {
        // The text as typed is kept: stepping would lose it.
        errorText_ = error;
        statusChanged();
        return;
    }
    const int32_t place = std::clamp(patchPlace(patch.patch) + step, int32_t{1}, kCustomPatchPlace);
    if (place == patchPlace(patch.patch))
        return;
    // A first custom patch starts from the bytes of the built-in one left,
    // so that it can be shaped from a sound already chosen.
    if (place == kCustomPatchPlace && !patch.hasCustom) {
        std::copy(std::begin(vrc7::rom_patches[patch.patch]), std::end(vrc7::rom_patches[patch.patch]), patch.custom);
        patch.hasCustom = true;
    }
    patch.patch = place == kCustomPatchPlace ? 0 : place;
    dropText_.clear();
    missText_[0] = '\0';
    errorText_ = instrument_.setWaveText(shownProgram_, formatWave(patch, Vrc7).c_str());
    refreshTexts_ = true;
    statusChanged();
    instrument_.noteStateEdited();
}

void EditorModel::dropFiles(const std::vector<std::string>& paths)
{
    sampledrop::Outcome samples;
    ftidrop::Outcome outcome;
    // Each loader reads one file at a time and says which one found no
    // memory; this is for what is left (the list of names itself): no
    // exception goes back into the host's window procedure.
    try {
        std::vector<std::string> samplePaths, instrumentPaths;
        for (const std::string& path : paths)
            (sampledrop::isSampleFile(path) ? samplePaths : instrumentPaths).push_back(path);
        samples = sampledrop::load(instrument_, shownProgram_, samplePaths);
        outcome = ftidrop::load(instrument_, shownProgram_, instrumentPaths);
        if (!samples.status.empty())
            outcome.status = samples.status + (outcome.status.empty() ? "" : "; " + outcome.status);
    } catch (const std::bad_alloc&) {
        outcome.status = kDropNoMemoryText;
    } catch (const std::length_error&) {
        outcome.status = kDropNoMemoryText;
    }
    if (outcome.status.empty())
        return;
    dropText_ = std::move(outcome.status);
    missText_[0] = '\0';
    statusChanged();
    if (samples.keysChanged) {
        refreshTexts_ = true;
        instrument_.noteStateEdited();
    }
    if (outcome.loaded == 0)
        return;
    errorText_ = outcome.compileError;
    refreshTexts_ = true;
    // Names came with the sounds: hosts that list the programs read them again.
    instrument_.noteStateEdited(true);
}

void EditorModel::markForRefresh()
{
    // The count is read before the program, so that a change landing between
    // the two is counted as unseen and shown at the next look.
    seenProgramChanges_ = instrument_.programChangeCount();
    const int32_t program = instrument_.currentProgram();
    if (program != shownProgram_)
        waveIndex_ = 0;
    shownProgram_ = program;
    // A drawing goes on in the program it began in, or not at all.
    drawing_.active = false;
    refreshTexts_ = true;
    refreshStatus_ = true;
}

void EditorModel::noticeProgramChanges()
{
    if (instrument_.programChangeCount() != seenProgramChanges_)
        markForRefresh();
}

bool EditorModel::takeRefreshTexts()
{
    noticeProgramChanges();
    if (!std::exchange(refreshTexts_, false))
        return false;
    // The fields show what is stored again: a refused glide or tempo steps is gone.
    std::fill(std::begin(refused_), std::end(refused_), false);
    if (showsPlayingError()) {
        errorText_ = errorBeforeRefusal_;
        refreshStatus_ = true;
    }
    return true;
}

void EditorModel::noticeN163Misses()
{
    const uint32_t misses = instrument_.engine.n163WaveMisses();
    if (misses == seenN163Misses_)
        return;
    seenN163Misses_ = misses;
    std::snprintf(missText_, sizeof missText_,
                  "N163: program %i's wave did not fit the chip's memory beside the other notes' waves",
                  instrument_.engine.n163MissedProgram() + 1);
    dropText_.clear();
    statusChanged();
}

void EditorModel::noticeMpe()
{
    const int32_t mpe = instrument_.mpe();
    if (std::exchange(seenMpe_, mpe) != mpe)
        statusChanged();
}

bool EditorModel::takeRefreshStatus()
{
    noticeProgramChanges();
    noticeN163Misses();
    noticeMpe();
    return std::exchange(refreshStatus_, false);
}
