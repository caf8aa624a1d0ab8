// VoiceChip: set-up at both clock standards, the alternating frame lengths,
// the sample count per frame, the sample memory's filler, and play as the
// engine drives it: identical reads in runs or singly, full-volume swings.
#include "ChipTestSupport.h"
#include "chip/VoiceChip.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

TEST(VoiceChipSetup, NtscAt44100AnswersNullWith735SampleFrames)
{
    VoiceChip voice;
    EXPECT_EQ(voice.frame_length, 29780);
    EXPECT_EQ(voice.write_time, 0);
    EXPECT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    EXPECT_EQ(voice.buffer.factor(), 1615u);
    EXPECT_EQ(voice.buffer.highpass_shift(), 9);
    EXPECT_EQ(voice.frame_length, 29829);

    std::vector<int32_t> lengths;
    uint64_t clocks = 0, samples = 0;
    for (int frame = 0; frame < 600; ++frame) {
        voice.write_time = 12;
        const std::vector<short> out = play_frame(voice);
        EXPECT_EQ(voice.write_time, 0);
        lengths.push_back(voice.frame_length);
        clocks += static_cast<uint64_t>(voice.frame_length);
        samples += out.size();
        // Fractions carry over, so the total never drifts from clocks * factor.
        ASSERT_EQ(samples, clocks * 1615 >> 16) << frame;
    }
    for (size_t i = 0; i < lengths.size(); ++i)
        ASSERT_EQ(lengths[i], i % 2 ? 29829 : 29828) << i;
    EXPECT_EQ(samples / 600, 735u);
}

// Set-up runs on the audio thread: a chip whose cells could not be allocated
// at construction answers "Out of memory" without trying again, until it is
// given cells allocated elsewhere.
TEST(VoiceChipSetup, WithoutCellsSetupAllocatesNothingUntilCellsAreAdopted)
{
    chip_test_refuse_allocations = true;
    VoiceChip voice;
    chip_test_refuse_allocations = false;
    EXPECT_FALSE(voice.buffer.has_buffer());
    const long allocations = chip_test_allocations;
    EXPECT_STREQ(voice.setup(ntsc_clock, 48000, 60), "Out of memory");
    EXPECT_EQ(chip_test_allocations, allocations);
    voice.buffer.adopt_cells(Band_Buffer::new_cells());
    ASSERT_EQ(voice.setup(ntsc_clock, 48000, 60), nullptr);
    EXPECT_EQ(voice.buffer.factor(), 1758u);
    EXPECT_EQ(play_frame(voice).size(), 800u);
}

TEST(VoiceChipSetup, PalAlternates33253And33252)
{
    VoiceChip voice;
    ASSERT_EQ(voice.setup(pal_clock, 48000, 50), nullptr);
    EXPECT_EQ(voice.buffer.factor(), 1892u);
    play_frame(voice);
    EXPECT_EQ(voice.frame_length, 33253);
    play_frame(voice);
    EXPECT_EQ(voice.frame_length, 33252);
}

TEST(VoiceChipSetup, SetupAgainClearsTheBufferButNotTheChip)
{
    VoiceChip voice;
    ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    play_frame(voice, {{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 0x40}, {0x4003, 0x08}});
    voice.chip.write_register(voice.write_time += 4, 0x4002, 0x41);
    const int phase = voice.chip.pulse(0).phase;
    const long allocations = chip_test_allocations;
    ASSERT_EQ(voice.setup(pal_clock, 96000, 50), nullptr);
    EXPECT_EQ(chip_test_allocations, allocations);
    EXPECT_EQ(voice.write_time, 4);
    EXPECT_EQ(voice.chip.pulse(0).phase, phase);
    EXPECT_EQ(voice.chip.pulse(0).length_counter, 254);
    EXPECT_EQ(voice.chip.pulse(0).regs[2], 0x41);
    EXPECT_EQ(voice.buffer.samples_avail(), 0);
    EXPECT_EQ(voice.buffer.factor(), 3784u);
    EXPECT_EQ(voice.frame_length, 33252);
}

TEST(VoiceChipSetup, DefaultReaderFeeds0x55ToDeltaModulation)
{
    VoiceChip voice;
    ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    play_frame(voice, {{0x4010, 0x0F}, {0x4011, 64}, {0x4013, 0x10}, {0x4015, 0x10}});
    EXPECT_LT(voice.chip.dmc().length_counter, 200);  // bytes were read
    // 0x55 moves up and down by turns, lowest bit first.
    EXPECT_TRUE(voice.chip.dmc().dac == 64 || voice.chip.dmc().dac == 66) << voice.chip.dmc().dac;
    EXPECT_EQ(voice.chip.dmc().sample_byte, 0x55);
}

// A random but engine-like part: per frame a few writes to one channel.
std::vector<Reg_Write> randomFrame(std::mt19937& random)
{
    std::uniform_int_distribution<int> byte(0, 255);
    const unsigned bases[3] = {0x4000, 0x4008, 0x400C};
    const unsigned base = bases[std::uniform_int_distribution<int>(0, 2)(random)];
    std::vector<Reg_Write> writes = {{0x4015, byte(random) & 0x0F}};
    for (unsigned reg = 0; reg < 4; ++reg) {
        if (byte(random) < 160)
            writes.push_back({base + reg, byte(random)});
    }
    return writes;
}

TEST(VoiceChipPlay, RunsAndSingleSamplesReadIdentically)
{
    VoiceChip runs, singles;
    ASSERT_EQ(runs.setup(ntsc_clock, 44100, 60), nullptr);
    ASSERT_EQ(singles.setup(ntsc_clock, 44100, 60), nullptr);
    std::mt19937 random(2024);
    for (int frame = 0; frame < 300; ++frame) {
        const std::vector<Reg_Write> writes = randomFrame(random);
        for (VoiceChip* voice : {&runs, &singles}) {
            for (const Reg_Write& w : writes)
                voice->chip.write_register(voice->write_time += 4, w.addr, w.data);
            voice->end_frame();
        }
        std::vector<short> a(static_cast<size_t>(runs.buffer.samples_avail()));
        ASSERT_EQ(runs.buffer.read_samples(a.data(), 10000), static_cast<long>(a.size()));
        std::vector<short> b;
        short one;
        while (singles.buffer.read_samples(&one, 1) == 1)
            b.push_back(one);
        ASSERT_EQ(a, b) << frame;
    }
}

TEST(VoiceChipPlay, FullVolumeLevelsIntegrateToTheirSwings)
{
    // Every channel's cells, integrated without leak, hold its unit times its
    // current level; at level 15 that is the channel's full swing.
    const struct {
        std::vector<Reg_Write> writes;
        int osc;
        int64_t swing;
    } channels[] = {
        {{{0x4015, 0x01}, {0x4000, 0x3F}, {0x4001, 0x08}, {0x4002, 0xFF}, {0x4003, 0x0F}}, 0, 7395},
        {{{0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, 40}, {0x400B, 0x08}}, 2, 8370},
        {{{0x4015, 0x08}, {0x400C, 0x3F}, {0x400E, 0x00}, {0x400F, 0x08}}, 3, 4860},
    };
    for (const auto& channel : channels) {
        VoiceChip voice;
        ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
        for (const Reg_Write& w : channel.writes)
            voice.chip.write_register(voice.write_time += 4, w.addr, w.data);
        const auto level = [&voice, &channel] {
            return channel.osc == 0   ? voice.chip.pulse(0).last_level
                   : channel.osc == 2 ? voice.chip.triangle().last_level
                                      : voice.chip.noise().last_level;
        };
        int32_t time = voice.write_time;
        while (level() != 15 && time < 20000)
            voice.chip.run_until(time += 4);
        ASSERT_EQ(level(), 15) << channel.osc;
        EXPECT_EQ(cell_sum(voice.buffer), channel.swing) << channel.osc;
    }
}

}  // namespace
