// What a voice leaves behind when its program moves to another chip: each
// expansion chip's frame writer has a silencer that switches off the
// channels the voice chip (or console port) left on, and the writers of every
// other chip call them through here, once, in the first frame after the move.
#pragma once

#include "ChannelKinds.h"
#include "Voice.h"

#include <cstdint>

// Each in its chip's frame writer's header; each does nothing unless the
// chip is held and has channels on.
template <class Chip> void silenceVrc6(Chip& chip, int32_t keep = 0);
template <class Chip> void silenceS5b(Chip& chip);
template <class Chip> void silenceMmc5(Chip& chip);
template <class Chip> void silenceFds(Chip& chip);
template <class Chip> void silenceN163(Chip& chip);
template <class Chip> void silenceVrc7(Chip& chip);

template <class Chip> void silenceExpansion(SoundChip which, Chip& chip)
{
    switch (which) {
    case SoundChip::Apu:
        return;  // the 2A03's writers silence it themselves
    case SoundChip::Vrc6:
        silenceVrc6(chip);
        return;
    case SoundChip::S5b:
        silenceS5b(chip);
        return;
    case SoundChip::Mmc5:
        silenceMmc5(chip);
        return;
    case SoundChip::Fds:
        silenceFds(chip);
        return;
    case SoundChip::N163:
        silenceN163(chip);
        return;
    case SoundChip::Vrc7:
        silenceVrc7(chip);
        return;
    }
}

// Silences every expansion chip but `own` when the voice's last frame played
// another chip, or may have (none known).
template <class Chip> void leaveOtherExpansions(const Voice& voice, Chip& chip, SoundChip own)
{
    if (voice.lastChip == own)
        return;
    for (const SoundChip other : kExpansionChips)
        if (other != own)
            silenceExpansion(other, chip);
}

// The 2A03 falls silent once when a voice moves from it to an expansion
// chip; its length counters with it, so a pulse that follows writes $4003.
template <class Chip> void leaveApu(Voice& voice, Chip& chip, SoundChip own)
{
    if (voice.lastChip == own)
        return;
    chip.write_time += 4;
    chip.chip.write_register(chip.write_time, 0x4015, 0x00);
    voice.lastPeriodHigh = -1;
}
