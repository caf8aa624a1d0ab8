// Windows load notification: records the module handle for the editor's window
// class. The second export name, "main", is an alias in PLINKA.def.
#include "PluginMain.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {
HINSTANCE moduleInstance = nullptr;
}

void* pluginModuleHandle()
{
    return moduleInstance;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        moduleInstance = instance;
    return TRUE;
}
