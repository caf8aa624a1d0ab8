// What the binary module reader and the text export reader share to count
// where a module's songs play each instrument (ModuleFile.h's ChannelPlays).
#pragma once

#include "ModuleFile.h"

#include <string>
#include <vector>

namespace ftm {

// More channels than any tracker's module holds (28, a fork's a few more).
constexpr int32_t kMaxSongChannels = 64;
constexpr int32_t kNotCounted = -1;

// A channel as its type ID in a binary module's HEADER: the ChannelType its
// notes count for, or kNotCounted (the chips whose instruments take no other
// channel, and the MMC5's sample channel).
constexpr int32_t playedKindOfChannelId(int32_t id)
{
    switch (id) {
    case 0:
    case 1:
        return Pulse;
    case 2:
        return Triangle;
    case 3:
        return Noise;
    case 4:
        return Sample;
    case 5:
    case 6:
        return Vrc6Pulse;
    case 7:
        return Vrc6Saw;
    case 8:
    case 9:
        return Mmc5Pulse;
    default:
        return kNotCounted;
    }
}

struct PlayCounter {
    static constexpr int32_t kNoInstrument = -1;
    std::array<ChannelPlays, kInstrumentSlots> plays{};

    // One cell of a pattern: its channel's kind, whether it holds a note that
    // sounds, and its instrument (kNoInstrument for none). last is the
    // instrument its channel's pattern named before; a note without one plays it.
    void cell(int32_t& last, int32_t kind, bool note, int32_t instrument)
    {
        if (instrument >= 0 && instrument < kInstrumentSlots)
            last = instrument;
        if (note && last != kNoInstrument && kind != kNotCounted)
            ++plays[static_cast<size_t>(last)][static_cast<size_t>(kind)];
    }

    void give(std::vector<Instrument>& instruments) const
    {
        for (Instrument& instrument : instruments)
            instrument.played = plays[static_cast<size_t>(instrument.slot)];
    }
};

// The one warning of a module whose patterns are not read.
inline std::string patternsWarning(const std::string& why)
{
    return "the patterns could not be read (" + why + "), so each instrument's channel is guessed from the instrument";
}

}  // namespace ftm
