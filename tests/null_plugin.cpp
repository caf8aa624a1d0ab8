// A VST 2 plug-in whose entry point always answers null, as one does when it
// cannot start: the host must say so and stop.
#include "plugin/vst2/vst2.h"

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback)
{
    return nullptr;
}
