#include "ViewTimer.h"

#include <windows.h>

namespace {

void CALLBACK onTimer(HWND, UINT, UINT_PTR id, DWORD)
{
    // The timer's id is the ViewTimer itself.
    auto* timer = reinterpret_cast<ViewTimer*>(id);
    timer->fire();
}

}  // namespace

bool ViewTimer::start(v3_plugin_frame**, void* parent)
{
    stop();
    if (!parent || SetTimer(static_cast<HWND>(parent), reinterpret_cast<UINT_PTR>(this), static_cast<UINT>(kIntervalMs),
                            onTimer) == 0)
        return false;
    window_ = parent;
    return true;
}

void ViewTimer::stop()
{
    if (!window_)
        return;
    KillTimer(static_cast<HWND>(window_), reinterpret_cast<UINT_PTR>(this));
    window_ = nullptr;
}
