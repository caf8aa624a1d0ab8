#include "X11ErrorFilter.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {

struct Connection {
    Display* display;
    bool error;
    bool broken;
};

std::mutex connectionsMutex;
std::vector<Connection> connections;
// Read inside the handlers, which may run on any thread.
std::atomic<XErrorHandler> previousErrorHandler{nullptr};
std::atomic<XIOErrorHandler> previousIoErrorHandler{nullptr};
// Whether our handlers are in the chain: they stay there when someone else
// installed handlers after them, and then must not be installed twice (the
// other handlers may chain to ours, which would chain back to them).
bool errorHandlerInChain = false;
bool ioErrorHandlerInChain = false;

Connection* find(Display* display)
{
    const auto found = std::find_if(connections.begin(), connections.end(),
                                    [display](const Connection& c) { return c.display == display; });
    return found == connections.end() ? nullptr : &*found;
}

int onError(Display* display, XErrorEvent* event)
{
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        if (Connection* ours = find(display)) {
            ours->error = true;
            return 0;
        }
    }
    const XErrorHandler previous = previousErrorHandler.load();
    return previous ? previous(display, event) : 0;
}

int onIoError(Display* display)
{
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        if (Connection* ours = find(display)) {
            ours->broken = true;
            return 0;  // then the connection's exit handler, which returns
        }
    }
    const XIOErrorHandler previous = previousIoErrorHandler.load();
    return previous ? previous(display) : 0;
}

void onConnectionLost(Display* display, void*)
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    if (Connection* ours = find(display))
        ours->broken = true;
}

}  // namespace

void X11ErrorFilter::add(Display* display)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        first = connections.empty();
        connections.push_back({display, false, false});
    }
    XSetIOErrorExitHandler(display, onConnectionLost, nullptr);
    // Outside the mutex: Xlib takes its own lock here, and it may hold that
    // lock while a handler of ours waits for the mutex.
    if (first && !errorHandlerInChain) {
        previousErrorHandler.store(XSetErrorHandler(onError));
        errorHandlerInChain = true;
    }
    if (first && !ioErrorHandlerInChain) {
        previousIoErrorHandler.store(XSetIOErrorHandler(onIoError));
        ioErrorHandlerInChain = true;
    }
}

void X11ErrorFilter::remove(Display* display)
{
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        const auto gone = std::remove_if(connections.begin(), connections.end(),
                                         [display](const Connection& c) { return c.display == display; });
        const bool found = gone != connections.end();
        connections.erase(gone, connections.end());
        last = found && connections.empty();
    }
    if (!last)
        return;
    const XErrorHandler current = XSetErrorHandler(previousErrorHandler.load());
    if (current == onError)
        errorHandlerInChain = false;
    else
        XSetErrorHandler(current);
    const XIOErrorHandler currentIo = XSetIOErrorHandler(previousIoErrorHandler.load());
    if (currentIo == onIoError)
        ioErrorHandlerInChain = false;
    else
        XSetIOErrorHandler(currentIo);
}

bool X11ErrorFilter::takeError(Display* display)
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    Connection* ours = find(display);
    if (!ours)
        return false;
    const bool error = ours->error;
    ours->error = false;
    return error;
}

bool X11ErrorFilter::isBroken(Display* display)
{
    std::lock_guard<std::mutex> lock(connectionsMutex);
    const Connection* ours = find(display);
    return ours && ours->broken;
}
