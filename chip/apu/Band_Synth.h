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

    // ---- runs of changes (triangle, noise) ----
    // Every row of the scaled table less U, as pair words: a change of d units
    // adds d times these, in wrapping 32-bit words, exactly as add_delta_at
    // does. Whole vectors of them go into the cells at once, and the buffer's
    // cells are looked up once per run, not once per change.
    using Pair_Sums = uint32_t __attribute__((vector_size(16)));  // four cell pairs
    using Pair_Half = uint32_t __attribute__((vector_size(8)));   // two

    // Adds `count` changes of one unit, down or up, at the positions pos,
    // pos + pos_step, ...; answers the position after the last.
    template <bool Down>
    uint32_t add_unit_run(uint32_t pos, uint32_t pos_step, int32_t count, Band_Buffer& buffer) const
        requires(Width == 12);
    // Adds the changes at pos + i * pos_step for each set bit i of `changes`:
    // the lowest of `delta` units, the next opposite, and so on.
    void add_alternating(uint32_t pos, uint32_t pos_step, uint64_t changes, int delta, Band_Buffer& buffer) const
        requires(Width == 8);

    // ---- runs of alternating changes summed first (noise) ----
    // The cells take wrapping 32-bit sums, so changes bound for nearby cells
    // may be summed in registers first and reach the cells once. A change of
    // delta adds (kernel row - U) * delta to four cell pairs; a window of
    // eight pairs takes the changes of five pairs of samples.
    struct Window {
        Pair_Sums low, high;
    };
    static constexpr uint32_t pair_span = 2u << Band_Buffer::time_bits;  // a pair of samples, in positions
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
    // Per phase row, its pairs less U between four zero words on either side:
    // loading from 4 - o words in shifts the row o pairs into a window.
    static constexpr int window_row_words = 12;
    uint32_t window_rows_[Width == 8 ? phase_rows * window_row_words : 1] = {};
    // Per phase row, its six pairs less U, then two zero words: a vector and a half.
    static constexpr int unit_row_words = 8;
    uint32_t unit_rows_[Width == 12 ? phase_rows * unit_row_words : 1] = {};
    bool need_kernel_ = true;
    uint32_t pair_bias_ = 0;
    double volume_scale_;
    int32_t table_builds_ = 0;
};

template <int Width> inline void Band_Synth<Width>::add_delta_at(uint32_t pos, int delta, Band_Buffer& buffer) const
{
    const uint32_t sample_index = (pos >> Band_Buffer::time_bits) & ~1u;
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        sample_index < buffer.buffer_size_);
    // Both widths centre a change on the same cell.
    uint16_t* cells = buffer.buffer_ + sample_index + (12 - Width / 2);
    // Bit 5: odd sample; bits 0-4: sub-sample position.
    const uint16_t* row = impulses_ + ((pos >> 11) & (phase_rows - 1)) * Width;
    const uint32_t d = static_cast<uint32_t>(delta);
    const uint32_t bias = pair_bias_ * d;
    // The row goes into locals first: the compiler then knows it cannot alias
    // the cells and needs no run-time overlap test.
    uint32_t kernel[Width / 2];
    for (int j = 0; j < Width / 2; ++j)
        kernel[j] = load_pair(row + 2 * j);
    for (int j = 0; j < Width / 2; ++j)
        store_pair(cells + 2 * j, load_pair(cells + 2 * j) + kernel[j] * d - bias);
}

template <int Width>
template <bool Down>
inline uint32_t Band_Synth<Width>::add_unit_run(uint32_t pos, uint32_t pos_step, int32_t count,
                                                Band_Buffer& buffer) const requires(Width == 12)
{
    if constexpr (std::endian::native != std::endian::little) {
        for (int32_t i = 0; i < count; ++i, pos += pos_step)
            add_delta_at(pos, Down ? -1 : 1, buffer);
        return pos;
    }
    uint16_t* const first = buffer.buffer_ + (12 - Width / 2);
    for (int32_t i = 0; i < count; ++i, pos += pos_step) {
        const uint32_t sample_index = (pos >> Band_Buffer::time_bits) & ~1u;
        PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                            sample_index < buffer.buffer_size_);
        const uint32_t* row = unit_rows_ + ((pos >> 11) & (phase_rows - 1)) * unit_row_words;
        uint16_t* cells = first + sample_index;
        Pair_Sums low, cells_low;
        Pair_Half high, cells_high;
        std::memcpy(&low, row, sizeof low);
        std::memcpy(&high, row + 4, sizeof high);
        std::memcpy(&cells_low, cells, sizeof cells_low);
        std::memcpy(&cells_high, cells + 8, sizeof cells_high);
        if constexpr (Down) {
            cells_low -= low;
            cells_high -= high;
        } else {
            cells_low += low;
            cells_high += high;
        }
        std::memcpy(cells, &cells_low, sizeof cells_low);
        std::memcpy(cells + 8, &cells_high, sizeof cells_high);
    }
    return pos;
}

template <int Width>
inline void Band_Synth<Width>::add_alternating(uint32_t pos, uint32_t pos_step, uint64_t changes, int delta,
                                               Band_Buffer& buffer) const requires(Width == 8)
{
    if constexpr (std::endian::native != std::endian::little) {
        for (; changes; changes &= changes - 1, delta = -delta)
            add_delta_at(pos + static_cast<uint32_t>(std::countr_zero(changes)) * pos_step, delta, buffer);
        return;
    }
    uint16_t* const first = buffer.buffer_ + (12 - Width / 2);
    // Negating the factor turns the product negative as well, in wrapping words.
    Pair_Sums factor = Pair_Sums{} + static_cast<uint32_t>(delta);
    for (; changes; changes &= changes - 1, factor = -factor) {
        const uint32_t p = pos + static_cast<uint32_t>(std::countr_zero(changes)) * pos_step;
        const uint32_t sample_index = (p >> Band_Buffer::time_bits) & ~1u;
        PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                            sample_index < buffer.buffer_size_);
        Pair_Sums row, cells;
        std::memcpy(&row, window_rows_ + ((p >> 11) & (phase_rows - 1)) * window_row_words + 4, sizeof row);
        std::memcpy(&cells, first + sample_index, sizeof cells);
        cells += row * factor;
        std::memcpy(first + sample_index, &cells, sizeof cells);
    }
}

template <int Width>
inline typename Band_Synth<Width>::Window Band_Synth<Width>::alternating_sums(uint32_t pos, uint32_t pos_step,
                                                                              uint64_t changes) const
    requires(Width == 8)
{
    // Positions from the window's start, in phase rows: each names its row
    // and how far the row is shifted into the window.
    static constexpr auto offsets = [] {
        std::array<uint16_t, window_pairs * phase_rows> table{};
        for (uint32_t q = 0; q < table.size(); ++q)
            table[q] = static_cast<uint16_t>(q % phase_rows * window_row_words + 4 - q / phase_rows);
        return table;
    }();
    const uint32_t start = pos % pair_span;
    auto row = [&](uint64_t c) {
        const uint32_t p = start + static_cast<uint32_t>(std::countr_zero(c)) * pos_step;
        PLINKA_CHIP_REQUIRE("unmet requirement", "p < window_pairs * pair_span", p < window_pairs * pair_span);
        return window_rows_ + offsets[p >> 11];
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
