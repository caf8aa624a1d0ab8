// What Windows hosts call when they load and unload the module. Nothing is
// set up at load time, so both just agree.
#include "Vst3Factory.h"

extern "C" PLINKA_VST3_EXPORT bool InitDll()
{
    return true;
}

extern "C" PLINKA_VST3_EXPORT bool ExitDll()
{
    return true;
}
