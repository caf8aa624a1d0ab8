// The frame writer of the VRC7 type: channel 1 of the voice's VRC7 (in
// console mode the port gives the slot's channel of the console's). The
// program's chip text names its patch (a built-in one, or the custom one
// whose bytes go into $00-$07: on the console's chip one custom patch serves
// every channel, the last to write it wins) and the sustain bit. A note keys
// the channel on (off and on again when it was on, so that the chip damps
// it first); the key going up keys it off and the patch's release sounds,
// the voice playing on until the carrier is silent (at most kMaxReleaseFrames).
// Volume 1..15 is the chip's volume register 15 - V (3 dB a step), 0 keys
// the channel off. The pitch is the 9-bit F and 3-bit block B of
// 49715.9 × F / 2^(19 - B), the smallest block whose F fits: the finest
// steps. Each Pitch step lowers F by one.
#pragma once

#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "WaveCompiler.h"
#include "chip/vrc7/Chip_Vrc7.h"

#include <cstdint>

namespace vrc7_frame {

constexpr int32_t kMaxF = 511;
constexpr int32_t kMaxBlock = 7;
// A release the patch never ends (rate 0) ends here: ten seconds.
constexpr int32_t kMaxReleaseFrames = 600;
// The chip takes a write at its next sample, one every 36 CPU clocks: a
// key-off and the key-on after it lie further apart.
constexpr int32_t kKeyGap = 40;

// What lastPeriodHigh holds for a VRC7 voice: -1 a new note, 0 keyed on,
// 1.. frames since the key went off.
constexpr int32_t kFresh = -1;
constexpr int32_t kKeyedOn = 0;

template <class Chip> void write(Chip& chip, int reg, int data)
{
    chip.write_time += 4;
    auto& vrc7 = chip.template expansion<Chip_Vrc7>();
    vrc7.write_register(chip.write_time, 0x9010, reg);
    vrc7.write_register(chip.write_time, 0x9030, data);
}

template <class Chip> int32_t channelOf(Chip& chip)
{
    if constexpr (requires { chip.vrc7_channel(); })
        return chip.vrc7_channel();
    else
        return 0;
}

// Whether the channel's carrier has fallen silent (a chip that cannot say: yes).
template <class Chip> bool carrierSilent(Chip& chip, int32_t channel)
{
    auto& vrc7 = chip.template expansion<Chip_Vrc7>();
    if constexpr (requires { vrc7.envelope(channel, true).level(); })
        return vrc7.envelope(channel, true).level() >= Vrc7_Envelope::quiet;
    else
        return true;
}

}  // namespace vrc7_frame

template <class Chip> void silenceVrc7(Chip& chip)
{
    using namespace vrc7_frame;
    if (!chip.template holds<Chip_Vrc7>() || chip.expansion_enables == 0)
        return;
    const int32_t c = channelOf(chip);
    write(chip, 0x20 + c, 0x00);  // key off: the release sounds on
    chip.expansion_enables = 0;
}

template <class Chip> void writeVrc7Frame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    using namespace vrc7_frame;
    leaveOtherExpansions(voice, chip, SoundChip::Vrc7);
    leaveApu(voice, chip, SoundChip::Vrc7);
    if (voice.noteFrames == 0)
        voice.lastPeriodHigh = kFresh;
    const WaveProgram* patch = in.program.wave;
    const int32_t c = channelOf(chip);
    // F and B: the smallest block whose F fits 9 bits.
    int32_t block = 0;
    int64_t f = -1;
    for (; block <= kMaxBlock; ++block) {
        f = frequencyFromNote(72.0 * static_cast<double>(1 << (19 - block)), in.bend, in.note, in.arp,
                              Chip_Vrc7::crystal_hz, voice.pitchPower);
        if (f <= kMaxF)
            break;
    }
    const int64_t number = f < 0 ? -1 : f - voice.pitchOffset;
    const bool keyUp = voice.releasing || voice.playingOut || voice.isFree();
    if (!patch || in.volume == 0 || number < 1 || number > kMaxF || block > kMaxBlock) {
        // Its softest (45 dB down) as well as keyed off: Volume 0 is silent.
        if (patch && chip.template holds<Chip_Vrc7>() && chip.expansion_enables != 0)
            write(chip, 0x30 + c, patch->patch << 4 | 15);
        silenceVrc7(chip);
        if (voice.playingOut)
            voice.note = -1;
        return;
    }
    if (keyUp) {
        // The release: the carrier falls at the patch's rate; the voice ends
        // when it is silent.
        if (voice.lastPeriodHigh <= kKeyedOn) {
            silenceVrc7(chip);
            voice.lastPeriodHigh = 1;
        } else if (++voice.lastPeriodHigh > kMaxReleaseFrames || carrierSilent(chip, c)) {
            voice.note = -1;
        }
        return;
    }
    if (patch->patch == 0) {
        // The custom patch's bytes, where the chip holds others.
        auto& vrc7 = chip.template expansion<Chip_Vrc7>();
        for (int r = 0; r < kVrc7CustomBytes; ++r) {
            bool same = false;
            if constexpr (requires { vrc7.reg(r); })
                same = vrc7.reg(r) == patch->custom[r];
            if (!same)
                write(chip, r, patch->custom[r]);
        }
    }
    write(chip, 0x10 + c, static_cast<int>(number & 0xFF));                  // $1c: F bits 0-7
    write(chip, 0x30 + c, patch->patch << 4 | (15 - in.volume));              // $3c: IIII VVVV
    const int keyed = (patch->sustain ? 0x20 : 0) | block << 1 | static_cast<int>(number >> 8);
    if (voice.lastPeriodHigh != kKeyedOn) {
        // A key-on after a key-off, so that the chip starts the note anew.
        write(chip, 0x20 + c, keyed);
        chip.write_time += kKeyGap;
        voice.lastPeriodHigh = kKeyedOn;
    }
    write(chip, 0x20 + c, 0x10 | keyed);  // $2c: --SK BBBF  sustain, key, block, F bit 8
    chip.expansion_enables = 1;
}
