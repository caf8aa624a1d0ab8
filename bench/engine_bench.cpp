// The render loop, engine and sample-by-sample oracle side by side: realtime
// factor (seconds of audio per CPU second) and time per voice-sample,
// idle and with 1 or 8 busy voices, at four sample rates, 512-frame blocks;
// and one block with a full event queue, sorted or reversed.
#include "engine/Engine.h"
#include "engine/EnvelopeCompiler.h"
#include "instrument/FactoryPresets.h"
#include "tests/EngineOracle.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int32_t kBlock = 512;

enum Scenario { Idle, OnePulse, EightPulse, EightTriangle, EightNoise, EightMixed, EightVrc6Pulse, EightVrc6Saw };
const char* const kScenarioNames[] = {"idle",    "1 pulse", "8 pulse",      "8 triangle",
                                      "8 noise", "8 mixed", "8 vrc6 pulse", "8 vrc6 saw"};
// Programs the factory bank leaves at their defaults, given the VRC6's channels.
constexpr int32_t kVrc6PulseProgram = 9;
constexpr int32_t kVrc6SawProgram = 10;

struct Bank {
    ProgramBank programs;
};

std::unique_ptr<Bank> compiledFactoryBank()
{
    auto bank = std::make_unique<Bank>();
    buildDefaultBank(bank->programs);
    bank->programs[kVrc6PulseProgram].channelType = Vrc6Pulse;
    copyTextField(bank->programs[kVrc6PulseProgram].envelopeText[Duty], "3");
    bank->programs[kVrc6SawProgram].channelType = Vrc6Saw;
    copyTextField(bank->programs[kVrc6SawProgram].envelopeText[Volume], "42");
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
    const int32_t programs[] = {2, 3, 4};
    program = scenario == EightTriangle    ? 3
              : scenario == EightNoise     ? 4
              : scenario == EightMixed     ? programs[i % 3]
              : scenario == EightVrc6Pulse ? kVrc6PulseProgram
              : scenario == EightVrc6Saw   ? kVrc6SawProgram
                                           : 2;
    key = static_cast<uint8_t>(45 + 5 * i);
}

template <class Render> void runScenario(benchmark::State& state, Render&& render, Scenario scenario, float rate)
{
    std::vector<float> left(kBlock), right(kBlock);
    const int64_t blocksPerSecond = static_cast<int64_t>(rate) / kBlock;
    for (auto _ : state) {
        for (int64_t block = 0; block < blocksPerSecond; ++block)
            render(left.data(), right.data());
        benchmark::DoNotOptimize(left.data());
    }
    const double audioSeconds = static_cast<double>(blocksPerSecond * kBlock) / rate;
    state.counters["realtime_x"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsIterationInvariantRate);
    const int voices = std::max(voicesOf(scenario), 1);
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
    auto engine = std::make_unique<Engine>(settings, *exchange);
    for (int i = 0; i < voicesOf(scenario); ++i) {
        int32_t program;
        uint8_t key;
        voice(scenario, i, program, key);
        settings.channelProgram[i] = program;
        const uint8_t on[3] = {static_cast<uint8_t>(0x90 | i), key, 100};
        engine->queueMidi(0, on);
    }
    runScenario(
        state, [&](float* left, float* right) { engine->render(left, right, kBlock, rate); }, scenario, rate);
}

void oracleBench(benchmark::State& state)
{
    const auto scenario = static_cast<Scenario>(state.range(0));
    const auto rate = static_cast<float>(state.range(1));
    auto bank = compiledFactoryBank();
    auto oracle = std::make_unique<EngineOracle>(bank->programs);
    for (int i = 0; i < voicesOf(scenario); ++i) {
        int32_t program;
        uint8_t key;
        voice(scenario, i, program, key);
        oracle->channelProgram[i] = program;
        oracle->processEvent(0, static_cast<uint8_t>(0x90 | i), key, 100);
    }
    runScenario(
        state, [&](float* left, float* right) { oracle->processReplacing(left, right, kBlock, rate); }, scenario, rate);
}

void scenarios(benchmark::internal::Benchmark* bench)
{
    for (int scenario = Idle; scenario <= EightVrc6Saw; ++scenario)
        for (int rate : {44100, 48000, 96000, 192000})
            bench->Args({scenario, rate});
    bench->Unit(benchmark::kMillisecond);
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
    std::vector<float> left(kBlock), right(kBlock);
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
BENCHMARK(oracleBench)->Apply(scenarios);
BENCHMARK(eventBench)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
