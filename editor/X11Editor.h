// The editor window on Linux: the Windows editor's panel drawn with cairo and
// shown with Xlib, as a child of the window the host passes. It keeps a display
// connection of its own and handles its events only when the host calls
// idle(), so it needs no thread and never runs while the host does not
// expect it. What is shown and what the user's actions do is the
// EditorModel's business; the text boxes' editing is TextField's.
//
// Everything here runs on the host's user-interface thread.
#pragma once

#include "EditorWindow.h"
#include "TextField.h"
#include "engine/Program.h"

#include <memory>
#include <string>

struct _XDisplay;
struct _cairo;
struct _cairo_surface;
struct _XImage;
struct _XGC;
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

    // The editor's own window id (0 when closed), for tests and hosts that ask.
    unsigned long windowId() const { return window_; }

private:
    // Where the mouse is busy between a press and its release: a page step
    // beside the slider's thumb ends its gesture at the release too.
    enum class Drag { Nothing, Field, Button, Slider, SliderPage };

    void handle(_XEvent& event);
    void press(int x, int y, unsigned button, unsigned state, unsigned long time);
    void release(int x, int y);
    void motion(int x, int y);
    void key(_XEvent& event);
    // A field's text changed by the user: the model stores and compiles it.
    void edited(int kind);
    // After a caret or selection change: scrolls the caret into view, offers
    // a selection as PRIMARY.
    void caretMoved(int kind, bool selecting);
    void focusField(int kind, unsigned long time);
    void setSliderFromY(int y);
    // Moves the slider by step positions within its range; false when it
    // stayed where it was.
    bool stepSlider(int step);

    // ---- selections (the clipboard and PRIMARY) ----
    void own(unsigned long selection, const std::string& text, unsigned long time);
    void paste(unsigned long selection, int kind, unsigned long time);
    void answerSelectionRequest(_XEvent& event);
    void receivePaste(_XEvent& event);
    void insertPasted(int kind, const std::string& text);

    // ---- files dropped from other programs (XDND, version 5) ----
    void dndMessage(_XEvent& event);
    void receiveDrop(_XEvent& event);
    // Tells the source of the drop under way that it is over, and forgets it.
    void finishDrop(bool accepted);
    void sendToSource(unsigned long type, const long (&data)[5]);

    void draw();
    // The canvas's pixels into the image, in the window's pixel format.
    void convertCanvas();
    double measure(const char* text, size_t length) const;

    EditorModel& model_;
    TextField fields_[kEnvelopeKindCount];
    TextField::Measure measureText_;
    int slider_ = 0;

    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
    bool windowGone_ = false;  // destroyed with the host's parent
    // Drawn by cairo in memory and put on the window as an image: no server-side
    // fonts or shared memory, which leak per connection or fail in containers.
    _cairo_surface* canvas_ = nullptr;
    _cairo* measureContext_ = nullptr;
    _XImage* image_ = nullptr;
    _XGC* gc_ = nullptr;
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

    unsigned long clipboardAtom_ = 0;
    unsigned long utf8Atom_ = 0;
    unsigned long targetsAtom_ = 0;
    unsigned long textAtom_ = 0;
    unsigned long pasteProperty_ = 0;
    std::string clipboardText_;
    std::string primaryText_;
    int pasteField_ = -1;  // the field a requested paste goes into
    unsigned long pasteTarget_ = 0;

    unsigned long dndAtoms_[12] = {};  // see the DndAtom enumeration
    unsigned long dndSource_ = 0;      // the window dragging over us; 0 for none
    bool dndOffersFiles_ = false;      // whether it offers text/uri-list
    bool dndDropping_ = false;         // dropped: the files are being asked for
};
