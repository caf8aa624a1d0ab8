// The first level of the host binding: owns the AEffect record that the host
// holds, routes dispatcher opcodes 0 to 24 to virtual operations, and wraps the
// callbacks into the host.
#pragma once

#include "AEffEditor.h"
#include "vst2.h"

#include <atomic>

class AudioEffect {
public:
    AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
    virtual ~AudioEffect();

    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    // Any thread the host dispatches on. Never throws.
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

    // ---- host requests (usually the user-interface thread) ----
    virtual void open() {}
    virtual void close() {}
    virtual void suspend() {}
    virtual void resume() {}
    virtual void setSampleRate(float rate) { sampleRate.store(rate, std::memory_order_relaxed); }
    virtual void setBlockSize(VstInt32 size) { blockSize.store(size, std::memory_order_relaxed); }

    // ---- audio thread: no locks, no allocation ----
    virtual void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
    virtual void processDoubleReplacing(double**, double**, VstInt32) {}
    virtual void process(float**, float**, VstInt32) {}  // deprecated accumulating entry

    virtual void setParameter(VstInt32, float) {}
    virtual float getParameter(VstInt32) { return 0.0f; }

    virtual VstInt32 getProgram() { return curProgram; }
    virtual void setProgram(VstInt32 program) { curProgram = program; }
    virtual void setProgramName(char*) {}
    virtual void getProgramName(char* name)
    {
        if (name)
            *name = 0;
    }
    virtual void getParameterLabel(VstInt32, char*) {}
    virtual void getParameterDisplay(VstInt32, char*) {}
    virtual void getParameterName(VstInt32, char*) {}
    virtual VstInt32 getChunk(void** data, bool isPreset);
    virtual VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset);

    virtual AEffEditor* getEditor() { return editor; }
    virtual AEffect* getAeffect() { return &cEffect; }
    virtual float getSampleRate() { return sampleRate.load(std::memory_order_relaxed); }
    virtual VstInt32 getBlockSize() { return blockSize.load(std::memory_order_relaxed); }

    // Adjustments of the AEffect record, used while the subclass is constructed.
    virtual void setUniqueID(VstInt32 id) { cEffect.uniqueID = id; }
    virtual void setNumInputs(VstInt32 inputs) { cEffect.numInputs = inputs; }
    virtual void setNumOutputs(VstInt32 outputs) { cEffect.numOutputs = outputs; }
    virtual void canProcessReplacing(bool state = true) { setFlag(effFlagsCanReplacing, state); }
    virtual void programsAreChunks(bool state = true) { setFlag(effFlagsProgramChunks, state); }

    // The static entries stored in the AEffect record; each finds its object
    // through AEffect::object.
    static VstIntPtr VSTCALLBACK dispatchEffectClass(AEffect* e, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                                     void* ptr, float opt);
    static void VSTCALLBACK processClass(AEffect* e, float** inputs, float** outputs, VstInt32 sampleFrames);
    static void VSTCALLBACK processClassReplacing(AEffect* e, float** inputs, float** outputs, VstInt32 sampleFrames);
    static void VSTCALLBACK processClassDoubleReplacing(AEffect* e, double** inputs, double** outputs,
                                                        VstInt32 sampleFrames);
    static void VSTCALLBACK setParameterClass(AEffect* e, VstInt32 index, float value);
    static float VSTCALLBACK getParameterClass(AEffect* e, VstInt32 index);

protected:
    void setFlag(VstInt32 flag, bool state)
    {
        cEffect.flags = state ? (cEffect.flags | flag) : (cEffect.flags & ~flag);
    }
    // Calls the host; answers 0 when there is no host callback.
    VstIntPtr callHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);

    audioMasterCallback audioMaster;
    AEffEditor* editor = nullptr;  // owned
    // Set by the host's thread, read by the render call on the audio thread.
    std::atomic<float> sampleRate{44100.0f};
    std::atomic<VstInt32> blockSize{1024};
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 curProgram = 0;
    AEffect cEffect{};
};
