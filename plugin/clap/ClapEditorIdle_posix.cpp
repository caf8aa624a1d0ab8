#include "ClapEditorIdle.h"

#include "ClapPlugin.h"

#include <clap/ext/gui.h>
#include <clap/ext/timer-support.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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

// Asks the host for a main-thread callback every period, where the editor
// then idles: the editor's window and model are the main thread's alone, so
// the thread itself touches nothing of them. request_callback is the one host
// call CLAP allows from any thread.
struct ClapEditorIdle::Ticker {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;           // guarded by mutex
    std::atomic<bool> asked{false};  // a callback was asked for and has not come
    std::thread thread;

    void run(const clap_host_t* host)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, std::chrono::milliseconds(kPeriodMs), [this] { return stopping; }))
            if (!asked.exchange(true, std::memory_order_acq_rel))
                host->request_callback(host);
    }
};

ClapEditorIdle::ClapEditorIdle() = default;

ClapEditorIdle::~ClapEditorIdle()
{
    stop();
}

const char* ClapEditorIdle::windowApi()
{
    return CLAP_WINDOW_API_X11;
}

bool ClapEditorIdle::start(const clap_host_t* host, ClapPlugin& plugin)
{
    stop();
    const clap_host_timer_support_t* timers = timerSupport(host);
    clap_id id = CLAP_INVALID_ID;
    if (timers && timers->register_timer(host, kPeriodMs, &id)) {
        timer_ = id;
    } else {
        // No timer from the host: the ticker's callbacks instead.
        if (!host || !host->request_callback)
            return false;
        try {
            auto ticker = std::make_unique<Ticker>();
            ticker->thread = std::thread([raw = ticker.get(), host] { raw->run(host); });
            ticker_ = std::move(ticker);
        } catch (const std::system_error&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    host_ = host;
    plugin_ = &plugin;
    running_ = true;
    return true;
}

void ClapEditorIdle::stop()
{
    if (!running_)
        return;
    running_ = false;
    if (ticker_) {
        {
            std::lock_guard<std::mutex> lock(ticker_->mutex);
            ticker_->stopping = true;
        }
        ticker_->wake.notify_one();
        ticker_->thread.join();
        ticker_.reset();
    } else if (const clap_host_timer_support_t* timers = timerSupport(host_)) {
        timers->unregister_timer(host_, static_cast<clap_id>(timer_));
    }
}

void ClapEditorIdle::onTimer(clap_id timer)
{
    if (running_ && !ticker_ && timer == timer_)
        plugin_->idleEditor();
}

void ClapEditorIdle::onMainThread()
{
    if (running_ && ticker_ && ticker_->asked.exchange(false, std::memory_order_acq_rel))
        plugin_->idleEditor();
}
