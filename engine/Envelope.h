// The compiled form of one envelope text: its step values, loop point and
// release part. Steps before releaseIndex play while the key is held (looping
// at loopIndex); those from it on play once, after the key is released.
#pragma once

#include <cstdint>

constexpr int32_t kEnvelopeMaxSteps = 2048;

struct Envelope {
    int32_t values[kEnvelopeMaxSteps];  // only the first `length` are meaningful
    int32_t length;                     // 1..2048 once compiled
    int32_t loopIndex;                  // where stepping resumes after the end of the held part
    int32_t releaseIndex;               // first step of the release part; -1: none
    bool hasLoop;                       // the text had a loop marker
    bool isEmpty;                       // the text yielded no values (blank, or it failed)
};
