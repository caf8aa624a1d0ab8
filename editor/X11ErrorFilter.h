// Keeps X errors on the editors' own display connections from reaching the
// host. Xlib's error handlers are process-wide and the default ones end the
// process, so while any editor is open, handlers of ours stand in front of
// the host's: errors on our connections are recorded and ignored, every
// other connection's go on to the handler that was installed before.
//
// A broken connection (server gone, our client killed) must not end the host
// either: each of our connections gets an exit handler (Xlib 1.7) that just
// returns, and the connection counts as broken from then on; its editor
// stops using it and only closes it.
//
// The user-interface thread calls add and remove; the handlers may run on any
// thread that makes X calls, hence the mutex.
#pragma once

struct _XDisplay;

namespace X11ErrorFilter {

// The first add installs the handlers.
void add(_XDisplay* display);
// The last remove puts the previous handlers back, unless someone installed
// handlers after ours: those may chain to ours, which then stay.
void remove(_XDisplay* display);
// Whether an X error arrived on this connection since the last call (and clears it).
bool takeError(_XDisplay* display);
// Whether the connection broke.
bool isBroken(_XDisplay* display);

}  // namespace X11ErrorFilter
