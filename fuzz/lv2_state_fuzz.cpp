// Whatever property an LV2 host hands to restore, of either type, loads
// without harm or is refused; the state then saved is a fixed point, and the
// instance plays a block after it.
#include "FuzzCheck.h"
#include "instrument/Chunk.h"
#include "plugin/lv2/Lv2Plugin.h"

#include <lv2/atom/atom.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> uris;  // URID n is uris[n - 1]

LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri)
{
    for (size_t i = 0; i < uris.size(); ++i)
        if (uris[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    uris.emplace_back(uri);
    return static_cast<LV2_URID>(uris.size());
}

struct Property {
    LV2_URID key = 0;
    LV2_URID type = 0;
    std::vector<uint8_t> value;
};

LV2_State_Status store(LV2_State_Handle handle, uint32_t key, const void* value, size_t size, uint32_t type, uint32_t)
{
    auto* saved = static_cast<Property*>(handle);
    check(saved->value.empty());  // one property
    saved->key = key;
    saved->type = type;
    saved->value.assign(static_cast<const uint8_t*>(value), static_cast<const uint8_t*>(value) + size);
    return LV2_STATE_SUCCESS;
}

const void* retrieve(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags)
{
    const auto* offered = static_cast<const Property*>(handle);
    if (key != offered->key)
        return nullptr;
    *size = offered->value.size();
    *type = offered->type;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    // An empty property is still there: a host hands a pointer with size 0
    // (an empty vector's data() may be null, which says "none").
    static const uint8_t nothing = 0;
    return offered->value.empty() ? &nothing : offered->value.data();
}

Property save(Lv2Plugin& plugin)
{
    Property saved;
    check(plugin.save(store, &saved) == LV2_STATE_SUCCESS);
    return saved;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static LV2_URID_Map map{nullptr, mapUri};
    static const LV2_Feature mapFeature{LV2_URID__map, &map};
    static const LV2_Feature* features[] = {&mapFeature, nullptr};
    static Lv2Plugin* plugin = Lv2Plugin::create(44100.0, features);
    static float left[64], right[64];
    if (size == 0)
        return 0;
    // The first byte: the property under its own key or another, as a chunk or not.
    Property offered;
    offered.key = map.map(nullptr, data[0] & 1 ? "urn:other" : kLv2BankUri);
    offered.type = map.map(nullptr, data[0] & 2 ? LV2_ATOM__String : LV2_ATOM__Chunk);
    offered.value.assign(data + 1, data + size);
    const Property before = save(*plugin);
    const LV2_State_Status status = plugin->restore(retrieve, &offered);
    check((status == LV2_STATE_SUCCESS) == ((data[0] & 3) == 0 && size - 1 <= chunk::kMaxBytes));
    Property first = save(*plugin);
    if (status != LV2_STATE_SUCCESS)
        check(first.value == before.value);
    check(plugin->restore(retrieve, &first) == LV2_STATE_SUCCESS);
    check(save(*plugin).value == first.value);

    plugin->connectPort(kPortLeft, left);
    plugin->connectPort(kPortRight, right);
    plugin->run(64);
    return 0;
}
