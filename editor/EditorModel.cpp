#include "EditorModel.h"

#include "EditorLayout.h"
#include "FtiDrop.h"
#include "SampleDrop.h"
#include "instrument/Instrument.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

// Short enough to need no memory of its own in a string.
constexpr const char* kDropNoMemoryText = "Out of memory";

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
    markForRefresh();
}

void EditorModel::checkProgramChange()
{
    if (instrument_.checkProgramChange() && notice_)
        notice_(context_);
}

bool EditorModel::showsKeyMap() const
{
    return instrument_.channelType(shownProgram_) == Sample;
}

void EditorModel::shownTexts(char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const
{
    instrument_.envelopeTexts(shownProgram_, texts);
    if (showsKeyMap())
        instrument_.keyMapText(shownProgram_, texts[Duty]);
}

const char* EditorModel::rowLabel(int kind) const
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return "";
    return kind == Duty && showsKeyMap() ? kKeyMapLabelText : kEnvelopeLabelText[kind];
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
    for (const EditorButton& button : kEditorButtons)
        if (button.id == control)
            return button.text;
    return "";
}

bool EditorModel::envelopeIsEmpty(int kind) const
{
    if (kind == Duty && showsKeyMap())
        return instrument_.keyMapEntryCount(shownProgram_) == 0;
    return instrument_.envelopeIsEmpty(shownProgram_, kind);
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
    if (changed)
        dropText_.clear();
    if (kind == Duty && showsKeyMap())
        errorText_ = instrument_.setKeyMapText(shownProgram_, text);
    else
        errorText_ = instrument_.setEnvelopeText(shownProgram_, kind, text);
    statusChanged();
    if (changed)
        instrument_.noteStateEdited();
}

void EditorModel::click(int control)
{
    if (const int32_t type = channelTypeOfButton(control); type >= 0) {
        const bool edited = instrument_.channelType(shownProgram_) != type;
        const bool keyMapBefore = showsKeyMap();
        instrument_.setChannelType(shownProgram_, type);
        statusChanged();
        // The Duty row swaps between the duty envelope and the key map.
        if (showsKeyMap() != keyMapBefore)
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
    shownProgram_ = instrument_.currentProgram();
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
    return std::exchange(refreshTexts_, false);
}

bool EditorModel::takeRefreshStatus()
{
    noticeProgramChanges();
    return std::exchange(refreshStatus_, false);
}
