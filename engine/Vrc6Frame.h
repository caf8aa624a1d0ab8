// The VRC6 part of a voice's frame: a voice that plays a VRC6 Pulse or Saw
// program writes its VRC6's registers (pulse 1 or the saw) and keeps its 2A03
// silent; a voice that plays a 2A03 channel silences whatever VRC6 channel it
// left enabled, once. The chip's expansion_enables remembers what is enabled,
// so that a voice that never plays the VRC6 never writes it.
#pragma once

#include "ChannelControllers.h"
#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Program.h"
#include "Voice.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <algorithm>
#include <cstdint>

constexpr int32_t kMaxVrc6SawRate = kChannelKinds[Vrc6Saw].maxVolume;  // the accumulator rate's six bits

// $9002, $A002, $B002: the enable bit of pulse 1, pulse 2 and the saw, in
// the order of the bits of VoiceChip::expansion_enables while it holds the VRC6.
inline constexpr unsigned kVrc6EnableAddress[3] = {0x9002, 0xA002, 0xB002};
constexpr int32_t kVrc6PulseBit = 1;
constexpr int32_t kVrc6SawBit = 4;
constexpr int kVrc6EnableBit = 0x80;

// Disables every VRC6 channel the chip has enabled but `keep`, writing from
// write_time on.
template <class Chip> void silenceVrc6(Chip& chip, int32_t keep)
{
    if (!chip.template holds<Chip_Vrc6>())
        return;
    for (int channel = 0; channel < 3; ++channel) {
        const int32_t bit = 1 << channel;
        if ((chip.expansion_enables & bit) && !(keep & bit)) {
            chip.write_time += 4;
            chip.template expansion<Chip_Vrc6>().write_register(chip.write_time, kVrc6EnableAddress[channel], 0x00);
        }
    }
    chip.expansion_enables &= keep;
}

// The registers of one frame of a VRC6 Pulse or Saw voice: its chip volume
// 0..15, or for the saw its Volume as the accumulator rate 0..63, scaled by
// velocity and the controllers exactly as a pulse's volume is.
template <class Chip> void writeVrc6Frame(Voice& voice, Chip& chip, const FrameInputs& in, bool saw)
{
    const int32_t period = periodFromNote(saw ? Vrc6Saw : Vrc6Pulse, in.bend, in.note, in.arp, voice.pitchOffset,
                                          in.clockRate, voice.pitchPower);
    const int32_t level =
        saw ? scaleChipVolume(std::clamp(voice.velocity * voice.volumeValue / 100, 0, kMaxVrc6SawRate), in.controllers)
            : in.volume;
    const bool sounding = level != 0 && period >= 0;
    const int32_t channelBit = saw ? kVrc6SawBit : kVrc6PulseBit;
    leaveOtherExpansions(voice, chip, SoundChip::Vrc6);

    auto write = [&chip](unsigned address, int data) {
        chip.write_time += 4;
        chip.template expansion<Chip_Vrc6>().write_register(chip.write_time, address, data);
    };
    // The 2A03 stays silent, and its length counters with it: a pulse that
    // follows, even legato, must write $4003 again. Written every frame, not
    // only after a 2A03 frame: each write splits the 2A03's run, and its
    // silent noise steps its shift register once per run, so a noise note
    // after VRC6 notes depends on how many there were.
    chip.write_time += 4;
    chip.chip.write_register(chip.write_time, 0x4015, 0x00);
    voice.lastPeriodHigh = -1;
    silenceVrc6(chip, sounding ? channelBit : 0);
    if (!sounding)
        return;
    if (saw) {
        write(0xB000, level);  // $B000: ..AA AAAA  accumulator rate
        write(0xB001, period & 0xFF);
        write(0xB002, kVrc6EnableBit | period >> 8);
    } else {
        // $9000: MDDD VVVV  mode off (the duty counts), duty, volume
        write(0x9000, (in.duty & 7) << 4 | level);
        write(0x9001, period & 0xFF);
        // Rewriting the period's high bits keeps the duty sequence running:
        // only a disable restarts it.
        write(0x9002, kVrc6EnableBit | period >> 8);
    }
    chip.expansion_enables = channelBit;
}

template <class Chip> void writeVrc6PulseFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    writeVrc6Frame(voice, chip, in, false);
}

template <class Chip> void writeVrc6SawFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    writeVrc6Frame(voice, chip, in, true);
}
