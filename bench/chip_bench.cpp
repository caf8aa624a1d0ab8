// Speed of one voice's chip: emulated chip-seconds per CPU second for each
// channel the instrument plays (the 2A03's and the VRC6's; the 5B's, the
// MMC5's, the FDS's and the N163's on a buffer of their own), driven frame by
// frame as the engine drives it
// (a few writes, end_frame, then every sample read), and the cost per sample
// of reading the buffer in one run or one sample at a time. Then the console
// mode's shared chip with all eight channels sounding, against the same
// eight channels on eight voices' chips: time per frame.
#include "chip/ConsoleChip.h"
#include "chip/VoiceChip.h"
#include "chip/fds/Chip_Fds.h"
#include "chip/mmc5/Chip_Mmc5.h"
#include "chip/n163/Chip_N163.h"
#include "chip/s5b/Chip_S5b.h"
#include "chip/vrc7/Chip_Vrc7.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

namespace {

constexpr long ntsc_clock = 1789773;
constexpr int ntsc_frame_rate = 60;
constexpr long sample_rate = 44100;
constexpr int32_t frame_clocks = 29828;

struct Reg_Write {
    unsigned addr;
    int data;
};

// Addresses from $9000 on are the VRC6's.
void write(VoiceChip& voice, std::initializer_list<Reg_Write> writes)
{
    for (const Reg_Write& w : writes) {
        voice.write_time += 4;
        if (w.addr >= 0x9000)
            voice.expansion<Chip_Vrc6>().write_register(voice.write_time, w.addr, w.data);
        else
            voice.chip.write_register(voice.write_time, w.addr, w.data);
    }
}

// `first` goes into the first frame only (enable, then length and period
// high, which restart the channel); `every` into every frame, as envelopes would.
void playChannel(benchmark::State& state, std::initializer_list<Reg_Write> first,
                 std::initializer_list<Reg_Write> every)
{
    VoiceChip voice;
    if (voice.setup(ntsc_clock, sample_rate, ntsc_frame_rate)) {
        state.SkipWithError("Out of memory");
        return;
    }
    write(voice, first);
    short out[1024];
    int64_t frames = 0;
    int64_t samples = 0;
    int peak = 0;
    for (auto _ : state) {
        write(voice, every);
        voice.end_frame();
        while (const long n = voice.buffer.read_samples(out, 1024)) {
            benchmark::DoNotOptimize(out);
            samples += n;
            peak = std::max(peak, static_cast<int>(out[0]));
        }
        ++frames;
    }
    state.counters["chip_seconds_per_cpu_second"] =
        benchmark::Counter(static_cast<double>(frames) / ntsc_frame_rate, benchmark::Counter::kIsRate);
    state.counters["samples"] = static_cast<double>(samples);
    // Proof that the channel sounded: its level moved.
    state.counters["peak"] = peak;
}

// 440 Hz: period 253 gives 1789773 / (16 * 254) = 440.4 Hz.
void BM_PulseA440(benchmark::State& state)
{
    playChannel(state, {{0x4015, 0x01}, {0x4001, 0x08}, {0x4003, 0x08}},
                {{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 253}});
}

// 440 Hz: period 126 gives 1789773 / (32 * 127) = 440.4 Hz.
void BM_TriangleA440(benchmark::State& state)
{
    playChannel(state, {{0x4015, 0x04}, {0x400B, 0x08}}, {{0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, 126}});
}

// Period index 0: a register step every 4 clocks, the busiest the chip gets.
void BM_NoiseFastest(benchmark::State& state)
{
    playChannel(state, {{0x4015, 0x08}, {0x400F, 0x08}}, {{0x4015, 0x08}, {0x400C, 0x3F}, {0x400E, 0x00}});
}

// The VRC6 as a VRC6 Pulse voice plays it, the 2A03 silent beside it: period
// 253 gives 1789773 / (16 * 254) = 440.4 Hz, duty 4/16.
void BM_Vrc6PulseA440(benchmark::State& state)
{
    playChannel(state, {}, {{0x4015, 0x00}, {0x9000, 0x3F}, {0x9001, 253}, {0x9002, 0x80}});
}

// Period 289 gives 1789773 / (14 * 290) = 440.8 Hz; rate 42, the loudest clean saw.
void BM_Vrc6SawA440(benchmark::State& state)
{
    playChannel(state, {}, {{0x4015, 0x00}, {0xB000, 42}, {0xB001, 289 & 0xFF}, {0xB002, 0x80 | 289 >> 8}});
}

// A chip alone on a buffer of its own, as a voice plays it: `first(write)`
// before the first frame, `every(write)` in each, write(addr, data) writing
// at clocks 4, 8, 12, ... of the frame; frames of 29780 and 29781 clocks,
// every sample read.
template <class Chip, class First, class Every> void playAlone(benchmark::State& state, First&& first, Every&& every)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    if (buffer.set_sample_rate(static_cast<int32_t>(sample_rate))) {
        state.SkipWithError("Out of memory");
        return;
    }
    Chip chip;
    chip.set_output(&buffer);
    int32_t time = 0;
    auto write = [&chip, &time](unsigned addr, int data) { chip.write_register(time += 4, addr, data); };
    first(write);
    short out[1024];
    int64_t frames = 0;
    int peak = 0;
    for (auto _ : state) {
        every(write);
        const int32_t length = 29780 + static_cast<int32_t>(frames & 1);
        chip.end_frame(length);
        buffer.end_frame(length);
        time = 0;
        while (buffer.read_samples(out, 1024)) {
            benchmark::DoNotOptimize(out);
            peak = std::max(peak, static_cast<int>(out[0]));
        }
        ++frames;
    }
    state.counters["chip_seconds_per_cpu_second"] =
        benchmark::Counter(static_cast<double>(frames) / ntsc_frame_rate, benchmark::Counter::kIsRate);
    state.counters["peak"] = peak;
}

// The 5B's registers, each selected at $C000 and written at $E000.
void playS5b(benchmark::State& state, std::initializer_list<Reg_Write> first, std::initializer_list<Reg_Write> every)
{
    auto registers = [](std::initializer_list<Reg_Write> writes) {
        return [writes](auto& write) {
            for (const Reg_Write& w : writes) {
                write(0xC000, static_cast<int>(w.addr));
                write(0xE000, w.data);
            }
        };
    };
    playAlone<Chip_S5b>(state, registers(first), registers(every));
}

// A held note as a 5B voice would write it each frame: tone A only, TP 127
// gives 1789773 / (32 * 127) = 440.4 Hz, volume 15.
void BM_S5bToneA440(benchmark::State& state)
{
    playS5b(state, {{7, 0x3E}}, {{0, 127}, {1, 0}, {8, 15}});
}

// A buzz: the falling saw envelope $08 on a constant gate, EP 8 gives
// 1789773 / (512 * 8) = 437 Hz, a step every 128 clocks; the shape written once.
void BM_S5bBuzzSaw(benchmark::State& state)
{
    playS5b(state, {{7, 0x3F}, {11, 8}, {12, 0}, {13, 0x08}}, {{8, 0x10}});
}

// An MMC5 pulse held as an MMC5 voice would play it: period 253 gives
// 1789773 / (16 * 254) = 440.4 Hz, duty 50 %, its registers written every frame.
void BM_Mmc5PulseA440(benchmark::State& state)
{
    playAlone<Chip_Mmc5>(
        state,
        [](auto& write) {
            write(0x5015, 0x01);
            write(0x5003, 0x08);
        },
        [](auto& write) {
            write(0x5015, 0x01);
            write(0x5000, 0xBF);
            write(0x5002, 253);
        });
}

// An FDS note held as an FDS voice would play it: a triangle wave, P = 1031
// gives 440 Hz, gain 32 and pitch written every frame; with `modulated` a
// vibrato of depth 8 from a +1 / -1 table at MF 14 (6 Hz).
void playFds(benchmark::State& state, bool modulated)
{
    auto first = [modulated](auto& write) {
        write(0x4089, 0x80);
        for (unsigned i = 0; i < 64; ++i)
            write(0x4040 + i, i < 32 ? static_cast<int>(i) * 2 : 126 - static_cast<int>(i) * 2 + 1);
        write(0x4089, 0);
        write(0x4087, 0x80);
        for (int e = 0; e < 32; ++e)
            write(0x4088, e % 16 < 8 ? 1 : 7);
        write(0x4085, 0);
        write(0x4084, modulated ? 0x88 : 0x80);
        write(0x4086, modulated ? 14 : 0);
        write(0x4087, 0);
        write(0x4083, 1031 >> 8);
    };
    playAlone<Chip_Fds>(state, first, [](auto& write) {
        write(0x4080, 0xA0);
        write(0x4082, 1031 & 0xFF);
    });
}

void BM_FdsHeldNoteA440(benchmark::State& state)
{
    playFds(state, false);
}

void BM_FdsVibratoA440(benchmark::State& state)
{
    playFds(state, true);
}

// The N163: a 32-sample wave (a rising then falling staircase) at the start
// of its RAM, then `channels` channels, the c-th at an F of `frequency` times
// (4 + c) / 4, their volumes written every frame as an envelope would.
void playN163(benchmark::State& state, int channels, long frequency)
{
    auto first = [channels, frequency](auto& write) {
        write(0xF800, 0x80);
        for (int i = 0; i < 16; ++i)
            write(0x4800, (i < 8 ? 2 * i : 31 - 2 * i) * 0x11);
        for (int c = 0; c < channels; ++c) {
            const long f = frequency * (4 + c) / 4;
            write(0xF800, 0x80 | (0x78 - 8 * c));
            for (const int data : {static_cast<int>(f & 0xFF), 0, static_cast<int>(f >> 8 & 0xFF), 0,
                                   0xE0 | static_cast<int>(f >> 16), 0, 0, (channels - 1) << 4 | 15})
                write(0x4800, data);
        }
    };
    playAlone<Chip_N163>(state, first, [channels](auto& write) {
        for (int c = 0; c < channels; ++c) {
            write(0xF800, 0x7F - 8 * c);
            write(0x4800, (c == 0 ? (channels - 1) << 4 : 0) | 15);
        }
    });
}

// One channel: F 7735 gives 1789773 * 7735 / (15 * 65536 * 32) = 440.0 Hz.
void BM_N163WaveA440(benchmark::State& state)
{
    playN163(state, 1, 7735);
}

// Eight channels from 440 Hz up: F 61880 is 440 Hz with N = 8.
void BM_N163EightChannels(benchmark::State& state)
{
    playN163(state, 8, 61880);
}

// Eight VRC7 voices: eight chips, one channel each, on one buffer, every
// write going to all of them. Its chip-seconds are those of the eight voices.
struct Vrc7_Voices {
    static constexpr int voices = 8;
    Chip_Vrc7 chips[voices];

    // An eighth each, so that their sum stays within the buffer's range.
    Vrc7_Voices()
    {
        for (Chip_Vrc7& chip : chips)
            chip.set_volume(1.0 / voices);
    }
    void set_output(Band_Buffer* buffer)
    {
        for (Chip_Vrc7& chip : chips)
            chip.set_output(buffer);
    }
    void write_register(int32_t time, unsigned addr, int data)
    {
        for (Chip_Vrc7& chip : chips)
            chip.write_register(time, addr, data);
    }
    void end_frame(int32_t time)
    {
        for (Chip_Vrc7& chip : chips)
            chip.end_frame(time);
    }
};

// Channel 1 at A4 (F 290, block 4: 440.0 Hz) with ROM patch `patch`, its
// volume written every frame as an envelope would; with `retrigger`, keyed
// off and on again every eighth frame, each new note passing through the
// damping and the attack.
void playVrc7(benchmark::State& state, int patch, bool retrigger)
{
    auto internal = [](auto& write, int reg, int data) {
        write(0x9010, reg);
        write(0x9030, data);
    };
    auto first = [&](auto& write) {
        internal(write, 0x10, 290 & 0xFF);
        internal(write, 0x30, patch << 4);
        internal(write, 0x20, 0x10 | 4 << 1 | 290 >> 8);
    };
    int frame = 0;
    playAlone<Vrc7_Voices>(state, first, [&](auto& write) {
        internal(write, 0x30, patch << 4 | (frame & 3));
        if (retrigger && frame % 8 == 7)
            internal(write, 0x20, 4 << 1 | 290 >> 8);
        if (retrigger && frame % 8 == 0)
            internal(write, 0x20, 0x10 | 4 << 1 | 290 >> 8);
        ++frame;
    });
}

// Flute: feedback 7 on the modulator, vibrato on the carrier, held.
void BM_Vrc7EightVoicesFluteA440(benchmark::State& state)
{
    playVrc7(state, 4, false);
}

// Guitar: a percussive carrier, struck again every eight frames.
void BM_Vrc7EightVoicesGuitarRetriggered(benchmark::State& state)
{
    playVrc7(state, 2, true);
}

// Read-out alone: a frame's worth of cells integrated per iteration.
void readFrames(benchmark::State& state, long perCall)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    if (buffer.set_sample_rate(static_cast<int32_t>(sample_rate))) {
        state.SkipWithError("Out of memory");
        return;
    }
    short out[1024];
    int64_t samples = 0;
    for (auto _ : state) {
        buffer.end_frame(frame_clocks);
        while (const long n = buffer.read_samples(out, perCall)) {
            benchmark::DoNotOptimize(out);
            samples += n;
        }
    }
    // Seconds per sample, printed with an SI prefix (n for nanoseconds).
    state.counters["time_per_sample"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReadFrameInOneCall(benchmark::State& state)
{
    readFrames(state, 1024);
}

void BM_ReadOneSampleAtATime(benchmark::State& state)
{
    readFrames(state, 1);
}

// All eight channels at once, as the console mode plays a busy passage: both
// pulses, the triangle, noise, a looping sample, both VRC6 pulses and the saw.
const std::initializer_list<Reg_Write> all_channels_first = {
    {0x4015, 0x1F}, {0x4001, 0x08}, {0x4003, 0x08}, {0x4005, 0x08}, {0x4007, 0x08},
    {0x400B, 0x08}, {0x400F, 0x08}, {0x4010, 0x4F}, {0x4012, 0x00}, {0x4013, 0x10}};
const std::initializer_list<Reg_Write> all_channels_every = {
    {0x4000, 0xBF}, {0x4002, 253},  {0x4004, 0x7F}, {0x4006, 190},        {0x4008, 0xFF},           {0x400A, 126},
    {0x400C, 0x3F}, {0x400E, 0x04}, {0x9000, 0x3F}, {0x9001, 253},        {0x9002, 0x80},           {0xA000, 0x5F},
    {0xA001, 200},  {0xA002, 0x80}, {0xB000, 42},   {0xB001, 289 & 0xFF}, {0xB002, 0x80 | 289 >> 8}};

void writeConsole(ConsoleChip& chip, std::initializer_list<Reg_Write> writes)
{
    for (const Reg_Write& w : writes)
        chip.write_register(chip.write_time += 4, w.addr, w.data);
}

void reportFrames(benchmark::State& state, int64_t frames)
{
    state.counters["time_per_frame"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every sample of a frame from `n` buffers, read side by side as the engine reads its voices.
void readTogether(Band_Buffer* const* buffers, int n)
{
    static short out[8][1024];
    short* dests[8];
    for (int i = 0; i < n; ++i)
        dests[i] = out[i];
    while (const long count = std::min(buffers[0]->samples_avail(), 1024L)) {
        Band_Buffer::read_samples(buffers, dests, n, count);
        benchmark::DoNotOptimize(out);
    }
}

// A looping sample of varied bits at the fastest rate, alone: the delta
// modulation's busiest load, with nothing to merge it with.
const std::initializer_list<Reg_Write> sample_first = {
    {0x4015, 0x10}, {0x4010, 0x4F}, {0x4012, 0x00}, {0x4013, 0xFF}, {0x4015, 0x10}};

// The mix and the six group buffers filled and read each frame; or the mix
// alone, the groups switched off and their samples dropped.
void playConsole(benchmark::State& state, bool groups, std::initializer_list<Reg_Write> first = all_channels_first,
                 std::initializer_list<Reg_Write> every = all_channels_every, bool varied_sample = false)
{
    auto chip = std::make_unique<ConsoleChip>();
    if (chip->setup(ntsc_clock, sample_rate, ntsc_frame_rate)) {
        state.SkipWithError("Out of memory");
        return;
    }
    chip->set_groups_enabled(groups);
    if (varied_sample) {
        uint8_t sample[Sample_Memory::size];
        for (int i = 0; i < Sample_Memory::size; ++i)
            sample[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
        chip->load_sample(sample, Sample_Memory::size);
    }
    writeConsole(*chip, first);
    Band_Buffer* buffers[ConsoleChip::buffer_count] = {&chip->mix};
    for (int g = 0; g < ConsoleChip::group_count; ++g)
        buffers[1 + g] = &chip->groups[g];
    int64_t frames = 0;
    for (auto _ : state) {
        writeConsole(*chip, every);
        chip->end_frame();
        if (!groups) {
            for (Band_Buffer& group : chip->groups)
                group.remove_samples(group.samples_avail());
        }
        readTogether(buffers, groups ? ConsoleChip::buffer_count : 1);
        ++frames;
    }
    reportFrames(state, frames);
}

void BM_ConsoleChipAllChannels(benchmark::State& state)
{
    playConsole(state, true);
}

void BM_ConsoleChipAllChannelsMixOnly(benchmark::State& state)
{
    playConsole(state, false);
}

void BM_ConsoleChipSampleAloneMixOnly(benchmark::State& state)
{
    playConsole(state, false, sample_first, {}, true);
}

// The same eight channels, one on each of eight voices' chips.
void BM_EightVoiceChipsAllChannels(benchmark::State& state)
{
    auto voices = std::make_unique<VoiceChip[]>(8);
    for (int v = 0; v < 8; ++v) {
        if (voices[v].setup(ntsc_clock, sample_rate, ntsc_frame_rate)) {
            state.SkipWithError("Out of memory");
            return;
        }
    }
    // Channel v's writes go to voice v: its registers' page.
    auto channelOf = [](unsigned addr) {
        return addr >= 0x9000 ? 5 + static_cast<int>((addr >> 12) - 9)
                              : std::min(static_cast<int>(addr - 0x4000) >> 2, 4);
    };
    auto play = [&](std::initializer_list<Reg_Write> writes) {
        for (const Reg_Write& w : writes) {
            if (w.addr == 0x4015) {
                for (int v = 0; v < 5; ++v)
                    write(voices[v], {{0x4015, 1 << v}});
            } else {
                write(voices[channelOf(w.addr)], {w});
            }
        }
    };
    play(all_channels_first);
    Band_Buffer* buffers[8];
    for (int v = 0; v < 8; ++v)
        buffers[v] = &voices[v].buffer;
    int64_t frames = 0;
    for (auto _ : state) {
        play(all_channels_every);
        for (int v = 0; v < 8; ++v)
            voices[v].end_frame();
        readTogether(buffers, 8);
        ++frames;
    }
    reportFrames(state, frames);
}

}  // namespace

BENCHMARK(BM_PulseA440);
BENCHMARK(BM_TriangleA440);
BENCHMARK(BM_NoiseFastest);
BENCHMARK(BM_Vrc6PulseA440);
BENCHMARK(BM_Vrc6SawA440);
BENCHMARK(BM_Mmc5PulseA440);
BENCHMARK(BM_N163WaveA440);
BENCHMARK(BM_N163EightChannels);
BENCHMARK(BM_S5bToneA440);
BENCHMARK(BM_S5bBuzzSaw);
BENCHMARK(BM_FdsHeldNoteA440);
BENCHMARK(BM_FdsVibratoA440);
BENCHMARK(BM_Vrc7EightVoicesFluteA440);
BENCHMARK(BM_Vrc7EightVoicesGuitarRetriggered);
BENCHMARK(BM_ReadFrameInOneCall);
BENCHMARK(BM_ReadOneSampleAtATime);
BENCHMARK(BM_ConsoleChipAllChannels);
BENCHMARK(BM_ConsoleChipAllChannelsMixOnly);
BENCHMARK(BM_ConsoleChipSampleAloneMixOnly);
BENCHMARK(BM_EightVoiceChipsAllChannels);

BENCHMARK_MAIN();
