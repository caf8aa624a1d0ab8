// The frame writer of the FDS type: the voice's Famicom Disk System channel
// (in console mode the console's). Its program's wave goes into the wave RAM
// when it differs from what the RAM holds; the Volume (0..32) is the chip's
// gain, written directly with its envelope off; the pitch is the 12-bit P of
// clock × P / 2^22, and each Pitch step lowers P by one (a positive step
// lowers the note, as it lengthens a period on the other channels). A note
// restarts the wave at its first step. The modulator, when the program has
// one, starts mod-delay frames after the note-on: the table is written whole,
// entry k at the chip's entry k, the counter cleared, then the depth (the mod
// gain, its envelope off) and the rate (the modulation frequency). Duty does
// nothing.
#pragma once

#include "ChannelControllers.h"
#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "WaveCompiler.h"
#include "chip/fds/Chip_Fds.h"

#include <algorithm>
#include <cstdint>

namespace fds_frame {

constexpr double kPitchScale = 4194304.0;  // 64 steps of a 16-bit accumulator
constexpr int32_t kMaxPitch = 4095;

// What lastPeriodHigh holds for an FDS voice: the note's state.
enum State : int32_t { Fresh = -1, Playing = 0, Modulating = 1 };

template <class Chip> void write(Chip& chip, unsigned address, int data)
{
    chip.write_time += 4;
    chip.template expansion<Chip_Fds>().write_register(chip.write_time, address, data);
}

// Whether writing `data` to `address` again, over the same value, leaves
// the chip as it was: a directly set gain never reads the envelope timer its
// write restarts, and bit 7 or 6 of $4083 and bit 7 of $4087 act on every
// write.
constexpr bool restates(unsigned address, int data)
{
    switch (address) {
    case 0x4080:
    case 0x4084:
        return (data & 0x80) != 0;
    case 0x4082:
    case 0x4086:
        return true;
    case 0x4083:
        return (data & 0xC0) == 0;
    case 0x4087:
        return (data & 0x80) == 0;
    default:
        return false;
    }
}

// A write of the frame's steady values: one that would change nothing is
// left out, which spares the chip a stop in its run, but its clocks still
// pass, so that every later write keeps its time and the output its samples.
template <class Chip> void writeChanged(Chip& chip, unsigned address, int data)
{
    if (restates(address, data) && chip.template expansion<Chip_Fds>().reg(static_cast<int>(address - 0x4080)) == data)
        chip.write_time += 4;
    else
        write(chip, address, data);
}

// The modulator at rest: table halted, no gain, counter 0.
template <class Chip> void stopMod(Chip& chip)
{
    write(chip, 0x4084, 0x80);  // $4084: MDSS SSSS  envelope off, mod gain 0
    write(chip, 0x4087, 0x80);  // $4087: H... FFFF  table halted
    write(chip, 0x4085, 0x00);  // $4085: the counter
}

}  // namespace fds_frame

template <class Chip> void silenceFds(Chip& chip)
{
    if (!chip.template holds<Chip_Fds>() || chip.expansion_enables == 0)
        return;
    fds_frame::write(chip, 0x4080, 0x80);  // $4080: MDVV VVVV  envelope off, gain 0
    chip.expansion_enables = 0;
}

template <class Chip> void writeFdsFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    using namespace fds_frame;
    leaveOtherExpansions(voice, chip, SoundChip::Fds);
    leaveApu(voice, chip, SoundChip::Fds);
    const WaveProgram* wave = in.program.wave;
    const int32_t gain = scaleChipVolume(
        std::clamp(voice.velocity * voice.volumeValue / 100, 0, kChannelKinds[Fds].maxVolume), in.controllers);
    const int64_t note = frequencyFromNote(kPitchScale, in.bend, in.note, in.arp, in.clockRate, voice.pitchPower);
    const int64_t pitch = note < 0 ? -1 : note - voice.pitchOffset;
    if (voice.noteFrames == 0)
        voice.lastPeriodHigh = Fresh;
    if (!wave || wave->length != kFdsWaveSteps || gain == 0 || pitch < 1 || pitch > kMaxPitch) {
        silenceFds(chip);
        return;
    }
    auto& fds = chip.template expansion<Chip_Fds>();
    const bool fresh = voice.lastPeriodHigh == Fresh || chip.expansion_enables == 0;
    if (fresh) {
        write(chip, 0x4080, 0x80);  // silent while the wave goes in
        write(chip, 0x4083, 0x80);  // $4083: HE.. FFFF  halted: the wave restarts at its first step
        write(chip, 0x4089, 0x00);  // $4089: W... ..VV  master volume full
        stopMod(chip);
        voice.lastPeriodHigh = Playing;
    }
    bool same = true;
    for (int i = 0; i < kFdsWaveSteps && same; ++i)
        same = fds.wave(i) == wave->samples[i];
    if (!same) {
        write(chip, 0x4089, 0x80);  // wave RAM writable; the output holds meanwhile
        for (int i = 0; i < kFdsWaveSteps; ++i)
            if (fds.wave(i) != wave->samples[i])
                write(chip, 0x4040 + static_cast<unsigned>(i), wave->samples[i]);
        write(chip, 0x4089, 0x00);
    }
    if (wave->hasMod && voice.noteFrames >= wave->modDelay) {
        if (voice.lastPeriodHigh != Modulating) {
            // The entry index cannot be set: start the table where the chip
            // stands, so that entry k gets code k.
            write(chip, 0x4087, 0x80);
            const int first = fds.table_position() >> 1;
            for (int i = 0; i < kFdsModSteps; ++i)
                write(chip, 0x4088, wave->mod[(first + i) % kFdsModSteps]);
            write(chip, 0x4085, 0x00);
            voice.lastPeriodHigh = Modulating;
        }
        writeChanged(chip, 0x4084, 0x80 | wave->modDepth);
        writeChanged(chip, 0x4086, wave->modRate & 0xFF);
        writeChanged(chip, 0x4087, wave->modRate >> 8);
    } else if (voice.lastPeriodHigh == Modulating) {
        stopMod(chip);  // an edit took the modulator away
        voice.lastPeriodHigh = Playing;
    }
    writeChanged(chip, 0x4082, static_cast<int>(pitch & 0xFF));  // $4082: pitch bits 0-7
    writeChanged(chip, 0x4083, static_cast<int>(pitch >> 8));    // $4083: bits 8-11, running
    writeChanged(chip, 0x4080, 0x80 | gain);
    chip.expansion_enables = 1;
}
