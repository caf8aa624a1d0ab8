// The editor's idle clock while a view is attached: on Linux a timer of the
// host's run loop (found through the plug frame), on Windows a timer of the
// parent window. Both call tick on the user-interface thread.
#pragma once

#include "Vst3Interfaces.h"

#include <cstdint>

class ViewTimer {
public:
    using Tick = void (*)(void* context);
    ViewTimer(Tick tick, void* context) : tick_(tick), context_(context) {}
    ~ViewTimer() { stop(); }
    ViewTimer(const ViewTimer&) = delete;
    ViewTimer& operator=(const ViewTimer&) = delete;

    // ---- user-interface thread ----
    // False where there is no clock to be had (a host without a run loop).
    bool start(v3_plugin_frame** frame, void* parent);
    void stop();
    void fire() { tick_(context_); }

private:
    static constexpr uint64_t kIntervalMs = 30;

    Tick tick_;
    void* context_;
    // Linux: the host's run loop and the handler it calls.
    v3_run_loop** runLoop_ = nullptr;
    Vst3Slot<ViewTimer> handlerSlot_{nullptr, this};
    // The window the view is attached to; on Windows its timer runs.
    void* window_ = nullptr;
};
