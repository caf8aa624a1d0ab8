#include "PLINKA.h"

#include "../editor/EditorFactory.h"
#include "../engine/EnvelopeCompiler.h"
#include "FactoryPresets.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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

    midiChannel.store(0);
    for (int channel = 0; channel < kMidiChannelCount; ++channel) {
        settings.channelProgram[channel].store(0);
        lastChannelProgram[channel].store(0);
    }

    buildDefaultBank(programs);
    compileAllEnvelopes();  // the default and factory texts all compile
    bankExchange.initialise(programs);

    settings.chipSampleRate.store(-1.0f);
    settings.gain.store(100);
    settings.ntsc.store(1);
    settings.polyphony.store(kMaxPolyphony);

    editor = createEditor(*this);
    settings.programsChanged.store(true, std::memory_order_release);
    setFlag(effFlagsHasEditor, editor != nullptr);
}

PLINKA::~PLINKA() = default;

const char* PLINKA::compileAllEnvelopes()
{
    return ::compileAllEnvelopes(programs);
}

void PLINKA::publishBank(const chunk::Settings* loaded)
{
    BankSnapshot& snapshot = bankExchange.back();
    snapshot.capture(programs);
    if (loaded) {
        if (++lastLoadSerial_ == 0)
            ++lastLoadSerial_;  // 0 means "no load"
        snapshot.loadSerial = lastLoadSerial_;
        std::copy(std::begin(loaded->channelProgram), std::end(loaded->channelProgram), snapshot.loadChannelProgram);
        snapshot.loadNtsc = loaded->ntsc;
        snapshot.loadGain = loaded->gain;
    }
    bankExchange.publish();
}

int32_t PLINKA::currentProgramNumber() const
{
    return settings.channelProgram[midiChannel.load(std::memory_order_relaxed)].load(std::memory_order_relaxed);
}

void PLINKA::checkProgramChange()
{
    for (int channel = 0; channel < kMidiChannelCount; ++channel) {
        const int32_t program = settings.channelProgram[channel].load(std::memory_order_relaxed);
        if (lastChannelProgram[channel].exchange(program, std::memory_order_relaxed) != program)
            settings.programsChanged.store(true, std::memory_order_release);
    }
    // Cleared before the host is told, so that a host asking again from inside
    // its display update causes no second notification.
    if (!settings.programsChanged.exchange(false, std::memory_order_acq_rel))
        return;
    if (editor)
        editorModel.markForRefresh();
    updateDisplay();
}

// ---- audio thread ----

void PLINKA::processReplacing(float**, float** outputs, VstInt32 sampleFrames)
{
    const float rate = updateSampleRate();
    engine.render(outputs ? outputs[0] : nullptr, outputs ? outputs[1] : nullptr, sampleFrames, rate);
    checkProgramChange();
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
        engine.queueMidi(midi->deltaFrames, message);
    }
    return 1;
}

// ---- host requests ----

VstInt32 PLINKA::getProgram()
{
    checkProgramChange();
    return currentProgramNumber();
}

void PLINKA::setProgram(VstInt32 program)
{
    // A negative number would index outside the bank: it is refused, not stored.
    if (program < 0)
        return;
    settings.channelProgram[midiChannel.load(std::memory_order_relaxed)].store(std::min(program, kProgramCount - 1),
                                                                               std::memory_order_relaxed);
}

void PLINKA::setProgramName(char* name)
{
    if (!name)
        return;
    std::lock_guard<std::mutex> lock(bankMutex);
    copyTextField(programs[currentProgramNumber()].name, name);
}

void PLINKA::getProgramName(char* name)
{
    if (!name)
        return;
    // Hosts size this buffer by the published limit of 24 bytes, shorter than
    // the 32 a name may take in the bank, so the copy stops there.
    std::lock_guard<std::mutex> lock(bankMutex);
    const char* stored = programs[currentProgramNumber()].name;
    const size_t length = std::min(std::strlen(stored), static_cast<size_t>(kVstMaxProgNameLen - 1));
    std::memcpy(name, stored, length);
    name[length] = 0;
}

void PLINKA::getParameterLabel(VstInt32, char*) {}
void PLINKA::getParameterDisplay(VstInt32, char*) {}
void PLINKA::getParameterName(VstInt32, char*) {}

chunk::Settings PLINKA::chunkSettings() const
{
    chunk::Settings state{};
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        state.channelProgram[channel] = settings.channelProgram[channel].load(std::memory_order_relaxed);
    state.ntsc = settings.ntsc.load(std::memory_order_relaxed);
    state.gain = settings.gain.load(std::memory_order_relaxed);
    return state;
}

VstInt32 PLINKA::getChunk(void** data, bool)
{
    if (!data)
        return 0;
    std::lock_guard<std::mutex> lock(bankMutex);
    const size_t size = chunk::write(programs, chunkSettings(), chunkBuffer);
    *data = chunkBuffer;
    return static_cast<VstInt32>(size);
}

VstInt32 PLINKA::setChunk(void* data, VstInt32 byteSize, bool)
{
    // Compared unsigned, so that a negative size counts as too large.
    if (static_cast<uint32_t>(byteSize) > chunk::kMaxBytes || (byteSize > 0 && !data))
        return 0;
    std::lock_guard<std::mutex> lock(bankMutex);
    // Read straight from the host's bytes rather than a copy in chunkBuffer:
    // the buffer getChunk handed out then stays as it was until the next
    // getChunk, even while the host still reads it on another thread.
    chunk::Settings loaded = chunkSettings();
    chunk::read(static_cast<const unsigned char*>(data), static_cast<size_t>(byteSize), programs, loaded);
    compileAllEnvelopes();
    // The audio thread takes the loaded settings with the bank, and from the
    // atomics once they hold them.
    publishBank(&loaded);
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        settings.channelProgram[channel].store(loaded.channelProgram[channel], std::memory_order_relaxed);
    settings.ntsc.store(loaded.ntsc, std::memory_order_relaxed);
    settings.gain.store(loaded.gain, std::memory_order_relaxed);
    settings.appliedLoadSerial.store(lastLoadSerial_, std::memory_order_release);
    settings.programsChanged.store(true, std::memory_order_release);
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
