// The Windows builds carry no LV2 host: lilv, which it is built on, is a
// Linux package here, and the LV2 build is Linux's.
#include "InstrumentHost.h"

std::unique_ptr<InstrumentHost> makeLv2Host()
{
    return nullptr;
}
