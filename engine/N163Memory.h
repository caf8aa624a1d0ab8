// Where the console's 163 keeps its channels' waves. With N channels on,
// their registers take the top 8 N bytes of the 128-byte sound RAM and the
// waves share the rest. A channel keeps its region while its wave stays;
// a channel whose wave another channel already holds reads that one; a new
// wave takes the first free bytes. When no bytes are free the note plays
// without a wave (silent) and the miss is counted: the notes that came
// first keep theirs. Audio thread only: fixed arrays, bounded loops.
#pragma once

#include <cstdint>

class N163Memory {
public:
    static constexpr int32_t ram_bytes = 128;
    static constexpr int32_t max_channels = 8;

    // The channels on (1..8); regions that the registers now cover go.
    void set_channels(int32_t channels)
    {
        channels_ = channels < 1 ? 1 : channels > max_channels ? max_channels : channels;
        for (Region& region : regions_)
            if (region.start >= 0 && region.start + region.bytes > wave_bytes())
                region = Region{};
    }
    int32_t channels() const { return channels_; }
    int32_t wave_bytes() const { return ram_bytes - 8 * channels_; }
    // Frees the regions of the channels whose bit in `busy` is clear.
    void keep_only(uint32_t busy)
    {
        for (int32_t c = 0; c < max_channels; ++c)
            if (!(busy & (1u << c)))
                regions_[c] = Region{};
    }
    // The first sample of a region of `channel` (0..7) for `length` samples
    // (a multiple of 4), whose bytes already hold `wave` when another
    // channel's did or this channel's did; -1 when there is no room.
    // `ram(byte)` reads the sound RAM.
    template <class Ram> int32_t place(int32_t channel, const uint8_t* wave, int32_t length, Ram&& ram)
    {
        const int32_t bytes = length / 2;
        if (channel < 0 || channel >= max_channels || bytes < 1 || bytes > wave_bytes())
            return -1;
        if (regions_[channel].bytes == bytes && holds(regions_[channel].start, wave, bytes, ram))
            return 2 * regions_[channel].start;
        regions_[channel] = Region{};
        for (int32_t other = 0; other < max_channels; ++other) {
            if (regions_[other].bytes == bytes && holds(regions_[other].start, wave, bytes, ram)) {
                regions_[channel] = regions_[other];
                return 2 * regions_[channel].start;
            }
        }
        for (int32_t start = 0; start + bytes <= wave_bytes(); ++start) {
            int32_t clash = -1;
            for (int32_t other = 0; other < max_channels && clash < 0; ++other) {
                const Region& r = regions_[other];
                if (r.start >= 0 && r.start < start + bytes && start < r.start + r.bytes)
                    clash = r.start + r.bytes;
            }
            if (clash < 0) {
                regions_[channel] = Region{start, bytes};
                return 2 * start;
            }
            start = clash - 1;  // past the region in the way
        }
        return -1;
    }
    // A note of `program` found no room: counted, and the program kept for
    // the message.
    void miss(int32_t program)
    {
        ++misses_;
        missed_program_ = program;
    }
    uint32_t misses() const { return misses_; }
    int32_t missed_program() const { return missed_program_; }
    void reset()
    {
        for (Region& region : regions_)
            region = Region{};
    }

private:
    struct Region {
        int32_t start = -1;  // in bytes; -1: none
        int32_t bytes = 0;
    };

    template <class Ram> static bool holds(int32_t start, const uint8_t* wave, int32_t bytes, Ram& ram)
    {
        if (start < 0)
            return false;
        for (int32_t b = 0; b < bytes; ++b)
            if (ram(start + b) != (wave[2 * b] | wave[2 * b + 1] << 4))
                return false;
        return true;
    }

    Region regions_[max_channels];
    int32_t channels_ = 8;
    uint32_t misses_ = 0;
    int32_t missed_program_ = -1;
};
