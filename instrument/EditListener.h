// Told, on the user-interface thread, of what the user does in the editor,
// so that the plug-in format's adapter tells its host. Parameter edits come
// as gestures for the host to record as automation: a begin, the values, an
// end (a slider drag is one gesture, a click one of its own). Every edit of
// what the song saves is told once, whatever the format makes of it.
#pragma once

#include <cstdint>

class EditListener {
public:
    virtual ~EditListener() = default;
    virtual void parameterGestureBegan(uint32_t id) = 0;
    virtual void parameterEdited(uint32_t id, double value) = 0;
    virtual void parameterGestureEnded(uint32_t id) = 0;
    // The saved state changed; namesChanged: program names too (formats
    // whose hosts show a program list read it again).
    virtual void stateEdited(bool namesChanged) = 0;
};
