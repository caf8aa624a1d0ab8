// The second level of the host binding: the VST 2 extensions, opcodes 25 to 79.
// Only the operations a host can reach through the dispatcher are declared;
// every other opcode of the extension range answers 0.
#pragma once

#include "AudioEffect.h"

class AudioEffectX : public AudioEffect {
public:
    using AudioEffect::AudioEffect;

    VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) override;

    // Asks the host for MIDI when processing is switched on.
    void resume() override;

    // ---- audio thread: no locks, no allocation ----
    virtual VstInt32 processEvents(VstEvents*) { return 0; }
    // Asks the host for its sample rate; a positive answer replaces sampleRate.
    virtual float updateSampleRate();
    // The host's transport with at least the fields `filter` asks for
    // (kVst...Valid flags), or null when the host has none.
    const VstTimeInfo* getTimeInfo(VstInt32 filter);

    // ---- host requests ----
    virtual bool canParameterBeAutomated(VstInt32) { return true; }
    virtual bool getSpeakerArrangement(void** pluginInput, void** pluginOutput);
    virtual VstInt32 setTotalSampleToProcess(VstInt32 value) { return value; }
    virtual VstInt32 getNumMidiInputChannels() { return 0; }
    virtual VstInt32 getNumMidiOutputChannels() { return 0; }
    virtual VstInt32 getGetTailSize() { return 0; }
    virtual bool getEffectName(char*) { return false; }
    virtual bool getVendorString(char*) { return false; }
    virtual bool getProductString(char*) { return false; }
    virtual VstInt32 getVendorVersion() { return 0; }
    virtual VstInt32 canDo(char*) { return 0; }
    virtual VstInt32 getVstVersion() { return kVstVersion; }
    virtual VstInt32 getPlugCategory() { return (cEffect.flags & effFlagsIsSynth) ? kPlugCategSynth : 0; }
    virtual VstInt32 getCurrentMidiProgram(VstInt32, void*) { return -1; }

    // ---- callbacks into the host; each does nothing without a host callback ----
    virtual bool updateDisplay();
    virtual void wantEvents(VstInt32 filter = 1);

    virtual void isSynth(bool state = true) { setFlag(effFlagsIsSynth, state); }
};
