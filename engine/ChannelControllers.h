// The controllers of one MIDI channel that shape its voices: the sustain
// pedal, volume and expression, and the modulation wheel, which act only while
// the instrument's controller handling is on; and an MPE member channel's
// pressure and timbre, which act while MPE is on. At their defaults they
// change nothing.
#pragma once

#include <cstdint>

constexpr int32_t kControllerMax = 127;
constexpr int32_t kPedalDownFrom = 64;  // sustain values from here on hold the notes
// Portamento (controller 65) as last set: not at all (the program's glide
// plays), off, or on with the time of controller 5.
enum PortamentoSwitch : int32_t { PortamentoUnset = -1, PortamentoOff = 0, PortamentoOn = 1 };
constexpr int32_t kMaxPortamentoMs = 2000;  // controller 5 at 127
constexpr int32_t kTimbreCentre = 64;       // controller 74 where MPE controllers start a note's slide

struct ChannelControllers {
    bool pedalDown = false;
    int32_t volume = kControllerMax;      // controller 7
    int32_t expression = kControllerMax;  // controller 11
    int32_t wheel = 0;                    // controller 1
    int32_t portamento = PortamentoUnset;
    int32_t portamentoTime = 0;  // controller 5
    // MPE members only: channel pressure, which scales the volume as
    // expression does, and controller 74, which shifts the duty (shiftDuty).
    int32_t pressure = kControllerMax;
    int32_t timbre = kTimbreCentre;

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
// (volume/127)^2 (expression/127)^2, and by (pressure/127)^2 below full
// pressure, rounded to the nearest of the chip's steps, halves up: exact at
// 127, 127 and 127.
int32_t scaleChipVolume(int32_t chipVolume, const ChannelControllers& controllers);

// The wheel's vibrato for a voice's frame, in semitones: a sine of about 6 Hz
// held for each frame, as a tracker steps it, reaching +-50 cents at full
// wheel. Exactly 0 with the wheel at 0.
float wheelVibrato(const ChannelControllers& controllers, int32_t frame, int32_t frameRate);

// The duty a frame plays: the Duty envelope's value, shifted by an MPE
// member's timbre. Controller 74 at 64 (the centre, where MPE controllers put
// a note's slide) leaves it as the program has it; away from the centre, each
// 64/N further steps move it one duty up or down (N the channel type's
// duties: 4 for the 2A03's and the MMC5's pulses, 8 for the VRC6's, 2 for the
// noise, 5 for the 5B's modes, 64 for the N163's waves), and the result is
// clamped to them. The steps round towards the centre, so that a slide resting
// near it does not flicker, and from any envelope value the whole slide
// reaches every duty. Types without duties, and the centre, play the value as
// it is.
// A note's brightness (a host's note expression) shifts it as its own
// controller 74 would.
int32_t shiftDuty(int32_t dutyValue, int32_t channelType, int32_t timbre);
inline int32_t shiftDuty(int32_t dutyValue, int32_t channelType, const ChannelControllers& controllers)
{
    return shiftDuty(dutyValue, channelType, controllers.timbre);
}
