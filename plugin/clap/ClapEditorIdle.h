// What drives the editor's idle while it is open, as each platform does it:
// on Linux the host's timer-support extension, or, for a host without it, a
// thread of ours that asks the host for main-thread callbacks (every host
// has request_callback); a Win32 timer on Windows.
#pragma once

#include <clap/host.h>
#include <clap/id.h>

#include <cstdint>
#include <memory>

class ClapPlugin;

class ClapEditorIdle {
public:
    static constexpr uint32_t kPeriodMs = 30;

    // The window system whose windows the editor embeds in ("x11", "win32").
    static const char* windowApi();

    ClapEditorIdle();
    ~ClapEditorIdle();
    ClapEditorIdle(const ClapEditorIdle&) = delete;
    ClapEditorIdle& operator=(const ClapEditorIdle&) = delete;

    // ---- main thread ----
    // Calls plugin.idleEditor() every period until stop; false if the
    // platform and the host have no way to give.
    bool start(const clap_host_t* host, ClapPlugin& plugin);
    void stop();
    // The host's timer fired (hosts with timer-support).
    void onTimer(clap_id timer);
    // The host's main-thread callback came (hosts without timer-support):
    // idles the editor if this asked for it.
    void onMainThread();

private:
    // The thread that asks for the callbacks, where the platform has one.
    struct Ticker;

    const clap_host_t* host_ = nullptr;
    ClapPlugin* plugin_ = nullptr;
    uintptr_t timer_ = 0;
    bool running_ = false;
    std::unique_ptr<Ticker> ticker_;
};
