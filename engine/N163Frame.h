// The frame writer of the N163 type. On a voice chip it plays the voice's
// own 163 with one channel on (channel 8, N = 1: no time-sharing), its wave
// from the first sample of the sound RAM. In console mode the port gives it
// the console's 163, one of the channels the chip has on, and a place for
// its wave in the RAM they share (N163Memory). The Duty step picks the
// program's wave (0 the first; past the last, the last); the Volume is the
// chip's 0..15; the frequency is the 18-bit F of clock × F / (15 × 65536 ×
// N × L), so a note keeps its pitch whatever N and the wave's length L are,
// and each Pitch step lowers F by N × L: clock / 983040 Hz (1.82 Hz on NTSC)
// lower, the same for every wave. A note restarts its wave at the first
// sample; a wave goes into the RAM where the bytes differ.
#pragma once

#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "WaveCompiler.h"
#include "chip/n163/Chip_N163.h"

#include <algorithm>
#include <cstdint>

namespace n163_frame {

constexpr int64_t kMaxFrequency = (1 << 18) - 1;
constexpr double kClocksPerStep = 15.0 * 65536.0;

// What lastPeriodHigh holds for an N163 voice.
enum State : int32_t { Fresh = -1, Playing = 0, NoRoom = 1 };

// Where the voice's channel is: its index (0 for channel 8, 1 for 7, ...),
// the channels on, and the first sample of its wave (-1: no room).
struct Place {
    int32_t channel;
    int32_t count;
    int32_t address;
};

template <class Chip> void write(Chip& chip, unsigned address, int data)
{
    chip.write_time += 4;
    chip.template expansion<Chip_N163>().write_register(chip.write_time, address, data);
}

// One byte of the sound RAM, through the address and data ports.
template <class Chip> void poke(Chip& chip, int ram, int data)
{
    write(chip, 0xF800, ram & 0x7F);
    write(chip, 0x4800, data);
}

// A poke of a byte the RAM holds already is left out, which spares the
// chip a stop in its run; its clocks still pass, so that every later write
// keeps its time. The address it would have set is set again by every
// poke and every run of writes before their data.
template <class Chip> void pokeChanged(Chip& chip, int ram, int data)
{
    if (chip.template expansion<Chip_N163>().ram(ram & 0x7F) == data)
        chip.write_time += 8;
    else
        poke(chip, ram, data);
}

template <class Chip> int32_t channelOf(Chip& chip)
{
    if constexpr (requires { chip.n163_channel(); })
        return chip.n163_channel();
    else
        return 0;
}

template <class Chip> int32_t countOf(Chip& chip)
{
    if constexpr (requires { chip.n163_count(); })
        return chip.n163_count();
    else
        return 1;
}

template <class Chip> Place place(Chip& chip, const uint8_t* wave, int32_t length)
{
    if constexpr (requires { chip.n163_place(wave, length); })
        return {chip.n163_channel(), chip.n163_count(), chip.n163_place(wave, length)};
    else
        return {0, 1, length <= 256 - 16 ? 0 : -1};
}

constexpr int channelBase(int32_t channel)
{
    return 0x78 - 8 * channel;
}

// The volume byte: $7F holds the channel count too.
constexpr int volumeByte(int32_t channel, int32_t count, int32_t volume)
{
    return channel == 0 ? (count - 1) << 4 | volume : volume;
}

}  // namespace n163_frame

template <class Chip> void silenceN163(Chip& chip)
{
    using namespace n163_frame;
    if (!chip.template holds<Chip_N163>() || chip.expansion_enables == 0)
        return;
    const int32_t channel = channelOf(chip);
    poke(chip, channelBase(channel) + 7, volumeByte(channel, countOf(chip), 0));
    chip.expansion_enables = 0;
}

// Counts a note that found no room for its wave; the port's, if it has one.
template <class Chip> void noteN163Miss(Chip& chip, int32_t program)
{
    if constexpr (requires { chip.n163_miss(program); })
        chip.n163_miss(program);
}

template <class Chip> void writeN163Frame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    using namespace n163_frame;
    leaveOtherExpansions(voice, chip, SoundChip::N163);
    leaveApu(voice, chip, SoundChip::N163);
    if (voice.noteFrames == 0)
        voice.lastPeriodHigh = Fresh;
    const WaveProgram* wave = in.program.wave;
    if (!wave || wave->count < 1 || wave->length < 4 || in.volume == 0) {
        silenceN163(chip);
        return;
    }
    const int32_t length = wave->length;
    const int32_t index = std::clamp(in.duty, 0, wave->count - 1);
    auto& n163 = chip.template expansion<Chip_N163>();
    const Place at = place(chip, wave->wave(index), length);
    const int64_t steps = static_cast<int64_t>(at.count) * length;
    const int64_t note = frequencyFromNote(kClocksPerStep * static_cast<double>(steps), in.bend, in.note, in.arp,
                                           in.clockRate, voice.pitchPower);
    const int64_t frequency = note < 0 ? -1 : note - static_cast<int64_t>(voice.pitchOffset) * steps;
    if (at.address < 0) {
        if (voice.lastPeriodHigh != NoRoom)
            noteN163Miss(chip, voice.program);
        voice.lastPeriodHigh = NoRoom;
        silenceN163(chip);
        return;
    }
    if (frequency < 1 || frequency > kMaxFrequency) {
        silenceN163(chip);
        return;
    }
    // The wave's bytes, two samples each, the even one low.
    const int first = at.address / 2;
    const uint8_t* samples = wave->wave(index);
    for (int b = 0; b < length / 2; ++b) {
        const int byte = samples[2 * b] | samples[2 * b + 1] << 4;
        if (n163.ram(first + b) != byte)
            poke(chip, first + b, byte);
    }
    const int base = channelBase(at.channel);
    const int lengthByte = (256 - length) / 4 << 2 | static_cast<int>(frequency >> 16);
    const bool fresh = voice.lastPeriodHigh != Playing || chip.expansion_enables == 0;
    if (fresh) {
        // All eight bytes in a row: the phase from 0, the wave from its start.
        write(chip, 0xF800, 0x80 | base);
        const int bytes[8] = {static_cast<int>(frequency & 0xFF), 0, static_cast<int>(frequency >> 8 & 0xFF), 0,
                              lengthByte, 0, at.address, volumeByte(at.channel, at.count, in.volume)};
        for (const int byte : bytes)
            write(chip, 0x4800, byte);
        voice.lastPeriodHigh = Playing;
    } else {
        pokeChanged(chip, base + 0, static_cast<int>(frequency & 0xFF));
        pokeChanged(chip, base + 2, static_cast<int>(frequency >> 8 & 0xFF));
        pokeChanged(chip, base + 4, lengthByte);
        pokeChanged(chip, base + 6, at.address);
        pokeChanged(chip, base + 7, volumeByte(at.channel, at.count, in.volume));
    }
    chip.expansion_enables = 1;
}
