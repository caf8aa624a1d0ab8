// What an instance costs in memory, as a song with many Plinka tracks spends
// it: sixteen instances of the plug-in binary made through its entry point,
// each given a saved state, played for a second and saved again, measured as
// the growth of the process's resident memory. PLINKA_PLUGIN names another
// build to measure (an older one, say); the default is this build's.
#include "tests/ResidentMemory.h"
#include "tools/host/PluginHost.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kInstances = 16;
constexpr int kBlock = 512;
constexpr float kRate = 44100.0f;

long residentBytes()
{
    return residentKilobytes() * 1024;
}

const char* pluginPath()
{
    const char* path = std::getenv("PLINKA_PLUGIN");
    return path && *path ? path : PLINKA_BENCH_PLUGIN;
}

void SixteenInstancesLoadedAndPlayed(benchmark::State& state)
{
    for (auto _ : state) {
        std::vector<std::unique_ptr<PluginHost>> instances;
        std::vector<uint8_t> song;
        std::vector<float> left(kBlock), right(kBlock);
        long before = 0;
        for (int i = 0; i <= kInstances; ++i) {
            auto host = std::make_unique<PluginHost>();
            if (!host->load(pluginPath())) {
                state.SkipWithError(host->error().c_str());
                return;
            }
            host->start(kRate, kBlock);
            if (i == 0) {
                // The first one only loads the binary and gives the state.
                song = host->getChunk();
                before = residentBytes();
                instances.push_back(std::move(host));
                continue;
            }
            host->setChunk(song);
            std::vector<std::pair<VstInt32, std::vector<uint8_t>>> chord;
            for (uint8_t voice = 0; voice < 8; ++voice)
                chord.push_back({0, {0x90, static_cast<uint8_t>(48 + 5 * voice), 100}});
            host->sendMidi(chord);
            for (int block = 0; block < static_cast<int>(kRate) / kBlock; ++block)
                host->process(left.data(), right.data(), kBlock);
            host->getChunk();  // a host saving the song
            instances.push_back(std::move(host));
        }
        const long grown = residentBytes() - before;
        state.counters["MB_per_instance"] = static_cast<double>(grown) / kInstances / 1e6;
        state.counters["MB_for_16"] = static_cast<double>(grown) / 1e6;
    }
}
BENCHMARK(SixteenInstancesLoadedAndPlayed)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
