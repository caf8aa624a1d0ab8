// A MIDI message decoded and waiting for its sample in the current block.
#pragma once

#include <cstdint>

enum EventType : int32_t {
    NoteEvent = 0,
    BendEvent = 1,
    ProgramEvent = 2,
    ControllerEvent = 3,
    ChokeEvent = 4,
    ReleaseEvent = 5,   // the notes a NoteMatch names go up
    PressureEvent = 6,  // channel pressure
    MpeEvent = 7        // an MPE Configuration Message
};

struct EngineEvent {
    int32_t type;         // an EventType
    int32_t deltaFrames;  // sample of the block at which it acts
    int32_t channel;      // 0..15; ChokeEvent, ReleaseEvent: -1 for every channel
    int32_t key;          // NoteEvent, ChokeEvent, ReleaseEvent: 0..127, or -1 for every key
    int32_t velocity;     // NoteEvent: 1..127 note on, 0 note off
    int32_t program;      // ProgramEvent: 0..127
    int32_t controller;   // ControllerEvent: the controller number
    int32_t value;        // ControllerEvent, PressureEvent: 0..127; MpeEvent: the member channels, 0..127
    float bend;           // BendEvent: pitch-bend offset in semitones
    // NoteEvent (on): the host's id for the note; ChokeEvent, ReleaseEvent: -1
    // for any. No default of its own: the queues' storage stays untouched (and
    // out of resident memory) until events fill it, so each maker sets it.
    int32_t noteId;
};
