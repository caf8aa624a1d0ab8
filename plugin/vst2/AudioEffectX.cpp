#include "AudioEffectX.h"

namespace {

// The low byte of a float argument as an integer; values that no integer can
// hold (NaN, infinities, huge numbers) count as 0 instead of being converted.
unsigned char lowByteOf(float value)
{
    if (!(value > -2147483648.0f && value < 2147483648.0f))
        return 0;
    return static_cast<unsigned char>(static_cast<VstInt32>(value) & 0xFF);
}

}  // namespace

void AudioEffectX::resume()
{
    // An instrument always wants MIDI, so canDo is not consulted.
    if ((cEffect.flags & effFlagsIsSynth) || canDo(const_cast<char*>("receiveVstMidiEvent")) == 1)
        wantEvents(1);
}

float AudioEffectX::updateSampleRate()
{
    if (audioMaster) {
        const VstIntPtr answer = callHost(audioMasterGetSampleRate);
        if (answer > 0)
            sampleRate.store(static_cast<float>(answer), std::memory_order_relaxed);
    }
    return sampleRate.load(std::memory_order_relaxed);
}

const VstTimeInfo* AudioEffectX::getTimeInfo(VstInt32 filter)
{
    return reinterpret_cast<const VstTimeInfo*>(callHost(audioMasterGetTime, 0, filter));
}

bool AudioEffectX::updateDisplay()
{
    return callHost(audioMasterUpdateDisplay) != 0;
}

void AudioEffectX::wantEvents(VstInt32 filter)
{
    callHost(audioMasterWantMidi, 0, filter);
}

bool AudioEffectX::getSpeakerArrangement(void** pluginInput, void** pluginOutput)
{
    if (pluginInput)
        *pluginInput = nullptr;
    if (pluginOutput)
        *pluginOutput = nullptr;
    return false;
}

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    auto* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effProcessEvents:
        return processEvents(static_cast<VstEvents*>(ptr));
    case effCanBeAutomated:
        return canParameterBeAutomated(index) ? 1 : 0;
    case effGetPlugCategory:
        return getPlugCategory();
    case effGetEffectName:
        return getEffectName(text) ? 1 : 0;
    case effGetVendorString:
        return getVendorString(text) ? 1 : 0;
    case effGetProductString:
        return getProductString(text) ? 1 : 0;
    case effGetVendorVersion:
        return getVendorVersion();
    case effCanDo:
        return canDo(text);
    case effGetTailSize:
        return getGetTailSize();
    case effGetVstVersion:
        return getVstVersion();
    case effEditKeyDown:
    case effEditKeyUp:
        if (editor) {
            VstKeyCode key{index, static_cast<unsigned char>(value & 0xFF), lowByteOf(opt)};
            const bool taken = opcode == effEditKeyDown ? editor->onKeyDown(key) : editor->onKeyUp(key);
            return taken ? 1 : 0;
        }
        return 0;
    case effSetEditKnobMode:
        return editor && editor->setKnobMode(static_cast<VstInt32>(value)) ? 1 : 0;
    case effGetCurrentMidiProgram:
        return getCurrentMidiProgram(index, ptr);
    case effGetSpeakerArrangement:
        return getSpeakerArrangement(reinterpret_cast<void**>(value), static_cast<void**>(ptr)) ? 1 : 0;
    case effSetTotalSampleToProcess:
        return setTotalSampleToProcess(static_cast<VstInt32>(value));
    case effGetNumMidiInputChannels:
        return getNumMidiInputChannels();
    case effGetNumMidiOutputChannels:
        return getNumMidiOutputChannels();
    default:
        // The base handles 0 to 24 and answers 0 to everything else, the
        // deprecated and unlisted extension opcodes among them.
        return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
}
