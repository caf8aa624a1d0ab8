#include "X11Selections.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <iterator>

namespace {

// What a paste reads of the clipboard, in 32-bit units: more than a field holds.
constexpr long kPasteReadLength = 1024;

}  // namespace

void X11Selections::open(Display* display, unsigned long window)
{
    display_ = display;
    window_ = window;
    clipboardAtom_ = XInternAtom(display_, "CLIPBOARD", False);
    utf8Atom_ = XInternAtom(display_, "UTF8_STRING", False);
    targetsAtom_ = XInternAtom(display_, "TARGETS", False);
    textAtom_ = XInternAtom(display_, "TEXT", False);
    pasteProperty_ = XInternAtom(display_, "PLINKA_PASTE", False);
    pasteField_ = -1;
}

void X11Selections::close()
{
    display_ = nullptr;
    window_ = 0;
    clipboardText_.clear();
    primaryText_.clear();
}

void X11Selections::own(unsigned long selection, const std::string& text, unsigned long time)
{
    (selection == clipboardAtom_ ? clipboardText_ : primaryText_) = text;
    XSetSelectionOwner(display_, selection, window_, time);
}

void X11Selections::paste(unsigned long selection, int kind, unsigned long time)
{
    const Window owner = XGetSelectionOwner(display_, selection);
    if (owner == window_)
        return insert_(kind, selection == clipboardAtom_ ? clipboardText_ : primaryText_);
    if (owner == None)
        return;
    // The answer arrives as a SelectionNotify in a later idle.
    pasteField_ = kind;
    pasteTarget_ = utf8Atom_;
    XConvertSelection(display_, selection, utf8Atom_, pasteProperty_, window_, time);
}

void X11Selections::receivePaste(XEvent& event)
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
            insert_(pasteField_, std::string(reinterpret_cast<const char*>(data), count));
        XFree(data);
    }
    pasteField_ = -1;
}

void X11Selections::answerSelectionRequest(XEvent& event)
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
