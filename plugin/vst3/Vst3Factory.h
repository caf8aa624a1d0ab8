// The module's entry points: the plug-in factory every host asks for, and
// the platform's load and unload calls (in Vst3Entry_*.cpp).
#pragma once

#include "Vst3Interfaces.h"

#if defined(_WIN32)
// Plinka.def names the exports: marked here as well, 32-bit Windows would
// also export the stdcall-decorated GetPluginFactory@0.
#define PLINKA_VST3_EXPORT
#else
#define PLINKA_VST3_EXPORT __attribute__((visibility("default")))
#endif

// Any thread. The one factory of the module; it lives as long as the module.
extern "C" PLINKA_VST3_EXPORT v3_plugin_factory** V3_API GetPluginFactory();
