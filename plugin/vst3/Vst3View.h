// The editor as a VST3 host embeds it: an IPlugView around the
// format-neutral Editor, attached to the host's window and idled by a
// ViewTimer while attached.
#pragma once

#include "ViewTimer.h"
#include "Vst3Interfaces.h"
#include "editor/Editor.h"

#include <atomic>
#include <memory>

class Vst3Plugin;

class Vst3View {
public:
    // A view for the plug-in, referenced once for the host; null where the
    // platform has no editor.
    static Vst3View* create(Vst3Plugin& plugin);
    ~Vst3View();
    Vst3View(const Vst3View&) = delete;
    Vst3View& operator=(const Vst3View&) = delete;

    v3_plugin_view** view() { return reinterpret_cast<v3_plugin_view**>(&slot_); }
    // The plug-in went first (a host that kept the view): nothing to tell it.
    void pluginGone() { plugin_ = nullptr; }

private:
    Vst3View(Vst3Plugin& plugin, std::unique_ptr<Editor> editor);

    // ---- user-interface thread ----
    static v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** object);
    static uint32_t V3_API ref(void* self);
    static uint32_t V3_API unref(void* self);
    static v3_result V3_API isPlatformTypeSupported(void* self, const char* type);
    static v3_result V3_API attached(void* self, void* parent, const char* type);
    static v3_result V3_API removed(void* self);
    static v3_result V3_API onWheel(void* self, float distance);
    static v3_result V3_API onKeyDown(void* self, int16_t key, int16_t code, int16_t modifiers);
    static v3_result V3_API onKeyUp(void* self, int16_t key, int16_t code, int16_t modifiers);
    static v3_result V3_API getSize(void* self, v3_view_rect* rect);
    static v3_result V3_API onSize(void* self, v3_view_rect* rect);
    static v3_result V3_API onFocus(void* self, v3_bool state);
    static v3_result V3_API setFrame(void* self, v3_plugin_frame** frame);
    static v3_result V3_API canResize(void* self);
    static v3_result V3_API checkSizeConstraint(void* self, v3_view_rect* rect);
    static void idle(void* self);

    static const v3_plugin_view_cpp table_;
    Vst3Slot<Vst3View> slot_{&table_, this};
    std::atomic<uint32_t> references_{1};
    Vst3Plugin* plugin_;
    std::unique_ptr<Editor> editor_;
    v3_plugin_frame** frame_ = nullptr;
    void* parent_ = nullptr;  // the host's window while attached
    ViewTimer timer_{idle, this};
};
