#include "S5b_Oscs.h"

#include <array>

namespace {

// The register can take up to 14 shifts at once: the 14 new bits come from
// bits 0..16 as they were, before any of them is replaced.
constexpr int32_t max_parallel_shifts = 14;
constexpr int tap = 3;

// Column b of jumps[i]: the register after 2^i shifts of bit b alone. A
// shift is linear over XOR, so any register's is the XOR of its bits' columns.
using Jump = std::array<uint32_t, S5b_Noise::register_bits>;
constexpr std::array<Jump, S5b_Noise::register_bits> jumps = [] {
    constexpr int n = S5b_Noise::register_bits;
    auto apply = [](const Jump& jump, uint32_t r) {
        uint32_t out = 0;
        for (int b = 0; b < n; ++b)
            out ^= jump[b] & (0u - (r >> b & 1));
        return out;
    };
    std::array<Jump, n> table{};
    for (int b = 0; b < n; ++b) {
        const uint32_t r = 1u << b;
        table[0][b] = (r >> 1) | (((r ^ (r >> tap)) & 1) << (n - 1));
    }
    for (int i = 1; i < n; ++i)
        for (int b = 0; b < n; ++b)
            table[i][b] = apply(table[i - 1], table[i - 1][b]);
    return table;
}();
static_assert(S5b_Noise::cycle_shifts < 1 << S5b_Noise::register_bits);

// Every repeating shape returns to its state after two ramps.
constexpr int32_t repeat_steps = 2 * S5b_Envelope::ramp_steps;

}  // namespace

void S5b_Noise::catch_up()
{
    uint32_t r = bits;
    for (int i = 0; i < register_bits; ++i) {
        if (!(pending >> i & 1))
            continue;
        uint32_t out = 0;
        for (int b = 0; b < register_bits; ++b)
            out ^= jumps[i][b] & (0u - (r >> b & 1));
        r = out;
    }
    bits = r;
    pending = 0;
}

void S5b_Noise::shift(int32_t count)
{
    uint32_t r = bits;
    while (count > 0) {
        const int32_t k = count < max_parallel_shifts ? count : max_parallel_shifts;
        const uint32_t fresh = (r ^ (r >> tap)) & ((1u << k) - 1);
        r = (r >> k) | (fresh << (register_bits - k));
        count -= k;
    }
    bits = r;
}

void S5b_Envelope::restart(int new_shape)
{
    shape = new_shape & 15;
    position = 0;
    rising = (shape & attack_bit) != 0;
    held = false;
    level = rising ? 0 : top;
    counter.count = 0;
}

void S5b_Envelope::step(int32_t steps)
{
    while (steps > 0 && !held) {
        const int32_t within = top - position;  // steps left before the ramp's end
        if (steps <= within) {
            position += steps;
            level = rising ? position : top - position;
            return;
        }
        steps -= within + 1;
        end_ramp();
        if (!held)
            steps %= repeat_steps;
    }
}

void S5b_Envelope::end_ramp()
{
    // C = 0 drops to 0 whatever the other bits say.
    if (!(shape & continue_bit)) {
        held = true;
        level = 0;
        return;
    }
    const bool alternate = (shape & alternate_bit) != 0;
    if (shape & hold_bit) {
        // Holds the end just reached, or with `alternate` the opposite one.
        held = true;
        level = rising != alternate ? top : 0;
        return;
    }
    if (alternate)
        rising = !rising;
    position = 0;
    level = rising ? 0 : top;
}
