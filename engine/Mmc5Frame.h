// The frame writer of the MMC5 Pulse type: pulse 1 of the voice's MMC5 (in
// console mode the port moves it to the slot's pulse), written as a 2A03
// pulse is, constant volume and length counter halted, less the sweep the
// MMC5 lacks: periods below 8, which the 2A03 silences, sound.
#pragma once

#include "ChannelKinds.h"
#include "ExpansionSilence.h"
#include "FrameInputs.h"
#include "NotePeriod.h"
#include "Voice.h"
#include "chip/mmc5/Chip_Mmc5.h"

#include <cstdint>

namespace mmc5_frame {

template <class Chip> void write(Chip& chip, unsigned address, int data)
{
    chip.write_time += 4;
    chip.template expansion<Chip_Mmc5>().write_register(chip.write_time, address, data);
}

}  // namespace mmc5_frame

template <class Chip> void silenceMmc5(Chip& chip)
{
    if (!chip.template holds<Chip_Mmc5>() || chip.expansion_enables == 0)
        return;
    mmc5_frame::write(chip, 0x5015, 0x00);  // clears the length counter too
    chip.expansion_enables = 0;
}

template <class Chip> void writeMmc5PulseFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    using mmc5_frame::write;
    leaveOtherExpansions(voice, chip, SoundChip::Mmc5);
    leaveApu(voice, chip, SoundChip::Mmc5);
    const int32_t period =
        periodFromNote(Mmc5Pulse, in.bend, in.note, in.arp, voice.pitchOffset, in.clockRate, voice.pitchPower);
    if (in.volume == 0 || period < 0) {
        silenceMmc5(chip);
        voice.lastPeriodHigh = -1;
        return;
    }
    if (chip.expansion_enables == 0) {
        write(chip, 0x5015, 0x01);  // $5015: ---- --21  pulse 1 on
        voice.lastPeriodHigh = -1;  // its length counter is 0 until $5003 loads it
    }
    // $5000: DDLC VVVV  duty, length halt, constant volume, volume
    write(chip, 0x5000, ((in.duty & 3) * 64) | 0x30 | in.volume);
    write(chip, 0x5002, period & 0xFF);
    // $5003 restarts the duty cycle: only when the high bits change.
    if (voice.lastPeriodHigh == -1 || (period & 0x700) != voice.lastPeriodHigh) {
        voice.lastPeriodHigh = period & 0x700;
        write(chip, 0x5003, (period / 256) & 7);
    }
    chip.expansion_enables = 1;
}
