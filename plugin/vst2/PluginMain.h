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

extern "C" PLINKA_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster);
