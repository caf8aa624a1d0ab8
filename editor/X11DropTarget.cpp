#include "X11DropTarget.h"

#include "EditorModel.h"
#include "UriList.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

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

}  // namespace

void X11DropTarget::open(Display* display, unsigned long window)
{
    display_ = display;
    window_ = window;
    static_assert(std::size(decltype(dndAtoms_){}) == kDndAtomCount);
    for (int i = 0; i < kDndAtomCount; ++i)
        dndAtoms_[i] = XInternAtom(display_, kDndAtomNames[i], False);
    // Sources look for this on the window under the pointer before they talk to it.
    const long version = kDndVersion;
    XChangeProperty(display_, window_, dndAtoms_[kDndAware], XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&version), 1);
    dndSource_ = 0;
    dndDropping_ = false;
}

void X11DropTarget::close()
{
    display_ = nullptr;
    window_ = 0;
}

bool X11DropTarget::isDropSelection(unsigned long selection) const
{
    return selection == dndAtoms_[kDndSelection];
}

// A source announces itself (XdndEnter), asks while it moves whether a drop
// would be taken (XdndPosition, answered by XdndStatus), and either leaves
// or drops. On a drop the list of files is asked for as the XdndSelection;
// it arrives in a later idle as a SelectionNotify, and XdndFinished ends it.

void X11DropTarget::message(XEvent& event)
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

bool X11DropTarget::receiveDrop(XEvent& event)
{
    const XSelectionEvent& answer = event.xselection;
    if (answer.requestor != window_ || !dndDropping_)
        return false;
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
            // Out of memory, the drop is refused: nothing may throw back
            // into the host's event loop.
            try {
                paths = urilist::filePaths(text, host);
            } catch (const std::bad_alloc&) {
                paths.clear();
            } catch (const std::length_error&) {
                paths.clear();
            }
        }
        XFree(data);
    }
    if (!paths.empty())
        model_.dropFiles(paths);
    finishDrop(!paths.empty());
    return true;
}

void X11DropTarget::finishDrop(bool accepted)
{
    const long finished[5] = {static_cast<long>(window_), accepted ? kDndAccepted : 0,
                              accepted ? static_cast<long>(dndAtoms_[kDndActionCopy]) : 0, 0, 0};
    sendToSource(dndAtoms_[kDndFinished], finished);
    dndSource_ = 0;
    dndDropping_ = false;
}

void X11DropTarget::sendToSource(unsigned long type, const long (&data)[5])
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
