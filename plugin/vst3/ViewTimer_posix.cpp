#include "ViewTimer.h"

namespace {

ViewTimer* timerOf(void* self)
{
    return slotOwner<ViewTimer>(self);
}

}  // namespace

// The handler lives exactly as long as its registration, so it counts no
// references of its own.
struct ViewTimerHandler {
    static v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** object)
    {
        if (!object)
            return V3_INVALID_ARG;
        const bool known = v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_timer_handler_iid);
        *object = known ? self : nullptr;
        return known ? V3_OK : V3_NO_INTERFACE;
    }
    static uint32_t V3_API ref(void*) { return 1; }
    static uint32_t V3_API unref(void*) { return 1; }
};

bool ViewTimer::start(v3_plugin_frame** frame, void* parent)
{
    stop();
    window_ = parent;
    static const v3_timer_handler_cpp table = {
        {ViewTimerHandler::queryInterface, ViewTimerHandler::ref, ViewTimerHandler::unref},
        {[](void* self) { timerOf(self)->fire(); }},
    };
    handlerSlot_.table = &table;
    runLoop_ = queryInterface<v3_run_loop>(frame, v3_run_loop_iid);
    if (!runLoop_)
        return false;
    auto** handler = reinterpret_cast<v3_timer_handler**>(&handlerSlot_);
    if (v3_cpp_obj(runLoop_)->register_timer(runLoop_, handler, kIntervalMs) != V3_OK) {
        v3_cpp_obj_unref(runLoop_);
        runLoop_ = nullptr;
        return false;
    }
    return true;
}

void ViewTimer::stop()
{
    window_ = nullptr;
    if (!runLoop_)
        return;
    auto** handler = reinterpret_cast<v3_timer_handler**>(&handlerSlot_);
    v3_cpp_obj(runLoop_)->unregister_timer(runLoop_, handler);
    v3_cpp_obj_unref(runLoop_);
    runLoop_ = nullptr;
}
