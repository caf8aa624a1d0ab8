// Draws the Linux editor's panel: cairo paints it in memory, and the pixels
// go to the window as an XImage in the window's own pixel format. No
// server-side fonts or shared memory, which leak per connection or fail in
// containers. It also measures text for the fields' carets and scrolling.
//
// Everything here runs on the host's user-interface thread.
#pragma once

#include "EditorModel.h"
#include "TextField.h"
#include "engine/Program.h"

#include <cstddef>

struct _XDisplay;
struct _cairo;
struct _cairo_surface;
struct _XImage;
struct _XGC;

class X11Painter {
public:
    // What a paint shows besides the model's texts and highlights.
    struct Scene {
        const EditorModel& model;
        const TextField (&fields)[kEditorFieldCount];  // in EditorField order
        int focused;         // the field with the caret, or -1
        bool hasFocus;       // whether the window has the keyboard
        int pushedButton;    // the button held down, or 0
        bool draggingThumb;  // the slider's thumb is held
        int slider;          // the slider's position
    };

    X11Painter() = default;
    ~X11Painter() = default;
    X11Painter(const X11Painter&) = delete;
    X11Painter& operator=(const X11Painter&) = delete;

    // The drawing surfaces for the window, in its depth and visual (hosts may
    // use other than the screen's default); false for a window that cannot
    // be had or whose pixels are not plain RGB (colour maps are long gone
    // from desktops), or surfaces that could not be made. release frees what
    // was made.
    bool create(_XDisplay* display, unsigned long window);
    // Frees the surfaces; the graphics context too where there is a display
    // (also a broken one: the request goes nowhere, the memory is freed).
    void release(_XDisplay* display);

    // Draws the scene and puts it on the window.
    void paint(_XDisplay* display, unsigned long window, const Scene& scene);
    // The width of text in the editor's font.
    double measure(const char* text, size_t length) const;

private:
    // The canvas's pixels into the image, in the window's pixel format.
    void convertCanvas();

    _cairo_surface* canvas_ = nullptr;
    _cairo* measureContext_ = nullptr;
    _XImage* image_ = nullptr;
    _XGC* gc_ = nullptr;
};
