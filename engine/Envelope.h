// The compiled form of one envelope text: its step values and loop point.
#pragma once

#include <cstdint>

constexpr int32_t kEnvelopeMaxSteps = 2048;

struct Envelope {
    int32_t values[kEnvelopeMaxSteps];  // only the first `length` are meaningful
    int32_t length;                     // 1..2048 once compiled
    int32_t loopIndex;                  // 0..length-1: where stepping resumes after the end
    bool hasLoop;                       // the text had a loop marker
    bool isEmpty;                       // the text yielded no values (blank, or it failed)
};
