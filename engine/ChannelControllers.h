// The controllers of one MIDI channel that shape its voices: the sustain
// pedal, volume and expression, and the modulation wheel. They act only while
// the instrument's controller handling is on; at their defaults they change
// nothing.
#pragma once

#include <cstdint>

constexpr int32_t kControllerMax = 127;
constexpr int32_t kPedalDownFrom = 64;  // sustain values from here on hold the notes
// Portamento (controller 65) as last set: not at all (the program's glide
// plays), off, or on with the time of controller 5.
enum PortamentoSwitch : int32_t { PortamentoUnset = -1, PortamentoOff = 0, PortamentoOn = 1 };
constexpr int32_t kMaxPortamentoMs = 2000;  // controller 5 at 127

struct ChannelControllers {
    bool pedalDown = false;
    int32_t volume = kControllerMax;      // controller 7
    int32_t expression = kControllerMax;  // controller 11
    int32_t wheel = 0;                    // controller 1
    int32_t portamento = PortamentoUnset;
    int32_t portamentoTime = 0;  // controller 5

    // The glide the channel asks for, in milliseconds: controller 5's 0..127
    // evenly over 0..2 seconds while portamento is on, none while it is off,
    // and the program's own until controller 65 has been sent.
    int32_t glideMs(int32_t programGlide) const
    {
        if (portamento == PortamentoUnset)
            return programGlide;
        return portamento == PortamentoOn ? (portamentoTime * kMaxPortamentoMs + kControllerMax / 2) / kControllerMax
                                          : 0;
    }

    // Everything back to its default: controller handling was switched off.
    void reset() { *this = ChannelControllers{}; }
    // Reset All Controllers (121) keeps the channel volume, as General MIDI
    // recommends: hosts send it at every stop, and a track's volume must stay.
    void resetAllControllers()
    {
        const int32_t kept = volume;
        reset();
        volume = kept;
    }
};

// The chip volume 0..15 (or the VRC6 saw's rate 0..63) scaled by
// (volume/127)^2 (expression/127)^2, rounded to the nearest of the chip's
// steps, halves up: exact at 127 and 127.
int32_t scaleChipVolume(int32_t chipVolume, const ChannelControllers& controllers);

// The wheel's vibrato for a voice's frame, in semitones: a sine of about 6 Hz
// held for each frame, as a tracker steps it, reaching +-50 cents at full
// wheel. Exactly 0 with the wheel at 0.
float wheelVibrato(const ChannelControllers& controllers, int32_t frame, int32_t frameRate);
