#include "Band_Buffer.h"

#include "Chip_Require.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int cell_fill_byte = 0x7F;  // two of them make `zero_level`
constexpr int max_highpass_shift = 24;
constexpr int32_t no_highpass_shift = 31;

// A floored double as uint32; anything outside the range (a zero or absurd
// rate) becomes 0, which the requirement on `factor_` then reports.
uint32_t to_uint32(double value)
{
    if (!(value >= 0.0 && value < 4294967296.0))
        return 0;
    return static_cast<uint32_t>(value);
}

}  // namespace

Band_Buffer::~Band_Buffer()
{
    delete[] buffer_;
}

uint16_t* Band_Buffer::new_cells()
{
    return new (std::nothrow) uint16_t[allocation];
}

void Band_Buffer::adopt_cells(uint16_t* cells)
{
    if (!cells || buffer_) {
        delete[] cells;  // never the case on the audio thread: it adopts only into a buffer without cells
        return;
    }
    buffer_ = cells;
    buffer_size_ = buffer_length;
    filled_ = 0;
    set_sample_rate(sample_rate_);
}

const char* Band_Buffer::set_sample_rate(int32_t samples_per_second)
{
    if (buffer_size_ != buffer_length) {
        delete[] buffer_;
        buffer_ = nullptr;
        buffer_size_ = 0;
        time_offset_ = 0;
        filled_ = 0;
        buffer_ = new_cells();
        if (!buffer_)
            return "Out of memory";
    }
    buffer_size_ = buffer_length;
    sample_rate_ = samples_per_second;
    if (clock_rate_ != 0)
        set_clock_rate(clock_rate_);
    set_highpass(highpass_freq_);
    clear();
    return nullptr;
}

void Band_Buffer::set_clock_rate(int32_t clocks_per_second)
{
    clock_rate_ = clocks_per_second;
    factor_ = to_uint32(std::floor(static_cast<double>(sample_rate_) / clocks_per_second * 65536.0 + 0.5));
    PLINKA_CHIP_REQUIRE("unmet requirement", "factor_ > 0", factor_ > 0);
    fill_ahead();  // a frame may now span more samples
}

void Band_Buffer::set_frame_limit(int32_t clocks)
{
    frame_limit_ = clocks > 0 ? clocks : 0;
    fill_ahead();
}

void Band_Buffer::fill_ahead()
{
    if (buffer_)
        fill_to(static_cast<uint32_t>(samples_avail()) + frame_reach());
}

uint32_t Band_Buffer::frame_reach() const
{
    if (frame_limit_ == 0)
        return allocation;
    if (clock_rate_ == 0)
        return 0;  // no frame runs before the rates are set
    const uint64_t samples = (static_cast<uint64_t>(frame_limit_) * factor_ >> time_bits) + 1;
    return static_cast<uint32_t>(std::min<uint64_t>(samples + impulse_spread + 64, allocation));
}

void Band_Buffer::fill_to(uint32_t cells)
{
    cells = std::min(cells, allocation);
    if (cells > filled_) {
        std::memset(buffer_ + filled_, cell_fill_byte, (cells - filled_) * sizeof *buffer_);
        filled_ = cells;
    }
}

void Band_Buffer::set_highpass(int32_t corner_hz)
{
    highpass_freq_ = corner_hz;
    if (corner_hz == 0) {
        highpass_shift_ = no_highpass_shift;
        return;
    }
    // 1 + floor(log2(0.124 * rate / corner)), kept in double until clamped so
    // that a nonsensical corner cannot make the conversion undefined.
    double shift = 1.0 + std::floor(1.442695041 * std::log(0.124 * sample_rate_ / corner_hz));
    if (!(shift > 0.0))
        shift = 0.0;
    if (shift > max_highpass_shift)
        shift = max_highpass_shift;
    highpass_shift_ = static_cast<int32_t>(shift);
}

void Band_Buffer::clear()
{
    time_offset_ = 0;
    integrator_ = 0;
    if (buffer_) {
        std::memset(buffer_, cell_fill_byte, filled_ * sizeof *buffer_);
        fill_to(frame_reach());
    }
}

void Band_Buffer::end_frame(int32_t t)
{
    time_offset_ += static_cast<uint32_t>(t) * factor_;
    PLINKA_CHIP_REQUIRE("Band_Buffer::end_frame(): Frame went past end of buffer",
                        "samples_avail() <= (long) buffer_size_", samples_avail() <= (long)buffer_size_);
    // The frame stayed within the cells filled for it; the next one gets its own.
    PLINKA_CHIP_REQUIRE("Band_Buffer::end_frame(): Frame longer than its limit",
                        "samples_avail() + impulse_spread <= filled_",
                        samples_avail() + impulse_spread <= static_cast<long>(filled_));
    fill_ahead();
}

long Band_Buffer::read_samples(short* dest, long max)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "buffer_", buffer_ != nullptr);
    const long count = samples_avail() < max ? samples_avail() : max;
    if (count <= 0)
        return 0;

    // Wrap-around arithmetic through uint32 keeps an integrator driven far out
    // of range defined; this system's amplitudes never get near that.
    const int shift = highpass_shift_;
    int32_t sum = integrator_;
    for (long i = 0; i < count; ++i) {
        int32_t s = sum >> integrator_bits;
        const uint32_t input = static_cast<uint32_t>(buffer_[i] - zero_level) << integrator_bits;
        sum = static_cast<int32_t>(static_cast<uint32_t>(sum) - static_cast<uint32_t>(sum >> shift) + input);
        if (static_cast<int16_t>(s) != s)
            s = 0x7FFF - (s >> 24);  // 32767 above the range, -32768 below
        dest[i] = static_cast<short>(s);
    }
    integrator_ = sum;
    remove_samples(count);
    return count;
}

#if defined(__SSE2__)
namespace {

// Four buffers read side by side, eight samples at a time: their cells are
// turned into one vector a sample, a lane a buffer, and the samples back into
// one vector a buffer, by unpacking, not by a lane insert or extract each.
struct Four_Lanes {
    const uint16_t* cells[4];
    short* dests[4];
    __m128i sum;
};

inline void integrate_eight(Four_Lanes& f, long i, __m128i leak)
{
    auto load = [&](int j) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(f.cells[j] + i)); };
    const __m128i a = load(0), b = load(1), c = load(2), d = load(3);
    const __m128i ab_low = _mm_unpacklo_epi16(a, b), ab_high = _mm_unpackhi_epi16(a, b);
    const __m128i cd_low = _mm_unpacklo_epi16(c, d), cd_high = _mm_unpackhi_epi16(c, d);
    // Samples 0 and 1, 2 and 3, ... as the four buffers' 16-bit cells each.
    const __m128i by_sample[4] = {_mm_unpacklo_epi32(ab_low, cd_low), _mm_unpackhi_epi32(ab_low, cd_low),
                                  _mm_unpacklo_epi32(ab_high, cd_high), _mm_unpackhi_epi32(ab_high, cd_high)};
    const __m128i none = _mm_setzero_si128();
    const __m128i zero = _mm_set1_epi32(Band_Buffer::zero_level);
    __m128i sum = f.sum;
    __m128i out[4];
    for (int k = 0; k < 4; ++k) {
        __m128i levels[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i cells = h ? _mm_unpackhi_epi16(by_sample[k], none) : _mm_unpacklo_epi16(by_sample[k], none);
            const __m128i input = _mm_slli_epi32(_mm_sub_epi32(cells, zero), Band_Buffer::integrator_bits);
            levels[h] = _mm_srai_epi32(sum, Band_Buffer::integrator_bits);
            sum = _mm_add_epi32(_mm_sub_epi32(sum, _mm_sra_epi32(sum, leak)), input);
        }
        // The saturating pack is the scalar loop's clamp to 16 bits.
        out[k] = _mm_packs_epi32(levels[0], levels[1]);
    }
    f.sum = sum;
    // Samples 0-1, 2-3, ... of all four buffers back to each buffer's eight.
    const __m128i t0 = _mm_unpacklo_epi16(out[0], out[1]), t1 = _mm_unpackhi_epi16(out[0], out[1]);
    const __m128i t2 = _mm_unpacklo_epi16(out[2], out[3]), t3 = _mm_unpackhi_epi16(out[2], out[3]);
    const __m128i u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);
    const __m128i u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);
    auto store = [&](int j, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(f.dests[j] + i), v); };
    store(0, _mm_unpacklo_epi64(u0, u2));
    store(1, _mm_unpackhi_epi64(u0, u2));
    store(2, _mm_unpacklo_epi64(u1, u3));
    store(3, _mm_unpackhi_epi64(u1, u3));
}

inline void integrate_one(Four_Lanes& f, long i, __m128i leak)
{
    __m128i cells = _mm_setzero_si128();
    cells = _mm_insert_epi16(cells, f.cells[0][i], 0);
    cells = _mm_insert_epi16(cells, f.cells[1][i], 2);
    cells = _mm_insert_epi16(cells, f.cells[2][i], 4);
    cells = _mm_insert_epi16(cells, f.cells[3][i], 6);
    const __m128i input =
        _mm_slli_epi32(_mm_sub_epi32(cells, _mm_set1_epi32(Band_Buffer::zero_level)), Band_Buffer::integrator_bits);
    const __m128i out = _mm_packs_epi32(_mm_srai_epi32(f.sum, Band_Buffer::integrator_bits), f.sum);
    f.sum = _mm_add_epi32(_mm_sub_epi32(f.sum, _mm_sra_epi32(f.sum, leak)), input);
    f.dests[0][i] = static_cast<short>(_mm_extract_epi16(out, 0));
    f.dests[1][i] = static_cast<short>(_mm_extract_epi16(out, 1));
    f.dests[2][i] = static_cast<short>(_mm_extract_epi16(out, 2));
    f.dests[3][i] = static_cast<short>(_mm_extract_epi16(out, 3));
}

}  // namespace
#endif

void Band_Buffer::read_samples(Band_Buffer* const* buffers, short* const* dests, int n, long count)
{
    // Buffers that can be read side by side, by fours, as many as run together.
    auto together = [&](int k, int m) {
        for (int j = 0; j < m; ++j) {
            const Band_Buffer& b = *buffers[k + j];
            if (!b.buffer_ || b.samples_avail() < count || b.highpass_shift_ != buffers[k]->highpass_shift_)
                return false;
        }
        return count > 0;
    };
    int k = 0;
    for (; k + 4 <= n;) {
        if (k + 8 <= n && together(k, 8)) {
            read_fours(buffers + k, dests + k, 2, count);
            k += 8;
        } else if (together(k, 4)) {
            read_fours(buffers + k, dests + k, 1, count);
            k += 4;
        } else {
            for (int j = 0; j < 4; ++j, ++k)
                buffers[k]->read_samples(dests[k], count);
        }
    }
    for (; k < n; ++k)
        buffers[k]->read_samples(dests[k], count);
}

void Band_Buffer::read_fours(Band_Buffer* const* buffers, short* const* dests, int fours, long count)
{
    // The integrator of read_samples, one lane per buffer.
    const int shift = buffers[0]->highpass_shift_;
#if defined(__SSE2__)
    // Wrapping 32-bit lanes as in the scalar loop. Two fours go through each
    // stretch of eight samples together, so that their chains of dependent
    // steps overlap.
    const __m128i leak = _mm_cvtsi32_si128(shift);
    Four_Lanes lanes[2];
    for (int f = 0; f < fours; ++f) {
        int32_t sums[4];
        for (int j = 0; j < 4; ++j) {
            lanes[f].cells[j] = buffers[4 * f + j]->buffer_;
            lanes[f].dests[j] = dests[4 * f + j];
            sums[j] = buffers[4 * f + j]->integrator_;
        }
        lanes[f].sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums));
    }
    long i = 0;
    if (fours == 2) {
        for (; i + 8 <= count; i += 8) {
            integrate_eight(lanes[0], i, leak);
            integrate_eight(lanes[1], i, leak);
        }
    } else {
        for (; i + 8 <= count; i += 8)
            integrate_eight(lanes[0], i, leak);
    }
    for (int f = 0; f < fours; ++f) {
        for (long r = i; r < count; ++r)
            integrate_one(lanes[f], r, leak);
        int32_t sums[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), lanes[f].sum);
        for (int j = 0; j < 4; ++j)
            buffers[4 * f + j]->integrator_ = sums[j];
    }
#else
    using Lanes = int32_t __attribute__((vector_size(16)));
    using Words = uint32_t __attribute__((vector_size(16)));
    for (int f = 0; f < fours; ++f) {
        Band_Buffer* const* four = buffers + 4 * f;
        short* const* to = dests + 4 * f;
        Lanes sum = {four[0]->integrator_, four[1]->integrator_, four[2]->integrator_, four[3]->integrator_};
        for (long i = 0; i < count; ++i) {
            Lanes s = sum >> integrator_bits;
            const Words cells = {four[0]->buffer_[i], four[1]->buffer_[i], four[2]->buffer_[i], four[3]->buffer_[i]};
            const Words input = (cells - zero_level) << integrator_bits;
            sum = reinterpret_cast<Lanes>(reinterpret_cast<Words>(sum) - reinterpret_cast<Words>(sum >> shift) + input);
            s = s < -32768 ? -32768 : s;
            s = s > 32767 ? 32767 : s;
            for (int j = 0; j < 4; ++j)
                to[j][i] = static_cast<short>(s[j]);
        }
        for (int j = 0; j < 4; ++j)
            four[j]->integrator_ = sum[j];
    }
#endif
    for (int j = 0; j < 4 * fours; ++j)
        buffers[j]->remove_samples(count);
}

void Band_Buffer::remove_samples(long count)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "buffer_", buffer_ != nullptr);
    if (count == 0)
        return;
    remove_silence(count);
    // The impulse spread plus one cell: a synthesiser may write a little past
    // the time given to end_frame, and that tail must move along.
    long remain = samples_avail() + impulse_spread + 1;
    // Only a completely full buffer would reach one cell past the array.
    if (count + remain > static_cast<long>(allocation))
        remain = static_cast<long>(allocation) - count;
    std::memmove(buffer_, buffer_ + count, remain * sizeof *buffer_);
    std::memset(buffer_ + remain, cell_fill_byte, count * sizeof *buffer_);
}

void Band_Buffer::remove_silence(long count)
{
    PLINKA_CHIP_REQUIRE("Band_Buffer::remove_silence(): Tried to remove more samples than available",
                        "count <= samples_avail()", count <= samples_avail());
    time_offset_ -= static_cast<uint32_t>(count) << time_bits;
}
