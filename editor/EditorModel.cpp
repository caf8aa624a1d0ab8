#include "EditorModel.h"

#include "shell/PLINKA.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

int32_t EditorModel::shownProgram() const
{
    const int32_t channel = instrument_.midiChannel.load(std::memory_order_relaxed);
    return instrument_.settings.channelProgram[channel].load(std::memory_order_relaxed);
}

void EditorModel::shownTexts(char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const
{
    std::lock_guard<std::mutex> lock(instrument_.bankMutex);
    std::memcpy(texts, instrument_.programs[shownProgram()].envelopeText, sizeof texts);
}

void EditorModel::midiChannelText(char (&text)[32]) const
{
    std::snprintf(text, sizeof text, "MIDIch:%i", instrument_.midiChannel.load(std::memory_order_relaxed) + 1);
}

void EditorModel::polyphonyText(char (&text)[32]) const
{
    std::snprintf(text, sizeof text, "Polyphony:%i", instrument_.settings.polyphony.load(std::memory_order_relaxed));
}

const char* EditorModel::statusText() const
{
    const char* message = errorText.load(std::memory_order_relaxed);
    return message ? message : "OK";
}

int32_t EditorModel::sliderPosition() const
{
    // A loaded chunk may hold any gain; the slider shows what it can.
    const int32_t gain = instrument_.settings.gain.load(std::memory_order_relaxed);
    return kGainSliderMax - std::clamp(gain, 0, kGainSliderMax);
}

bool EditorModel::isSelected(int control) const
{
    const int32_t ntsc = instrument_.settings.ntsc.load(std::memory_order_relaxed);
    if (control == kNtscButton)
        return ntsc == 1;
    if (control == kPalButton)
        return ntsc == 0;
    std::lock_guard<std::mutex> lock(instrument_.bankMutex);
    const Program& program = instrument_.programs[shownProgram()];
    switch (control) {
    case kMultiButton:
        return program.multi != 0;
    case kPulseButton:
        return program.channelType == Pulse;
    case kTriangleButton:
        return program.channelType == Triangle;
    case kNoiseButton:
        return program.channelType == Noise;
    default:
        return false;  // the "+" and "-" buttons never are
    }
}

bool EditorModel::envelopeIsEmpty(int kind) const
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return false;
    std::lock_guard<std::mutex> lock(instrument_.bankMutex);
    return instrument_.programs[shownProgram()].envelope[kind].isEmpty;
}

void EditorModel::editEnvelope(int kind, const char* text)
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return;
    {
        std::lock_guard<std::mutex> lock(instrument_.bankMutex);
        copyTextField(instrument_.programs[shownProgram()].envelopeText[kind], text);
        // The whole bank, so that the status line shows its first error and
        // every program's empty marks are current.
        errorText.store(instrument_.compileAllEnvelopes(), std::memory_order_relaxed);
        instrument_.publishBank();
    }
    statusChanged();
}

void EditorModel::click(int control)
{
    switch (control) {
    case kPulseButton:
    case kTriangleButton:
    case kNoiseButton:
    case kMultiButton: {
        std::lock_guard<std::mutex> lock(instrument_.bankMutex);
        Program& program = instrument_.programs[shownProgram()];
        if (control == kMultiButton)
            program.multi ^= 1;
        else
            program.channelType = control - kPulseButton;
        instrument_.publishBank();
        break;
    }
    case kNtscButton:
    case kPalButton:
        instrument_.settings.ntsc.store(control == kNtscButton ? 1 : 0, std::memory_order_relaxed);
        // Always a new set-up, even when the standard stays the same.
        instrument_.settings.chipSampleRate.store(-1.0f, std::memory_order_relaxed);
        break;
    case kMidiChannelUpButton:
    case kMidiChannelDownButton: {
        const int32_t channel = instrument_.midiChannel.load(std::memory_order_relaxed);
        const int32_t step = control == kMidiChannelUpButton ? 1 : kMidiChannelCount - 1;
        instrument_.midiChannel.store((channel + step) % kMidiChannelCount, std::memory_order_relaxed);
        // The shown program changes with the channel: texts, displays and the host.
        instrument_.settings.programsChanged.store(true, std::memory_order_release);
        instrument_.checkProgramChange();
        return;
    }
    case kPolyphonyUpButton:
    case kPolyphonyDownButton: {
        const int32_t voices = instrument_.settings.polyphony.load(std::memory_order_relaxed);
        const int32_t step = control == kPolyphonyUpButton ? 1 : kMaxPolyphony - 1;
        instrument_.settings.polyphony.store((voices - 1 + step) % kMaxPolyphony + 1, std::memory_order_relaxed);
        break;
    }
    default:
        return;  // the slider, the displays and anything else
    }
    statusChanged();
}

void EditorModel::moveGainSlider(int32_t position)
{
    instrument_.settings.gain.store(kGainSliderMax - std::clamp(position, 0, kGainSliderMax),
                                    std::memory_order_relaxed);
}

void EditorModel::markForRefresh()
{
    refreshStatus.store(true, std::memory_order_release);
    refreshTexts.store(true, std::memory_order_release);
}

void EditorModel::statusChanged()
{
    refreshStatus.store(true, std::memory_order_release);
    refreshTexts.store(false, std::memory_order_release);
}
