// The channel types a program can play, one row each: everything that lists
// the types (the text banks, the editor's buttons, the output groups, the
// console's channels, the pitch, the tracker conversion) reads this table, so
// that a new type is one row and the compiler names every switch that lacks it.
#pragma once

#include "ConsoleSlot.h"
#include "OutputGroup.h"

#include <cstdint>

// The values are stored in songs: they never change, and a new type takes the
// next one.
enum ChannelType : int32_t {
    Pulse = 0,
    Triangle = 1,
    Noise = 2,
    Sample = 3,
    Vrc6Pulse = 4,
    Vrc6Saw = 5,
    S5b = 6,
    Mmc5Pulse = 7,
    Fds = 8,
    N163 = 9,
    Vrc7 = 10
};
constexpr int32_t kChannelTypeCount = 11;

// The chips whose channels the types play: the 2A03 every voice has, and
// the expansion chips a voice holds one at a time.
enum class SoundChip : int32_t { Apu, Vrc6, S5b, Mmc5, Fds, N163, Vrc7 };
inline constexpr SoundChip kExpansionChips[] = {SoundChip::Vrc6, SoundChip::S5b,  SoundChip::Mmc5,
                                                SoundChip::Fds,  SoundChip::N163, SoundChip::Vrc7};

struct ChannelKind {
    ChannelType type;
    const char* word;   // in text banks and on the command line
    const char* label;  // on the editor's button
    SoundChip chip;
    OutputGroup group;                // in the normal mode; the host's track is kOutputGroupNames[group]
    ConsoleSlot firstSlot, lastSlot;  // the console channels it may take
    // A cycle lasts periodDivider × (P + cycleOffset) clocks for the period
    // P, which has periodBits bits and is at least 1 - cycleOffset.
    // periodDivider 0: the period is not the note's (the noise and the
    // samples take theirs from a table of sixteen; the FDS and the N163 have
    // a frequency, not a period, which their frame writers work out).
    int32_t periodDivider;
    int32_t cycleOffset;
    int32_t periodBits;
    int32_t maxVolume;  // the Volume envelope's top: the chip's volume, the saw's accumulator rate
    int32_t maxDuty;    // the Duty envelope's top as the channel plays it (its low bits)
    int32_t ftiType;    // the tracker's instrument type: 1 the 2A03's (the MMC5's too), 2 the VRC6's, 4 the FDS's,
                        // 5 the N163's, 6 the 5B's, 3 the VRC7's
};

// clang-format off
inline constexpr ChannelKind kChannelKinds[kChannelTypeCount] = {
    // type      word          label         chip             group          console slots                    divider +P bits vol duty fti
    {Pulse,     "pulse",      "Pulse",      SoundChip::Apu,  PulseOneGroup, PulseOneSlot,     PulseTwoSlot,     16, 1, 11, 15, 3, 1},
    {Triangle,  "triangle",   "Triangle",   SoundChip::Apu,  TriangleGroup, TriangleSlot,     TriangleSlot,     32, 1, 11, 15, 0, 1},
    {Noise,     "noise",      "Noise",      SoundChip::Apu,  NoiseGroup,    NoiseSlot,        NoiseSlot,         0, 1,  0, 15, 1, 1},
    {Sample,    "sample",     "Sample",     SoundChip::Apu,  SampleGroup,   SampleSlot,       SampleSlot,        0, 1,  0, 15, 0, 1},
    {Vrc6Pulse, "vrc6-pulse", "VRC6 Pulse", SoundChip::Vrc6, Vrc6Group,     Vrc6PulseOneSlot, Vrc6PulseTwoSlot, 16, 1, 12, 15, 7, 2},
    {Vrc6Saw,   "vrc6-saw",   "VRC6 Saw",   SoundChip::Vrc6, Vrc6Group,     Vrc6SawSlot,      Vrc6SawSlot,      14, 1, 12, 63, 0, 2},
    {S5b,       "5b",         "5B",         SoundChip::S5b,  S5bGroup,      S5bASlot,         S5bCSlot,         32, 0, 12, 15, 4, 6},
    {Mmc5Pulse, "mmc5-pulse", "MMC5 Pulse", SoundChip::Mmc5, Mmc5Group,     Mmc5PulseOneSlot, Mmc5PulseTwoSlot, 16, 1, 11, 15, 3, 1},
    {Fds,       "fds",        "FDS",        SoundChip::Fds,  FdsGroup,      FdsSlot,          FdsSlot,           0, 0, 12, 32, 0, 4},
    {N163,      "n163",       "N163",       SoundChip::N163, N163Group,     N163OneSlot,      N163EightSlot,     0, 0, 18, 15, 63, 5},
    {Vrc7,      "vrc7",       "VRC7",       SoundChip::Vrc7, Vrc7Group,     Vrc7OneSlot,      Vrc7SixSlot,       0, 0,  9, 15, 0, 3},
};
// clang-format on

constexpr bool isChannelType(int32_t value)
{
    return value >= 0 && value < kChannelTypeCount;
}

// The row of a type that isChannelType.
constexpr const ChannelKind& channelKind(int32_t channelType)
{
    return kChannelKinds[channelType];
}

constexpr bool isVrc6Channel(int32_t channelType)
{
    return isChannelType(channelType) && channelKind(channelType).chip == SoundChip::Vrc6;
}

// Where a voice of the channel type goes in the normal mode (-1: nowhere, for
// a type no chip channel has).
constexpr int32_t outputGroupOf(int32_t channelType)
{
    return isChannelType(channelType) ? channelKind(channelType).group : -1;
}

// The console slots a program of the channel type may take, first and last
// (a type no channel has: first > last).
struct SlotRange {
    int32_t first;
    int32_t last;
};

constexpr SlotRange consoleSlotsOf(int32_t channelType)
{
    if (!isChannelType(channelType))
        return {0, -1};
    return {channelKind(channelType).firstSlot, channelKind(channelType).lastSlot};
}

constexpr bool rowsInTypeOrder()
{
    for (int32_t type = 0; type < kChannelTypeCount; ++type)
        if (kChannelKinds[type].type != type)
            return false;
    return true;
}
static_assert(rowsInTypeOrder(), "each row sits at its type's value");
