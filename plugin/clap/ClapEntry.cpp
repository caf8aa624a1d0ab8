// The module's one export: clap_entry, with a factory that makes Plinka.
#include "ClapPlugin.h"

#include "instrument/Identity.h"

#include <clap/entry.h>
#include <clap/plugin-factory.h>

#include <cstring>
#include <new>

namespace {

// The version as the VST 2 build reports it: 1000 is "1.0.0.0".
constexpr char kVersion[] = "1.0.0.0";
static_assert(kPlinkaVendorVersion == 1000, "kVersion follows the vendor version");

const char* kFeatures[] = {CLAP_PLUGIN_FEATURE_INSTRUMENT, CLAP_PLUGIN_FEATURE_SYNTHESIZER, CLAP_PLUGIN_FEATURE_STEREO,
                           nullptr};

const clap_plugin_descriptor_t kDescriptor = {
    CLAP_VERSION_INIT,
    kClapPluginId,
    kPlinkaEffectName,
    kPlinkaVendorName,
    "",
    "",
    "",
    kVersion,
    "A chiptune instrument: an emulated 2A03 sound chip for every note",
    kFeatures,
};

const clap_plugin_factory_t kFactory = {
    [](const clap_plugin_factory_t*) -> uint32_t { return 1; },
    [](const clap_plugin_factory_t*, uint32_t index) -> const clap_plugin_descriptor_t* {
        return index == 0 ? &kDescriptor : nullptr;
    },
    [](const clap_plugin_factory_t*, const clap_host_t* host, const char* id) -> const clap_plugin_t* {
        if (!host || !id || std::strcmp(id, kClapPluginId) != 0 || !clap_version_is_compatible(host->clap_version))
            return nullptr;
        auto* plugin = new (std::nothrow) ClapPlugin(host, &kDescriptor);
        return plugin ? plugin->clapPlugin() : nullptr;
    },
};

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {
    CLAP_VERSION_INIT,
    [](const char*) { return true; },
    []() {},
    [](const char* id) -> const void* {
        return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
    },
};
