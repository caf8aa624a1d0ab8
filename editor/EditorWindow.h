// The editor's window on one window system: it draws what the EditorModel
// says and hands it what the user does. Each platform has one (GUI on Win32,
// X11Editor on Linux); createEditorWindow picks it.
#pragma once

#include "EditorLayout.h"

#include <cstdint>
#include <memory>

class EditorModel;

class EditorWindow {
public:
    virtual ~EditorWindow() = default;

    // ---- user-interface thread ----
    // Opens the window as a child of the host's: an HWND on Windows, an X11
    // Window id on Linux. Answers false, leaving nothing open, on failure.
    virtual bool open(void* parent) = 0;
    // Closes what open made; harmless when nothing is open.
    virtual void close() = 0;
    // Called regularly by the host: handles pending input and performs the
    // model's refreshes. Does nothing while closed.
    virtual void idle() = 0;
    virtual bool isOpen() const = 0;
    // The window's own handle (an HWND, an X11 Window id), 0 while closed:
    // for formats that hand it to their host.
    virtual uintptr_t windowHandle() const = 0;
};

// The window of this platform for a model, or null where there is none or it
// could not be made.
std::unique_ptr<EditorWindow> createEditorWindow(EditorModel& model);
