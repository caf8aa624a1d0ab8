// What drives the editor's idle while it is open, as each platform does it:
// the host's timer-support extension on Linux, a Win32 timer on Windows.
#pragma once

#include <clap/host.h>
#include <clap/id.h>

#include <cstdint>

class ClapPlugin;

class ClapEditorIdle {
public:
    static constexpr uint32_t kPeriodMs = 30;

    // The window system whose windows the editor embeds in ("x11", "win32").
    static const char* windowApi();

    ClapEditorIdle() = default;
    ~ClapEditorIdle() { stop(); }
    ClapEditorIdle(const ClapEditorIdle&) = delete;
    ClapEditorIdle& operator=(const ClapEditorIdle&) = delete;

    // ---- main thread ----
    // Calls plugin.idleEditor() every period until stop; false if the
    // platform or the host has no timer to give.
    bool start(const clap_host_t* host, ClapPlugin& plugin);
    void stop();
    // The host's timer fired (hosts with timer-support).
    void onTimer(clap_id timer);

private:
    const clap_host_t* host_ = nullptr;
    ClapPlugin* plugin_ = nullptr;
    uintptr_t timer_ = 0;
    bool running_ = false;
};
