#include "PluginMain.h"

#include "PLINKA.h"

#include <new>

AudioEffect* createEffectInstance(audioMasterCallback audioMaster)
{
    try {
        return new (std::nothrow) PLINKA(audioMaster);
    } catch (...) {
        return nullptr;
    }
}

extern "C" AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback audioMaster)
{
    // Without a callback there is no host to ask for its version; answering
    // null is safer than calling through a null pointer.
    if (!audioMaster)
        return nullptr;
    if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0)
        return nullptr;
    AudioEffect* effect = createEffectInstance(audioMaster);
    return effect ? effect->getAeffect() : nullptr;
}
