// The compiled form of one envelope text: its step values, loop point and
// release part. Steps before releaseIndex play while the key is held (looping
// at loopIndex); those from it on play once, after the key is released.
#pragma once

#include <algorithm>
#include <cstdint>

// What the compiler takes from a text of any length.
constexpr int32_t kEnvelopeMaxSteps = 2048;
// What a program's text (at most 1023 characters) can yield: 512 values, and
// for a relative kind the appended 0.
constexpr int32_t kMaxStepsPerText = 513;

template <int32_t Capacity> struct CompiledEnvelope {
    int32_t values[Capacity];  // only the first `length` are meaningful
    int32_t length;            // 1..Capacity once compiled
    int32_t loopIndex;         // where stepping resumes after the end of the held part
    int32_t releaseIndex;      // first step of the release part; -1: none
    bool hasLoop;              // the text had a loop marker
    bool isEmpty;              // the text yielded no values (blank, or it failed)

    // Takes over another envelope, as much of it as fits.
    template <int32_t Other> void assign(const CompiledEnvelope<Other>& from)
    {
        length = std::clamp(from.length, int32_t{0}, Capacity);
        std::copy(from.values, from.values + length, values);
        loopIndex = from.loopIndex;
        releaseIndex = from.releaseIndex;
        hasLoop = from.hasLoop;
        isEmpty = from.isEmpty;
    }
};

// What the compiler writes.
using Envelope = CompiledEnvelope<kEnvelopeMaxSteps>;
// What a program of the bank keeps: a quarter of the size, as its texts are short.
using ProgramEnvelope = CompiledEnvelope<kMaxStepsPerText>;
