#include "X11Editor.h"

#include "EditorLayout.h"
#include "EditorModel.h"
#include "UriList.h"
#include "X11ErrorFilter.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

// ---- the layout ----

// A field's text starts inside its one-pixel border and a small margin.
constexpr int kFieldInset = 3;
constexpr double kFieldTextWidth = 475 - 2 * kFieldInset;

// The slider's thumb travels between these heights: position 0 at the top.
constexpr int kSliderTop = 10;
constexpr int kSliderBottom = 190;
constexpr int kSliderCentre = kGainSliderArea.x + kGainSliderArea.width / 2;
constexpr int kThumbWidth = 20;
constexpr int kThumbHeight = 10;
constexpr int kSliderPage = 4;  // a click beside the thumb, as the trackbar's page

// Button text sits this far below the top edge; corners are rounded as
// RoundRect's five-pixel ellipse.
constexpr double kButtonTextOffset = 4;
constexpr double kCornerRadius = 2.5;

constexpr double kFontSize = 13;
// Windows' defaults: a second click within this time and distance is a
// double click.
constexpr unsigned long kDoubleClickTime = 500;
constexpr int kDoubleClickDistance = 4;
// What a paste reads of the clipboard, in 32-bit units: more than a field holds.
constexpr long kPasteReadLength = 1024;

// ---- XDND: files dragged here from other programs ----
enum DndAtom : int {
    kDndAware,
    kDndEnter,
    kDndPosition,
    kDndStatus,
    kDndLeave,
    kDndDrop,
    kDndFinished,
    kDndSelection,
    kDndTypeList,
    kDndActionCopy,
    kDndUriList,
    kDndProperty,  // where the dropped list is delivered
    kDndAtomCount
};
const char* const kDndAtomNames[kDndAtomCount] = {"XdndAware",    "XdndEnter",      "XdndPosition",  "XdndStatus",
                                                  "XdndLeave",    "XdndDrop",       "XdndFinished",  "XdndSelection",
                                                  "XdndTypeList", "XdndActionCopy", "text/uri-list", "PLINKA_DROP"};
constexpr long kDndVersion = 5;
// XdndEnter's data.l[1]: bit 0 says the types are in the source's XdndTypeList.
constexpr long kDndMoreThanThreeTypes = 1;
constexpr long kDndAccepted = 1;  // XdndStatus's and XdndFinished's data.l[1]
// What is read of the source's type list (atoms) and of a dropped URI list
// (32-bit units): far more than any drag offers.
constexpr long kDndTypeReadLength = 256;
constexpr long kDropReadLength = 1 << 16;

struct Colour {
    double r, g, b;
};
constexpr Colour rgb(int r, int g, int b)
{
    return {r / 255.0, g / 255.0, b / 255.0};
}
constexpr Colour kFace = rgb(240, 240, 240);    // COLOR_BTNFACE
constexpr Colour kShadow = rgb(160, 160, 160);  // COLOR_BTNSHADOW: a selected button
constexpr Colour kEmptyEnvelope = rgb(255, 255, 128);
constexpr Colour kBlack = rgb(0, 0, 0);
constexpr Colour kWhite = rgb(255, 255, 255);
constexpr Colour kHighlight = rgb(0, 120, 215);
constexpr Colour kGroove = rgb(214, 214, 214);

void setColour(cairo_t* cr, Colour c)
{
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

void setFont(cairo_t* cr)
{
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kFontSize);
}

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

double textWidth(cairo_t* cr, const char* text)
{
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text, &extents);
    return extents.x_advance;
}

// An 8-bit colour component placed in a visual's channel mask.
unsigned long channel(uint32_t component, unsigned long mask)
{
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const unsigned long value = component & 0xFF;
    return (bits >= 8 ? value << (bits - 8) : value >> (8 - bits)) << shift;
}

int thumbCentre(int position)
{
    return kSliderTop + position * (kSliderBottom - kSliderTop) / kGainSliderMax;
}

}  // namespace

X11Editor::X11Editor(EditorModel& model)
    : model_(model), measureText_([this](std::string_view s) { return measure(s.data(), s.size()); })
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
    XWindowAttributes created{};
    XSync(display_, False);
    // No such parent, or a visual whose pixels are not plain RGB (colour maps
    // are long gone from desktops).
    if (X11ErrorFilter::takeError(display_) || !XGetWindowAttributes(display_, window_, &created) ||
        created.visual->c_class != TrueColor) {
        close();
        return false;
    }
    image_ = XCreateImage(display_, created.visual, static_cast<unsigned>(created.depth), ZPixmap, 0, nullptr,
                          kEditorWidth, kEditorHeight, 32, 0);
    if (image_)  // XDestroyImage frees it
        image_->data = static_cast<char*>(std::calloc(static_cast<size_t>(image_->bytes_per_line), kEditorHeight));
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    canvas_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kEditorWidth, kEditorHeight);
    measureContext_ = cairo_create(canvas_);
    setFont(measureContext_);
    if (!image_ || !image_->data || cairo_surface_status(canvas_) != CAIRO_STATUS_SUCCESS) {
        close();
        return false;
    }
    XStoreName(display_, window_, "PLINKA");
    XMapWindow(display_, window_);

    clipboardAtom_ = XInternAtom(display_, "CLIPBOARD", False);
    utf8Atom_ = XInternAtom(display_, "UTF8_STRING", False);
    targetsAtom_ = XInternAtom(display_, "TARGETS", False);
    textAtom_ = XInternAtom(display_, "TEXT", False);
    pasteProperty_ = XInternAtom(display_, "PLINKA_PASTE", False);
    static_assert(std::size(decltype(dndAtoms_){}) == kDndAtomCount);
    for (int i = 0; i < kDndAtomCount; ++i)
        dndAtoms_[i] = XInternAtom(display_, kDndAtomNames[i], False);
    // Sources look for this on the window under the pointer before they talk to it.
    const long version = kDndVersion;
    XChangeProperty(display_, window_, dndAtoms_[kDndAware], XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&version), 1);
    XFlush(display_);

    windowGone_ = false;
    focused_ = -1;
    hasFocus_ = false;
    drag_ = Drag::Nothing;
    lastPressTime_ = 0;
    pasteField_ = -1;
    dndSource_ = 0;
    dndDropping_ = false;
    model_.markForRefresh();
    dirty_ = true;
    return true;
}

void X11Editor::close()
{
    if (measureContext_)
        cairo_destroy(measureContext_);
    if (canvas_)
        cairo_surface_destroy(canvas_);
    measureContext_ = nullptr;
    canvas_ = nullptr;
    if (image_)
        XDestroyImage(image_);
    image_ = nullptr;
    if (!display_)
        return;
    const bool broken = X11ErrorFilter::isBroken(display_);
    // Also on a broken connection: the request goes nowhere, the memory is freed.
    if (gc_)
        XFreeGC(display_, gc_);
    gc_ = nullptr;
    if (window_ && !windowGone_ && !broken)
        XDestroyWindow(display_, window_);
    // Errors of the last requests arrive while the filter still knows us.
    if (!broken)
        XSync(display_, False);
    XCloseDisplay(display_);
    X11ErrorFilter::remove(display_);
    display_ = nullptr;
    window_ = 0;
    clipboardText_.clear();
    primaryText_.clear();
}

void X11Editor::idle()
{
    if (!display_ || X11ErrorFilter::isBroken(display_))
        return;  // a broken connection is only closed
    if (model_.takeRefreshTexts()) {
        char texts[kEnvelopeKindCount][kEnvelopeTextSize];
        model_.shownTexts(texts);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            fields_[kind].setText(texts[kind]);
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

double X11Editor::measure(const char* text, size_t length) const
{
    if (!measureContext_)
        return 0.0;
    const std::string piece(text, length);  // cairo wants it terminated
    return textWidth(measureContext_, piece.c_str());
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
        answerSelectionRequest(event);
        break;
    case SelectionNotify:
        if (event.xselection.selection == dndAtoms_[kDndSelection])
            receiveDrop(event);
        else
            receivePaste(event);
        break;
    case ClientMessage:
        dndMessage(event);
        break;
    default:
        break;
    }
}

void X11Editor::press(int x, int y, unsigned button, unsigned state, unsigned long time)
{
    if (button == Button4 || button == Button5) {
        if (kGainSliderArea.contains(x, y)) {
            const int position = std::clamp(slider_ + (button == Button4 ? -1 : 1), 0, kGainSliderMax);
            if (position != slider_) {
                slider_ = position;
                model_.moveGainSlider(position);
                dirty_ = true;
            }
        }
        return;
    }
    int control = 0;
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        if (envelopeFieldArea(kind).contains(x, y))
            control = kind + 1;  // fields count from 1 here, buttons have their ids
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

    if (control <= kEnvelopeKindCount) {
        const int kind = control - 1;
        TextField& field = fields_[kind];
        focusField(kind, time);
        const double fieldX = x - envelopeFieldArea(kind).x - kFieldInset;
        if (button == Button2) {
            // X's middle-click paste of the PRIMARY selection, where the click is.
            field.press(fieldX, false, measureText_);
            caretMoved(kind, false);
            paste(XA_PRIMARY, kind, time);
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
        const int position = std::clamp(slider_ + (y < centre ? -kSliderPage : kSliderPage), 0, kGainSliderMax);
        if (position != slider_) {
            slider_ = position;
            model_.moveGainSlider(position);
            dirty_ = true;
        }
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
    if (was == Drag::Button) {
        for (const EditorButton& b : kEditorButtons)
            if (b.id == dragControl_ && b.area.contains(x, y))
                model_.click(b.id);
    }
}

void X11Editor::motion(int x, int y)
{
    if (drag_ == Drag::Field) {
        fields_[dragControl_].drag(x - envelopeFieldArea(dragControl_).x - kFieldInset, measureText_);
        caretMoved(dragControl_, true);
    } else if (drag_ == Drag::Slider) {
        setSliderFromY(y);
    }
}

void X11Editor::setSliderFromY(int y)
{
    const double travel = kSliderBottom - kSliderTop;
    const int position = std::clamp(
        static_cast<int>(std::lround((y + dragGrab_ - kSliderTop) * kGainSliderMax / travel)), 0, kGainSliderMax);
    if (position == slider_)
        return;
    slider_ = position;
    model_.moveGainSlider(position);
    dirty_ = true;
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
            own(clipboardAtom_, field.selectedText(), time);
            field.eraseSelection();
            edited(kind);
        } else if (field.deleteForward()) {
            edited(kind);
        }
        return;
    case XK_Insert:
    case XK_KP_Insert:
        if (control && field.hasSelection())
            own(clipboardAtom_, field.selectedText(), time);
        else if (shift)
            paste(clipboardAtom_, kind, time);
        return;
    case XK_Tab:
    case XK_ISO_Left_Tab: {
        const int step = shift || symbol == XK_ISO_Left_Tab ? kEnvelopeKindCount - 1 : 1;
        const int next = (kind + step) % kEnvelopeKindCount;
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
                own(clipboardAtom_, field.selectedText(), time);
            return;
        case 'x':
            if (field.hasSelection()) {
                own(clipboardAtom_, field.selectedText(), time);
                field.eraseSelection();
                edited(kind);
            }
            return;
        case 'v':
            return paste(clipboardAtom_, kind, time);
        default:
            return;
        }
    }
    if (length > 0 && field.insert(std::string_view(typed, static_cast<size_t>(length))))
        edited(kind);
}

void X11Editor::edited(int kind)
{
    model_.editEnvelope(kind, fields_[kind].text().c_str());
    caretMoved(kind, false);
}

void X11Editor::caretMoved(int kind, bool selecting)
{
    fields_[kind].scrollToCaret(kFieldTextWidth, measureText_);
    if (selecting && fields_[kind].hasSelection())
        own(XA_PRIMARY, fields_[kind].selectedText(), CurrentTime);
    dirty_ = true;
}

void X11Editor::focusField(int kind, unsigned long time)
{
    focused_ = kind;
    // Hosts embed us in their own windows: keys come to us only once we ask.
    XSetInputFocus(display_, window_, RevertToParent, time);
    dirty_ = true;
}

// ---- selections ----

void X11Editor::own(unsigned long selection, const std::string& text, unsigned long time)
{
    (selection == clipboardAtom_ ? clipboardText_ : primaryText_) = text;
    XSetSelectionOwner(display_, selection, window_, time);
}

void X11Editor::paste(unsigned long selection, int kind, unsigned long time)
{
    const Window owner = XGetSelectionOwner(display_, selection);
    if (owner == window_)
        return insertPasted(kind, selection == clipboardAtom_ ? clipboardText_ : primaryText_);
    if (owner == None)
        return;
    // The answer arrives as a SelectionNotify in a later idle.
    pasteField_ = kind;
    pasteTarget_ = utf8Atom_;
    XConvertSelection(display_, selection, utf8Atom_, pasteProperty_, window_, time);
}

void X11Editor::receivePaste(XEvent& event)
{
    const XSelectionEvent& answer = event.xselection;
    if (answer.requestor != window_ || pasteField_ < 0)
        return;
    if (answer.property == None) {
        // No UTF-8 on offer: once more as Latin-1.
        if (pasteTarget_ == utf8Atom_) {
            pasteTarget_ = XA_STRING;
            XConvertSelection(display_, answer.selection, XA_STRING, pasteProperty_, window_, answer.time);
        } else {
            pasteField_ = -1;
        }
        return;
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window_, pasteProperty_, 0, kPasteReadLength, True, AnyPropertyType, &type,
                           &format, &count, &remaining, &data) == Success &&
        data) {
        // Text only; an INCR transfer is far longer than a field holds.
        if (format == 8 && (type == utf8Atom_ || type == XA_STRING))
            insertPasted(pasteField_, std::string(reinterpret_cast<const char*>(data), count));
        XFree(data);
    }
    pasteField_ = -1;
}

void X11Editor::insertPasted(int kind, const std::string& text)
{
    if (fields_[kind].insert(text))
        edited(kind);
}

void X11Editor::answerSelectionRequest(XEvent& event)
{
    const XSelectionRequestEvent& request = event.xselectionrequest;
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.display = display_;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.time = request.time;
    reply.xselection.property = None;
    // Clients older than the conventions name no property: the target is used.
    const Atom property = request.property != None ? request.property : request.target;
    const std::string& text = request.selection == clipboardAtom_ ? clipboardText_ : primaryText_;
    if (request.target == targetsAtom_) {
        const Atom targets[] = {targetsAtom_, utf8Atom_, XA_STRING, textAtom_};
        XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(targets), std::size(targets));
        reply.xselection.property = property;
    } else if (request.target == utf8Atom_ || request.target == XA_STRING || request.target == textAtom_) {
        // Printable ASCII is the same in all three.
        const Atom type = request.target == textAtom_ ? XA_STRING : request.target;
        XChangeProperty(display_, request.requestor, property, type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        reply.xselection.property = property;
    }
    XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
}

// ---- files dropped (XDND) ----
// A source announces itself (XdndEnter), asks while it moves whether a drop
// would be taken (XdndPosition, answered by XdndStatus), and either leaves
// or drops. On a drop the list of files is asked for as the XdndSelection;
// it arrives in a later idle as a SelectionNotify, and XdndFinished ends it.

void X11Editor::dndMessage(XEvent& event)
{
    const XClientMessageEvent& message = event.xclient;
    if (message.window != window_ || message.format != 32)
        return;
    const auto source = static_cast<Window>(message.data.l[0]);
    const Atom type = message.message_type;
    const Atom uriList = dndAtoms_[kDndUriList];
    if (type == dndAtoms_[kDndEnter]) {
        // A new drag; one that never left or finished is forgotten.
        dndSource_ = source;
        dndDropping_ = false;
        dndOffersFiles_ = false;
        if (message.data.l[1] & kDndMoreThanThreeTypes) {
            Atom actual = None;
            int format = 0;
            unsigned long count = 0;
            unsigned long remaining = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display_, source, dndAtoms_[kDndTypeList], 0, kDndTypeReadLength, False, XA_ATOM,
                                   &actual, &format, &count, &remaining, &data) == Success &&
                data) {
                // Xlib hands 32-bit items over as longs.
                const auto* types = reinterpret_cast<const long*>(data);
                for (unsigned long i = 0; format == 32 && i < count; ++i)
                    dndOffersFiles_ = dndOffersFiles_ || static_cast<Atom>(types[i]) == uriList;
                XFree(data);
            }
        } else {
            for (int i = 2; i < 5; ++i)
                dndOffersFiles_ = dndOffersFiles_ || static_cast<Atom>(message.data.l[i]) == uriList;
        }
        return;
    }
    if (dndSource_ == 0 || source != dndSource_)
        return;
    if (type == dndAtoms_[kDndPosition]) {
        // The whole editor takes files: no rectangle to stay quiet in.
        const long status[5] = {static_cast<long>(window_), dndOffersFiles_ ? kDndAccepted : 0, 0, 0,
                                dndOffersFiles_ ? static_cast<long>(dndAtoms_[kDndActionCopy]) : 0};
        sendToSource(dndAtoms_[kDndStatus], status);
    } else if (type == dndAtoms_[kDndLeave]) {
        dndSource_ = 0;
        dndDropping_ = false;
    } else if (type == dndAtoms_[kDndDrop] && !dndDropping_) {
        if (!dndOffersFiles_)
            return finishDrop(false);
        dndDropping_ = true;
        XConvertSelection(display_, dndAtoms_[kDndSelection], uriList, dndAtoms_[kDndProperty], window_,
                          static_cast<Time>(message.data.l[2]));
    }
}

void X11Editor::receiveDrop(XEvent& event)
{
    const XSelectionEvent& answer = event.xselection;
    if (answer.requestor != window_ || !dndDropping_)
        return;
    std::vector<std::string> paths;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (answer.property != None &&
        XGetWindowProperty(display_, window_, dndAtoms_[kDndProperty], 0, kDropReadLength, True, AnyPropertyType, &type,
                           &format, &count, &remaining, &data) == Success &&
        data) {
        // An INCR transfer (format 32) is left alone: no list of files is that long.
        if (format == 8) {
            std::string_view text(reinterpret_cast<const char*>(data), count);
            if (remaining > 0)  // longer than read: the cut last line is no path
                text = text.substr(0, text.rfind('\n') + 1);
            char host[256] = {};
            gethostname(host, sizeof host - 1);
            paths = urilist::filePaths(text, host);
        }
        XFree(data);
    }
    if (!paths.empty())
        model_.dropFiles(paths);
    finishDrop(!paths.empty());
    dirty_ = true;
}

void X11Editor::finishDrop(bool accepted)
{
    const long finished[5] = {static_cast<long>(window_), accepted ? kDndAccepted : 0,
                              accepted ? static_cast<long>(dndAtoms_[kDndActionCopy]) : 0, 0, 0};
    sendToSource(dndAtoms_[kDndFinished], finished);
    dndSource_ = 0;
    dndDropping_ = false;
}

void X11Editor::sendToSource(unsigned long type, const long (&data)[5])
{
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.display = display_;
    message.xclient.window = dndSource_;
    message.xclient.message_type = type;
    message.xclient.format = 32;
    std::copy(std::begin(data), std::end(data), message.xclient.data.l);
    XSendEvent(display_, dndSource_, False, NoEventMask, &message);
}

// ---- drawing ----

void X11Editor::draw()
{
    dirty_ = false;
    if (!canvas_ || !image_ || !gc_)
        return;
    cairo_t* cr = cairo_create(canvas_);
    setFont(cr);
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    setColour(cr, kFace);
    cairo_paint(cr);

    // Labels: top left, as static controls draw; an empty envelope's text on yellow.
    auto label = [&](const EditorArea& area, const char* text, bool marked) {
        if (marked) {
            setColour(cr, kEmptyEnvelope);
            cairo_rectangle(cr, area.x, area.y, std::ceil(textWidth(cr, text)), std::ceil(font.height));
            cairo_fill(cr);
        }
        setColour(cr, kBlack);
        cairo_move_to(cr, area.x, area.y + font.ascent);
        cairo_show_text(cr, text);
    };
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        label(envelopeLabelArea(kind), kEnvelopeLabelText[kind], model_.envelopeIsEmpty(kind));
    char display[32];
    model_.midiChannelText(display);
    label(kMidiChannelArea, display, false);
    model_.polyphonyText(display);
    label(kPolyphonyArea, display, false);
    label(kStatusArea, model_.statusText(), false);

    // Fields: white with a one-pixel border; the selection and caret while focused.
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        const EditorArea area = envelopeFieldArea(kind);
        const TextField& field = fields_[kind];
        setColour(cr, kWhite);
        cairo_rectangle(cr, area.x, area.y, area.width, area.height);
        cairo_fill(cr);
        setColour(cr, kBlack);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, area.x + 0.5, area.y + 0.5, area.width - 1, area.height - 1);
        cairo_stroke(cr);

        cairo_save(cr);
        cairo_rectangle(cr, area.x + 1, area.y + 1, area.width - 2, area.height - 2);
        cairo_clip(cr);
        const double originX = area.x + kFieldInset - field.scrollOffset();
        const double baseline = area.y + std::round((area.height - font.height) / 2 + font.ascent);
        const std::string& text = field.text();
        setColour(cr, kBlack);
        cairo_move_to(cr, originX, baseline);
        cairo_show_text(cr, text.c_str());
        const bool active = kind == focused_ && hasFocus_;
        if (active && field.hasSelection()) {
            const double left = originX + measure(text.data(), field.selectionStart());
            const double right = originX + measure(text.data(), field.selectionEnd());
            cairo_rectangle(cr, left, area.y + 3, right - left, area.height - 6);
            setColour(cr, kHighlight);
            cairo_fill_preserve(cr);
            cairo_clip(cr);
            setColour(cr, kWhite);
            cairo_move_to(cr, originX, baseline);
            cairo_show_text(cr, text.c_str());
        }
        cairo_restore(cr);
        if (active) {
            const double caretX = std::round(originX + measure(text.data(), field.caret())) + 0.5;
            setColour(cr, kBlack);
            cairo_move_to(cr, caretX, area.y + 4);
            cairo_line_to(cr, caretX, area.y + area.height - 4);
            cairo_stroke(cr);
        }
    }

    // Buttons: RoundRect in the face colour, or the shadow colour when selected.
    for (const EditorButton& b : kEditorButtons) {
        const bool pushed = drag_ == Drag::Button && dragControl_ == b.id;
        setColour(cr, model_.isSelected(b.id) || pushed ? kShadow : kFace);
        roundedRectangle(cr, b.area.x + 0.5, b.area.y + 0.5, b.area.width - 1, b.area.height - 1, kCornerRadius);
        cairo_fill_preserve(cr);
        setColour(cr, kBlack);
        cairo_stroke(cr);
        const double width = textWidth(cr, b.text);
        cairo_move_to(cr, std::round(b.area.x + (b.area.width - width) / 2),
                      b.area.y + kButtonTextOffset + font.ascent);
        cairo_show_text(cr, b.text);
    }

    // The gain slider: a groove and a thumb, top is position 0.
    setColour(cr, kGroove);
    cairo_rectangle(cr, kSliderCentre - 2, kSliderTop - 2, 4, kSliderBottom - kSliderTop + 4);
    cairo_fill(cr);
    setColour(cr, kShadow);
    cairo_rectangle(cr, kSliderCentre - 1.5, kSliderTop - 1.5, 3, kSliderBottom - kSliderTop + 3);
    cairo_stroke(cr);
    const int centre = thumbCentre(slider_);
    cairo_rectangle(cr, kSliderCentre - kThumbWidth / 2 + 0.5, centre - kThumbHeight / 2 + 0.5, kThumbWidth - 1,
                    kThumbHeight - 1);
    setColour(cr, drag_ == Drag::Slider ? kGroove : kFace);
    cairo_fill_preserve(cr);
    setColour(cr, kShadow);
    cairo_stroke(cr);

    cairo_destroy(cr);
    convertCanvas();
    XPutImage(display_, window_, gc_, image_, 0, 0, 0, 0, kEditorWidth, kEditorHeight);
}

void X11Editor::convertCanvas()
{
    cairo_surface_flush(canvas_);
    const unsigned char* canvas = cairo_image_surface_get_data(canvas_);
    const int stride = cairo_image_surface_get_stride(canvas_);
    // The usual visual is cairo's own layout: whole rows at once.
    const bool sameLayout = image_->bits_per_pixel == 32 && image_->red_mask == 0xFF0000 &&
                            image_->green_mask == 0xFF00 && image_->blue_mask == 0xFF &&
                            image_->byte_order == (std::endian::native == std::endian::little ? LSBFirst : MSBFirst);
    for (int y = 0; y < kEditorHeight; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(canvas + y * stride);
        if (sameLayout) {
            std::memcpy(image_->data + y * image_->bytes_per_line, row, 4 * kEditorWidth);
            continue;
        }
        for (int x = 0; x < kEditorWidth; ++x) {
            const uint32_t pixel = row[x];
            XPutPixel(image_, x, y,
                      channel(pixel >> 16, image_->red_mask) | channel(pixel >> 8, image_->green_mask) |
                          channel(pixel, image_->blue_mask));
        }
    }
}
