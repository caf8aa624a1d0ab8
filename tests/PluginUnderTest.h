// The plug-in binary the tests load, and a fixture that holds one instance
// loaded through its entry point as a host would.
#pragma once

#include "TestPaths.h"
#include "tools/host/PluginHost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Ends a test that does not apply to this build, with a note. (GTEST_SKIP
// would be the usual way, but it crashes 32-bit wine under qemu's emulation.)
#define PLINKA_ONLY_IF(condition, why)                                                                                 \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::printf("    not applicable here: %s\n", why);                                                         \
            return;                                                                                                    \
        }                                                                                                              \
    } while (0)

// $PLINKA_PLUGIN, else the binary built with the tests.
inline std::string pluginUnderTest()
{
    if (const char* path = std::getenv("PLINKA_PLUGIN"); path && *path)
        return path;
    return testpaths::vst2Plugin;
}

// A key's note-on at the start of a rendering.
inline TimedMidi noteOnAtStart(int key, int channel = 0)
{
    return {0, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), 100}};
}

// The left channel of `seconds` of the plug-in, loaded afresh with `chunk`
// as its state, playing `notes` at `rate` in blocks of 512; every sample
// must lie within full scale.
inline std::vector<float> renderWithChunk(const std::vector<unsigned char>& chunk, const std::vector<TimedMidi>& notes,
                                          double seconds, float rate)
{
    PluginHost host;
    EXPECT_TRUE(host.load(pluginUnderTest())) << host.error();
    host.setChunk(chunk);
    host.start(rate, 512);
    const std::vector<float> out = host.render(static_cast<int64_t>(seconds * rate), 512, notes).left;
    for (float sample : out)
        EXPECT_TRUE(sample >= -1.0f && sample <= 1.0f) << sample;
    return out;
}

class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.load(pluginUnderTest())) << host.error(); }

    AEffect& effect() { return *host.effect(); }
    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f)
    {
        return host.dispatch(opcode, index, value, ptr, opt);
    }

    PluginHost host;
};
