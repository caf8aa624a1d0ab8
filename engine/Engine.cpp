#include "Engine.h"

#include "EnvelopeSequencer.h"
#include "chip/VoiceChip.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kSampleScale = 1.0f / 32768.0f;
// The rate the buffers are given at construction, so that the first block's
// set-up allocates nothing.
constexpr long kInitialSampleRate = 44100;

bool usableRate(float rate)
{
    return std::isfinite(rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

}  // namespace

Engine::Engine(SharedSettings& settings, BankExchange& bank) : settings_(settings), bank_(bank)
{
    for (int i = 0; i < kVoiceCount; ++i) {
        chipReady[i] = voiceChips[i].setup(kNtscClockRate, kInitialSampleRate, kNtscFrameRate) == nullptr;
        wantsCells_[i].store(!chipReady[i], std::memory_order_relaxed);
    }
}

Engine::~Engine()
{
    for (std::atomic<uint16_t*>& cells : preparedCells_)
        delete[] cells.load(std::memory_order_acquire);
}

void Engine::prepare(float hostRate)
{
    if (!usableRate(hostRate))
        return;
    for (int i = 0; i < kVoiceCount; ++i) {
        if (!wantsCells_[i].load(std::memory_order_relaxed) || preparedCells_[i].load(std::memory_order_relaxed))
            continue;
        uint16_t* cells = Band_Buffer::new_cells();
        uint16_t* none = nullptr;
        // Another host thread preparing at the same time may have been first.
        if (cells && !preparedCells_[i].compare_exchange_strong(none, cells, std::memory_order_release))
            delete[] cells;
    }
}

void Engine::queueMidi(int32_t deltaFrames, const uint8_t message[3])
{
    intake.decode(deltaFrames, message, eventQueue);
}

void Engine::readSettings(const BankSnapshot& bank)
{
    // While a chunk load's settings are not yet in the atomics, they come
    // with its bank snapshot.
    const bool loading =
        bank.loadSerial != 0 && settings_.appliedLoadSerial.load(std::memory_order_acquire) != bank.loadSerial;
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        block_.channelProgram[channel] = loading ? bank.loadChannelProgram[channel]
                                                 : settings_.channelProgram[channel].load(std::memory_order_relaxed);
    block_.ntsc = loading ? bank.loadNtsc : settings_.ntsc.load(std::memory_order_relaxed);
    block_.gain = loading ? bank.loadGain : settings_.gain.load(std::memory_order_relaxed);
    block_.polyphony = std::clamp(settings_.polyphony.load(std::memory_order_relaxed), 1, kVoiceCount);
    for (int32_t& program : block_.channelProgram)
        program = std::clamp(program, 0, kProgramCount - 1);
}

void Engine::adoptPreparedCells(float hostRate)
{
    for (int i = 0; i < kVoiceCount; ++i) {
        if (chipReady[i] || !preparedCells_[i].load(std::memory_order_relaxed))
            continue;
        voiceChips[i].buffer.adopt_cells(preparedCells_[i].exchange(nullptr, std::memory_order_acquire));
        chipReady[i] = voiceChips[i].setup(clockRate, static_cast<long>(hostRate), frameRate) == nullptr;
        wantsCells_[i].store(!chipReady[i], std::memory_order_relaxed);
    }
}

void Engine::setUpChipsIfNeeded(float hostRate)
{
    float setUpRate = settings_.chipSampleRate.load(std::memory_order_relaxed);
    // Any difference counts, NaN too; so does a clock the chips were not set
    // up with (a chunk load may switch between NTSC and PAL).
    if (hostRate == setUpRate && clockRate == setUpClockRate_)
        return;
    const auto rate = static_cast<long>(hostRate);
    for (int i = 0; i < kVoiceCount; ++i)
        chipReady[i] = voiceChips[i].setup(clockRate, rate, frameRate) == nullptr;  // never allocates
    setUpClockRate_ = clockRate;
    // Unless another thread asked for a new set-up meanwhile (then it stays
    // asked for), the chips now serve this rate.
    settings_.chipSampleRate.compare_exchange_strong(setUpRate, hostRate, std::memory_order_relaxed);
}

void Engine::act(const EngineEvent& event, const BankSnapshot& bank)
{
    const VoiceContext context{bank, block_.channelProgram, block_.polyphony};
    switch (event.type) {
    case NoteEvent:
        if (event.velocity > 0)
            voicePool.noteOn(context, event.channel, event.key, event.velocity);
        else
            voicePool.noteOff(context, event.channel, event.key);
        break;
    case BendEvent:
        channelBend[event.channel] = event.bend;
        break;
    case ProgramEvent:
        if (block_.channelProgram[event.channel] != event.program) {
            block_.channelProgram[event.channel] = event.program;
            settings_.channelProgram[event.channel].store(event.program, std::memory_order_relaxed);
            settings_.programsChanged.store(true, std::memory_order_release);
        }
        break;
    default:
        break;
    }
}

void Engine::mixVoices(int32_t count, const BankSnapshot& bank)
{
    std::fill(mix_, mix_ + count, 0.0f);
    for (int i = 0; i < kVoiceCount; ++i) {
        if (!chipReady[i])
            continue;  // no buffer to read: this voice is silent
        Voice& voice = voicePool.voices[i];
        VoiceChip& chip = voiceChips[i];
        int32_t done = 0;
        while (done < count) {
            if (chip.buffer.samples_avail() == 0) {
                stepVoiceFrame(voice, chip, bank.programs[voice.program], channelBend[voice.channel], clockRate);
                if (chip.buffer.samples_avail() == 0)
                    break;  // a free voice renders nothing until an event restarts it
            }
            const long wanted = std::min<long>(chip.buffer.samples_avail(), count - done);
            const long read = chip.buffer.read_samples(pcm_, wanted);
            // Voices are added in index order, as one sample-by-sample sum would.
            for (long j = 0; j < read; ++j)
                mix_[done + j] += static_cast<float>(pcm_[j]) * kSampleScale;
            done += static_cast<int32_t>(read);
        }
    }
}

void Engine::render(float* left, float* right, int32_t frames, float hostRate)
{
    const BankSnapshot& bank = bank_.acquire();
    readSettings(bank);
    clockRate = block_.ntsc == 1 ? kNtscClockRate : kPalClockRate;
    frameRate = block_.ntsc == 1 ? kNtscFrameRate : kPalFrameRate;
    const bool playing = usableRate(hostRate);
    if (playing) {
        adoptPreparedCells(hostRate);
        setUpChipsIfNeeded(hostRate);
    }
    // An event with deltaFrames d acts just before sample d; negative ones
    // never act, and those at or past the block's end are dropped with it.
    eventQueue.sortBySample(frames);
    size_t next = 0;
    const auto gain = static_cast<float>(block_.gain);
    int32_t position = 0;
    while (position < frames) {
        while (next < eventQueue.size() && eventQueue[next].deltaFrames == position)
            act(eventQueue[next++], bank);
        int32_t end = frames;
        if (next < eventQueue.size())
            end = std::min(end, eventQueue[next].deltaFrames);
        end = std::min(end, position + kMixLength);
        const int32_t count = end - position;
        if (playing)
            mixVoices(count, bank);
        else
            std::fill(mix_, mix_ + count, 0.0f);
        for (int32_t j = 0; j < count; ++j) {
            const float out = std::clamp(gain * mix_[j] / 100.0f, -1.0f, 1.0f);
            if (left)
                left[position + j] = out;
            if (right)
                right[position + j] = out;
        }
        position = end;
    }
    eventQueue.clear();
}
