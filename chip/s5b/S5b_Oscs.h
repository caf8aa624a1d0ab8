// The generators of the Sunsoft 5B's sound block: three tone counters, the
// shared noise shift register and the shared envelope. All count internal
// ticks (one every 16 chip clocks); none knows chip time. Chip_S5b owns them,
// asks each how many ticks remain to its next event, and advances them by
// whole runs of ticks, so that a held note costs one call per event rather
// than one per tick.
#pragma once

#include <cstdint>

// Period 0 counts as 1 for tone, noise and envelope alike: the fastest the
// counter goes. Instruments never write 0; this only keeps a replayed log safe.
constexpr int32_t s5b_effective_period(int32_t period)
{
    return period > 0 ? period : 1;
}

// A counter that advances once a tick and, when its count reaches the period
// or more, clears and completes a cycle. Counting up and comparing "at least"
// means a period lowered below the count completes on the next tick.
struct S5b_Counter {
    int32_t period = 0;  // as written
    int32_t count = 0;

    int32_t ticks_to_completion() const
    {
        const int32_t p = s5b_effective_period(period);
        return count < p ? p - count : 1;
    }
    // Advances `ticks` ticks and answers how many cycles completed.
    int32_t advance(int32_t ticks)
    {
        const int32_t first = ticks_to_completion();
        if (ticks < first) {
            count += ticks;
            return 0;
        }
        const int32_t p = s5b_effective_period(period);
        const int32_t rest = ticks - first;
        if (p == 1) {
            // A channel never written (period 0) counts every tick: no division.
            count = 0;
            return 1 + rest;
        }
        count = rest % p;
        return 1 + rest / p;
    }
};

// A square output flipping at each completion: 2 x TP ticks a cycle.
struct S5b_Tone {
    S5b_Counter counter;
    int high = 0;  // the square's output, 0 or 1

    int32_t ticks_to_event() const { return counter.ticks_to_completion(); }
    void advance(int32_t ticks) { high ^= counter.advance(ticks) & 1; }
};

// A 17-bit shift register: each shift moves bit 0 XOR bit 3 into bit 16.
// The counter's completions pass a divide-by-two first, so the register
// shifts every 2 x NP ticks. Shifts no channel hears wait, counted, until
// one does: a tone held for minutes would otherwise shift it all along.
struct S5b_Noise {
    static constexpr uint32_t seed = 1;  // any but 0, which would never change
    static constexpr int register_bits = 17;
    // The register comes back to any state after this many shifts.
    static constexpr int32_t cycle_shifts = (1 << register_bits) - 1;

    S5b_Counter counter;
    int32_t half = 0;  // 1: one completion since the last shift
    uint32_t bits = seed;
    int32_t pending = 0;  // shifts waiting, modulo cycle_shifts

    int32_t ticks_to_event() const
    {
        return counter.ticks_to_completion() + (half ? 0 : s5b_effective_period(counter.period));
    }
    // Right only with no shift pending: catch_up() first.
    int output() const { return static_cast<int>(bits & 1); }
    void advance(int32_t ticks)
    {
        if (pending)
            catch_up();
        shift(count_shifts(ticks));
    }
    // advance() for a register no one hears: its shifts wait.
    void skip(int32_t ticks)
    {
        const int32_t sum = pending + count_shifts(ticks);  // both below 2^30
        pending = sum < cycle_shifts ? sum : sum % cycle_shifts;
    }
    // Makes the waiting shifts, at most 17 x 17 bit operations however many.
    void catch_up();
    void shift(int32_t count);

private:
    int32_t count_shifts(int32_t ticks)
    {
        const int32_t completions = half + counter.advance(ticks);
        half = completions & 1;
        return completions >> 1;
    }
};

// 32 steps a ramp, one every EP ticks, in the shape last written to $0D.
struct S5b_Envelope {
    static constexpr int ramp_steps = 32;
    static constexpr int top = ramp_steps - 1;

    // $0D: ---- CAaH  continue, attack, alternate, hold
    static constexpr int hold_bit = 1;
    static constexpr int alternate_bit = 2;
    static constexpr int attack_bit = 4;
    static constexpr int continue_bit = 8;

    S5b_Counter counter;
    int shape = 0;
    int32_t position = 0;  // steps into the current ramp, 0..31
    bool rising = false;
    bool held = true;  // idle at power-up: no steps until $0D is written
    int level = 0;     // 0..31

    // A $0D write: back to the first step of the new shape, the period
    // counter from 0.
    void restart(int new_shape);
    // Ticks to the next step; never once held.
    int32_t ticks_to_event() const { return counter.ticks_to_completion(); }
    void advance(int32_t ticks)
    {
        if (!held)
            step(counter.advance(ticks));
    }

private:
    void step(int32_t steps);
    void end_ramp();
};
