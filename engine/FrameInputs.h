// What one frame of a voice hands its channel kind's frame writer, after the
// voice's envelopes have stepped. Every writer takes the same three
// arguments, `template <class Chip> void write(Voice&, Chip&, const
// FrameInputs&)`, so that stepVoiceFrame chooses one by the channel type
// alone.
#pragma once

#include "BankSnapshot.h"
#include "ChannelControllers.h"

#include <cstdint>

struct FrameInputs {
    const ProgramSound& program;
    const ChannelControllers& controllers;
    int32_t volume;     // the chip volume 0..15, velocity and controllers applied
    int32_t note;       // the note sounded: a fixed-note Arp step's, else the voice's
    int32_t arp;        // the Arp step's offset (0 under a fixed-note step)
    float bend;         // semitones: the channel's bend and the wheel's vibrato
    int32_t clockRate;  // the chip's clock
    int32_t duty;       // the Duty envelope's value, as an MPE member's timbre shifts it
};
