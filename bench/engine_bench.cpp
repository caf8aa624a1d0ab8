// The render loop, engine and sample-by-sample oracle side by side: realtime
// factor (seconds of audio per CPU second) and time per voice-sample, idle,
// after every voice has ended, and with 1 or 8 busy voices of each channel,
// at four sample rates, 512-frame blocks; the idle loads again through the
// plug-in binaries as a host drives them (CLAP and VST 2, 44.1 kHz), format
// work included; and one block with a full event queue, sorted or reversed.
// PLINKA_CLAP_PLUGIN and PLINKA_PLUGIN name other builds to measure (an older
// one, say); the default is this build's.
#include "engine/Engine.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/SampleBank.h"
#include "instrument/FactoryPresets.h"
#include "tests/EngineOracle.h"
#include "tools/host/ClapHost.h"
#include "tools/host/PluginHost.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int32_t kBlock = 512;
constexpr float kPluginRate = 44100.0f;

enum Scenario {
    Idle,
    Ended,
    OnePulse,
    EightPulse,
    EightTriangle,
    EightNoise,
    EightMixed,
    EightVrc6Pulse,
    EightVrc6Saw,
    EightSample,
    EightChannels,
    EightConsole,
    Eight5bTone,
    Eight5bBuzz,
    EightMmc5Pulse,
    EightFds,
    EightN163,
    EightN163Console,
    EightVrc7,
    EightVrc7Held,
    EightVrc7HeldFeedback
};
const char* const kScenarioNames[] = {"idle",    "after 8 ended", "1 pulse", "8 pulse",      "8 triangle",
                                      "8 noise", "8 mixed",       "8 vrc6 pulse", "8 vrc6 saw", "8 sample",
                                      "8 channels",    "8 console", "8 5b tone", "8 5b buzz",
                                      "8 mmc5 pulse", "8 fds", "8 n163", "8 n163 console",
                                      "8 vrc7", "8 vrc7 held", "8 vrc7 held fb"};
// Programs the factory bank leaves at their defaults, given the VRC6's channels.
constexpr int32_t kVrc6PulseProgram = 9;
constexpr int32_t kVrc6SawProgram = 10;
constexpr int32_t kSampleProgram = 11;
constexpr int32_t kS5bToneProgram = 12;
constexpr int32_t kS5bBuzzProgram = 13;
constexpr int32_t kMmc5PulseProgram = 14;
constexpr int32_t kFdsProgram = 15;  // its sine, modulated
constexpr int32_t kN163Program = 16;  // a 32-sample wave
constexpr int32_t kVrc7Program = 17;  // the electric piano, fading while held
// Patch 3's bytes with both envelopes sustained: the same sound, held at
// its sustain levels as long as the key is down.
constexpr int32_t kVrc7HeldProgram = 18;
// A held custom patch with feedback 5: each sample's modulator waits for
// the last two, a chain no run of samples shortens.
constexpr int32_t kVrc7HeldFeedbackProgram = 19;

// Blocks the ended voices sound before their keys go up, and after, before
// the measured ones: their chips have run dry by then.
constexpr int kBlocksBeforeRelease = 20;
constexpr int kBlocksAfterRelease = 4;

// One channel of a block's output, aligned to a cache line as hosts hand
// theirs over: with the heap's alignment, which the program's environment
// moves, the idle figures of one build differed by a third between runs.
class BlockOutput {
public:
    float* data() { return samples_->values; }

private:
    struct alignas(64) Samples {
        float values[kBlock] = {};
    };
    std::unique_ptr<Samples> samples_ = std::make_unique<Samples>();
};

struct Bank {
    ProgramBank programs;
    SampleBank samples;
};

std::unique_ptr<Bank> compiledFactoryBank()
{
    auto bank = std::make_unique<Bank>();
    buildDefaultBank(bank->programs);
    bank->programs[kVrc6PulseProgram].channelType = Vrc6Pulse;
    copyTextField(bank->programs[kVrc6PulseProgram].envelopeText[Duty], "3");
    bank->programs[kVrc6SawProgram].channelType = Vrc6Saw;
    copyTextField(bank->programs[kVrc6SawProgram].envelopeText[Volume], "42");
    bank->programs[kS5bToneProgram].channelType = S5b;
    bank->programs[kS5bBuzzProgram].channelType = S5b;
    copyTextField(bank->programs[kS5bBuzzProgram].envelopeText[Duty], "3");
    bank->programs[kMmc5PulseProgram].channelType = Mmc5Pulse;
    copyTextField(bank->programs[kMmc5PulseProgram].envelopeText[Duty], "2");
    bank->programs[kFdsProgram].channelType = Fds;
    copyTextField(bank->programs[kFdsProgram].envelopeText[Volume], "32");
    copyTextField(bank->programs[kFdsProgram].waveText,
                  "mod 1 1 1 1 1 1 1 1 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 1 1 1 1 1 1 1 1 mod-rate 40 mod-depth 8");
    bank->programs[kN163Program].channelType = N163;
    bank->programs[kVrc7Program].channelType = Vrc7;
    copyTextField(bank->programs[kVrc7Program].waveText, "patch 3");
    bank->programs[kVrc7HeldProgram].channelType = Vrc7;
    copyTextField(bank->programs[kVrc7HeldProgram].waveText, "patch custom custom 31 31 08 08 FA B2 20 12");
    bank->programs[kVrc7HeldFeedbackProgram].channelType = Vrc7;
    copyTextField(bank->programs[kVrc7HeldFeedbackProgram].waveText, "patch custom custom 31 31 0C 05 F8 F4 20 13");
    // A looped sample of varied bits at the fastest rate on every key the
    // voices play: the channel's busiest load.
    uint8_t bytes[kMaxSampleBytes];
    for (int32_t i = 0; i < kMaxSampleBytes; ++i)
        bytes[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
    bank->samples.put("loop", bytes, kMaxSampleBytes);
    bank->programs[kSampleProgram].channelType = Sample;
    std::string keys;
    for (int key = 45; key <= 80; key += 5)
        keys += std::to_string(key) + "=loop:15:loop ";
    copyTextField(bank->programs[kSampleProgram].keyMapText, keys.c_str());
    compileAllEnvelopes(bank->programs);
    return bank;
}

int voicesOf(Scenario scenario)
{
    return scenario == Idle ? 0 : scenario == OnePulse ? 1 : 8;
}

// The program (factory 2 pulse, 3 triangle, 4 noise, or a VRC6 one) and key
// of voice i; the voices play on channels 0..7, each set to its program.
void voice(Scenario scenario, int i, int32_t& program, uint8_t& key)
{
    // One note on each of the console's channels, through eight chips or one.
    const int32_t everyChannel[] = {2, 2, 3, 4, kSampleProgram, kVrc6PulseProgram, kVrc6PulseProgram, kVrc6SawProgram};
    const int32_t programs[] = {2, 3, 4};
    const bool mixed = scenario == EightMixed || scenario == Ended;
    program = scenario == EightChannels || scenario == EightConsole ? everyChannel[i]
              : scenario == EightTriangle                           ? 3
              : scenario == EightNoise     ? 4
              : mixed                      ? programs[i % 3]
              : scenario == EightVrc6Pulse ? kVrc6PulseProgram
              : scenario == EightVrc6Saw   ? kVrc6SawProgram
              : scenario == EightSample    ? kSampleProgram
              : scenario == Eight5bTone    ? kS5bToneProgram
              : scenario == Eight5bBuzz    ? kS5bBuzzProgram
              : scenario == EightMmc5Pulse ? kMmc5PulseProgram
              : scenario == EightFds       ? kFdsProgram
              : scenario == EightN163 || scenario == EightN163Console ? kN163Program
              : scenario == EightVrc7 ? kVrc7Program
              : scenario == EightVrc7Held ? kVrc7HeldProgram
              : scenario == EightVrc7HeldFeedback ? kVrc7HeldFeedbackProgram
                                           : 2;
    key = static_cast<uint8_t>(45 + 5 * i);
}

// The MIDI a scenario's voices start (on) or end (off) with, as each
// channel's program change and its note.
std::vector<std::array<uint8_t, 3>> scenarioMidi(Scenario scenario, bool on)
{
    std::vector<std::array<uint8_t, 3>> messages;
    for (int i = 0; i < voicesOf(scenario); ++i) {
        int32_t program;
        uint8_t key;
        voice(scenario, i, program, key);
        const auto channel = static_cast<uint8_t>(i);
        if (on)
            messages.push_back({static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(program), 0});
        messages.push_back({static_cast<uint8_t>((on ? 0x90 : 0x80) | channel), key, on ? uint8_t{100} : uint8_t{0}});
    }
    return messages;
}

// Plays the notes of an Ended scenario and lets them go, so that the measured
// blocks are the ones after; `render` renders one block, `send` queues MIDI
// at the start of the next.
template <class Render, class Send> void endVoices(Scenario scenario, Render&& render, Send&& send)
{
    if (scenario != Ended)
        return;
    send(scenarioMidi(scenario, true));
    for (int block = 0; block < kBlocksBeforeRelease; ++block)
        render();
    send(scenarioMidi(scenario, false));
    for (int block = 0; block < kBlocksAfterRelease; ++block)
        render();
}

template <class Render> void runScenario(benchmark::State& state, Render&& render, Scenario scenario, float rate)
{
    const int64_t blocksPerSecond = static_cast<int64_t>(rate) / kBlock;
    for (auto _ : state) {
        for (int64_t block = 0; block < blocksPerSecond; ++block)
            render();
    }
    const double audioSeconds = static_cast<double>(blocksPerSecond * kBlock) / rate;
    state.counters["realtime_x"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsIterationInvariantRate);
    const int voices = std::max(scenario == Ended ? 0 : voicesOf(scenario), 1);
    // Seconds per voice-sample, printed with its SI prefix (n for nanoseconds).
    state.counters["per_voice_sample"] =
        benchmark::Counter(static_cast<double>(blocksPerSecond * kBlock * voices),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel(kScenarioNames[scenario]);
}

void engineBench(benchmark::State& state)
{
    const auto scenario = static_cast<Scenario>(state.range(0));
    const auto rate = static_cast<float>(state.range(1));
    auto bank = compiledFactoryBank();
    SharedSettings settings;
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    exchange->back().capture(bank->programs, &bank->samples);
    exchange->publish();
    if (scenario == EightConsole || scenario == EightN163Console)
        settings.console.store(ConsoleNes);
    auto engine = std::make_unique<Engine>(settings, *exchange);
    BlockOutput left, right;
    auto render = [&] {
        engine->render(left.data(), right.data(), kBlock, rate);
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    };
    auto send = [&](const std::vector<std::array<uint8_t, 3>>& messages) {
        for (const auto& message : messages)
            engine->queueMidi(0, message.data());
    };
    if (scenario == Ended)
        endVoices(scenario, render, send);
    else
        send(scenarioMidi(scenario, true));
    runScenario(state, render, scenario, rate);
}

void oracleBench(benchmark::State& state)
{
    const auto scenario = static_cast<Scenario>(state.range(0));
    const auto rate = static_cast<float>(state.range(1));
    auto bank = compiledFactoryBank();
    auto oracle = std::make_unique<EngineOracle>(bank->programs);
    BlockOutput left, right;
    auto render = [&] {
        oracle->processReplacing(left.data(), right.data(), kBlock, rate);
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    };
    auto send = [&](const std::vector<std::array<uint8_t, 3>>& messages) {
        for (const auto& message : messages)
            oracle->processEvent(0, message[0], message[1], message[2]);
    };
    if (scenario == Ended)
        endVoices(scenario, render, send);
    else
        send(scenarioMidi(scenario, true));
    runScenario(state, render, scenario, rate);
}

void scenariosUpTo(benchmark::internal::Benchmark* bench, int last)
{
    for (int scenario = Idle; scenario <= last; ++scenario)
        for (int rate : {44100, 48000, 96000, 192000})
            bench->Args({scenario, rate});
    bench->Unit(benchmark::kMillisecond);
}

void scenarios(benchmark::internal::Benchmark* bench)
{
    scenariosUpTo(bench, EightVrc7HeldFeedback);
}

// The oracle has no samples.
void oracleScenarios(benchmark::internal::Benchmark* bench)
{
    scenariosUpTo(bench, EightVrc6Saw);
}

const char* pluginPath(const char* variable, const char* built)
{
    const char* path = std::getenv(variable);
    return path && *path ? path : built;
}

// The idle loads through the CLAP build, as a host calls its process: an
// empty event list, a stereo output.
void clapBench(benchmark::State& state)
{
    const auto scenario = static_cast<Scenario>(state.range(0));
    ClapHost host;
    if (!host.load(pluginPath("PLINKA_CLAP_PLUGIN", PLINKA_BENCH_CLAP_PLUGIN))) {
        state.SkipWithError(host.error().c_str());
        return;
    }
    host.start(kPluginRate, kBlock, false);
    BlockOutput left, right;
    std::vector<ClapEvent> events;
    auto render = [&] {
        host.processEvents(events, left.data(), right.data(), kBlock);
        events.clear();
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    };
    auto send = [&](const std::vector<std::array<uint8_t, 3>>& messages) {
        for (const auto& m : messages)
            events.push_back(ClapEvent::midiMessage(0, m[0], m[1], m[2]));
    };
    endVoices(scenario, render, send);
    runScenario(state, render, scenario, kPluginRate);
    state.SetLabel(std::string("CLAP, ") + kScenarioNames[scenario]);
    host.stop();
}

// The same through the VST 2 build: processReplacing on the host's two
// output buffers, with the sample rate asked of the host every block as the
// plug-in does.
void vst2Bench(benchmark::State& state)
{
    const auto scenario = static_cast<Scenario>(state.range(0));
    PluginHost host;
    if (!host.load(pluginPath("PLINKA_PLUGIN", PLINKA_BENCH_PLUGIN))) {
        state.SkipWithError(host.error().c_str());
        return;
    }
    host.recordCalls = false;
    host.start(kPluginRate, kBlock);
    BlockOutput left, right;
    float* inputs[1] = {nullptr};  // the plug-in has none
    float* outputs[2] = {left.data(), right.data()};
    AEffect* effect = host.effect();
    auto render = [&] {
        effect->processReplacing(effect, inputs, outputs, kBlock);
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    };
    auto send = [&](const std::vector<std::array<uint8_t, 3>>& messages) {
        std::vector<std::pair<VstInt32, std::vector<uint8_t>>> midi;
        for (const auto& m : messages)
            midi.push_back({0, {m[0], m[1], m[2]}});
        host.sendMidi(midi);
    };
    endVoices(scenario, render, send);
    runScenario(state, render, scenario, kPluginRate);
    state.SetLabel(std::string("VST 2, ") + kScenarioNames[scenario]);
}

// One block crowded with note-ons and note-offs, every event queue full,
// arriving in sample order or reversed: sorting them must not cost more than
// acting on them. Time per block.
void eventBench(benchmark::State& state)
{
    const bool reversed = state.range(0) != 0;
    auto bank = compiledFactoryBank();
    SharedSettings settings;
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    exchange->back().capture(bank->programs, &bank->samples);
    exchange->publish();
    auto engine = std::make_unique<Engine>(settings, *exchange);
    struct Midi {
        int32_t delta;
        uint8_t message[3];
    };
    constexpr int32_t kEvents = static_cast<int32_t>(EventQueue::kCapacity);
    std::vector<Midi> events;
    for (int32_t i = 0; i < kEvents; ++i) {
        const auto channel = static_cast<uint8_t>(i % 16);
        const auto key = static_cast<uint8_t>(40 + i % 48);
        const uint8_t velocity = (i / 16) % 2 == 0 ? 100 : 0;
        events.push_back({i * kBlock / kEvents, {static_cast<uint8_t>(0x90 | channel), key, velocity}});
    }
    if (reversed)
        std::reverse(events.begin(), events.end());
    BlockOutput left, right;
    for (auto _ : state) {
        for (const Midi& event : events)
            engine->queueMidi(event.delta, event.message);
        engine->render(left.data(), right.data(), kBlock, 44100.0f);
        benchmark::DoNotOptimize(left.data());
    }
    state.SetLabel(reversed ? "8192 events, reversed" : "8192 events, sorted");
}

}  // namespace

BENCHMARK(engineBench)->Apply(scenarios);
BENCHMARK(oracleBench)->Apply(oracleScenarios);
BENCHMARK(clapBench)->Arg(Idle)->Arg(Ended)->Unit(benchmark::kMillisecond);
BENCHMARK(vst2Bench)->Arg(Idle)->Arg(Ended)->Unit(benchmark::kMillisecond);
BENCHMARK(eventBench)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
