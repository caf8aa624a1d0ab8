#include "ClapEditorIdle.h"

#include "ClapPlugin.h"

#include <clap/ext/gui.h>

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace {

// The running timers, to find an idle from its timer's id. Touched on the
// main thread only, where the timers also fire.
struct RunningTimer {
    UINT_PTR id;
    ClapEditorIdle* idle;
};
constexpr size_t kMaxOpenEditors = 64;
RunningTimer runningTimers[kMaxOpenEditors] = {};

void CALLBACK timerFired(HWND, UINT, UINT_PTR id, DWORD)
{
    for (const RunningTimer& running : runningTimers)
        if (running.id == id && running.idle)
            running.idle->onTimer(static_cast<clap_id>(id));
}

}  // namespace

// Windows has its timers without the host: no thread is needed.
struct ClapEditorIdle::Ticker {};

ClapEditorIdle::ClapEditorIdle() = default;

ClapEditorIdle::~ClapEditorIdle()
{
    stop();
}

const char* ClapEditorIdle::windowApi()
{
    return CLAP_WINDOW_API_WIN32;
}

bool ClapEditorIdle::start(const clap_host_t* host, ClapPlugin& plugin)
{
    stop();
    auto free = std::find_if(std::begin(runningTimers), std::end(runningTimers),
                             [](const RunningTimer& running) { return running.idle == nullptr; });
    if (free == std::end(runningTimers))
        return false;
    const UINT_PTR id = SetTimer(nullptr, 0, kPeriodMs, timerFired);
    if (id == 0)
        return false;
    *free = {id, this};
    host_ = host;
    plugin_ = &plugin;
    timer_ = id;
    running_ = true;
    return true;
}

void ClapEditorIdle::stop()
{
    if (!running_)
        return;
    running_ = false;
    KillTimer(nullptr, timer_);
    for (RunningTimer& running : runningTimers)
        if (running.idle == this)
            running = {};
}

void ClapEditorIdle::onTimer(clap_id timer)
{
    if (running_ && timer == static_cast<clap_id>(timer_))
        plugin_->idleEditor();
}

void ClapEditorIdle::onMainThread() {}
