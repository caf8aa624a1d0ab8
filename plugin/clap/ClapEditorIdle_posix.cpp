#include "ClapEditorIdle.h"

#include "ClapPlugin.h"

#include <clap/ext/gui.h>
#include <clap/ext/timer-support.h>

namespace {

const clap_host_timer_support_t* timerSupport(const clap_host_t* host)
{
    if (!host || !host->get_extension)
        return nullptr;
    const auto* timers =
        static_cast<const clap_host_timer_support_t*>(host->get_extension(host, CLAP_EXT_TIMER_SUPPORT));
    return timers && timers->register_timer && timers->unregister_timer ? timers : nullptr;
}

}  // namespace

const char* ClapEditorIdle::windowApi()
{
    return CLAP_WINDOW_API_X11;
}

bool ClapEditorIdle::start(const clap_host_t* host, ClapPlugin& plugin)
{
    stop();
    const clap_host_timer_support_t* timers = timerSupport(host);
    clap_id id = CLAP_INVALID_ID;
    if (!timers || !timers->register_timer(host, kPeriodMs, &id))
        return false;
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
    if (const clap_host_timer_support_t* timers = timerSupport(host_))
        timers->unregister_timer(host_, static_cast<clap_id>(timer_));
}

void ClapEditorIdle::onTimer(clap_id timer)
{
    if (running_ && timer == timer_)
        plugin_->idleEditor();
}
