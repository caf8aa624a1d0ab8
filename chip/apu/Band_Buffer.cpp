#include "Band_Buffer.h"

#include "Chip_Require.h"

#include <cmath>
#include <cstring>
#include <new>

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
