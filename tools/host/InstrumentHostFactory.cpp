#include "ClapHost.h"
#include "InstrumentHost.h"
#include "Vst2InstrumentHost.h"
#include "Vst3Host.h"
#include "instrument/Identity.h"

namespace {

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

FxIdentity plinkaFxIdentity()
{
    // As PLINKA reports it: version 1, 128 programs, no parameters.
    return {kPlinkaUniqueId, 1, 128, 0, ""};
}

std::unique_ptr<InstrumentHost> makeInstrumentHost(const std::string& path)
{
    std::string name = path;
    while (name.size() > 1 && name.back() == '/')
        name.pop_back();
    if (endsWith(name, ".clap"))
        return std::make_unique<ClapHost>();
    if (endsWith(name, ".vst3") || name.find(".vst3/") != std::string::npos)
        return std::make_unique<Vst3Host>();
    if (endsWith(name, ".lv2") || name.find(".lv2/") != std::string::npos || name.find("://") != std::string::npos ||
        name.rfind("urn:", 0) == 0)
        return makeLv2Host();
    return std::make_unique<Vst2InstrumentHost>();
}
