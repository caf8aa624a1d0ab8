// The module's two exports: lv2_descriptor for the instrument and
// lv2ui_descriptor for its editor, both in this one binary (the editor
// shares the instance, which needs the same code anyway).
#include "Lv2Plugin.h"
#include "Lv2Ui.h"

#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>

#include <cstring>

namespace {

Lv2Plugin& of(LV2_Handle instance)
{
    return *static_cast<Lv2Plugin*>(instance);
}

const LV2_State_Interface kState = {
    [](LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t,
       const LV2_Feature* const*) { return of(instance).save(store, handle); },
    [](LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t,
       const LV2_Feature* const*) { return of(instance).restore(retrieve, handle); },
};

const LV2_Descriptor kDescriptor = {
    kLv2PluginUri,
    [](const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) -> LV2_Handle {
        return Lv2Plugin::create(rate, features);
    },
    [](LV2_Handle instance, uint32_t port, void* data) { of(instance).connectPort(port, data); },
    [](LV2_Handle instance) { of(instance).activate(); },
    [](LV2_Handle instance, uint32_t frames) { of(instance).run(frames); },
    [](LV2_Handle) {},
    [](LV2_Handle instance) { delete &of(instance); },
    [](const char* uri) -> const void* {
        return uri && std::strcmp(uri, LV2_STATE__interface) == 0 ? &kState : nullptr;
    },
};

const LV2UI_Idle_Interface kIdle = {
    [](LV2UI_Handle ui) { return static_cast<Lv2Ui*>(ui)->idle(); },
};

const LV2UI_Descriptor kUiDescriptor = {
    kLv2UiUri,
    [](const LV2UI_Descriptor*, const char* pluginUri, const char*, LV2UI_Write_Function write,
       LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) -> LV2UI_Handle {
        if (!pluginUri || std::strcmp(pluginUri, kLv2PluginUri) != 0)
            return nullptr;
        return Lv2Ui::create(write, controller, widget, features);
    },
    [](LV2UI_Handle ui) { delete static_cast<Lv2Ui*>(ui); },
    // The editor reads the instance itself: the ports' values need no echo.
    [](LV2UI_Handle, uint32_t, uint32_t, uint32_t, const void*) {},
    [](const char* uri) -> const void* {
        return uri && std::strcmp(uri, LV2_UI__idleInterface) == 0 ? &kIdle : nullptr;
    },
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &kDescriptor : nullptr;
}

extern "C" LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index)
{
    return index == 0 ? &kUiDescriptor : nullptr;
}
