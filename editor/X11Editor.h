// The editor window on Linux: the Windows editor's panel drawn with cairo and
// shown with Xlib, as a child of the window the host passes. It keeps a display
// connection of its own and handles its events only when the host calls
// idle(), so it needs no thread and never runs while the host does not
// expect it. What is shown and what the user's actions do is the
// EditorModel's business; the text boxes' editing is TextField's. The window
// itself handles the mouse and the keyboard; X11Painter draws it,
// X11Selections serves the clipboard and PRIMARY, and X11DropTarget takes
// files dropped from other programs.
//
// Everything here runs on the host's user-interface thread.
#pragma once

#include "EditorModel.h"
#include "EditorWindow.h"
#include "TextField.h"
#include "X11DropTarget.h"
#include "X11Painter.h"
#include "X11Selections.h"
#include "engine/Program.h"

#include <string>

struct _XDisplay;
union _XEvent;

class X11Editor : public EditorWindow {
public:
    explicit X11Editor(EditorModel& model);
    ~X11Editor() override;
    X11Editor(const X11Editor&) = delete;
    X11Editor& operator=(const X11Editor&) = delete;

    // parent is the host's X11 window id. Fails (false) without a display.
    bool open(void* parent) override;
    // Frees the window, the drawing surfaces and the connection, also when the
    // host destroyed the parent first or the connection broke.
    void close() override;
    // Takes the model's refreshes, handles the pending X events, repaints.
    void idle() override;
    bool isOpen() const override { return display_ != nullptr; }
    uintptr_t windowHandle() const override { return window_; }

    // The editor's own window id (0 when closed), for tests and hosts that ask.
    unsigned long windowId() const { return window_; }

private:
    // Where the mouse is busy between a press and its release: a page step
    // beside the slider's thumb ends its gesture at the release too.
    enum class Drag { Nothing, Field, Button, Slider, SliderPage, Wave };

    void handle(_XEvent& event);
    void press(int x, int y, unsigned button, unsigned state, unsigned long time);
    void release(int x, int y);
    void motion(int x, int y);
    void key(_XEvent& event);
    // A field's text changed by the user: the model stores it (and compiles
    // the bank, for a row). Fields are numbered as the model's EditorField.
    void edited(int kind);
    // After a caret or selection change: scrolls the caret into view, offers
    // a selection as PRIMARY.
    void caretMoved(int kind, bool selecting);
    void focusField(int kind, unsigned long time);
    void setSliderFromY(int y);
    // Moves the slider by step positions within its range; false when it
    // stayed where it was.
    bool stepSlider(int step);
    // Text pasted into a field.
    void insertPasted(int kind, const std::string& text);

    void draw();

    EditorModel& model_;
    TextField fields_[kEditorFieldCount];
    TextField::Measure measureText_;
    int slider_ = 0;

    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
    bool windowGone_ = false;  // destroyed with the host's parent
    X11Painter painter_;
    X11Selections selections_;
    X11DropTarget dropTarget_;
    bool dirty_ = false;

    int focused_ = -1;  // the field with the caret
    bool hasFocus_ = false;
    Drag drag_ = Drag::Nothing;
    int dragControl_ = 0;  // the button pressed
    int dragGrab_ = 0;     // the slider thumb's centre less the press's y
    int lastPressControl_ = 0;
    unsigned long lastPressTime_ = 0;
    int lastPressX_ = 0;
    int lastPressY_ = 0;
};
