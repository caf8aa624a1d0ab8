// The envelope's steps as Band_Synth::add_cycle_steps reads them: for each
// step between neighbour levels, and for the saw's jump between the ends,
// the 12-wide synthesiser's window table of that change, built from
// the rows add_amplitude would add, so that a buzz of any length sounds as
// change after change would, sample for sample. One set serves every chip
// at one amplitude table; a chip at another plays each change on its own.
#pragma once

#include "chip/Band_Synth.h"

#include <cstdint>
#include <vector>

class S5b_Rows {
public:
    using Synth = Band_Synth<12>;
    static constexpr int level_count = 32;
    static constexpr int top = level_count - 1;

    // Builds every table: 64 of 4 KB, in a millisecond or two. Never on the
    // audio thread.
    S5b_Rows(const Synth& synth, const int32_t (&amplitudes)[level_count]);
    S5b_Rows(const S5b_Rows&) = delete;
    S5b_Rows& operator=(const S5b_Rows&) = delete;

    // Whether the set plays the changes of `amplitudes` through `synth`:
    // built from the same table and kernel, each change small enough for one row.
    bool serves(const Synth& synth, const int32_t (&amplitudes)[level_count]) const;
    // The steps of a ramp up or down as events 0..31, event p leaving step
    // p of the ramp; the last one turns to the next ramp, a jump back to its
    // start (a saw) or none (`alternate`: a triangle's turn repeats the end).
    // Its tables are in the single window layout: add_cycle_steps<false>.
    const Synth::Step_Cycle& ramp(bool rising, bool alternate) const { return ramps_[rising][alternate]; }

private:
    struct alignas(64) Table {
        uint32_t words[Synth::window_table_words];
    };
    // The table of a change by `delta`, or the zero table for none; the
    // same table for the same change.
    const uint32_t* table_for(const Synth& synth, int32_t delta);

    Treble_Eq eq_;
    int32_t amplitudes_[level_count];
    bool fits_ = true;  // every change fits one row
    std::vector<Table> tables_;
    std::vector<int32_t> deltas_;  // tables_[i] is the change by deltas_[i]
    Synth::Step_Cycle ramps_[2][2];
};
