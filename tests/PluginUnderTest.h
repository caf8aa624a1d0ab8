// The plug-in binary the tests load, and a fixture that holds one instance
// loaded through its entry point as a host would.
#pragma once

#include "tools/host/PluginHost.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

// $PLINKA_PLUGIN, else the binary built with the tests.
inline std::string pluginUnderTest()
{
    if (const char* path = std::getenv("PLINKA_PLUGIN"); path && *path)
        return path;
    return PLINKA_TEST_PLUGIN;
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
