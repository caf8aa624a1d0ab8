// One chip frame of one voice: the voice takes the next step of each of its
// five envelopes and writes its chip's registers for the frame, then the chip
// ends the frame. The only place where the engine drives a chip (its VRC6
// part is in Vrc6Frame.h, its samples in SampleFrame.h).
#pragma once

#include "BankSnapshot.h"
#include "ChannelControllers.h"
#include "ChannelKinds.h"
#include "EnvelopeCompiler.h"
#include "SampleFrame.h"
#include "Voice.h"
#include "Vrc6Frame.h"

#include <cstdint>

constexpr int32_t kNtscClockRate = 1789773;
constexpr int32_t kNtscFrameRate = 60;
constexpr int32_t kPalClockRate = 1662607;
constexpr int32_t kPalFrameRate = 50;

// A looping Pitch or Hi-Pitch envelope keeps adding to the offset; it stops
// here, far outside every period, so that no sum with it can overflow.
constexpr int32_t kPitchOffsetLimit = 1 << 30;

// The timer period of a note on a channel whose period is the note's (a
// pulse, the triangle, a VRC6 pulse or the saw): clock / (d f) truncated,
// less 1, plus the offset, with d the kind's periodDivider (ChannelKinds.h:
// 16, 32, 16 or 14 clocks per cycle for each of the period); -1 when it lies
// outside the kind's periodBits (11 for the 2A03, 12 for the VRC6), for a NaN
// bend, or for a channel with no such period (the noise, the samples).
int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate);
// The same, the power of two taken from `memo` when it was the last one too.
int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate, PitchPower& memo);

// The noise period index 0..15 of a note: higher notes give smaller indexes.
int32_t noiseIndexFromNote(int32_t note, int32_t arpValue, int32_t pitchOffset);

// Advances a voice's five envelopes one step, in the order Volume, Arp, Duty,
// Pitch, Hi-Pitch, and answers the frame's chip volume 0..15. A Volume
// envelope that has ended on 0, or a release that has played out (or that an
// edit has taken away), frees the voice here.
int32_t stepEnvelopes(Voice& voice, const ProgramSound& program);

// Steps a busy voice one frame and renders that frame into its chip's buffer;
// does nothing for a free voice. The chip is a VoiceChip, or anything with its
// write_time, chip.write_register(), vrc6.write_register(), vrc6_enables,
// load_sample(), sample_playing() and end_frame() (the tests record writes).
// The channel's controllers scale the volume and add the wheel's vibrato.
template <class Chip>
void stepVoiceFrame(Voice& voice, Chip& chip, const ProgramSound& program, float channelBend, int32_t clockRate,
                    const ChannelControllers& controllers = ChannelControllers{}, int32_t frameRate = kNtscFrameRate)
{
    if (voice.isFree())
        return;
    const int32_t vol = scaleChipVolume(stepEnvelopes(voice, program), controllers);
    const float bend = channelBend + wheelVibrato(controllers, voice.vibratoFrame, frameRate);
    if (frameRate > 0)
        voice.vibratoFrame = (voice.vibratoFrame + 1) % frameRate;  // whole cycles of 6 Hz per second
    // A fixed-note Arp step sounds its note in place of the key's.
    int32_t note = voice.note;
    int32_t arp = voice.arpValue;
    if (isFixedNote(arp)) {
        note = arp - kFixedNoteBase;
        arp = 0;
    }
    if (isVrc6Channel(voice.channelType)) {
        const int32_t period =
            periodFromNote(voice.channelType, bend, note, arp, voice.pitchOffset, clockRate, voice.pitchPower);
        writeVrc6Frame(voice, chip, vol, period, controllers);
        chip.end_frame();
        return;
    }
    // A Sample program without a key map plays as it did before samples
    // existed: through the code below, silently.
    if (voice.channelType == Sample && program.keyMap.entryCount > 0) {
        writeSampleFrame(voice, chip, program, note + arp);
        chip.end_frame();
        return;
    }

    bool silent = vol == 0;
    int32_t period = 0;
    if (voice.channelType == Pulse || voice.channelType == Triangle) {
        period = periodFromNote(voice.channelType, bend, note, arp, voice.pitchOffset, clockRate, voice.pitchPower);
        silent = silent || period < 0;
    }

    // Writes fall 4 clocks apart: at 4, 8, 12, ... of the frame.
    auto write = [&chip](unsigned address, int data) {
        chip.write_time += 4;
        chip.chip.write_register(chip.write_time, address, data);
    };
    if (silent) {
        write(0x4015, 0x00);  // all channels off; this also clears their length counters
        // The length counter is gone, so the next sounding pulse frame must
        // write $4003 again to reload it.
        voice.lastPeriodHigh = -1;
    } else if (voice.channelType == Pulse) {
        write(0x4015, 0x01);
        // $4000: DDLC VVVV  duty, length halt, constant volume, volume
        write(0x4000, ((voice.dutyValue & 3) * 64) | 0x30 | vol);
        write(0x4001, 0x08);  // sweep off, negate: the sweep never mutes
        write(0x4002, period & 0xFF);
        // $4003 restarts the duty cycle, so it is written only when the high
        // bits change (or the length counter needs reloading).
        if (voice.lastPeriodHigh == -1 || (period & 0x700) != voice.lastPeriodHigh) {
            voice.lastPeriodHigh = period & 0x700;
            write(0x4003, (period / 256) & 7);
        }
    } else if (voice.channelType == Triangle) {
        write(0x4015, 0x04);
        write(0x4008, 0xFF);  // control flag set, linear counter reload 127
        write(0x400A, period & 0xFF);
        write(0x400B, (period / 256) & 7);
    } else if (voice.channelType == Noise) {
        write(0x4015, 0x08);
        write(0x400C, 0xF0 | vol);  // length halt, constant volume
        // $400E: M--- PPPP  short (periodic) mode on odd Duty steps, period index
        write(0x400E, ((voice.dutyValue & 1) * 128) | noiseIndexFromNote(note, arp, voice.pitchOffset));
        write(0x400F, 0x00);  // reloads the length counter, restarts the envelope
    }
    silenceVrc6(chip);  // after a VRC6 program on this voice
    // A channel type that no chip channel has writes nothing and only ends the frame.
    chip.end_frame();
}
