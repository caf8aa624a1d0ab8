// The frame writer of the 5B type: channel A of the voice's Sunsoft 5B (in
// console mode the port moves it to the slot's channel). The Duty step picks
// what sounds: 0 the tone, 1 the noise, 2 both (the noise chopped by the
// tone), 3 a saw buzz and 4 a triangle buzz, the chip's envelope repeating
// (shapes $08 and $0A) at the key's pitch with the tone and noise off, its
// level the channel's. The Volume is the chip's logarithmic volume, 3 dB a
// step; under a buzz it only gates.
//
// The noise period and the envelope are one each for the chip's three
// channels: in console mode the last channel to write them wins.
#pragma once

#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "chip/s5b/Chip_S5b.h"

#include <cstdint>

namespace s5b_frame {

// $C000 selects a register, $E000 writes it: a pair at one clock.
template <class Chip> void write(Chip& chip, int reg, int data)
{
    chip.write_time += 4;
    auto& s5b = chip.template expansion<Chip_S5b>();
    s5b.write_register(chip.write_time, 0xC000, reg);
    s5b.write_register(chip.write_time, 0xE000, data);
}

enum Mode : int32_t { Tone = 0, NoiseOnly, ToneAndNoise, SawBuzz, TriangleBuzz, kModeCount };

// $0D shapes that repeat: \\\\ and \/\/.
constexpr int kSawShape = 0x08;
constexpr int kTriangleShape = 0x0A;
// A ramp of 32 steps lasts 512 × EP clocks; the triangle's cycle is two. EP
// is small for high notes (8 at A4): the nearest one is the truest.
inline constexpr PeriodForm kSawBuzzForm{512, 0, 16, true};
inline constexpr PeriodForm kTriangleBuzzForm{1024, 0, 16, true};

// The noise period 1..31 of a note: as the 2A03 noise's, higher keys give
// shorter periods, 31 keys apart they come round again (0 plays as 1).
constexpr int32_t noisePeriod(int32_t note, int32_t arpValue, int32_t pitchOffset)
{
    return (91 - note - arpValue - pitchOffset) & 31;
}

}  // namespace s5b_frame

template <class Chip> void silenceS5b(Chip& chip)
{
    if (!chip.template holds<Chip_S5b>() || chip.expansion_enables == 0)
        return;
    s5b_frame::write(chip, 0x08, 0x00);  // $08: ---E VVVV  fixed volume 0
    chip.expansion_enables = 0;
}

template <class Chip> void writeS5bFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    using namespace s5b_frame;
    leaveOtherExpansions(voice, chip, SoundChip::S5b);
    leaveApu(voice, chip, SoundChip::S5b);
    const auto mode = static_cast<Mode>(((in.duty % kModeCount) + kModeCount) % kModeCount);
    const bool buzz = mode == SawBuzz || mode == TriangleBuzz;
    const bool tone = mode == Tone || mode == ToneAndNoise;
    const bool noise = mode == NoiseOnly || mode == ToneAndNoise;
    const int32_t period = buzz ? periodFromNote(mode == SawBuzz ? kSawBuzzForm : kTriangleBuzzForm, in.bend,
                                                 in.note, in.arp, voice.pitchOffset, in.clockRate, voice.pitchPower)
                           : tone ? periodFromNote(S5b, in.bend, in.note, in.arp, voice.pitchOffset, in.clockRate,
                                                   voice.pitchPower)
                                  : 0;
    if (in.volume == 0 || period < 0) {
        silenceS5b(chip);
        voice.lastPeriodHigh = -1;  // a buzz that comes back starts its envelope again
        return;
    }
    if (tone) {
        write(chip, 0x00, period & 0xFF);  // $00: channel A's period, low 8 bits
        write(chip, 0x01, period >> 8);    // $01: ---- HHHH  and the high 4
    }
    if (noise)
        write(chip, 0x06, noisePeriod(in.note, in.arp, voice.pitchOffset));  // $06: ---P PPPP  shared
    // $07: --CB Acba  noise off (CBA) and tone off (cba), 1 each: channels B
    // and C of the voice's chip stay off.
    write(chip, 0x07, 0x36 | (noise ? 0 : 0x08) | (tone ? 0 : 0x01));
    if (buzz) {
        write(chip, 0x0B, period & 0xFF);  // $0B/$0C: the envelope's 16-bit period
        write(chip, 0x0C, period >> 8);
        // Each $0D write restarts the envelope: only a new note or a new shape.
        const int shape = mode == SawBuzz ? kSawShape : kTriangleShape;
        if (voice.lastPeriodHigh != shape) {
            write(chip, 0x0D, shape);
            voice.lastPeriodHigh = shape;
        }
        write(chip, 0x08, 0x10);  // the envelope's level
    } else {
        voice.lastPeriodHigh = -1;
        write(chip, 0x08, in.volume);
    }
    chip.expansion_enables = 1;
}
