// The editor of one instrument as a plug-in format's adapter uses it: the
// model and the platform's window, opened, idled and closed on the host's
// user-interface thread. Before each idle of the window it runs the
// instrument's program check, so that the window and the host both hear of
// program changes even while the host renders nothing.
#pragma once

#include "EditorModel.h"
#include "EditorWindow.h"

#include <memory>

class Instrument;

class Editor {
public:
    using ProgramChangeNotice = EditorModel::ProgramChangeNotice;

    // An editor, or null where the platform has no window.
    static std::unique_ptr<Editor> create(Instrument& instrument, ProgramChangeNotice notice, void* context);

    Editor(Instrument& instrument, ProgramChangeNotice notice, void* context);
    ~Editor();
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    // ---- user-interface thread ----
    bool open(void* parent);
    void close();
    void idle();
    bool isOpen() const { return window_ && window_->isOpen(); }
    // The window's own handle, 0 while closed (see EditorWindow).
    uintptr_t windowHandle() const { return window_ ? window_->windowHandle() : 0; }

    EditorModel model;

private:
    std::unique_ptr<EditorWindow> window_;
};
