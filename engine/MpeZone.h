// The channels of MPE's one zone: its manager, whose program every member
// plays and which carries what is meant for the whole zone, and its members,
// each of which carries one note at a time with its own bend, pressure and
// timbre.
#pragma once

#include "Program.h"
#include "SharedSettings.h"

#include <cstdint>

constexpr int32_t kMpeLowerManager = 0;                      // MIDI channel 1
constexpr int32_t kMpeUpperManager = kMidiChannelCount - 1;  // MIDI channel 16
// A member's pitch-bend range until its registered parameter 0 says
// otherwise; every other channel's stays the General MIDI 2.
constexpr float kMpeMemberBendRange = 48.0f;
constexpr int32_t kMpeMaxBendRange = 96;  // semitones a member's registered parameter 0 may set

// The zone's manager channel, -1 with MPE off (or a mode no zone has).
constexpr int32_t mpeManager(int32_t mode)
{
    return mode == MpeLower ? kMpeLowerManager : mode == MpeUpper ? kMpeUpperManager : -1;
}

constexpr bool isMpeMember(int32_t mode, int32_t channel)
{
    const int32_t manager = mpeManager(mode);
    return manager >= 0 && channel != manager && channel >= 0 && channel < kMidiChannelCount;
}

// The mode after an MPE Configuration Message on a channel with the given
// number of member channels: a manager's channel with members switches its
// zone on (in place of the other), with none switches its own zone off; any
// other channel changes nothing.
constexpr int32_t mpeAfterConfiguration(int32_t mode, int32_t channel, int32_t members)
{
    const int32_t zone = channel == kMpeLowerManager ? MpeLower : channel == kMpeUpperManager ? MpeUpper : MpeOff;
    if (zone == MpeOff)
        return mode;
    if (members > 0)
        return zone;
    return mode == zone ? MpeOff : mode;
}
