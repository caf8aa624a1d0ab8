#include "Band_Synth.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int harmonics = 4096;
constexpr int kernel_zero = 16384;  // a kernel value of zero in the unscaled kernel
constexpr int max_fine_samples = 16 * (12 - 2);
// pi / (2 * harmonics * resolution); the divisor is a power of two, so the
// angle of fine sample i is exactly (2i + 1) times this.
constexpr double angle_step = 1.1984224905356572e-05;

const Treble_Eq default_eq{-8.87, 8800, 44100};

// Designs the unscaled kernel, rows 0/32 to 16/32 of a sample, into `kernel`.
// All in double precision; only the fine samples pass through single precision.
void generate_kernel(const Treble_Eq& eq, int width, int resolution, uint16_t* kernel)
{
    double treble = std::pow(10.0, 0.05 * eq.treble);
    if (treble < 5.0e-6)
        treble = 5.0e-6;
    const double pt = 44100.0 / eq.sample_rate;
    double cut = static_cast<double>(2 * eq.cutoff) / eq.sample_rate;
    if (cut >= 0.95 * pt || cut >= 0.95) {
        cut = 0.5;
        treble = 1.0;
    }

    const double n = harmonics;
    const double rolloff = std::pow(treble, 1.0 / (n * pt - n * cut));
    const double rescale = 1.0 / std::pow(rolloff, n * cut);
    const double an = rescale * std::pow(rolloff, n);
    const double anc = rescale * std::pow(rolloff, n * cut);

    const int size = 16 * (width - 2);
    float fine[max_fine_samples];
    double total = 0.0;
    for (int i = size - 1; i >= 0; --i) {
        const double angle = (2 * i + 1) * angle_step;
        const double ca = std::cos(angle);
        const double cnc = std::cos(n * cut * angle);
        const double cnc1 = std::cos((n * cut - 1) * angle);
        const double b = 2 - 2 * ca;
        const double a = 1 - ca - cnc + cnc1;
        const double d = 1 + rolloff * (rolloff - 2 * ca);
        const double c =
            an * rolloff * std::cos((n - 1) * angle) - an * std::cos(n * angle) - anc * rolloff * cnc1 + anc * cnc;
        fine[i] = static_cast<float>((a * d + c * b) / (b * d));
        total += fine[i];
    }
    const double factor = kernel_zero / total;

    // Each kernel value sums one sample's worth of fine samples; the fine
    // samples are one half of a symmetric curve, mirrored at index 0.
    const int half = width / 2;
    for (int r = 0; r <= resolution / 2; ++r) {
        const int o = resolution - r;
        for (int k = -half; k < half; ++k) {
            double sum = 0.0;
            for (int j = resolution - 1; j >= 0; --j) {
                int index = resolution * k + o + j;
                if (index < 0)
                    index = -index - 1;
                if (index < size)
                    sum += fine[index];
            }
            kernel[r * width + k + half] =
                static_cast<uint16_t>(static_cast<int32_t>(std::floor(sum * factor + (kernel_zero + 0.5))));
        }
    }
}

// A floored double as uint32, saturating; a negative unit makes no sense.
uint32_t to_unit(double value)
{
    if (!(value >= 0.0))
        return 0;
    if (value >= 4294967295.0)
        return 0xFFFFFFFF;
    return static_cast<uint32_t>(value);
}

}  // namespace

template <int Width> Band_Synth<Width>::Band_Synth(int amplitude_range) : volume_scale_(1.0 / amplitude_range) {}

template <int Width> void Band_Synth<Width>::set_volume(double volume)
{
    set_unit(volume * volume_scale_);
}

template <int Width> void Band_Synth<Width>::set_unit(double unit)
{
    if (unit == volume_unit_)
        return;
    if (need_kernel_)
        set_eq(default_eq);
    volume_unit_ = unit;
    const uint32_t scaled = to_unit(std::floor(unit * 65536 + 0.5));
    pair_bias_ = scaled * 0x10001;
    build_phase_table(scaled & 0xFFFF);
}

template <int Width> void Band_Synth<Width>::set_eq(const Treble_Eq& eq)
{
    if (!need_kernel_ && eq == eq_)
        return;
    need_kernel_ = false;
    eq_ = eq;
    generate_kernel(eq, Width, resolution, impulses_ + phase_rows * Width);
    build_amplitude_layout();
    if (volume_unit_ >= 0.0) {
        const double unit = volume_unit_;
        volume_unit_ = -1.0;
        set_unit(unit);
    }
}

template <int Width> void Band_Synth<Width>::build_phase_table(uint32_t unit)
{
    ++table_builds_;
    const int32_t u = static_cast<int32_t>(unit);
    uint16_t* table = impulses_;

    for (int r = 0; r < kernel_rows; ++r)
        scaled_row(r, u, table + r * Width);

    // Rows 17..31 are rows 15..1 reversed: the kernel is symmetric about half a sample.
    for (int m = 0; m < resolution / 2 - 1; ++m) {
        uint16_t* row = table + (kernel_rows + m) * Width;
        const uint16_t* mirror = table + (resolution / 2 - 1 - m) * Width;
        for (int k = 0; k < Width - 1; ++k)
            row[k] = mirror[Width - 2 - k];
        row[Width - 1] =
            m < resolution / 2 - 2 ? table[(resolution / 2 - 2 - m) * Width + Width - 1] : static_cast<uint16_t>(u);
    }

    // Rows 32..63 serve changes in an odd sample: the same, one cell later.
    uint16_t* odd = table + resolution * Width;
    odd[0] = static_cast<uint16_t>(u);
    for (int i = 1; i < resolution * Width; ++i)
        odd[i] = table[i - 1];

    std::fill(std::begin(window_rows_), std::end(window_rows_), 0u);
    for (int r = 0; r < phase_rows; ++r) {
        uint32_t* words = window_rows_ + r * window_row_words + max_offset;
        for (uint32_t j = 0; j < row_pairs; ++j)
            words[j] = load_pair(table + r * Width + 2 * j) - pair_bias_;
    }
}

template <int Width> uint16_t Band_Synth<Width>::scaled_value(int r, int k, int32_t u) const
{
    const int64_t product = int64_t{base_kernel()[r * Width + k]} * u + int64_t{u + 1} * kernel_zero;
    return static_cast<uint16_t>(product >> 15);
}

template <int Width> void Band_Synth<Width>::scaled_row(int r, int32_t u, uint16_t* row) const
{
    // Gives the rounding error to a centre value so that the row, less U per
    // value, sums to exactly U.
    int32_t error = u;
    for (int k = 0; k < Width; ++k) {
        const int64_t product = int64_t{base_kernel()[r * Width + k]} * u + int64_t{u + 1} * kernel_zero;
        const int32_t a = static_cast<int32_t>(product >> 15);
        error -= a - u;
        row[k] = static_cast<uint16_t>(a);
    }
    uint16_t& centre = row[Width / 2 - 1];
    centre = static_cast<uint16_t>(centre + error);
}

template <int Width> void Band_Synth<Width>::amplitude_row(uint32_t phase, int32_t amplitude, uint16_t* row) const
{
    // build_phase_table's layout, one row at a time: rows 17..31 mirror rows
    // 15..1 and take their last value from rows 14..1 (U in row 31); rows
    // 32..63 are rows 0..31 one cell later, led by the previous row's last
    // value (U before row 0). No last value is a centre value.
    const int32_t u = amplitude;
    auto last_of = [&](int r) {
        if (r < kernel_rows)
            return scaled_value(r, Width - 1, u);
        return r < resolution - 1 ? scaled_value(resolution - 1 - r, Width - 1, u) : static_cast<uint16_t>(u);
    };
    auto even_row = [&](int r, uint16_t* out) {
        if (r < kernel_rows) {
            scaled_row(r, u, out);
            return;
        }
        uint16_t mirror[Width];
        scaled_row(resolution - r, u, mirror);
        for (int k = 0; k < Width - 1; ++k)
            out[k] = mirror[Width - 2 - k];
        out[Width - 1] = last_of(r);
    };
    const int r = static_cast<int>(phase & (resolution - 1));
    if (phase & resolution) {
        uint16_t even[Width];
        even_row(r, even);
        row[0] = r == 0 ? static_cast<uint16_t>(u) : last_of(r - 1);
        for (int k = 1; k < Width; ++k)
            row[k] = even[k - 1];
    } else {
        even_row(r, row);
    }
}

template <int Width> void Band_Synth<Width>::build_amplitude_layout()
{
    // A value of kernel_zero scales to exactly U: the values the layout puts
    // in as U. When every row's last value is kernel_zero too (the kernel is
    // a sample shorter than its rows), each row of the table holds its source
    // row's values less only ones that are U, so its rounding error is found
    // from its own values and lands on its centre (one later in odd rows).
    const uint16_t* kernel = base_kernel();
    amplitude_layout_exact_ = true;
    for (int r = 0; r < kernel_rows; ++r)
        amplitude_layout_exact_ = amplitude_layout_exact_ && kernel[r * Width + Width - 1] == kernel_zero;
    auto value = [&](int r, int k) { return static_cast<int16_t>(kernel[r * Width + k] - kernel_zero); };
    auto last_of = [&](int r) { return r < kernel_rows ? value(r, Width - 1) : int16_t{0}; };
    for (int c = 0; c < layout_stride; ++c) {
        centre_masks_[0][c] = c == Width / 2 - 1 ? -1 : 0;
        centre_masks_[1][c] = c == Width / 2 ? -1 : 0;
    }
    for (int r = 0; r < resolution; ++r) {
        int16_t* even = amplitude_layout_ + r * layout_stride;
        int16_t* odd = amplitude_layout_ + (resolution + r) * layout_stride;
        for (int k = 0; k < Width; ++k)
            even[k] = r < kernel_rows ? value(r, k) : value(resolution - r, Width - 2 - k);
        if (r >= kernel_rows)
            even[Width - 1] = last_of(resolution - 1 - r);
        odd[0] = r == 0 ? int16_t{0} : last_of(r - 1 < kernel_rows ? r - 1 : resolution - r);
        for (int k = 1; k < Width; ++k)
            odd[k] = even[k - 1];
    }
    for (int p = 0; p < phase_rows; ++p)
        for (int k = 0; k < Width; ++k)
            block_layout_[p * block_window_stride + block_window_pad + k] = amplitude_layout_[p * layout_stride + k];
}

template <int Width>
inline bool Band_Synth<Width>::add_amplitude_blocks(uint32_t pos, int32_t amplitude, Band_Buffer& buffer) const
{
#if defined(__SSE2__)
    // A change of at most max_block_amplitude, as nearly every change of a
    // mix is, goes into aligned blocks of four pairs as add_cycle_steps' windows
    // do: the next change, a sample or two later, then reads back whole
    // blocks this one stored rather than waiting for parts of two. No branch
    // on the sign or on a change of nothing (which adds zeros): either goes
    // one way or the other at random.
    const int32_t sign_bits = amplitude >> 31;
    const uint32_t magnitude = static_cast<uint32_t>((amplitude ^ sign_bits) - sign_bits);
    const uint32_t first_sample = (pos >> Band_Buffer::time_bits) & ~1u;
    const uint32_t first_pair = first_sample / 2 + (12 - Width / 2) / 2;
    const uint32_t offset = first_pair & (block_pairs - 1);
    const uint32_t first_cell = 2 * (first_pair - offset);
    if (!amplitude_layout_exact_ || magnitude > static_cast<uint32_t>(max_block_amplitude) ||
        first_cell + block_window_values > Band_Buffer::allocation)
        return false;
    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                        first_sample < buffer.buffer_size_);
    const uint32_t phase = (pos >> phase_shift) & (phase_rows - 1);
    const int16_t* kernel = block_layout_ + phase * block_window_stride + block_window_pad - 2 * offset;
    const auto u = static_cast<int16_t>(magnitude);
    // (k u + kernel_zero) >> 15 in 16-bit lanes, as add_amplitude's values:
    // with 2 u in 16 bits, the high half of k (2 u) plus the carry of
    // adding 32768 to its low half.
    const __m128i twice_unit = _mm_set1_epi16(static_cast<int16_t>(2 * u));
    const __m128i one = _mm_set1_epi16(1);
    __m128i values[3];
    __m128i sum = _mm_setzero_si128();
    for (int v = 0; v < 3; ++v) {
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kernel + 8 * v));
        values[v] = _mm_add_epi16(_mm_mulhi_epi16(k, twice_unit), _mm_srli_epi16(_mm_mullo_epi16(k, twice_unit), 15));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(values[v], one));
    }
    // The padding's values are zero: the window sums as its row does.
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m128i error = _mm_sub_epi16(_mm_set1_epi16(u), _mm_packs_epi32(sum, sum));
    const int centre = static_cast<int>(2 * offset) + Width / 2 - 1 + ((phase & resolution) ? 1 : 0);
    const __m128i centre_lane = _mm_set1_epi16(static_cast<int16_t>(centre));
    const __m128i sign = _mm_set1_epi32(sign_bits);
    __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    __m128i* blocks = reinterpret_cast<__m128i*>(buffer.buffer_ + first_cell);
    for (int b = 0; b < 3; ++b) {
        const __m128i value = _mm_add_epi16(values[b], _mm_and_si128(error, _mm_cmpeq_epi16(lanes, centre_lane)));
        lanes = _mm_add_epi16(lanes, _mm_set1_epi16(8));
        // Each pair's word, low value plus high value times 65536, as below:
        // a negative low value borrows from the high one.
        const __m128i words = _mm_add_epi32(value, _mm_slli_epi32(_mm_srai_epi16(value, 15), 16));
        const __m128i block = _mm_sub_epi32(_mm_xor_si128(words, sign), sign);
        _mm_storeu_si128(blocks + b, _mm_add_epi32(_mm_loadu_si128(blocks + b), block));
    }
    return true;
#else
    (void)pos, (void)amplitude, (void)buffer;
    return false;
#endif
}

template <int Width> void Band_Synth<Width>::add_amplitude(uint32_t pos, int32_t amplitude, Band_Buffer& buffer) const
{
    if (add_amplitude_blocks(pos, amplitude, buffer))
        return;
    const int delta = amplitude < 0 ? -1 : 1;
    // In uint32: the magnitude of the most negative amplitude fits there.
    uint32_t left = amplitude < 0 ? 0u - static_cast<uint32_t>(amplitude) : static_cast<uint32_t>(amplitude);
    const uint32_t phase = (pos >> phase_shift) & (phase_rows - 1);
    while (left > 0) {
        const uint32_t piece = left < max_row_amplitude ? left : static_cast<uint32_t>(max_row_amplitude);
        left -= piece;
        if (!amplitude_layout_exact_) {
            uint16_t row[Width];
            amplitude_row(phase, static_cast<int32_t>(piece), row);
            add_row(pos, row, piece * 0x10001, delta, buffer);
            continue;
        }
        // build_phase_table's values less U: with K = kernel_zero + k,
        // (K u + (u + 1) kernel_zero) >> 15 is u + ((k u + kernel_zero) >> 15).
        // Both factors fit 16 bits, the product 32. Added to the cells as the
        // pair words add_row adds, row less bias: a low value's borrow
        // reaches the high cell there too.
        const int16_t* kernel = amplitude_layout_ + phase * layout_stride;
        const int32_t* centre = centre_masks_[(phase & resolution) ? 1 : 0];
        const auto u = static_cast<int32_t>(piece);
        const uint32_t sample_index = (pos >> Band_Buffer::time_bits) & ~1u;
        PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer", "sample_index < band_buf->buffer_size_",
                            sample_index < buffer.buffer_size_);
        uint16_t* cells = buffer.buffer_ + sample_index + (12 - Width / 2);
#if defined(__SSE2__)
        static_assert(Width <= 12 && layout_stride == 16);
        const __m128i unit = _mm_set1_epi16(static_cast<int16_t>(u));
        const __m128i half = _mm_set1_epi32(kernel_zero);
        __m128i values[3];
        for (int v = 0; v < 2; ++v) {
            const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kernel) + v);
            const __m128i low = _mm_mullo_epi16(k, unit);
            const __m128i high = _mm_mulhi_epi16(k, unit);
            values[2 * v] = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(low, high), half), 15);
            if (v == 0)
                values[1] = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(low, high), half), 15);
        }
        __m128i sum = _mm_add_epi32(_mm_add_epi32(values[0], values[1]), values[2]);
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
        const __m128i error = _mm_sub_epi32(_mm_set1_epi32(u), sum);
        for (int v = 0; v < 3; ++v) {
            const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(centre) + v);
            values[v] = _mm_add_epi32(values[v], _mm_and_si128(error, mask));
        }
        // Each pair's word, low value plus high value times 65536, in the low
        // half of each 64-bit lane; then the words side by side.
        __m128i words[3];
        for (int v = 0; v < 3; ++v) {
            const __m128i w = _mm_add_epi32(values[v], _mm_slli_epi32(_mm_srli_epi64(values[v], 32), 16));
            words[v] = _mm_shuffle_epi32(w, _MM_SHUFFLE(3, 1, 2, 0));
        }
        const __m128i sign = _mm_set1_epi32(-static_cast<int32_t>(delta < 0));
        const __m128i first = _mm_unpacklo_epi64(words[0], words[1]);
        const __m128i rest = words[2];
        __m128i* at = reinterpret_cast<__m128i*>(cells);
        _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_sub_epi32(_mm_xor_si128(first, sign), sign)));
        if constexpr (Width == 12) {
            __m128i* tail = reinterpret_cast<__m128i*>(cells + 8);
            _mm_storel_epi64(tail,
                             _mm_add_epi32(_mm_loadl_epi64(tail), _mm_sub_epi32(_mm_xor_si128(rest, sign), sign)));
        }
#else
        int32_t values[Width];
        int32_t sum = 0;
        for (int k = 0; k < Width; ++k) {
            values[k] = (kernel[k] * u + kernel_zero) >> 15;
            sum += values[k];
        }
        for (int k = 0; k < Width; ++k)
            values[k] += (u - sum) & centre[k];
        const auto d = static_cast<uint32_t>(delta);
        for (int j = 0; j < Width / 2; ++j) {
            const uint32_t word =
                static_cast<uint32_t>(values[2 * j]) + (static_cast<uint32_t>(values[2 * j + 1]) << 16);
            store_pair(cells + 2 * j, load_pair(cells + 2 * j) + word * d);
        }
#endif
    }
}

template <int Width>
void Band_Synth<Width>::add_amplitudes(const uint32_t* positions, const int32_t* amplitudes, int32_t count,
                                       Band_Buffer& buffer) const
{
    for (int32_t i = 0; i < count; ++i) {
        if (!add_amplitude_blocks(positions[i], amplitudes[i], buffer))
            add_amplitude(positions[i], amplitudes[i], buffer);
    }
}

template class Band_Synth<12>;
template class Band_Synth<8>;
