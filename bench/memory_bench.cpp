// What an instance costs in memory, as a song with many Plinka tracks spends
// it: sixteen instances made, each given the demo bank's state and played for
// a second, measured as the growth of the process's resident memory.
#include "shell/PLINKA.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <vector>

namespace {

constexpr int kInstances = 16;
constexpr int kBlock = 512;
constexpr float kRate = 44100.0f;

long residentBytes()
{
    std::ifstream status("/proc/self/statm");
    long pages = 0, resident = 0;
    status >> pages >> resident;
    return resident * 4096;
}

void SixteenInstancesLoadedAndPlayed(benchmark::State& state)
{
    for (auto _ : state) {
        // A state with every program's texts filled, as a saved song has.
        std::vector<unsigned char> song;
        {
            PLINKA source(nullptr);
            source.instrument.editBank([](ProgramBank& bank) {
                for (Program& program : bank)
                    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
                        copyTextField(program.envelopeText[kind], kind == Volume ? "15 13 11 9 | 8 7 / 4 2 0" : "0 1");
            });
            const unsigned char* bytes = nullptr;
            const size_t size = source.instrument.saveState(&bytes);
            song.assign(bytes, bytes + size);
        }
        const long before = residentBytes();
        std::vector<std::unique_ptr<PLINKA>> instances;
        std::vector<float> left(kBlock), right(kBlock);
        float* outputs[2] = {left.data(), right.data()};
        for (int i = 0; i < kInstances; ++i) {
            instances.push_back(std::make_unique<PLINKA>(nullptr));
            PLINKA& plinka = *instances.back();
            plinka.setSampleRate(kRate);
            plinka.setChunk(song.data(), static_cast<VstInt32>(song.size()), false);
            for (int voice = 0; voice < 8; ++voice) {
                const uint8_t note[3] = {0x90, static_cast<uint8_t>(48 + 5 * voice), 100};
                plinka.instrument.queueMidi(0, note);
            }
            for (int block = 0; block < static_cast<int>(kRate) / kBlock; ++block)
                plinka.processReplacing(nullptr, outputs, kBlock);
            void* saved = nullptr;
            plinka.getChunk(&saved, false);  // a host saving the song
        }
        const long grown = residentBytes() - before;
        state.counters["MB_per_instance"] = static_cast<double>(grown) / kInstances / 1e6;
        state.counters["MB_for_16"] = static_cast<double>(grown) / 1e6;
        benchmark::DoNotOptimize(instances.data());
    }
}
BENCHMARK(SixteenInstancesLoadedAndPlayed)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
