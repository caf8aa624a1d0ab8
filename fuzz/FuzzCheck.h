// A fuzz target's assertion: a broken invariant stops the run like a crash,
// which libFuzzer reports together with the input that caused it.
#pragma once

#include <cstdlib>

inline void check(bool condition)
{
    if (!condition)
        std::abort();
}
