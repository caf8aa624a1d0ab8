// The library's entry point and what the platform tells it at load time.
#pragma once

#include "vst2.h"

class AudioEffect;

#if defined(_WIN32)
#define PLINKA_EXPORT __declspec(dllexport)
#else
#define PLINKA_EXPORT __attribute__((visibility("default")))
#endif

// Creates one instrument for a host; null when it cannot be allocated.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);

// The plug-in module's instance handle as recorded at load time (null on
// platforms that have none). The editor registers its window class with it.
void* pluginModuleHandle();

extern "C" PLINKA_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster);
