// The delta-modulation channel as a voice plays samples: each VoiceChip reads
// its own sample memory at $C000; the level walks +2 / -2 per bit, lowest bit
// first, at the rate's clocks per bit of the NTSC or the PAL chip; a looped
// sample repeats, a one-shot ends with its enable bit.
#include "ChipTestSupport.h"
#include "chip/VoiceChip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

constexpr int ntsc_periods[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};
constexpr int pal_periods[16] = {398, 354, 316, 298, 276, 236, 210, 198, 176, 148, 132, 118, 98, 78, 66, 50};

struct Bit_Event {
    int64_t clock;  // from the start of the first frame
    int dac;
};

// The level after each of the next `count` timer events of the channel, and
// when each came, across as many frames as they take.
std::vector<Bit_Event> bit_events(VoiceChip& voice, size_t count, int64_t& frame_start)
{
    std::vector<Bit_Event> events;
    while (events.size() < count) {
        const Dmc_Osc& dmc = voice.chip.dmc();
        const int32_t next = voice.chip.last_time() + dmc.delay;
        if (next >= (voice.frame_length ^ 1)) {  // end_frame closes the frame at the other length
            play_frame(voice);
            frame_start += voice.frame_length;
            continue;
        }
        voice.chip.run_until(next + 1);
        events.push_back({frame_start + next, dmc.dac});
    }
    return events;
}

// What the console's rules give: lowest bit first, 1 up 2, 0 down 2, a move
// that would leave 0..127 skipped.
std::vector<int> level_walk(const std::vector<uint8_t>& bytes, int start)
{
    std::vector<int> walk;
    int dac = start;
    for (uint8_t byte : bytes)
        for (int bit = 0; bit < 8; ++bit) {
            const int move = (byte >> bit & 1) ? 2 : -2;
            if (dac + move >= 0 && dac + move <= 127)
                dac += move;
            walk.push_back(dac);
        }
    return walk;
}

void start_sample(VoiceChip& voice, const std::vector<uint8_t>& bytes, int reg0, int start_level)
{
    voice.load_sample(bytes.data(), static_cast<int32_t>(bytes.size()));
    for (Reg_Write w : {Reg_Write{0x4010, reg0}, Reg_Write{0x4011, start_level}, Reg_Write{0x4012, 0},
                        Reg_Write{0x4013, static_cast<int>(bytes.size() - 1) / 16}, Reg_Write{0x4015, 0x10}})
        voice.chip.write_register(voice.write_time += 4, w.addr, w.data);
}

// 17 bytes (L = 1) that climb into the top, fall through the bottom and wander.
const std::vector<uint8_t> pattern = {0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x5A, 0x3C, 0xF0, 0x81, 0x7E, 0x96};

TEST(DeltaModulationSample, LevelsFollowTheBitsAtEachRateAndStandard)
{
    for (const bool pal : {false, true}) {
        for (const int rate : {0, 6, 15}) {
            for (const int start : {120, 64, 3}) {
                VoiceChip voice;
                ASSERT_EQ(voice.setup(pal ? pal_clock : ntsc_clock, 48000, pal ? 50 : 60), nullptr);
                start_sample(voice, pattern, rate, start);
                const int period = (pal ? pal_periods : ntsc_periods)[rate];
                EXPECT_EQ(voice.chip.dmc().period, period);
                EXPECT_EQ(voice.chip.dmc().dac, start);

                // The silent byte under way since the reset ends first.
                const int idle = voice.chip.dmc().bits_left;
                int64_t frame_start = 0;
                const std::vector<int> walk = level_walk(pattern, start);
                const std::vector<Bit_Event> events = bit_events(voice, idle + walk.size(), frame_start);
                for (size_t i = 0; i < events.size(); ++i) {
                    const int expected = i < static_cast<size_t>(idle) ? start : walk[i - idle];
                    ASSERT_EQ(events[i].dac, expected) << pal << " rate " << rate << " start " << start << " bit " << i;
                    if (i > 0) {
                        ASSERT_EQ(events[i].clock - events[i - 1].clock, period) << pal << " " << rate << " " << i;
                    }
                }
            }
        }
    }
}

TEST(DeltaModulationSample, EveryRateIndexTakesItsStandardsPeriod)
{
    for (const bool pal : {false, true}) {
        VoiceChip voice;
        ASSERT_EQ(voice.setup(pal ? pal_clock : ntsc_clock, 44100, pal ? 50 : 60), nullptr);
        for (int rate = 0; rate < 16; ++rate) {
            voice.chip.write_register(voice.write_time += 4, 0x4010, rate | 0x40);
            EXPECT_EQ(voice.chip.dmc().period, (pal ? pal_periods : ntsc_periods)[rate]) << pal << " " << rate;
        }
        play_frame(voice);
    }
    // A change of standard keeps the rate index and takes its new period.
    VoiceChip voice;
    ASSERT_EQ(voice.setup(pal_clock, 44100, 50), nullptr);
    voice.chip.write_register(voice.write_time += 4, 0x4010, 0x4E);
    EXPECT_EQ(voice.chip.dmc().period, 66);
    ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    EXPECT_EQ(voice.chip.dmc().period, 72);
    voice.chip.reset();
    EXPECT_EQ(voice.chip.dmc().period, 428);  // the reset's rate 0, still NTSC's
}

TEST(DeltaModulationSample, LoopedSampleRepeatsEveryLengthInBits)
{
    // Net zero drift, so that the walk never meets a bound and repeats exactly.
    std::vector<uint8_t> loop(17);
    for (size_t i = 0; i < loop.size(); ++i)
        loop[i] = i % 2 ? 0x0F : 0x3C;
    loop[16] = 0x33;
    VoiceChip voice;
    ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    start_sample(voice, loop, 0x40 | 9, 64);  // loop, 160 clocks a bit
    const int idle = voice.chip.dmc().bits_left;
    int64_t frame_start = 0;
    const size_t bits = 17 * 8;
    const std::vector<Bit_Event> events = bit_events(voice, idle + 4 * bits, frame_start);
    const std::vector<int> walk = level_walk(loop, 64);
    for (size_t i = idle; i < events.size(); ++i) {
        ASSERT_EQ(events[i].dac, walk[(i - idle) % bits]) << i;
        if (i + bits < events.size()) {
            ASSERT_EQ(events[i + bits].clock - events[i].clock, static_cast<int64_t>(bits) * 160) << i;
        }
    }
    EXPECT_EQ(voice.chip.channel_enables() & 0x10, 0x10);
    EXPECT_TRUE(voice.sample_playing());
}

TEST(DeltaModulationSample, OneShotClearsItsEnableBitAndHoldsItsLastLevel)
{
    VoiceChip voice;
    ASSERT_EQ(voice.setup(ntsc_clock, 44100, 60), nullptr);
    const std::vector<uint8_t> one = {0xFF};  // L = 0: one byte
    start_sample(voice, one, 15, 10);
    EXPECT_TRUE(voice.sample_playing());
    // The only byte is fetched at the start: the enable bit clears at once,
    // but its bits still play.
    EXPECT_EQ(voice.chip.channel_enables() & 0x10, 0);
    const int idle = voice.chip.dmc().bits_left;
    int64_t frame_start = 0;
    const std::vector<Bit_Event> events = bit_events(voice, idle + 8, frame_start);
    EXPECT_EQ(events.back().dac, 26);
    EXPECT_FALSE(voice.sample_playing());
    play_frame(voice);
    play_frame(voice);
    EXPECT_EQ(voice.chip.dmc().dac, 26);
    EXPECT_FALSE(voice.sample_playing());
}

TEST(DeltaModulationSample, MemoryIsTheVoicesOwnAndBounded)
{
    VoiceChip a, b;
    ASSERT_EQ(a.setup(ntsc_clock, 44100, 60), nullptr);
    ASSERT_EQ(b.setup(ntsc_clock, 44100, 60), nullptr);
    // More than the memory holds: only its 4081 bytes are taken.
    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7 + 1);
    a.load_sample(big.data(), static_cast<int32_t>(big.size()));
    EXPECT_TRUE(std::equal(a.sample_memory, a.sample_memory + VoiceChip::sample_memory_size, big.begin()));
    for (uint8_t byte : b.sample_memory)
        ASSERT_EQ(byte, 0x55);
    a.load_sample(nullptr, 0);
    a.load_sample(big.data(), -5);
    EXPECT_EQ(a.sample_memory[0], 1);

    // A full-length sample: every byte is read from $C000 on, the last one too.
    start_sample(a, std::vector<uint8_t>(big.begin(), big.begin() + 4081), 15, 64);
    while (a.sample_playing())
        play_frame(a);
    EXPECT_EQ(a.chip.dmc().sample_byte, big[4080]);
}

}  // namespace
