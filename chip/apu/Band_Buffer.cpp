#include "Band_Buffer.h"

#include "Chip_Require.h"

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
    set_sample_rate(sample_rate_);
}

const char* Band_Buffer::set_sample_rate(int32_t samples_per_second)
{
    if (buffer_size_ != buffer_length) {
        delete[] buffer_;
        buffer_ = nullptr;
        buffer_size_ = 0;
        time_offset_ = 0;
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
    if (buffer_)
        std::memset(buffer_, cell_fill_byte, (buffer_size_ + impulse_spread) * sizeof *buffer_);
}

void Band_Buffer::end_frame(int32_t t)
{
    time_offset_ += static_cast<uint32_t>(t) * factor_;
    PLINKA_CHIP_REQUIRE("Band_Buffer::end_frame(): Frame went past end of buffer",
                        "samples_avail() <= (long) buffer_size_", samples_avail() <= (long)buffer_size_);
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

void Band_Buffer::read_samples(Band_Buffer* const* buffers, short* const* dests, int n, long count)
{
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        bool together = true;
        for (int j = 0; j < 4; ++j) {
            const Band_Buffer& b = *buffers[k + j];
            together =
                together && b.buffer_ && b.samples_avail() >= count && b.highpass_shift_ == buffers[k]->highpass_shift_;
        }
        if (together && count > 0) {
            read_four(buffers + k, dests + k, count);
        } else {
            for (int j = 0; j < 4; ++j)
                buffers[k + j]->read_samples(dests[k + j], count);
        }
    }
    for (; k < n; ++k)
        buffers[k]->read_samples(dests[k], count);
}

void Band_Buffer::read_four(Band_Buffer* const* buffers, short* const* dests, long count)
{
    // The integrator of read_samples, one lane per buffer.
    const uint16_t* const c0 = buffers[0]->buffer_;
    const uint16_t* const c1 = buffers[1]->buffer_;
    const uint16_t* const c2 = buffers[2]->buffer_;
    const uint16_t* const c3 = buffers[3]->buffer_;
    short* const d0 = dests[0];
    short* const d1 = dests[1];
    short* const d2 = dests[2];
    short* const d3 = dests[3];
    const int shift = buffers[0]->highpass_shift_;
    int32_t sums[4] = {buffers[0]->integrator_, buffers[1]->integrator_, buffers[2]->integrator_,
                       buffers[3]->integrator_};
#if defined(__SSE2__)
    // Wrapping 32-bit lanes as in the scalar loop; the saturating pack is
    // its clamp to 16 bits.
    __m128i sum = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums));
    const __m128i leak = _mm_cvtsi32_si128(shift);
    const __m128i zero = _mm_set1_epi32(zero_level);
    for (long i = 0; i < count; ++i) {
        __m128i cells = _mm_setzero_si128();
        cells = _mm_insert_epi16(cells, c0[i], 0);
        cells = _mm_insert_epi16(cells, c1[i], 2);
        cells = _mm_insert_epi16(cells, c2[i], 4);
        cells = _mm_insert_epi16(cells, c3[i], 6);
        const __m128i input = _mm_slli_epi32(_mm_sub_epi32(cells, zero), integrator_bits);
        const __m128i out = _mm_packs_epi32(_mm_srai_epi32(sum, integrator_bits), sum);
        sum = _mm_add_epi32(_mm_sub_epi32(sum, _mm_sra_epi32(sum, leak)), input);
        d0[i] = static_cast<short>(_mm_extract_epi16(out, 0));
        d1[i] = static_cast<short>(_mm_extract_epi16(out, 1));
        d2[i] = static_cast<short>(_mm_extract_epi16(out, 2));
        d3[i] = static_cast<short>(_mm_extract_epi16(out, 3));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), sum);
#else
    using Lanes = int32_t __attribute__((vector_size(16)));
    using Words = uint32_t __attribute__((vector_size(16)));
    Lanes sum = {sums[0], sums[1], sums[2], sums[3]};
    for (long i = 0; i < count; ++i) {
        Lanes s = sum >> integrator_bits;
        const Words cells = {c0[i], c1[i], c2[i], c3[i]};
        const Words input = (cells - zero_level) << integrator_bits;
        sum = reinterpret_cast<Lanes>(reinterpret_cast<Words>(sum) - reinterpret_cast<Words>(sum >> shift) + input);
        s = s < -32768 ? -32768 : s;
        s = s > 32767 ? 32767 : s;
        d0[i] = static_cast<short>(s[0]);
        d1[i] = static_cast<short>(s[1]);
        d2[i] = static_cast<short>(s[2]);
        d3[i] = static_cast<short>(s[3]);
    }
    for (int j = 0; j < 4; ++j)
        sums[j] = sum[j];
#endif
    for (int j = 0; j < 4; ++j) {
        buffers[j]->integrator_ = sums[j];
        buffers[j]->remove_samples(count);
    }
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
