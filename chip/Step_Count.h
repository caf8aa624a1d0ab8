// Counts a timer's events in a span of clocks, ceil(clocks / step), by a
// reciprocal kept while the step stays the same: a division costs more than
// the rest of a silent pulse's run. With d the step and m = floor(2^32 / d)
// + 1, floor(n * m / 2^32) is floor(n / d) while n * d < 2^32; longer spans
// divide.
#pragma once

#include <cstdint>

class Step_Count {
public:
    // `clocks` > 0, `step` >= 2.
    int32_t events_in(int32_t clocks, int32_t step)
    {
        if (step != step_) {
            step_ = step;
            reciprocal_ = 0xFFFFFFFFu / static_cast<uint32_t>(step) + 1;
            limit_ = 0xFFFFFFFFu / static_cast<uint32_t>(step);
        }
        const uint32_t n = static_cast<uint32_t>(clocks) + static_cast<uint32_t>(step) - 1;
        if (n >= limit_)
            return static_cast<int32_t>(n / static_cast<uint32_t>(step));
        return static_cast<int32_t>((uint64_t{n} * reciprocal_) >> 32);
    }

private:
    int32_t step_ = 0;  // none yet
    uint64_t reciprocal_ = 0;
    uint32_t limit_ = 0;
};
