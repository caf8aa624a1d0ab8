#include "S5b_Rows.h"

#include <algorithm>

namespace {

// Ramps up and down by each neighbour step, and the saw's jumps either way.
constexpr int table_count = 2 * S5b_Rows::top + 2;

}  // namespace

S5b_Rows::S5b_Rows(const Synth& synth, const int32_t (&amplitudes)[level_count]) : eq_(synth.eq())
{
    std::copy(std::begin(amplitudes), std::end(amplitudes), amplitudes_);
    tables_.reserve(table_count);  // the cycles point into it: it must never move
    deltas_.reserve(table_count);
    for (int rising = 0; rising < 2; ++rising) {
        for (int alternate = 0; alternate < 2; ++alternate) {
            Synth::Step_Cycle& cycle = ramps_[rising][alternate];
            auto level_at = [&](int p) { return rising ? p : top - p; };
            for (int p = 0; p < top; ++p) {
                const int32_t delta = amplitudes_[level_at(p + 1)] - amplitudes_[level_at(p)];
                cycle.set(static_cast<uint32_t>(p), static_cast<int8_t>((delta > 0) - (delta < 0)),
                          table_for(synth, delta));
            }
            const int32_t jump = alternate ? 0 : amplitudes_[level_at(0)] - amplitudes_[level_at(top)];
            cycle.set(top, static_cast<int8_t>((jump > 0) - (jump < 0)), table_for(synth, jump));
        }
    }
}

const uint32_t* S5b_Rows::table_for(const Synth& synth, int32_t delta)
{
    if (delta == 0)
        return Synth::zero_window_table;
    for (size_t i = 0; i < deltas_.size(); ++i)
        if (deltas_[i] == delta)
            return tables_[i].words;
    const uint32_t magnitude = delta < 0 ? 0u - static_cast<uint32_t>(delta) : static_cast<uint32_t>(delta);
    if (magnitude > static_cast<uint32_t>(Synth::max_row_amplitude)) {
        fits_ = false;
        return Synth::zero_window_table;
    }
    // add_amplitude adds a change of A as the row of unit |A| less |A| per
    // value, negated for a fall: the same words, laid out as the
    // synthesiser's own window table.
    const uint32_t bias = magnitude * 0x10001u;
    const uint32_t sign = delta < 0 ? ~0u : 0u;
    deltas_.push_back(delta);
    Table& table = tables_.emplace_back();
    std::fill(std::begin(table.words), std::end(table.words), 0u);
    for (uint32_t r = 0; r < Synth::phase_rows; ++r) {
        uint16_t row[Synth::kernel_width];
        synth.amplitude_row(r, static_cast<int32_t>(magnitude), row);
        uint32_t* to = table.words + r * Synth::window_row_words + Synth::max_offset;
        for (uint32_t j = 0; j < Synth::row_pairs; ++j) {
            const uint32_t word = (row[2 * j] | static_cast<uint32_t>(row[2 * j + 1]) << 16) - bias;
            to[j] = (word ^ sign) - sign;
        }
    }
    return table.words;
}

bool S5b_Rows::serves(const Synth& synth, const int32_t (&amplitudes)[level_count]) const
{
    return fits_ && synth.eq() == eq_ && std::equal(std::begin(amplitudes), std::end(amplitudes), amplitudes_);
}
