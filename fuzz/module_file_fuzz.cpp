// Any bytes read as a tracker module keep what ModuleCheck.h checks.
#include "ModuleCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkModuleRead(data, size);
    return 0;
}
