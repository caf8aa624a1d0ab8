// Shared by the chip's tests: failed requirements as exceptions, the engine's
// way of playing a VoiceChip, and measurements of rendered audio.
#pragma once

#include "chip/Chip_Require.h"
#include "chip/VoiceChip.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

constexpr long ntsc_clock = 1789773;
constexpr long pal_clock = 1662607;

struct Chip_Requirement_Failure : std::logic_error {
    Chip_Requirement_Failure(const char* message, const char* condition)
        : std::logic_error(std::string(message) + " (" + condition + ")"), text(message), expression(condition)
    {
    }
    std::string text;
    std::string expression;
};

inline void throw_chip_requirement(const char* text, const char* expression)
{
    throw Chip_Requirement_Failure(text, expression);
}

// Installed before any test runs, so that a failed check fails its test
// instead of aborting the whole program.
inline const Chip_Require_Handler chip_default_require_handler = set_chip_require_handler(throw_chip_requirement);

// Expects `statement` to fail the requirement with exactly this text and expression.
#define EXPECT_REQUIREMENT(statement, text_, expression_)                                                              \
    do {                                                                                                               \
        try {                                                                                                          \
            statement;                                                                                                 \
            ADD_FAILURE() << "no requirement failed: " #statement;                                                     \
        } catch (const Chip_Requirement_Failure& failure) {                                                            \
            EXPECT_EQ(failure.text, text_);                                                                            \
            EXPECT_EQ(failure.expression, expression_);                                                                \
        }                                                                                                              \
    } while (0)

// Counted and refusable by the replaced allocation functions in
// chip_band_buffer_test.cpp.
extern std::atomic<long> chip_test_allocations;
extern std::atomic<bool> chip_test_refuse_allocations;

struct Reg_Write {
    unsigned addr;
    int data;
};
// A register write at a clock counted from the start of a run of frames.
struct Clock_Write {
    int64_t clock;
    unsigned addr;
    int data;
};

// A level's changes: (clock, level from then on).
using Level_Changes = std::vector<std::pair<int64_t, int>>;

// Of several levels at one clock the last holds; then only changes count.
inline void note_change(Level_Changes& changes, int64_t clock, int level)
{
    if (!changes.empty() && changes.back().first == clock)
        changes.pop_back();
    if (level != (changes.empty() ? 0 : changes.back().second))
        changes.emplace_back(clock, level);
}

// Ends the buffer's frame of `length` clocks and takes all its samples.
inline std::vector<short> frame_samples(Band_Buffer& buffer, int32_t length)
{
    buffer.end_frame(length);
    std::vector<short> samples(static_cast<size_t>(buffer.samples_avail()));
    buffer.read_samples(samples.data(), buffer.samples_avail());
    return samples;
}

// One frame as the engine plays it: writes four clocks apart, end_frame, then
// every sample the frame made.
inline std::vector<short> play_frame(VoiceChip& voice, std::initializer_list<Reg_Write> writes = {})
{
    for (const Reg_Write& w : writes)
        voice.chip.write_register(voice.write_time += 4, w.addr, w.data);
    voice.end_frame();
    std::vector<short> samples(static_cast<size_t>(voice.buffer.samples_avail()));
    EXPECT_EQ(voice.buffer.read_samples(samples.data(), static_cast<long>(samples.size())),
              static_cast<long>(samples.size()));
    return samples;
}

// `seconds` of output: the writes in the first frame, then frames alone.
inline std::vector<short> render(VoiceChip& voice, std::initializer_list<Reg_Write> writes, double seconds,
                                 int frame_rate)
{
    std::vector<short> out;
    const int frames = static_cast<int>(seconds * frame_rate + 0.5);
    for (int f = 0; f < frames; ++f) {
        const std::vector<short> frame = f == 0 ? play_frame(voice, writes) : play_frame(voice);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

// Positions, in samples, where the signal rises through zero, each placed by
// linear interpolation. A crossing counts only after the signal has been below
// -hysteresis, so that ripple near zero cannot add crossings.
inline std::vector<double> rising_crossings(const std::vector<short>& s, size_t begin, size_t end, int hysteresis)
{
    std::vector<double> crossings;
    bool armed = false;
    for (size_t i = begin + 1; i < end; ++i) {
        if (s[i - 1] < -hysteresis)
            armed = true;
        if (armed && s[i - 1] < 0 && s[i] >= 0) {
            crossings.push_back(static_cast<double>(i - 1) + s[i - 1] / static_cast<double>(s[i - 1] - s[i]));
            armed = false;
        }
    }
    return crossings;
}

// Sum of the cells less the zero level: the level all impulses added so far
// integrate to, with no leak. The end defaults to the cells filled so far.
inline int64_t cell_sum(const Band_Buffer& buffer, size_t begin = 0, size_t end = 0)
{
    if (end == 0)
        end = buffer.filled_cells();
    int64_t sum = 0;
    for (size_t i = begin; i < end; ++i)
        sum += buffer.cells()[i] - Band_Buffer::zero_level;
    return sum;
}

// The cells a buffer has filled so far: where the frames can have reached.
inline std::vector<uint16_t> filled_cells(const Band_Buffer& buffer)
{
    return {buffer.cells(), buffer.cells() + buffer.filled_cells()};
}
