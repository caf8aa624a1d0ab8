// The 2A03 frame writers of the pulse, the triangle and the noise, and of a
// channel type no chip channel has. Each writes $4015 with only its own
// channel on (which switches off whatever other 2A03 channel the voice left
// on), then its channel's registers, writing from write_time on.
#pragma once

#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "Vrc6Frame.h"

#include <cstdint>

namespace apu_frame {

// Writes fall 4 clocks apart: at 4, 8, 12, ... of the frame.
template <class Chip> void write(Chip& chip, unsigned address, int data)
{
    chip.write_time += 4;
    chip.chip.write_register(chip.write_time, address, data);
}

// All channels off; this also clears their length counters, so the next
// sounding pulse frame must write $4003 again to reload it.
template <class Chip> void silence(Voice& voice, Chip& chip)
{
    write(chip, 0x4015, 0x00);
    voice.lastPeriodHigh = -1;
}

// A voice whose last frame played another chip silences it once, after its
// own writes (where it always has: the writes keep their clocks).
template <class Chip> void leaveOtherChip(const Voice& voice, Chip& chip)
{
    leaveOtherExpansions(voice, chip, SoundChip::Apu);
}

}  // namespace apu_frame

template <class Chip> void writePulseFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    if (voice.lastChip != SoundChip::Apu)
        voice.lastPeriodHigh = -1;  // the other chip's frames left the length counter at 0
    const int32_t period =
        periodFromNote(Pulse, in.bend, in.note, in.arp, voice.pitchOffset, in.clockRate, voice.pitchPower);
    if (in.volume == 0 || period < 0) {
        apu_frame::silence(voice, chip);
    } else {
        apu_frame::write(chip, 0x4015, 0x01);
        // $4000: DDLC VVVV  duty, length halt, constant volume, volume
        apu_frame::write(chip, 0x4000, ((in.duty & 3) * 64) | 0x30 | in.volume);
        apu_frame::write(chip, 0x4001, 0x08);  // sweep off, negate: the sweep never mutes
        apu_frame::write(chip, 0x4002, period & 0xFF);
        // $4003 restarts the duty cycle, so it is written only when the high
        // bits change (or the length counter needs reloading).
        if (voice.lastPeriodHigh == -1 || (period & 0x700) != voice.lastPeriodHigh) {
            voice.lastPeriodHigh = period & 0x700;
            apu_frame::write(chip, 0x4003, (period / 256) & 7);
        }
    }
    apu_frame::leaveOtherChip(voice, chip);
}

template <class Chip> void writeTriangleFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    const int32_t period =
        periodFromNote(Triangle, in.bend, in.note, in.arp, voice.pitchOffset, in.clockRate, voice.pitchPower);
    if (in.volume == 0 || period < 0) {
        apu_frame::silence(voice, chip);
    } else {
        apu_frame::write(chip, 0x4015, 0x04);
        apu_frame::write(chip, 0x4008, 0xFF);  // control flag set, linear counter reload 127
        apu_frame::write(chip, 0x400A, period & 0xFF);
        apu_frame::write(chip, 0x400B, (period / 256) & 7);
    }
    apu_frame::leaveOtherChip(voice, chip);
}

template <class Chip> void writeNoiseFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    if (in.volume == 0) {
        apu_frame::silence(voice, chip);
    } else {
        apu_frame::write(chip, 0x4015, 0x08);
        apu_frame::write(chip, 0x400C, 0xF0 | in.volume);  // length halt, constant volume
        // $400E: M--- PPPP  short (periodic) mode on odd Duty steps, period index
        apu_frame::write(chip, 0x400E, ((in.duty & 1) * 128) | noiseIndexFromNote(in.note, in.arp, voice.pitchOffset));
        apu_frame::write(chip, 0x400F, 0x00);  // reloads the length counter, restarts the envelope
    }
    apu_frame::leaveOtherChip(voice, chip);
}

// A channel type that no chip channel has (or a Sample program without a key
// map, which plays as it did before samples existed): it sounds nothing, and
// a silent frame switches the 2A03 off as any other does.
template <class Chip> void writeNoChannelFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    if (in.volume == 0)
        apu_frame::silence(voice, chip);
    apu_frame::leaveOtherChip(voice, chip);
}
