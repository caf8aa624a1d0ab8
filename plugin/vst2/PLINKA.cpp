#include "PLINKA.h"

#include "VstEditor.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr VstInt32 kNumParams = 0;
constexpr VstInt32 kMidiInputChannels = kMidiChannelCount;

// Copies a constant text into a host buffer whose size the host does not pass;
// the texts used here are shorter than every published limit.
bool writeHostText(char* buffer, const char* text)
{
    if (!buffer)
        return false;
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return true;
}

}  // namespace

PLINKA::PLINKA(audioMasterCallback master) : AudioEffectX(master, kProgramCount, kNumParams)
{
    canProcessReplacing();
    programsAreChunks();
    isSynth();
    setNumInputs(0);
    setNumOutputs(2);
    setUniqueID(kPlinkaUniqueId);

    instrument.setEditListener(this);
    if (std::unique_ptr<Editor> made = Editor::create(instrument, tellHostOfProgramChange, this))
        editor = new (std::nothrow) VstEditor(this, std::move(made));
    setFlag(effFlagsHasEditor, editor != nullptr);
}

PLINKA::~PLINKA()
{
    // The host hears nothing more of an instance it is closing. The editor's
    // window refers to the instrument, which goes before the base deletes
    // the editor.
    instrument.setEditListener(nullptr);
    delete editor;
    editor = nullptr;
}

EditorModel* PLINKA::editorModel()
{
    return editor ? &static_cast<VstEditor*>(editor)->editor().model : nullptr;
}

void PLINKA::tellHostOfProgramChange(void* self)
{
    static_cast<PLINKA*>(self)->updateDisplay();
}

void PLINKA::checkProgramChange()
{
    if (instrument.checkProgramChange())
        updateDisplay();
}

// ---- audio thread ----

void PLINKA::processReplacing(float**, float** outputs, VstInt32 sampleFrames)
{
    const float rate = updateSampleRate();
    if (const VstTimeInfo* time = getTimeInfo(kVstTempoValid); time && (time->flags & kVstTempoValid))
        instrument.engine.setHostTempo(time->tempo);
    if (instrument.render(outputs ? outputs[0] : nullptr, outputs ? outputs[1] : nullptr, sampleFrames, rate))
        updateDisplay();
}

VstInt32 PLINKA::processEvents(VstEvents* events)
{
    if (!events)
        return 1;
    // The list really holds numEvents pointers, past the two the record declares.
    VstEvent* const* list = events->events;
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = list[i];
        if (!event || event->type != kVstMidiType)
            continue;  // system exclusive and the rest
        const auto* midi = reinterpret_cast<const VstMidiEvent*>(event);
        const uint8_t message[3] = {static_cast<uint8_t>(midi->midiData[0]), static_cast<uint8_t>(midi->midiData[1]),
                                    static_cast<uint8_t>(midi->midiData[2])};
        instrument.queueMidi(midi->deltaFrames, message);
    }
    return 1;
}

// ---- host requests ----

void PLINKA::setSampleRate(float rate)
{
    AudioEffectX::setSampleRate(rate);
    instrument.prepare(rate);
}

void PLINKA::resume()
{
    AudioEffectX::resume();
    instrument.prepare(getSampleRate());
}

VstInt32 PLINKA::getProgram()
{
    checkProgramChange();
    return instrument.currentProgram();
}

void PLINKA::setProgram(VstInt32 program)
{
    instrument.setCurrentProgram(program);
}

void PLINKA::setProgramName(char* name)
{
    if (name)
        instrument.setProgramName(instrument.currentProgram(), name);
}

void PLINKA::getProgramName(char* name)
{
    // Hosts size this buffer by the published limit of 24 bytes, shorter than
    // the 32 a name may take in the bank, so the copy stops there.
    instrument.programName(instrument.currentProgram(), name, kVstMaxProgNameLen);
}

void PLINKA::getParameterLabel(VstInt32, char*) {}
void PLINKA::getParameterDisplay(VstInt32, char*) {}
void PLINKA::getParameterName(VstInt32, char*) {}

VstInt32 PLINKA::getChunk(void** data, bool)
{
    if (!data)
        return 0;
    const unsigned char* bytes = nullptr;
    const size_t size = instrument.saveState(&bytes);
    *data = const_cast<unsigned char*>(bytes);
    return static_cast<VstInt32>(size);
}

VstInt32 PLINKA::setChunk(void* data, VstInt32 byteSize, bool)
{
    // Converted unsigned, so that a negative size counts as too large.
    instrument.loadState(data, static_cast<uint32_t>(byteSize));
    return 0;
}

VstInt32 PLINKA::getNumMidiInputChannels()
{
    return kMidiInputChannels;
}

bool PLINKA::getEffectName(char* name)
{
    return writeHostText(name, kPlinkaEffectName);
}

bool PLINKA::getVendorString(char* text)
{
    return writeHostText(text, kPlinkaVendorString);
}

VstInt32 PLINKA::getVendorVersion()
{
    return kPlinkaVendorVersion;
}

VstInt32 PLINKA::canDo(char* text)
{
    if (text && (std::strcmp(text, "receiveVstEvents") == 0 || std::strcmp(text, "receiveVstMidiEvent") == 0))
        return 1;
    return -1;
}
