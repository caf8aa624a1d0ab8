// The editor window on Windows: a fixed panel of standard controls that the
// host embeds in a window of its own. What the controls show and what the
// user's actions do is the EditorModel's business; this class makes and
// destroys the windows and carries messages between them and the model.
#pragma once

#include "EditorLayout.h"
#include "EditorWindow.h"

#include <iterator>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

class GUI : public EditorWindow {
public:
    // Registers the window class; creates no window.
    explicit GUI(EditorModel& model);
    // Unregisters the window class (and destroys the windows, should the host
    // not have closed the editor).
    ~GUI() override;

    // ---- user-interface thread ----
    bool open(void* parentWindow) override;
    void close() override;
    // Performs the pending refreshes of texts, displays, status and slider.
    void idle() override;
    bool isOpen() const override { return window != nullptr; }
    uintptr_t windowHandle() const override { return reinterpret_cast<uintptr_t>(window); }

    EditorModel& model;
    char windowClassName[32] = {};
    HWND window = nullptr;
    // In EditorField order: the panel's five rows, then the playing column's.
    HWND fieldLabel[kEditorFieldCount] = {};
    HWND fieldEdit[kEditorFieldCount] = {};
    HWND buttons[std::size(kEditorButtons)] = {};  // in the layout's order
    HWND midiChannelLabel = nullptr;
    HWND polyphonyLabel = nullptr;
    HWND statusLabel = nullptr;
    HWND waveLabel = nullptr;  // which wave the wave area shows; the area itself is the main window's
    HWND gainSlider = nullptr;
    // The texts idle is putting into the fields, null otherwise: the fields
    // report that as edits, which store these bytes again rather than the
    // fields' UTF-8, so that a loaded text that is not UTF-8 stays as it was.
    const char (*fillingTexts)[kEnvelopeTextSize] = nullptr;

private:
    // "PLINKA" and this object's address: each editor has a class of its own.
    void formatWindowClassName();
};

// The window procedure of the editor's main window, the parent of every control.
LRESULT CALLBACK editorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Asks for the wave area, with its frame, to be painted again.
void invalidateWave(HWND window);
