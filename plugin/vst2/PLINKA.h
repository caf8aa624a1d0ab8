// The instrument as a VST 2 plug-in: the host binding over one Instrument.
// Everything the instrument is and does lives in the Instrument; this class
// turns opcodes and events into its calls.
#pragma once

#include "AudioEffectX.h"
#include "instrument/Identity.h"
#include "instrument/Instrument.h"

static_assert(kPlinkaUniqueId == vstFourCC('p', 'l', 'n', 'k'));

class EditorModel;

class PLINKA final : public AudioEffectX, private EditListener {
public:
    explicit PLINKA(audioMasterCallback audioMaster);
    ~PLINKA() override;

    // ---- audio thread: no locks, no allocation ----
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;

    // ---- host requests (usually the user-interface thread); may take the bank mutex ----
    VstInt32 getProgram() override;
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    VstInt32 getChunk(void** data, bool isPreset) override;
    VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override;
    VstInt32 getNumMidiInputChannels() override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    VstInt32 getVendorVersion() override;
    VstInt32 canDo(char* text) override;
    // Chips that lost their buffers get new ones here, off the audio thread.
    void setSampleRate(float rate) override;
    void resume() override;

    // Runs the instrument's program check and tells the host of a change.
    // Any thread: touches only atomics and the host callback.
    void checkProgramChange();

    // The editor's model, or null where the platform has no editor.
    EditorModel* editorModel();

    Instrument instrument;

private:
    static void tellHostOfProgramChange(void* self);

    // ---- user-interface thread: the editor's edits ----
    // VST 2 hosts record no automation of Plinka, which has no parameters;
    // an edit of the saved state is a display update, after which a host
    // asks again and counts the song as changed.
    void parameterGestureBegan(uint32_t) override {}
    void parameterEdited(uint32_t, double) override {}
    void parameterGestureEnded(uint32_t) override {}
    void stateEdited(bool) override { updateDisplay(); }
};
