// A MIDI message decoded and waiting for its sample in the current block.
#pragma once

#include <cstdint>

enum EventType : int32_t {
    NoteEvent = 0,
    BendEvent = 1,
    ProgramEvent = 2,
    ControllerEvent = 3,
    ChokeEvent = 4,
    ReleaseEvent = 5,         // the notes a NoteMatch names go up
    PressureEvent = 6,        // channel pressure
    MpeEvent = 7,             // an MPE Configuration Message
    NoteExpressionEvent = 8   // the notes a NoteMatch names get their own tuning, volume or brightness
};

// What a note expression changes, and its value's range (out of range is clamped).
enum NoteExpressionKind : int32_t {
    ExpressionTuning = 0,     // semitones added to the note, -120..120
    ExpressionVolume = 1,     // amplitude, 0..4 (1 as played); the chip cannot go louder than its top
    ExpressionBrightness = 2  // 0..1: the note's own controller 74, from 0 to 127
};
inline constexpr int32_t kNoteExpressionKindCount = 3;
inline constexpr double kMaxExpressionTuning = 120.0;
inline constexpr double kMaxExpressionGain = 4.0;

struct EngineEvent {
    int32_t type;         // an EventType
    int32_t deltaFrames;  // sample of the block at which it acts
    int32_t channel;      // 0..15; ChokeEvent, ReleaseEvent: -1 for every channel
    int32_t key;          // NoteEvent, ChokeEvent, ReleaseEvent: 0..127, or -1 for every key
    int32_t velocity;     // NoteEvent: 1..127 note on, 0 note off
    int32_t program;      // ProgramEvent: 0..127
    int32_t controller;   // ControllerEvent: the controller number; NoteExpressionEvent: its kind
    int32_t value;        // ControllerEvent, PressureEvent: 0..127; MpeEvent: the member channels, 0..127
    float bend;           // BendEvent: pitch-bend offset in semitones; NoteExpressionEvent: the value
    // NoteEvent (on): the host's id for the note; ChokeEvent, ReleaseEvent: -1
    // for any. No default of its own: the queues' storage stays untouched (and
    // out of resident memory) until events fill it, so each maker sets it.
    int32_t noteId;
};
