// Turns an oscillator's amplitude change at a chip time into a band-limited
// impulse added into a Band_Buffer. Kernels for 64 placements (32 sub-sample
// positions, each for a change in an even or an odd sample) are precomputed,
// so that a change costs Width / 2 integer multiply-adds on 32-bit cell pairs.
#pragma once

#include "Band_Buffer.h"
#include "Chip_Require.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

// Treble equalisation of a synthesiser's kernel.
struct Treble_Eq {
    double treble = 0.0;          // dB at the top of the band
    int32_t cutoff = 0;           // Hz where the treble roll-off starts
    int32_t sample_rate = 44100;  // rate the kernel is designed for

    bool operator==(const Treble_Eq&) const = default;
};

// Width is the kernel width in samples: 12 (pulse, triangle) or 8 (noise,
// delta modulation).
template <int Width> class Band_Synth {
    static_assert(Width == 12 || Width == 8);

public:
    static constexpr int kernel_width = Width;
    static constexpr int resolution = 32;  // sub-sample positions
    static constexpr int phase_rows = 2 * resolution;
    static constexpr int kernel_rows = resolution / 2 + 1;

    // `amplitude_range` is the largest amplitude the owner produces (15, or 127
    // for delta modulation); set_volume scales by its reciprocal.
    explicit Band_Synth(int amplitude_range);
    Band_Synth(const Band_Synth&) = delete;
    Band_Synth& operator=(const Band_Synth&) = delete;

    void set_volume(double volume);
    // Output step, as a fraction of full scale, of a change of one amplitude unit.
    void set_unit(double unit);
    void set_eq(const Treble_Eq& eq);

    // Adds a change of `delta` amplitude units at chip time `t` of the buffer's frame.
    void add_delta(int32_t t, int delta, Band_Buffer& buffer) const
    {
        add_delta_at(buffer.to_buffer_time(t), delta, buffer);
    }
    // The same at a 16.16 buffer position. Branch-free: the inner loop of the chip.
    void add_delta_at(uint32_t pos, int delta, Band_Buffer& buffer) const;

    // ---- a chip's change at nearly every sample (the VRC7) ----
    // What add_delta_at reads of the synthesiser and the buffer, taken once
    // for a run of changes: a loop that holds it in registers reads none of
    // it again between the cells it adds to. The rows are the window table's,
    // U already taken off: one multiply a pair.
    struct Delta_Target {
        uint16_t* cells;
        const uint32_t* rows;
        uint32_t size;
    };
    Delta_Target delta_target(Band_Buffer& buffer) const
    {
        return {buffer.buffer_, window_rows_ + max_offset, buffer.buffer_size_};
    }
    // add_delta_at into the target's buffer in parts, for a loop that finds
    // the places of its changes ahead of them: the first cell a change at
    // `pos` adds to, counted from the target's cells, and its row, counted
    // from the target's rows. The same cells take the same sums.
    static uint32_t delta_cells(uint32_t pos) { return ((pos >> Band_Buffer::time_bits) & ~1u) + (12 - Width / 2); }
    static uint32_t delta_row(uint32_t pos) { return ((pos >> 11) & (phase_rows - 1)) * window_row_words; }
    // `Count` changes, the first at `cells` and each of the others a whole
    // pair later by at most max_group_cells, summed pair by pair before they
    // reach the cells. Change g's row is given shifted back by its pairs
    // after the first (delta_row less them): the zeros around each window
    // row then put it in place.
    static constexpr uint32_t max_group_cells = 4;
    static constexpr int group_words = Width / 2 + max_group_cells / 2;
    template <int Count>
    static void add_delta_group(uint16_t* cells, const uint32_t* const (&shifted_rows)[Count],
                                const int (&deltas)[Count])
    {
        static_assert(max_group_cells / 2 <= max_offset);
        uint32_t sums[group_words] = {};
        for (int g = 0; g < Count; ++g) {
            const auto d = static_cast<uint32_t>(deltas[g]);
            for (int j = 0; j < group_words; ++j)
                sums[j] += shifted_rows[g][j] * d;
        }
        for (int j = 0; j < group_words; ++j)
            store_pair(cells + 2 * j, load_pair(cells + 2 * j) + sums[j]);
    }
    static void add_delta_cells(uint16_t* cells, const uint32_t* row, int delta)
    {
        const auto d = static_cast<uint32_t>(delta);
        for (int j = 0; j < Width / 2; ++j)
            store_pair(cells + 2 * j, load_pair(cells + 2 * j) + row[j] * d);
    }

    // ---- changes of any size (the console's mixed output) ----
    // The largest amplitude one row takes: the row values of a unit U stay
    // below 1.7 U, within uint16, and U fits int16 beside the kernel values
    // less their zero, so that 16-bit lanes multiply them.
    static constexpr int32_t max_row_amplitude = 0x7FFF;
    // Row `phase` (0..63) of the phase table that set_unit would build for a
    // scaled unit of `amplitude` (1..max_row_amplitude), computed alone.
    void amplitude_row(uint32_t phase, int32_t amplitude, uint16_t* row) const;
    // Adds a change of `amplitude` (either sign) at a 16.16 buffer position,
    // counted as scaled units count: a change of A integrates to A in the
    // buffer's 16-bit samples. Each piece of at most max_row_amplitude adds
    // its own row for delta +1 or -1 exactly as add_delta_at adds, so every
    // change sums to exactly its amplitude. The kernel must exist: set_unit
    // or set_volume has been called.
    void add_amplitude(uint32_t pos, int32_t amplitude, Band_Buffer& buffer) const;
    // add_amplitude for each of `count` changes in turn.
    void add_amplitudes(const uint32_t* positions, const int32_t* amplitudes, int32_t count, Band_Buffer& buffer) const;

    // ---- runs of unit changes (triangle) ----
    // The cells take wrapping 32-bit sums, so a change may reach them in any
    // grouping: a change of d units adds d times its row less U, as pair
    // words, to the cells that add_delta_at adds to, and the sums come out
    // the same. A step adds its row, shifted into a window of blocks of four
    // pairs, to those blocks, each at a multiple of four pairs from the
    // buffer's start; steps close together sum their rows in one window
    // first. A block that the next step reads again is then the same 16
    // bytes, which the processor hands from the store to the load at once; a
    // load across parts of two earlier stores, as rows at every pair would
    // make it, waits for them to reach the cache. There is no branch on how
    // far apart the steps lie, which would go one way or the other at random.
    using Pair_Sums = uint32_t __attribute__((vector_size(16)));  // one block: four cell pairs
    static constexpr uint32_t block_pairs = 4;
    static constexpr uint32_t pair_span = 2u << Band_Buffer::time_bits;  // a pair of samples, in positions
    static constexpr uint32_t row_pairs = Width / 2;
    // A window of blocks takes a row at any pair offset up to max_offset.
    static constexpr uint32_t window_blocks = Width == 12 ? 4 : 2;
    static constexpr uint32_t max_offset = block_pairs * window_blocks - row_pairs;
    // Positions in phase rows: bit 5 an odd sample, bits 0-4 the sub-sample position.
    static constexpr int phase_shift = Band_Buffer::time_bits - 5;

    // A repeating pattern of unit changes, one per timer event: event e of
    // it changes by deltas[e] (+1, -1 or 0) and adds its row from rows[e], a
    // table of aligned_window_rows for that delta (zero_aligned_table for 0).
    static constexpr uint32_t cycle_events = 32;
    static constexpr uint32_t max_group = 8;  // steps whose rows share a window
    struct Step_Cycle {
        // The first events again after the last, so that a group of steps
        // reads its events' rows at one place.
        const uint32_t* rows[cycle_events + max_group - 1];
        int8_t deltas[cycle_events];

        void set(uint32_t event, int8_t delta, const uint32_t* table)
        {
            deltas[event] = delta;
            rows[event] = table;
            if (event < max_group - 1)
                rows[event + cycle_events] = table;
        }
    };
    // Adds `count` events of `cycle`, the first its event `first`, at pos,
    // pos + pos_step, ...; answers the position after the last. The turns of
    // a pattern cost no call or branch of their own: a run of any length is
    // one loop. With `Aligned` false the cycle's tables are in the single
    // window layout (window_table_words, as scaled_window_rows fills), a
    // quarter of the aligned copies' size: for a pattern of many tables, whose
    // four copies each would crowd the processor's caches.
    template <bool Aligned = true>
    uint32_t add_cycle_steps(uint32_t pos, uint32_t pos_step, int32_t count, const Step_Cycle& cycle, uint32_t first,
                             Band_Buffer& buffer) const requires(Width == 12);

    // Adds a change of `delta` units at `pos` as add_delta_at does, its row
    // shifted into a window of two blocks and added to those blocks of the
    // cells, which nearby changes then read back whole.
    void add_delta_blocks(uint32_t pos, int delta, Band_Buffer& buffer) const requires(Width == 8);
    // A phase row's words in the window table, and the whole table's: each
    // row follows max_offset zero words, which the row before it takes as
    // the zeros to a window's length after it, and the last row has its own.
    static constexpr uint32_t window_row_words = max_offset + row_pairs;
    static_assert(window_row_words == block_pairs * window_blocks);
    static constexpr uint32_t window_table_words = phase_rows * window_row_words + max_offset;
    // Fills `rows` with the window table times `factor`, for steps of one
    // size (the delta modulation's 2 units down or up): each step then adds
    // its row as it stands, with no arithmetic on it.
    void scaled_window_rows(int32_t factor, uint32_t* rows) const requires(Width == 8);
    // The window table of a step of none, all zero: one for every synthesiser.
    static constexpr uint32_t zero_window_table[window_table_words] = {};
    // Whether step g of a group of `group` steps, as add_cycle_steps makes
    // them, can have words in block b of their window: its row starts less
    // than a block plus g steps of less than 7 / (group - 1) pairs into the
    // window, and spans row_pairs. Unrolled, the blocks it cannot reach are
    // zero in its window, and their loads are left out.
    static constexpr bool row_reaches(int group, int g, uint32_t b)
    {
        constexpr auto spread = static_cast<int>(max_offset + 1 - block_pairs);
        constexpr auto pairs = static_cast<int>(block_pairs);
        const int last_start_bound = pairs * (group - 1) + spread * g;  // times group - 1
        return last_start_bound > (pairs * static_cast<int>(b) - static_cast<int>(row_pairs) + 1) * (group - 1);
    }
    // The window table in four copies, 64-byte aligned, for add_cycle_steps:
    // copy a holds the windows of shifts of a, a + 4, a + 8 pairs, each
    // starting at a whole block. A window loaded from the single table
    // starts at any word, and a fifth of its blocks then straddle two cache
    // lines, each such load costing the processor two.
    static constexpr uint32_t aligned_pad = max_offset & ~(block_pairs - 1);
    static constexpr uint32_t aligned_copy_words = phase_rows * window_row_words + window_row_words;
    static constexpr uint32_t aligned_table_words = block_pairs * aligned_copy_words;
    // Fills `rows` (aligned to 64 bytes) with the copies of the window table
    // times `factor`.
    void aligned_window_rows(int32_t factor, uint32_t* rows) const requires(Width == 12);
    // The aligned table of a step of none, all zero: one for every synthesiser.
    alignas(64) static constexpr uint32_t zero_aligned_table[aligned_table_words] = {};
    // Two steps at pos and pos + gap less than a pair of samples later, each
    // with its row from the table (of scaled_window_rows) given for it,
    // summed in the window of the first before they reach the cells.
    void add_row_pair_blocks(uint32_t pos, const uint32_t* rows, uint32_t gap, const uint32_t* next_rows,
                             Band_Buffer& buffer) const requires(Width == 8);
    // Cells from a change's sample to its window's end, at most.
    static constexpr uint32_t window_reach = 2 * ((12 - Width / 2) / 2 + block_pairs * window_blocks);

    // ---- windows of alternating changes (dense noise) ----
    // Noise changing many times a sample sums a chunk of changes at once: a
    // window of eight pairs takes the changes of five pairs of samples. (Its
    // sums go to the cells at any pair: fewer, longer chunks gain more than
    // blocks would.)
    struct Window {
        Pair_Sums low, high;
    };
    static constexpr uint32_t window_pairs = 5;

    // The changes at pos + i * pos_step for each set bit i of `changes`, in
    // units of the lowest one's delta, the next one opposite, and so on. Every
    // position must lie within `window_pairs` sample pairs from that of `pos`.
    Window alternating_sums(uint32_t pos, uint32_t pos_step, uint64_t changes) const requires(Width == 8);
    // Adds `sums` in units of `delta` into the window of sample pair `pair`.
    void add_sums(uint32_t pair, const Window& sums, int delta, Band_Buffer& buffer) const requires(Width == 8);

    // Rows of `kernel_width` values: 64 of the scaled table, 17 of the unscaled kernel.
    const uint16_t* phase_table() const { return impulses_; }
    const uint16_t* base_kernel() const { return impulses_ + phase_rows * Width; }
    // The scaled unit U in both halves of a word.
    uint32_t pair_bias() const { return pair_bias_; }
    double unit() const { return volume_unit_; }
    const Treble_Eq& eq() const { return eq_; }
    // How often the scaled table has been built; lets tests see a call that did nothing.
    int32_t table_builds() const { return table_builds_; }

private:
    void build_phase_table(uint32_t unit);
    // Rows 0..16 of the table for unit u: the kernel scaled, its rounding
    // error given to a centre value.
    void scaled_row(int r, int32_t u, uint16_t* row) const;
    // A value of rows 0..16 outside the centre, which the rounding leaves alone.
    uint16_t scaled_value(int r, int k, int32_t u) const;
    // A row, less U per value, added `delta` times at `pos`; `bias` is U in both halves of a word.
    static void add_row(uint32_t pos, const uint16_t* row, uint32_t bias, int delta, Band_Buffer& buffer);
    // add_amplitude's usual case, without a loop; false when it does not
    // apply (a larger change, near the buffer's end, or no SSE2).
    bool add_amplitude_blocks(uint32_t pos, int32_t amplitude, Band_Buffer& buffer) const;
    // Twice it fits the 16-bit lanes that add_amplitude_blocks multiplies in.
    static constexpr int32_t max_block_amplitude = max_row_amplitude / 2;
    // The kernel values in the phase table's layout, for add_amplitude, and
    // whether they give its rows (see build_amplitude_layout).
    void build_amplitude_layout();

    // Two adjacent cells as one 32-bit word, low half the even cell. memcpy
    // keeps it alias-safe and compiles to a single load or store.
    static uint32_t load_pair(const uint16_t* cells)
    {
        if constexpr (std::endian::native == std::endian::little) {
            uint32_t word;
            std::memcpy(&word, cells, sizeof word);
            return word;
        } else {
            return cells[0] | static_cast<uint32_t>(cells[1]) << 16;
        }
    }
    static void store_pair(uint16_t* cells, uint32_t word)
    {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(cells, &word, sizeof word);
        } else {
            cells[0] = static_cast<uint16_t>(word);
            cells[1] = static_cast<uint16_t>(word >> 16);
        }
    }

    Treble_Eq eq_;
    double volume_unit_ = -1.0;  // none set yet
    uint16_t impulses_[(phase_rows + kernel_rows) * Width] = {};
    // Per phase row, its pairs less U after max_offset zero words and before
    // zero words to a window's length: loading a window from max_offset - o
    // words in shifts the row o pairs into it.
    uint32_t window_rows_[window_table_words] = {};
    // Where in window_rows_ the words for a change start, by its distance in
    // phase rows from the window's first pair: its row, shifted into the
    // window by the whole pairs of that distance.
    static constexpr uint32_t window_positions = (max_offset + 1) * phase_rows;
    static constexpr std::array<uint16_t, window_positions> row_words_ = [] {
        std::array<uint16_t, window_positions> table{};
        for (uint32_t q = 0; q < table.size(); ++q)
            table[q] = static_cast<uint16_t>(q % phase_rows * window_row_words + max_offset - q / phase_rows);
        return table;
    }();
    // The same windows' starts in the aligned copies (see aligned_window_rows).
    static constexpr std::array<uint16_t, window_positions> aligned_words_ = [] {
        std::array<uint16_t, window_positions> table{};
        for (uint32_t q = 0; q < table.size(); ++q) {
            const uint32_t shift = q / phase_rows;
            table[q] =
                static_cast<uint16_t>(shift % block_pairs * aligned_copy_words + q % phase_rows * window_row_words +
                                      aligned_pad - (shift - shift % block_pairs));
        }
        return table;
    }();

    // Per phase row, its kernel values less kernel_zero, padded with zeros to
    // a whole number of vectors; and a mask of the value that takes the rounding error.
    static constexpr int layout_stride = 16;
    alignas(16) int16_t amplitude_layout_[phase_rows * layout_stride] = {};
    alignas(16) int32_t centre_masks_[2][layout_stride] = {};
    // The same rows after `block_window_pad` zeros and before zeros to
    // block_window_stride: loading a window of three blocks from
    // block_window_pad - 2 o values in shifts a row o pairs into it.
    static constexpr int block_window_values = 3 * 2 * block_pairs;
    static constexpr int block_window_pad = 2 * (block_pairs - 1);
    static constexpr int block_window_stride = 32;
    static_assert(block_window_pad + block_window_values <= block_window_stride);
    alignas(16) int16_t block_layout_[phase_rows * block_window_stride] = {};
    bool amplitude_layout_exact_ = false;
    bool need_kernel_ = true;
    uint32_t pair_bias_ = 0;
    double volume_scale_;
    int32_t table_builds_ = 0;
};

template <int Width>
inline void Band_Synth<Width>::add_row(uint32_t pos, const uint16_t* row, uint32_t bias, int delta, Band_Buffer& buffer)
{
    const uint32_t sample_index = (pos >> Band_Buffer::time_bits) & ~1u;
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        sample_index < buffer.buffer_size_);
    // Both widths centre a change on the same cell.
    uint16_t* cells = buffer.buffer_ + sample_index + (12 - Width / 2);
    const uint32_t d = static_cast<uint32_t>(delta);
    const uint32_t scaled_bias = bias * d;
    // The row goes into locals first: the compiler then knows it cannot alias
    // the cells and needs no run-time overlap test.
    uint32_t kernel[Width / 2];
    for (int j = 0; j < Width / 2; ++j)
        kernel[j] = load_pair(row + 2 * j);
    for (int j = 0; j < Width / 2; ++j)
        store_pair(cells + 2 * j, load_pair(cells + 2 * j) + kernel[j] * d - scaled_bias);
}

template <int Width> inline void Band_Synth<Width>::add_delta_at(uint32_t pos, int delta, Band_Buffer& buffer) const
{
    // Bit 5: odd sample; bits 0-4: sub-sample position.
    add_row(pos, impulses_ + ((pos >> 11) & (phase_rows - 1)) * Width, pair_bias_, delta, buffer);
}

template <int Width>
template <bool Aligned>
inline uint32_t Band_Synth<Width>::add_cycle_steps(uint32_t pos, uint32_t pos_step, int32_t count,
                                                   const Step_Cycle& cycle, uint32_t first, Band_Buffer& buffer) const
    requires(Width == 12)
{
    // A window's last block may reach past the cells near the buffer's end.
    const uint32_t last = pos + static_cast<uint32_t>(count - 1) * pos_step;
    const bool near_end = count > 0 && (last >> Band_Buffer::time_bits) + window_reach > Band_Buffer::allocation;
    if (std::endian::native != std::endian::little || near_end) {
        for (int32_t i = 0; i < count; ++i, pos += pos_step) {
            const int delta = cycle.deltas[(first + static_cast<uint32_t>(i)) % cycle_events];
            if (delta)
                add_delta_at(pos, delta, buffer);
        }
        return pos;
    }
    // The pair a change's row starts at, counted in phase rows: both widths
    // centre a change on the same cell.
    constexpr uint32_t row_start = (12 - Width / 2) / 2 * phase_rows;
    // A window starts at a multiple of four pairs, and spans that many
    // positions.
    constexpr uint32_t window_span = (block_pairs * phase_rows) << phase_shift;
    // A row at most three pairs into its window fills three blocks.
    constexpr uint32_t step_blocks = (block_pairs - 1 + row_pairs + block_pairs - 1) / block_pairs;
    // Steps close together share a window of four blocks: the rows of a
    // group are summed first and reach the cells together. The first row of
    // a group starts less than a block into the window; a group of n steps
    // less than 7 / (n - 1) pairs apart keeps its last row's start within
    // max_offset pairs of the window's start.
    static_assert(Width != 12 || max_offset + 1 - block_pairs == 7);  // clang instantiates this for both widths
    // Positions from here on are counted from a row's start: the window of a
    // group is then its first position's high bits, and a step's distance
    // into it, in phase rows, the step's low bits.
    uint32_t at = pos + (row_start << phase_shift);
    uint16_t* const cells = buffer.buffer_;
    int32_t i = 0;
    uint32_t event = first;
    auto add_groups = [&]<int Group, uint32_t Blocks>() {
        for (; i + Group <= count; i += Group, at += Group * pos_step, event += Group) {
            PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer",
                                "sample_index < band_buf->buffer_size_",
                                (((pos + static_cast<uint32_t>(i + Group - 1) * pos_step) >> Band_Buffer::time_bits) &
                                 ~1u) < buffer.buffer_size_);
            const uint32_t into_window = at % window_span;
            uint16_t* const window = cells + 2 * block_pairs * (at / window_span);
            const uint32_t* const* tables = cycle.rows + event % cycle_events;
            const uint32_t* rows[Group];
            for (int g = 0; g < Group; ++g) {
                const uint32_t distance = (into_window + static_cast<uint32_t>(g) * pos_step) >> phase_shift;
                PLINKA_CHIP_REQUIRE("unmet requirement", "distance < window_positions", distance < window_positions);
                rows[g] = tables[g] + (Aligned ? aligned_words_ : row_words_)[distance];
            }
            for (uint32_t b = 0; b < Blocks; ++b) {
                // The rows are summed before the cells join them: a cell
                // block that the last group stored waits for one add only.
                Pair_Sums sums{}, row, words;
                for (int g = 0; g < Group; ++g) {
                    if (Group > 1 && !row_reaches(Group, g, b))
                        continue;
                    std::memcpy(&row, rows[g] + block_pairs * b, sizeof row);
                    sums += row;
                }
                std::memcpy(&words, window + 2 * block_pairs * b, sizeof words);
                words += sums;
                std::memcpy(window + 2 * block_pairs * b, &words, sizeof words);
            }
        }
    };
    // The larger the group, the fewer times the cells are read and written.
    auto fits = [pos_step](uint32_t n) { return pos_step < (max_offset + 1 - block_pairs) * pair_span / (n - 1); };
    if (fits(max_group))
        add_groups.template operator()<max_group, window_blocks>();
    if (fits(6))
        add_groups.template operator()<6, window_blocks>();
    if (fits(5))
        add_groups.template operator()<5, window_blocks>();
    if (fits(4))
        add_groups.template operator()<4, window_blocks>();
    if (fits(3))
        add_groups.template operator()<3, window_blocks>();
    if (fits(2))
        add_groups.template operator()<2, window_blocks>();
    add_groups.template operator()<1, step_blocks>();
    return pos + static_cast<uint32_t>(count) * pos_step;
}

template <int Width>
inline void Band_Synth<Width>::add_delta_blocks(uint32_t pos, int delta, Band_Buffer& buffer) const requires(Width == 8)
{
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        ((pos >> Band_Buffer::time_bits) & ~1u) < buffer.buffer_size_);
    // Said of the 8-wide synth only: clang compiles this member for both
    // widths where the .cpp instantiates the class, constraint or not.
    static_assert(Width != 8 || window_reach <= Band_Buffer::impulse_spread,
                  "the window ends within the cells past the buffer");
    constexpr uint32_t row_start = (12 - Width / 2) / 2 * phase_rows;
    const uint32_t rows = (pos >> phase_shift) + row_start;
    const uint32_t window_rows = rows & ~(block_pairs * phase_rows - 1);
    const uint32_t* words = window_rows_ + row_words_[rows - window_rows];
    uint16_t* cells = buffer.buffer_ + 2 * (window_rows / phase_rows);
    const auto d = static_cast<uint32_t>(delta);
    for (uint32_t b = 0; b < window_blocks; ++b) {
        Pair_Sums row, sums;
        std::memcpy(&row, words + block_pairs * b, sizeof row);
        std::memcpy(&sums, cells + 2 * block_pairs * b, sizeof sums);
        sums += row * d;
        std::memcpy(cells + 2 * block_pairs * b, &sums, sizeof sums);
    }
}

template <int Width>
inline void Band_Synth<Width>::scaled_window_rows(int32_t factor, uint32_t* rows) const requires(Width == 8)
{
    for (uint32_t i = 0; i < window_table_words; ++i)
        rows[i] = window_rows_[i] * static_cast<uint32_t>(factor);
}

template <int Width>
inline void Band_Synth<Width>::aligned_window_rows(int32_t factor, uint32_t* rows) const requires(Width == 12)
{
    // Copy a places each row a words past a whole block, with zeros between
    // the rows: a window of a shift s = a + 4k then starts 4k words before
    // that, at a whole block, and holds zeros outside the row.
    for (uint32_t i = 0; i < aligned_table_words; ++i)
        rows[i] = 0;
    for (uint32_t a = 0; a < block_pairs; ++a) {
        for (uint32_t r = 0; r < phase_rows; ++r) {
            const uint32_t* from = window_rows_ + r * window_row_words + max_offset;
            uint32_t* to = rows + a * aligned_copy_words + r * window_row_words + aligned_pad + a;
            for (uint32_t j = 0; j < row_pairs; ++j)
                to[j] = from[j] * static_cast<uint32_t>(factor);
        }
    }
}

template <int Width>
inline void Band_Synth<Width>::add_row_pair_blocks(uint32_t pos, const uint32_t* rows, uint32_t gap,
                                                   const uint32_t* next_rows, Band_Buffer& buffer) const
    requires(Width == 8)
{
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        (((pos + gap) >> Band_Buffer::time_bits) & ~1u) < buffer.buffer_size_);
    PLINKA_CHIP_REQUIRE("unmet requirement", "gap < pair_span", gap < pair_span);
    // The first row starts less than a block into the window, the second
    // less than a pair after it: within max_offset pairs of its start.
    static_assert(Width != 8 || (block_pairs + 1) * phase_rows <= window_positions);
    constexpr uint32_t row_start = (12 - Width / 2) / 2 * phase_rows;
    const uint32_t first = (pos >> phase_shift) + row_start;
    const uint32_t window = first & ~(block_pairs * phase_rows - 1);
    const uint32_t next = ((pos + gap) >> phase_shift) + row_start;
    const uint32_t* words = rows + row_words_[first - window];
    const uint32_t* next_words = next_rows + row_words_[next - window];
    uint16_t* cells = buffer.buffer_ + 2 * (window / phase_rows);
    for (uint32_t b = 0; b < window_blocks; ++b) {
        Pair_Sums row, next_row, sums;
        std::memcpy(&row, words + block_pairs * b, sizeof row);
        std::memcpy(&next_row, next_words + block_pairs * b, sizeof next_row);
        std::memcpy(&sums, cells + 2 * block_pairs * b, sizeof sums);
        sums += row + next_row;
        std::memcpy(cells + 2 * block_pairs * b, &sums, sizeof sums);
    }
}

template <int Width>
inline typename Band_Synth<Width>::Window Band_Synth<Width>::alternating_sums(uint32_t pos, uint32_t pos_step,
                                                                              uint64_t changes) const
    requires(Width == 8)
{
    static_assert(Width != 8 || window_pairs * phase_rows == window_positions);  // as above
    const uint32_t start = pos % pair_span;
    auto row = [&](uint64_t c) {
        const uint32_t p = start + static_cast<uint32_t>(std::countr_zero(c)) * pos_step;
        PLINKA_CHIP_REQUIRE("unmet requirement", "p < window_pairs * pair_span", p < window_pairs * pair_span);
        return window_rows_ + row_words_[p >> phase_shift];
    };
    Window sums = {};
    auto add = [&sums](const uint32_t* words, bool negative) {
        Pair_Sums low, high;
        std::memcpy(&low, words, sizeof low);
        std::memcpy(&high, words + 4, sizeof high);
        if (negative) {
            sums.low -= low;
            sums.high -= high;
        } else {
            sums.low += low;
            sums.high += high;
        }
    };
    while (changes) {
        add(row(changes), false);
        changes &= changes - 1;
        if (!changes)
            break;
        add(row(changes), true);
        changes &= changes - 1;
    }
    return sums;
}

template <int Width>
inline void Band_Synth<Width>::add_sums(uint32_t pair, const Window& sums, int delta, Band_Buffer& buffer) const
    requires(Width == 8)
{
    const uint32_t sample_index = 2 * pair;
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        sample_index < buffer.buffer_size_);
    // The window's end stays within the impulse spread past the buffer.
    uint16_t* cells = buffer.buffer_ + sample_index + (12 - Width / 2);
    const auto d = static_cast<uint32_t>(delta);
    for (int half = 0; half < 2; ++half) {
        uint16_t* at = cells + 8 * half;
        Pair_Sums window;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&window, at, sizeof window);
        } else {
            for (int j = 0; j < 4; ++j)
                window[j] = load_pair(at + 2 * j);
        }
        window += (half ? sums.high : sums.low) * d;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(at, &window, sizeof window);
        } else {
            for (int j = 0; j < 4; ++j)
                store_pair(at + 2 * j, window[j]);
        }
    }
}

extern template class Band_Synth<12>;
extern template class Band_Synth<8>;
