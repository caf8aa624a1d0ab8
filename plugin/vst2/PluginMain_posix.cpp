// The entry point's second name on ELF platforms, where hosts still look for
// "main". The C++ name differs; the assembler name is "main".
#include "PluginMain.h"

extern "C" PLINKA_EXPORT AEffect* VSTPluginMainAlias(audioMasterCallback audioMaster) __asm__("main");

AEffect* VSTPluginMainAlias(audioMasterCallback audioMaster)
{
    return VSTPluginMain(audioMaster);
}
