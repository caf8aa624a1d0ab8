#include "Instrument.h"

#include "FactoryPresets.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/WaveCompiler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <new>

Instrument::Instrument() : samples_(std::make_unique<SampleBank>())
{
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        settings.channelProgram[channel].store(0);
    buildDefaultBank(programs_);
    compileAllEnvelopes(programs_);  // the default and factory texts all compile
    bankExchange.initialise(programs_);

    settings.chipSampleRate.store(-1.0f);
    settings.gain.store(kDefaultGain);
    settings.ntsc.store(1);
    settings.polyphony.store(kMaxPolyphony);
    settings.midiControllers.store(1);  // a new instance plays the keyboard's controllers
    settings.console.store(ConsoleOff);
    settings.n163Channels.store(kDefaultN163Channels);
    settings.mpe.store(MpeOff);
    settings.programsChanged.store(true, std::memory_order_release);
}

const char* Instrument::compileAllEnvelopes(ProgramBank& programs)
{
    return ::compileAllEnvelopes(programs);
}

void Instrument::publishBank(const chunk::Settings* loaded)
{
    BankSnapshot& snapshot = bankExchange.back();
    // Out of memory, the audio thread keeps the bank and settings it has.
    if (!snapshot.capture(programs_, samples_.get()))
        return;
    if (loaded) {
        if (++lastLoadSerial_ == 0)
            ++lastLoadSerial_;  // 0 means "no load"
        snapshot.loadSerial = lastLoadSerial_;
        std::copy(std::begin(loaded->channelProgram), std::end(loaded->channelProgram), snapshot.loadChannelProgram);
        snapshot.loadNtsc = loaded->ntsc;
        snapshot.loadGain = loaded->gain;
        snapshot.loadMidiControllers = loaded->midiControllers == 1 ? 1 : 0;
        snapshot.loadConsole = loaded->console;
        snapshot.loadN163Channels = loaded->n163Channels;
        snapshot.loadMpe = loaded->mpe;
    }
    snapshot.baseLoadSerial = lastLoadSerial_;
    bankExchange.publish();
}

// ---- audio thread ----

bool Instrument::render(float* left, float* right, int32_t frames, float hostRate)
{
    engine.render(left, right, frames, hostRate);
    return checkProgramChange();
}

bool Instrument::render(const EngineOutputs& outputs, int32_t frames, float hostRate)
{
    engine.render(outputs, frames, hostRate);
    return checkProgramChange();
}

// ---- any thread ----

bool Instrument::checkProgramChange()
{
    // The programs are compared only when a setting was stored since the
    // count the last comparison began with; where two threads compare at
    // once, an older count left behind only makes the next call compare
    // again. An exchange is a locked instruction, dear enough that seventeen
    // of them were most of an idle block's cost: each is made only where a
    // plain load sees a change, and the exchange still decides who reports it.
    const uint32_t changes = settings.changes.load(std::memory_order_acquire);
    if (changes != comparedChanges_.load(std::memory_order_relaxed)) {
        for (int channel = 0; channel < kMidiChannelCount; ++channel) {
            const int32_t program = settings.channelProgram[channel].load(std::memory_order_relaxed);
            std::atomic<int32_t>& last = lastChannelProgram_[channel];
            if (last.load(std::memory_order_relaxed) != program &&
                last.exchange(program, std::memory_order_relaxed) != program)
                settings.programsChanged.store(true, std::memory_order_release);
        }
        comparedChanges_.store(changes, std::memory_order_relaxed);
    }
    // Taken before anyone is told, so that a host asking again from inside
    // its display update causes no second notification.
    if (!settings.programsChanged.load(std::memory_order_relaxed) ||
        !settings.programsChanged.exchange(false, std::memory_order_acq_rel))
        return false;
    programChangeCount_.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

void Instrument::setEditedChannel(int32_t channel)
{
    if (channel < 0 || channel >= kMidiChannelCount)
        return;
    editedChannel_.store(channel, std::memory_order_relaxed);
    // The addressed program changes with the channel: the host and the editor
    // hear of it as of a program change.
    markProgramsChanged();
}

int32_t Instrument::currentProgram() const
{
    return settings.channelProgram[editedChannel()].load(std::memory_order_relaxed);
}

void Instrument::setCurrentProgram(int32_t program)
{
    // A negative number would index outside the bank: it is refused, not stored.
    if (program < 0)
        return;
    settings.channelProgram[editedChannel()].store(std::min(program, kProgramCount - 1), std::memory_order_relaxed);
}

void Instrument::setNtsc(bool ntsc)
{
    settings.ntsc.store(ntsc ? 1 : 0, std::memory_order_relaxed);
    settings.chipSampleRate.store(-1.0f, std::memory_order_relaxed);
}

void Instrument::setMidiControllers(bool on)
{
    settings.midiControllers.store(on ? 1 : 0, std::memory_order_relaxed);
    controllersInChunk_.store(true, std::memory_order_relaxed);
}

void Instrument::setConsole(int32_t mode)
{
    if (mode < ConsoleOff || mode >= kConsoleModeCount)
        return;
    settings.console.store(mode, std::memory_order_relaxed);
}

void Instrument::setN163Channels(int32_t channels)
{
    if (channels < 1 || channels > kMaxN163Channels)
        return;
    settings.n163Channels.store(channels, std::memory_order_relaxed);
}

void Instrument::setMpe(int32_t mode)
{
    if (mode < MpeOff || mode >= kMpeModeCount)
        return;
    settings.mpe.store(mode, std::memory_order_relaxed);
}

void Instrument::setGain(int32_t gain)
{
    settings.gain.store(gain, std::memory_order_relaxed);
}

void Instrument::setPolyphony(int32_t voices)
{
    settings.polyphony.store(std::clamp(voices, int32_t{1}, kMaxPolyphony), std::memory_order_relaxed);
}

// ---- parameters ----

double Instrument::parameterValue(uint32_t id) const
{
    switch (id) {
    case kParamGain:
        return std::clamp(gain(), int32_t{0}, kMaxGain);  // a loaded chunk may hold any gain
    case kParamClock:
        return ntsc() == 1 ? 1.0 : 0.0;
    case kParamPolyphony:
        return polyphony();
    default:
        return 0.0;
    }
}

void Instrument::setParameterValue(uint32_t id, double value)
{
    if (id >= kParameterCount || !std::isfinite(value))
        return;
    const ParameterInfo& info = kParameterInfo[id];
    const auto whole = static_cast<int32_t>(std::lround(std::clamp(value, info.minimum, info.maximum)));
    switch (id) {
    case kParamGain:
        setGain(whole);
        break;
    case kParamClock:
        // The chips are set up anew only when the standard really changes:
        // automation sends the same value again and again.
        if (whole != (ntsc() == 1 ? 1 : 0))
            setNtsc(whole == 1);
        break;
    case kParamPolyphony:
        setPolyphony(whole);
        break;
    default:
        break;
    }
}

// ---- the editor's edits ----

void Instrument::beginParameterEdit(uint32_t id)
{
    if (id >= kParameterCount || gestureOpen_[id])
        return;
    gestureOpen_[id] = true;
    if (editListener_)
        editListener_->parameterGestureBegan(id);
}

void Instrument::editParameter(uint32_t id, double value)
{
    if (id >= kParameterCount)
        return;
    setParameterValue(id, value);
    const bool alone = !gestureOpen_[id];
    beginParameterEdit(id);
    if (editListener_)
        editListener_->parameterEdited(id, parameterValue(id));
    if (alone)
        endParameterEdit(id);
}

void Instrument::endParameterEdit(uint32_t id)
{
    if (id >= kParameterCount || !gestureOpen_[id])
        return;
    gestureOpen_[id] = false;
    if (editListener_)
        editListener_->parameterGestureEnded(id);
}

void Instrument::noteStateEdited(bool namesChanged)
{
    if (editListener_)
        editListener_->stateEdited(namesChanged);
}

// ---- host and user-interface threads ----

int32_t Instrument::checkedProgram(int32_t program) const
{
    return std::clamp(program, 0, kProgramCount - 1);
}

void Instrument::programName(int32_t program, char* out, size_t size) const
{
    if (!out || size == 0)
        return;
    std::lock_guard<std::mutex> lock(bankMutex_);
    const char* stored = programs_[checkedProgram(program)].name;
    const size_t length = std::min(std::strlen(stored), size - 1);
    std::memcpy(out, stored, length);
    out[length] = 0;
}

void Instrument::setProgramName(int32_t program, const char* name)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    copyTextField(programs_[checkedProgram(program)].name, name);
}

void Instrument::envelopeTexts(int32_t program, char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    std::memcpy(texts, programs_[checkedProgram(program)].envelopeText, sizeof texts);
}

int32_t Instrument::channelType(int32_t program) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    return programs_[checkedProgram(program)].channelType;
}

bool Instrument::isMulti(int32_t program) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    return programs_[checkedProgram(program)].multi != 0;
}

bool Instrument::envelopeIsEmpty(int32_t program, int kind) const
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return false;
    std::lock_guard<std::mutex> lock(bankMutex_);
    return programs_[checkedProgram(program)].envelope[kind].isEmpty;
}

const char* Instrument::setEnvelopeText(int32_t program, int kind, const char* text)
{
    if (kind < 0 || kind >= kEnvelopeKindCount)
        return nullptr;
    // The whole bank is compiled, so that the answer is its first error and
    // every program's empty marks are current.
    return editBank([&](ProgramBank& bank) { copyTextField(bank[checkedProgram(program)].envelopeText[kind], text); });
}

void Instrument::setChannelType(int32_t program, int32_t type)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    programs_[checkedProgram(program)].channelType = type;
    publishBank();
}

void Instrument::toggleMulti(int32_t program)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    programs_[checkedProgram(program)].multi ^= 1;
    publishBank();
}

void Instrument::keyMapText(int32_t program, char (&text)[kEnvelopeTextSize]) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    std::memcpy(text, programs_[checkedProgram(program)].keyMapText, sizeof text);
}

int32_t Instrument::keyMapEntryCount(int32_t program) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    KeyMap map;
    const char(&text)[kEnvelopeTextSize] = programs_[checkedProgram(program)].keyMapText;
    compileKeyMap(std::string_view(text, static_cast<size_t>(std::find(text, text + kEnvelopeTextSize, '\0') - text)),
                  *samples_, map);
    return map.entryCount;
}

const char* Instrument::setKeyMapText(int32_t program, const char* text)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    Program& edited = programs_[checkedProgram(program)];
    copyTextField(edited.keyMapText, text);
    publishBank();
    KeyMap map;
    return compileKeyMap(edited.keyMapText, *samples_, map);
}

void Instrument::waveText(int32_t program, char (&text)[kEnvelopeTextSize]) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    std::memcpy(text, programs_[checkedProgram(program)].waveText, sizeof text);
}

const char* Instrument::setWaveText(int32_t program, const char* text)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    Program& edited = programs_[checkedProgram(program)];
    copyTextField(edited.waveText, text);
    publishBank();
    WaveProgram wave;
    return compileWave(std::string_view(edited.waveText), edited.channelType, wave);
}

Instrument::Playing Instrument::playing(int32_t program) const
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    const Program& shown = programs_[checkedProgram(program)];
    return {shown.mono, shown.glide, shown.tempoSteps};
}

const char* Instrument::setPlaying(int32_t program, const Playing& playing)
{
    if (const char* error = playingError(playing.mono, playing.glide, playing.tempoSteps))
        return error;
    std::lock_guard<std::mutex> lock(bankMutex_);
    Program& edited = programs_[checkedProgram(program)];
    edited.mono = playing.mono;
    edited.glide = playing.glide;
    edited.tempoSteps = playing.tempoSteps;
    publishBank();
    return nullptr;
}

const char* Instrument::putSample(std::string_view name, const uint8_t* bytes, int32_t length, int32_t startLevel)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    const char* error = samples_->put(name, bytes, length, startLevel);
    if (!error)
        publishBank();
    return error;
}

chunk::Settings Instrument::chunkSettings() const
{
    chunk::Settings state{};
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        state.channelProgram[channel] = settings.channelProgram[channel].load(std::memory_order_relaxed);
    state.ntsc = settings.ntsc.load(std::memory_order_relaxed);
    state.gain = settings.gain.load(std::memory_order_relaxed);
    state.midiControllers =
        controllersInChunk_.load(std::memory_order_relaxed) ? (midiControllers() ? 1 : 0) : chunk::kSettingAbsent;
    state.console = console();
    state.n163Channels = n163Channels();
    state.mpe = mpe();
    return state;
}

size_t Instrument::saveState(const unsigned char** data)
{
    std::lock_guard<std::mutex> lock(bankMutex_);
    // Made when asked for, at the size written: most instances are never
    // saved while they run, and a bank is rarely near the largest.
    try {
        chunkBytes_ = chunk::write(programs_, samples_.get(), chunkSettings());
    } catch (const std::bad_alloc&) {
        chunkBytes_.clear();
    }
    if (data)
        *data = chunkBytes_.empty() ? nullptr : chunkBytes_.data();
    return chunkBytes_.size();
}

bool Instrument::loadState(const void* data, size_t size)
{
    if (size > chunk::kMaxBytes || (size > 0 && !data))
        return false;
    std::lock_guard<std::mutex> lock(bankMutex_);
    // Read straight from the caller's bytes: the chunk saveState handed out
    // stays as it was until the next save, even while a host still reads it.
    chunk::Settings loaded = chunkSettings();
    chunk::read(static_cast<const unsigned char*>(data), size, programs_, samples_.get(), loaded);
    compileAllEnvelopes(programs_);
    // The audio thread takes the loaded settings with the bank, and from the
    // atomics once they hold them.
    publishBank(&loaded);
    settings.beginLoad();
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        settings.channelProgram[channel].store(loaded.channelProgram[channel], std::memory_order_release);
    settings.ntsc.store(loaded.ntsc, std::memory_order_release);
    settings.gain.store(loaded.gain, std::memory_order_release);
    // A chunk saved before controllers were played has no such setting, and
    // its song must sound as it did: without them.
    // Saved again untouched, such a song keeps its bytes.
    settings.midiControllers.store(loaded.midiControllers == 1 ? 1 : 0, std::memory_order_release);
    controllersInChunk_.store(loaded.midiControllers != chunk::kSettingAbsent, std::memory_order_release);
    settings.console.store(loaded.console, std::memory_order_release);
    settings.n163Channels.store(loaded.n163Channels, std::memory_order_release);
    settings.mpe.store(loaded.mpe, std::memory_order_release);
    settings.appliedLoadSerial.store(lastLoadSerial_, std::memory_order_release);
    settings.endLoad();
    markProgramsChanged();
    return true;
}
