#include "Vst3Factory.h"

#include "Vst3Identity.h"
#include "Vst3Plugin.h"
#include "instrument/Identity.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int32_t kManyInstances = 0x7FFFFFFF;
constexpr int32_t kUnicodeFlag = 0x10;

// "1.0.0.0" for 1000: the VST 2 vendor version, a digit a part.
void versionText(char* out, size_t size)
{
    const int32_t v = kPlinkaVendorVersion;
    std::snprintf(out, size, "%d.%d.%d.%d", v / 1000 % 10, v / 100 % 10, v / 10 % 10, v % 10);
}

v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** object)
{
    if (!object)
        return V3_INVALID_ARG;
    const bool known = v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid) ||
                       v3_tuid_match(iid, v3_plugin_factory_2_iid) || v3_tuid_match(iid, v3_plugin_factory_3_iid);
    *object = known ? self : nullptr;
    return known ? V3_OK : V3_NO_INTERFACE;
}

// The factory is a static object: references are not counted.
uint32_t V3_API ref(void*)
{
    return 1;
}

uint32_t V3_API unref(void*)
{
    return 1;
}

v3_result V3_API getFactoryInfo(void*, v3_factory_info* info)
{
    if (!info)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    copyText(info->vendor, kPlinkaVendorName);
    info->flags = kUnicodeFlag;
    return V3_OK;
}

int32_t V3_API numClasses(void*)
{
    return 1;
}

v3_result V3_API getClassInfo(void*, int32_t index, v3_class_info* info)
{
    if (!info || index != 0)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->class_id, kPlinkaVst3ClassId, sizeof(v3_tuid));
    info->cardinality = kManyInstances;
    copyText(info->category, kPlinkaVst3Category);
    copyText(info->name, kPlinkaEffectName);
    return V3_OK;
}

v3_result V3_API createInstance(void*, const v3_tuid classId, const v3_tuid iid, void** instance)
{
    if (!instance)
        return V3_INVALID_ARG;
    *instance = nullptr;
    if (!classId || !v3_tuid_match(classId, kPlinkaVst3ClassId))
        return V3_NO_INTERFACE;
    Vst3Plugin* plugin = nullptr;
    try {
        plugin = new (std::nothrow) Vst3Plugin();
    } catch (...) {
        plugin = nullptr;
    }
    if (!plugin)
        return V3_NOMEM;
    const v3_result result = plugin->queryInterface(iid, instance);
    plugin->unref();  // the creation's reference; the host holds the one it asked for
    return result;
}

v3_result V3_API getClassInfo2(void*, int32_t index, v3_class_info_2* info)
{
    if (!info || index != 0)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->class_id, kPlinkaVst3ClassId, sizeof(v3_tuid));
    info->cardinality = kManyInstances;
    copyText(info->category, kPlinkaVst3Category);
    copyText(info->name, kPlinkaEffectName);
    copyText(info->sub_categories, kPlinkaVst3SubCategories);
    copyText(info->vendor, kPlinkaVendorName);
    versionText(info->version, sizeof info->version);
    copyText(info->sdk_version, kPlinkaVst3SdkVersion);
    return V3_OK;
}

v3_result V3_API getClassInfoUtf16(void*, int32_t index, v3_class_info_3* info)
{
    if (!info || index != 0)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->class_id, kPlinkaVst3ClassId, sizeof(v3_tuid));
    info->cardinality = kManyInstances;
    copyText(info->category, kPlinkaVst3Category);
    copyToUtf16(info->name, 64, kPlinkaEffectName);
    copyText(info->sub_categories, kPlinkaVst3SubCategories);
    copyToUtf16(info->vendor, 64, kPlinkaVendorName);
    char version[64];
    versionText(version, sizeof version);
    copyToUtf16(info->version, 64, version);
    copyToUtf16(info->sdk_version, 64, kPlinkaVst3SdkVersion);
    return V3_OK;
}

v3_result V3_API setHostContext(void*, v3_funknown**)
{
    return V3_OK;
}

const v3_plugin_factory_cpp kFactoryTable = {
    {queryInterface, ref, unref},
    {getFactoryInfo, numClasses, getClassInfo, createInstance},
    {getClassInfo2},
    {getClassInfoUtf16, setHostContext},
};

struct Factory {
    const v3_plugin_factory_cpp* table;
} factory{&kFactoryTable};

}  // namespace

v3_plugin_factory** V3_API GetPluginFactory()
{
    return reinterpret_cast<v3_plugin_factory**>(&factory);
}
