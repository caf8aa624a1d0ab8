#include "X11Editor.h"

#include "EditorModel.h"
#include "X11ErrorFilter.h"
#include "X11Layout.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace x11layout;

namespace {

// Windows' defaults: a second click within this time and distance is a
// double click.
constexpr unsigned long kDoubleClickTime = 500;
constexpr int kDoubleClickDistance = 4;

}  // namespace

X11Editor::X11Editor(EditorModel& model)
    : model_(model), measureText_([this](std::string_view s) { return painter_.measure(s.data(), s.size()); }),
      selections_([this](int kind, const std::string& text) { insertPasted(kind, text); }), dropTarget_(model)
{
}

X11Editor::~X11Editor()
{
    close();
}

bool X11Editor::open(void* parent)
{
    close();
    const auto parentWindow = static_cast<Window>(reinterpret_cast<uintptr_t>(parent));
    if (parentWindow == 0)
        return false;
    display_ = XOpenDisplay(nullptr);
    if (!display_)
        return false;
    X11ErrorFilter::add(display_);

    // The parent's depth and visual: hosts may use other than the screen's default.
    XSetWindowAttributes attributes{};
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | Button1MotionMask | KeyPressMask |
                            FocusChangeMask | StructureNotifyMask;
    attributes.background_pixmap = None;  // every pixel is painted: no flicker
    window_ = XCreateWindow(display_, parentWindow, 0, 0, kEditorWidth, kEditorHeight, 0, CopyFromParent, InputOutput,
                            CopyFromParent, CWEventMask | CWBackPixmap, &attributes);
    XSync(display_, False);
    if (X11ErrorFilter::takeError(display_) || !painter_.create(display_, window_)) {
        close();
        return false;
    }
    XStoreName(display_, window_, "PLINKA");
    XMapWindow(display_, window_);

    selections_.open(display_, window_);
    dropTarget_.open(display_, window_);
    XFlush(display_);

    windowGone_ = false;
    focused_ = -1;
    hasFocus_ = false;
    drag_ = Drag::Nothing;
    lastPressTime_ = 0;
    model_.markForRefresh();
    dirty_ = true;
    return true;
}

void X11Editor::close()
{
    if (drag_ == Drag::Wave)
        model_.releaseWave();
    drag_ = Drag::Nothing;
    if (!display_) {
        painter_.release(nullptr);
        return;
    }
    const bool broken = X11ErrorFilter::isBroken(display_);
    // Also on a broken connection: the request goes nowhere, the memory is freed.
    painter_.release(display_);
    if (window_ && !windowGone_ && !broken)
        XDestroyWindow(display_, window_);
    // Errors of the last requests arrive while the filter still knows us.
    if (!broken)
        XSync(display_, False);
    XCloseDisplay(display_);
    X11ErrorFilter::remove(display_);
    display_ = nullptr;
    window_ = 0;
    selections_.close();
    dropTarget_.close();
}

void X11Editor::idle()
{
    if (!display_ || X11ErrorFilter::isBroken(display_))
        return;  // a broken connection is only closed
    if (model_.takeRefreshTexts()) {
        char texts[kEditorFieldCount][kEnvelopeTextSize];
        model_.shownFieldTexts(texts);
        for (int field = 0; field < kEditorFieldCount; ++field)
            fields_[field].setText(texts[field]);
        slider_ = model_.sliderPosition();
        dirty_ = true;
    }
    if (model_.takeRefreshStatus())
        dirty_ = true;

    while (XPending(display_) > 0 && !X11ErrorFilter::isBroken(display_)) {
        XEvent event;
        XNextEvent(display_, &event);
        handle(event);
    }
    if (X11ErrorFilter::isBroken(display_))
        return;
    if (dirty_ && !windowGone_)
        draw();
    XFlush(display_);
    X11ErrorFilter::takeError(display_);  // e.g. our window gone with its parent: nothing to do
}

// ---- events ----

void X11Editor::handle(XEvent& event)
{
    switch (event.type) {
    case Expose:
        dirty_ = true;
        break;
    case DestroyNotify:
        if (event.xdestroywindow.window == window_)
            windowGone_ = true;
        break;
    case FocusIn:
    case FocusOut:
        hasFocus_ = event.type == FocusIn;
        dirty_ = true;
        break;
    case ButtonPress:
        press(event.xbutton.x, event.xbutton.y, event.xbutton.button, event.xbutton.state, event.xbutton.time);
        break;
    case ButtonRelease:
        if (event.xbutton.button == Button1)
            release(event.xbutton.x, event.xbutton.y);
        break;
    case MotionNotify:
        motion(event.xmotion.x, event.xmotion.y);
        break;
    case KeyPress:
        key(event);
        break;
    case SelectionRequest:
        selections_.answerSelectionRequest(event);
        break;
    case SelectionNotify:
        if (dropTarget_.isDropSelection(event.xselection.selection)) {
            if (dropTarget_.receiveDrop(event))
                dirty_ = true;
        } else {
            selections_.receivePaste(event);
        }
        break;
    case ClientMessage:
        dropTarget_.message(event);
        break;
    default:
        break;
    }
}

void X11Editor::press(int x, int y, unsigned button, unsigned state, unsigned long time)
{
    if (button == Button4 || button == Button5) {
        // A wheel step is a gesture of its own.
        if (kGainSliderArea.contains(x, y) && stepSlider(button == Button4 ? -1 : 1))
            model_.releaseGainSlider();
        return;
    }
    if (button == Button1 && kWaveArea.contains(x, y)) {
        model_.pressWave(x, y);
        if (model_.isDrawingWave())
            drag_ = Drag::Wave;
        dirty_ = true;
        return;
    }
    int control = 0;
    for (int field = 0; field < kEditorFieldCount; ++field)
        if (editorFieldArea(field).contains(x, y))
            control = field + 1;  // fields count from 1 here, buttons have their ids
    for (const EditorButton& b : kEditorButtons)
        if (b.area.contains(x, y))
            control = b.id;
    if (kGainSliderArea.contains(x, y))
        control = kGainSlider;
    if (control == 0)
        return;

    const bool doubleClick = button == Button1 && control == lastPressControl_ && lastPressTime_ != 0 &&
                             time - lastPressTime_ <= kDoubleClickTime &&
                             std::abs(x - lastPressX_) <= kDoubleClickDistance &&
                             std::abs(y - lastPressY_) <= kDoubleClickDistance;
    if (button == Button1) {
        // A third click starts over.
        lastPressTime_ = doubleClick ? 0 : time;
        lastPressControl_ = control;
        lastPressX_ = x;
        lastPressY_ = y;
    }

    if (control <= kEditorFieldCount) {
        const int kind = control - 1;
        TextField& field = fields_[kind];
        focusField(kind, time);
        const double fieldX = x - editorFieldArea(kind).x - kFieldInset;
        if (button == Button2) {
            // X's middle-click paste of the PRIMARY selection, where the click is.
            field.press(fieldX, false, measureText_);
            caretMoved(kind, false);
            selections_.paste(XA_PRIMARY, kind, time);
            return;
        }
        if (button != Button1)
            return;
        if (doubleClick)
            field.doubleClick(fieldX, measureText_);
        else
            field.press(fieldX, (state & ShiftMask) != 0, measureText_);
        caretMoved(kind, true);
        drag_ = Drag::Field;
        dragControl_ = kind;
        return;
    }
    if (button != Button1)
        return;
    if (control == kGainSlider) {
        const int centre = thumbCentre(slider_);
        if (std::abs(y - centre) <= kThumbHeight / 2) {
            drag_ = Drag::Slider;
            dragGrab_ = centre - y;
            return;
        }
        // A page step, whose gesture ends with the button's release.
        drag_ = Drag::SliderPage;
        stepSlider(y < centre ? -kSliderPage : kSliderPage);
        return;
    }
    // The second click of a double click on a button does nothing, as on Windows.
    if (doubleClick)
        return;
    drag_ = Drag::Button;
    dragControl_ = control;
    dirty_ = true;
}

void X11Editor::release(int x, int y)
{
    const Drag was = drag_;
    drag_ = Drag::Nothing;
    dirty_ = true;  // the pushed look goes
    if (was == Drag::Slider || was == Drag::SliderPage)
        model_.releaseGainSlider();  // the drag was one gesture
    if (was == Drag::Wave)
        model_.releaseWave();
    if (was == Drag::Button) {
        for (const EditorButton& b : kEditorButtons)
            if (b.id == dragControl_ && b.area.contains(x, y))
                model_.click(b.id);
    }
}

void X11Editor::motion(int x, int y)
{
    if (drag_ == Drag::Field) {
        fields_[dragControl_].drag(x - editorFieldArea(dragControl_).x - kFieldInset, measureText_);
        caretMoved(dragControl_, true);
    } else if (drag_ == Drag::Slider) {
        setSliderFromY(y);
    } else if (drag_ == Drag::Wave) {
        model_.dragWave(x, y);
        dirty_ = true;
    }
}

void X11Editor::setSliderFromY(int y)
{
    const double travel = kSliderBottom - kSliderTop;
    const int position = std::clamp(
        static_cast<int>(std::lround((y + dragGrab_ - kSliderTop) * kGainSliderMax / travel)), 0, kGainSliderMax);
    stepSlider(position - slider_);
}

bool X11Editor::stepSlider(int step)
{
    const int position = std::clamp(slider_ + step, 0, kGainSliderMax);
    if (position == slider_)
        return false;
    slider_ = position;
    model_.moveGainSlider(position);
    dirty_ = true;
    return true;
}

void X11Editor::key(XEvent& event)
{
    char typed[32];
    KeySym symbol = NoSymbol;
    const int length = XLookupString(&event.xkey, typed, sizeof typed, &symbol, nullptr);
    if (focused_ < 0)
        return;
    const int kind = focused_;
    TextField& field = fields_[kind];
    const bool shift = (event.xkey.state & ShiftMask) != 0;
    const bool control = (event.xkey.state & ControlMask) != 0;
    const unsigned long time = event.xkey.time;

    switch (symbol) {
    case XK_Left:
    case XK_KP_Left:
        field.moveLeft(shift);
        return caretMoved(kind, shift);
    case XK_Right:
    case XK_KP_Right:
        field.moveRight(shift);
        return caretMoved(kind, shift);
    case XK_Home:
    case XK_KP_Home:
        field.home(shift);
        return caretMoved(kind, shift);
    case XK_End:
    case XK_KP_End:
        field.end(shift);
        return caretMoved(kind, shift);
    case XK_BackSpace:
        if (field.backspace())
            edited(kind);
        return;
    case XK_Delete:
    case XK_KP_Delete:
        if (shift && field.hasSelection()) {  // cut
            selections_.own(selections_.clipboard(), field.selectedText(), time);
            field.eraseSelection();
            edited(kind);
        } else if (field.deleteForward()) {
            edited(kind);
        }
        return;
    case XK_Insert:
    case XK_KP_Insert:
        if (control && field.hasSelection())
            selections_.own(selections_.clipboard(), field.selectedText(), time);
        else if (shift)
            selections_.paste(selections_.clipboard(), kind, time);
        return;
    case XK_Tab:
    case XK_ISO_Left_Tab: {
        const int step = shift || symbol == XK_ISO_Left_Tab ? kEditorFieldCount - 1 : 1;
        const int next = (kind + step) % kEditorFieldCount;
        focused_ = next;
        fields_[next].selectAll();
        return caretMoved(next, true);
    }
    default:
        break;
    }
    if (control) {
        // Latin keysyms are their characters.
        switch (symbol < 0x100 ? std::tolower(static_cast<int>(symbol)) : 0) {
        case 'a':
            field.selectAll();
            return caretMoved(kind, true);
        case 'c':
            if (field.hasSelection())
                selections_.own(selections_.clipboard(), field.selectedText(), time);
            return;
        case 'x':
            if (field.hasSelection()) {
                selections_.own(selections_.clipboard(), field.selectedText(), time);
                field.eraseSelection();
                edited(kind);
            }
            return;
        case 'v':
            return selections_.paste(selections_.clipboard(), kind, time);
        default:
            return;
        }
    }
    if (length > 0 && field.insert(std::string_view(typed, static_cast<size_t>(length))))
        edited(kind);
}

void X11Editor::edited(int kind)
{
    model_.editField(kind, fields_[kind].text().c_str());
    caretMoved(kind, false);
}

void X11Editor::caretMoved(int kind, bool selecting)
{
    fields_[kind].scrollToCaret(fieldTextWidth(kind), measureText_);
    if (selecting && fields_[kind].hasSelection())
        selections_.own(XA_PRIMARY, fields_[kind].selectedText(), CurrentTime);
    dirty_ = true;
}

void X11Editor::focusField(int kind, unsigned long time)
{
    focused_ = kind;
    // Hosts embed us in their own windows: keys come to us only once we ask.
    XSetInputFocus(display_, window_, RevertToParent, time);
    dirty_ = true;
}

void X11Editor::insertPasted(int kind, const std::string& text)
{
    if (fields_[kind].insert(text))
        edited(kind);
}

// ---- drawing ----

void X11Editor::draw()
{
    dirty_ = false;
    const X11Painter::Scene scene{
        model_, fields_, focused_, hasFocus_, drag_ == Drag::Button ? dragControl_ : 0, drag_ == Drag::Slider, slider_};
    painter_.paint(display_, window_, scene);
}
