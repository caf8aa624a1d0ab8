// The sample buffer of one emulated chip. Synthesisers add band-limited
// impulses for level changes into its cells; reading integrates the cells with
// a leaky integrator (a one-pole high-pass) into 16-bit PCM.
//
// Times are chip clocks from the start of the current frame. Buffer positions
// are unsigned 16.16 fixed point: whole samples above, the fraction below.
// Cells are uint16 biased by `zero_level`; a synthesiser adds to two adjacent
// cells at once as one 32-bit word whose low half is the even cell.
#pragma once

#include <cstdint>

template <int Width> class Band_Synth;

class Band_Buffer {
public:
    static constexpr int time_bits = 16;
    static constexpr uint16_t zero_level = 0x7F7F;
    static constexpr int impulse_spread = 24;  // widest impulse a synthesiser adds
    // The longest buffer whose 16.16 positions fit in 32 bits, less the
    // impulse spread and a margin.
    static constexpr uint32_t buffer_length = 65536 - impulse_spread - 64;
    static constexpr uint32_t allocation = buffer_length + impulse_spread;
    static constexpr int integrator_bits = 15;
    // The leak of the integrator that keeps the output centred, in Hz.
    static constexpr int32_t default_highpass_hz = 16;

    Band_Buffer() = default;
    ~Band_Buffer();
    Band_Buffer(const Band_Buffer&) = delete;
    Band_Buffer& operator=(const Band_Buffer&) = delete;

    // Sets the output rate, allocates the cells at the first call and clears.
    // Answers null or "Out of memory". With new_cells, the only operations
    // that allocate.
    const char* set_sample_rate(int32_t samples_per_second);
    // Cells for adopt_cells, allocated wherever the caller may allocate; null
    // when memory is short.
    static uint16_t* new_cells();
    // Takes over cells from new_cells (null: none) unless it has cells
    // already, then sets up its rates again and clears. Never allocates.
    void adopt_cells(uint16_t* cells);
    void set_clock_rate(int32_t clocks_per_second);
    // The longest frame the owner will give end_frame, in clocks (0: any the
    // buffer holds). Cells past what the frames reach are then filled only as
    // the frames come to them, so a buffer costs memory for the samples it
    // plays, not for the 64K it could hold.
    void set_frame_limit(int32_t clocks);
    // 0: none, the integrator keeps every level it sums to.
    void set_highpass(int32_t corner_hz);
    void clear();

    // Buffer position of chip time `t` in the current frame.
    uint32_t to_buffer_time(int32_t t) const { return static_cast<uint32_t>(t) * factor_ + time_offset_; }
    // Closes the current frame at chip time `t`, making its samples readable.
    void end_frame(int32_t t);
    long samples_avail() const { return static_cast<long>(time_offset_ >> time_bits); }

    // Integrates up to `max` samples into `dest` and removes them; answers the
    // count. Reading in runs or one sample at a time gives the same samples.
    long read_samples(short* dest, long max);
    // Reads `count` samples from each of `n` buffers into `dests`, exactly as
    // read_samples would; each buffer must have them available. Buffers of
    // the same rate are integrated four or eight side by side, which overlaps
    // their integrators' chains of dependent steps.
    static void read_samples(Band_Buffer* const* buffers, short* const* dests, int n, long count);
    void remove_samples(long count);
    void remove_silence(long count);

    uint32_t factor() const { return factor_; }
    uint32_t time_offset() const { return time_offset_; }
    uint32_t buffer_size() const { return buffer_size_; }
    // Cells from the start that hold a level (the rest are not yet filled).
    uint32_t filled_cells() const { return filled_; }
    bool has_buffer() const { return buffer_ != nullptr; }
    const uint16_t* cells() const { return buffer_; }
    int32_t integrator() const { return integrator_; }
    int32_t highpass_shift() const { return highpass_shift_; }
    int32_t sample_rate() const { return sample_rate_; }
    int32_t clock_rate() const { return clock_rate_; }

private:
    // `fours` (1 or 2) groups of four buffers of the same rate and leak, side by side.
    static void read_fours(Band_Buffer* const* buffers, short* const* dests, int fours, long count);
    // Fills the cells up to `cells` (at most the allocation) that are not yet.
    void fill_to(uint32_t cells);
    // Cells a frame may reach past the samples available: the frame limit's
    // samples, the impulse spread and a margin; the whole buffer without a limit.
    uint32_t frame_reach() const;
    // Fills what the next frame may reach past the samples available.
    void fill_ahead();

    template <int Width> friend class Band_Synth;  // adds its impulses straight into the cells

    uint32_t factor_ = 0xFFFFFFFF;  // output samples per chip clock, 16.16
    uint32_t time_offset_ = 0;      // position of the frame start; whole part = samples ready
    uint16_t* buffer_ = nullptr;
    uint32_t buffer_size_ = 0;
    int32_t integrator_ = 0;  // 15 fraction bits
    int32_t highpass_shift_ = 0;
    int32_t sample_rate_ = 44100;
    int32_t clock_rate_ = 0;  // 0: not set yet
    int32_t highpass_freq_ = default_highpass_hz;
    int32_t frame_limit_ = 0;  // clocks; 0: none
    uint32_t filled_ = 0;      // cells [0, filled_) hold levels; beyond, nothing was written
};
