// The period a note asks of a channel: the clock standards, and the formulas
// every frame writer whose period follows the key reads (they live in
// EnvelopeSequencer.cpp).
#pragma once

#include "ChannelKinds.h"
#include "Voice.h"

#include <cstdint>

constexpr int32_t kNtscClockRate = 1789773;
constexpr int32_t kNtscFrameRate = 60;
constexpr int32_t kPalClockRate = 1662607;
constexpr int32_t kPalFrameRate = 50;

// A looping Pitch or Hi-Pitch envelope keeps adding to the offset; it stops
// here, far outside every period, so that no sum with it can overflow.
constexpr int32_t kPitchOffsetLimit = 1 << 30;

// The timer period of a note on a channel whose period is the note's (a
// pulse, the triangle, a VRC6 pulse or the saw, the 5B's tone): clock / (d f)
// truncated, less the kind's cycleOffset, plus the offset, with d the kind's
// periodDivider (ChannelKinds.h: 16, 32, 16, 14 or 32 clocks per cycle for
// each of the period); -1 when it lies outside the kind's range (periodBits,
// 11 for the 2A03, 12 for the VRC6 and the 5B), for a NaN bend, or for a
// channel with no such period (the noise, the samples).
int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate);
// The same, the power of two taken from `memo` when it was the last one too.
int32_t periodFromNote(int32_t channelType, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate, PitchPower& memo);

// How a period makes a cycle: divider × (P + cycleOffset) clocks, P of
// `bits` bits and at least 1 - cycleOffset; a divider of 0 has no period.
struct PeriodForm {
    int32_t divider = 0;
    int32_t cycleOffset = 1;
    int32_t bits = 0;
    // Rounded to the nearest period rather than truncated: for a period so
    // coarse (the 5B's buzz) that truncating would leave every note sharp.
    bool nearest = false;
};
// The same for a period of that form (a channel type's, or another the chip
// derives from the note, such as the 5B envelope's).
int32_t periodFromNote(const PeriodForm& form, float bend, int32_t note, int32_t arpValue, int32_t pitchOffset,
                       int32_t clockRate, PitchPower& memo);

// The frequency register of a note on a chip that plays clock × R / scale
// (the FDS's 2^22, the N163's 15 × 2^16 × N × L for the register R): the
// nearest R; -1 for a NaN bend, or one beyond 2^31.
int64_t frequencyFromNote(double scale, float bend, int32_t note, int32_t arpValue, int32_t clockRate,
                          PitchPower& memo);

// The noise period index 0..15 of a note: higher notes give smaller indexes.
int32_t noiseIndexFromNote(int32_t note, int32_t arpValue, int32_t pitchOffset);
