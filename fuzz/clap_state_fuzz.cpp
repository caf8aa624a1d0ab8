// Whatever a CLAP host's state stream hands over, in whatever pieces, loads
// without harm or is refused, and what the plug-in then saves is a fixed
// point: loading it and saving again gives the same bytes. The first byte
// sets how many bytes the stream gives per read.
#include "FuzzCheck.h"
#include "plugin/clap/ClapPlugin.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t step;
};

int64_t readInput(const clap_istream_t* stream, void* buffer, uint64_t size)
{
    Input& in = *static_cast<Input*>(stream->ctx);
    const size_t count = std::min({static_cast<size_t>(size), in.size, in.step});
    if (count > 0)
        std::memcpy(buffer, in.data, count);
    in.data += count;
    in.size -= count;
    return static_cast<int64_t>(count);
}

int64_t writeOutput(const clap_ostream_t* stream, const void* buffer, uint64_t size)
{
    auto& out = *static_cast<std::vector<uint8_t>*>(stream->ctx);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    out.insert(out.end(), bytes, bytes + size);
    return static_cast<int64_t>(size);
}

std::vector<uint8_t> save(const clap_plugin_t* plugin, const clap_plugin_state_t& state)
{
    std::vector<uint8_t> bytes;
    const clap_ostream_t out{&bytes, writeOutput};
    check(state.save(plugin, &out));
    return bytes;
}

bool load(const clap_plugin_t* plugin, const clap_plugin_state_t& state, const uint8_t* data, size_t size, size_t step)
{
    Input input{data, size, step};
    const clap_istream_t in{&input, readInput};
    return state.load(plugin, &in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const clap_host_t host{CLAP_VERSION, nullptr, "fuzz", "", "", "", nullptr, nullptr, nullptr, nullptr};
    static ClapPlugin* adapter = [] {
        auto* made = new ClapPlugin(&host, nullptr);
        made->clapPlugin()->init(made->clapPlugin());
        return made;
    }();
    const clap_plugin_t* plugin = adapter->clapPlugin();
    const auto& state = *static_cast<const clap_plugin_state_t*>(plugin->get_extension(plugin, CLAP_EXT_STATE));
    if (size == 0)
        return 0;
    const size_t step = 1 + data[0];
    const std::vector<uint8_t> before = save(plugin, state);
    if (!load(plugin, state, data + 1, size - 1, step))
        check(save(plugin, state) == before);

    for (const auto& program : adapter->instrument.settings.channelProgram)
        check(program.load() >= 0 && program.load() < kProgramCount);
    for (uint32_t id = 0; id < kParameterCount; ++id) {
        const double value = adapter->instrument.parameterValue(id);
        check(value >= kParameterInfo[id].minimum && value <= kParameterInfo[id].maximum);
    }

    const std::vector<uint8_t> first = save(plugin, state);
    check(load(plugin, state, first.data(), first.size(), step));
    check(save(plugin, state) == first);
    return 0;
}
