// Decoding of the host's MIDI into queued events, and the controller state it
// keeps on the way: the registered-parameter selection, each channel's
// pitch-bend range and the MPE mode the ranges follow. All 16 channels are
// taken; messages the instrument does not use are skipped.
#pragma once

#include "EventQueue.h"
#include "Program.h"
#include "SharedSettings.h"

#include <cstdint>

struct MidiIntake {
    float bendRange[kMidiChannelCount];  // semitones
    int32_t rpnLsb = 0;                  // controller 100, shared by all channels
    int32_t rpnMsb = 0;                  // controller 101
    int32_t dataEntryLsb = 0;            // controller 38
    int32_t dataEntryMsb = 0;            // controller 6
    // Whether the controllers that shape the sound (1, 5, 7, 11, 64, 65, 120, 121)
    // become events; when not, they are skipped as ever.
    bool controllersOn = false;
    // The MPE mode as the messages decoded so far leave it (an MpeMode): its
    // members' pressure and controller 74 become events, other channels'
    // are skipped as ever.
    int32_t mpeMode = MpeOff;

    MidiIntake();

    // Takes an MPE mode: every bend range goes back to its default for it,
    // 48 semitones on the members and 2 elsewhere.
    void setMpeMode(int32_t mode);

    // Decodes one message with its sample offset and appends at most one event.
    // Audio thread.
    void decode(int32_t deltaFrames, const uint8_t message[3], EventQueue& queue);
};
