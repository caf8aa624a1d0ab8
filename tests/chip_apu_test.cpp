// Chip_Apu: the state after reset, the frame sequencer's timing in both
// modes, frame ends, the register interface, and every requirement.
#include "ChipTestSupport.h"
#include "chip/apu/Chip_Apu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

// Reaches interrupt times that no register sequence can produce, to prove
// that end_frame checks them.
struct Chip_Apu_Test_Access {
    static void set_next_irq(Chip_Apu& apu, int32_t time) { apu.next_irq_ = time; }
    static void set_dmc_next_irq(Chip_Apu& apu, int32_t time) { apu.dmc_.next_irq = time; }
};

namespace {

struct Step {
    int32_t time;
    int32_t step;
    bool operator==(const Step&) const = default;
};

// The sequencer steps up to `until`, found clock by clock: a step due at t
// acts when the chip runs past t.
std::vector<Step> sequencerSteps(Chip_Apu& apu, int32_t until)
{
    std::vector<Step> steps;
    for (int32_t t = apu.last_time(); t < until; ++t) {
        const int32_t step = apu.frame_step();
        apu.run_until(t + 1);
        if (apu.frame_step() != step)
            steps.push_back({t, step});
    }
    return steps;
}

class ChipApu : public ::testing::Test {
protected:
    void SetUp() override
    {
        buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        ASSERT_EQ(buffer.set_sample_rate(44100), nullptr);
        apu.set_output(&buffer);
    }

    Band_Buffer buffer;
    Chip_Apu apu;
};

TEST_F(ChipApu, ResetLeavesFourStepModeAtStepOneWithEveryRegisterWritten)
{
    EXPECT_EQ(apu.frame_step(), 1);
    EXPECT_EQ(apu.frame_countdown(), 7459);
    EXPECT_EQ(apu.next_irq(), 29833);
    EXPECT_EQ(apu.earliest_irq(), 29833);
    EXPECT_EQ(apu.last_time(), 0);
    EXPECT_EQ(apu.channel_enables(), 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(apu.pulse(i).regs[0], 0x10);  // constant volume 0
        EXPECT_EQ(apu.pulse(i).phase, 7);
        EXPECT_EQ(apu.pulse(i).length_counter, 0);
        for (bool written : apu.pulse(i).written)
            EXPECT_TRUE(written);
    }
    EXPECT_EQ(apu.triangle().regs[0], 0x10);
    EXPECT_EQ(apu.triangle().phase, 16);
    EXPECT_EQ(apu.noise().shift_reg, 0x4000);
    EXPECT_EQ(apu.dmc().period, 428);
    EXPECT_EQ(apu.dmc().dac, 0);
    EXPECT_EQ(apu.dmc().next_irq, Chip_Apu::no_irq);
}

TEST_F(ChipApu, FourStepSequencerStepsAt7459ThenEvery7456Or7458)
{
    const std::vector<Step> expected = {{7459, 1}, {14915, 2}, {22373, 3}, {29831, 0}, {37289, 1}, {44745, 2}};
    EXPECT_EQ(sequencerSteps(apu, 50000), expected);
    EXPECT_EQ(apu.next_irq(), 29831 + 29833);  // set at step 0
    EXPECT_TRUE(apu.frame_irq_flag());
}

TEST_F(ChipApu, LengthsCountAtStepsZeroAndTwoEnvelopesAtEveryStep)
{
    apu.write_register(10, 0x4015, 0x01);
    apu.write_register(20, 0x4000, 0x0F);  // envelope period 15, length counting
    apu.write_register(30, 0x4003, 0x08);  // length 254
    apu.run_until(7460);
    EXPECT_EQ(apu.pulse(0).env_volume, 15);  // restarted at step 1
    EXPECT_EQ(apu.pulse(0).length_counter, 254);
    apu.run_until(14915);
    EXPECT_EQ(apu.pulse(0).length_counter, 254);
    apu.run_until(14916);
    EXPECT_EQ(apu.pulse(0).length_counter, 253);
    apu.run_until(29832);
    EXPECT_EQ(apu.pulse(0).length_counter, 252);
}

TEST_F(ChipApu, FiveStepModeClocksWithinOneClockThenEvery37282)
{
    apu.write_register(8, 0x4015, 0x01);
    apu.write_register(12, 0x4003, 0x08);
    // At 1000 the countdown is 6459: odd, so step 0 comes one clock later.
    apu.write_register(1000, 0x4017, 0x80);
    EXPECT_EQ(apu.next_irq(), Chip_Apu::no_irq);
    const std::vector<Step> expected = {{1001, 0}, {8459, 1}, {15915, 2}, {23373, 3}, {38283, 0}, {45741, 1}};
    EXPECT_EQ(sequencerSteps(apu, 46000), expected);
    EXPECT_EQ(expected[2].time - expected[0].time, 14914);
    EXPECT_EQ(expected[4].time - expected[0].time, 37282);
    EXPECT_EQ(apu.pulse(0).length_counter, 254 - 3);  // steps 0, 2, 0
    EXPECT_EQ(apu.next_irq(), Chip_Apu::no_irq);
    EXPECT_FALSE(apu.frame_irq_flag());

    // An even countdown makes step 0 act at the write itself.
    Chip_Apu even;
    even.set_output(&buffer);
    even.write_register(1001, 0x4017, 0x80);
    EXPECT_EQ(sequencerSteps(even, 1003), (std::vector<Step>{{1001, 0}}));
}

TEST_F(ChipApu, InterruptInhibitClearsTheFrameInterrupt)
{
    apu.write_register(100, 0x4017, 0x40);
    EXPECT_EQ(apu.next_irq(), Chip_Apu::no_irq);
    apu.run_until(40000);
    EXPECT_FALSE(apu.frame_irq_flag());
    EXPECT_EQ(apu.earliest_irq(), Chip_Apu::no_irq);
}

TEST_F(ChipApu, EndFrameMovesPendingTimesIntoTheNextFrame)
{
    apu.end_frame(29828);
    EXPECT_EQ(apu.last_time(), 0);
    EXPECT_EQ(apu.next_irq(), 5);
    EXPECT_EQ(apu.earliest_irq(), 5);
    // Step 0 falls 3 clocks into the next frame and schedules 29833 later.
    apu.end_frame(29829);
    EXPECT_EQ(apu.next_irq(), 3 + 29833 - 29829);
    EXPECT_EQ(apu.earliest_irq(), 0);  // passed, so pending now
}

TEST_F(ChipApu, LengthLoadsOnlyWhileEnabledAndEnablingNeverLoads)
{
    apu.write_register(4, 0x4000, 0x3F);
    apu.write_register(8, 0x4003, 0x08);
    EXPECT_EQ(apu.pulse(0).regs[3], 0x08);
    EXPECT_EQ(apu.pulse(0).phase, 7);
    EXPECT_EQ(apu.pulse(0).length_counter, 0);
    apu.write_register(12, 0x4015, 0x1F & ~0x10);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(apu.pulse(i).length_counter, 0);
    EXPECT_EQ(apu.triangle().length_counter, 0);
    EXPECT_EQ(apu.noise().length_counter, 0);

    apu.write_register(16, 0x4003, 0x08);
    apu.write_register(20, 0x400F, 0x18);
    EXPECT_EQ(apu.pulse(0).length_counter, 254);
    EXPECT_EQ(apu.noise().length_counter, 2);
    apu.write_register(24, 0x4015, 0x08);  // pulse 1 off at once, noise kept
    EXPECT_EQ(apu.pulse(0).length_counter, 0);
    EXPECT_EQ(apu.noise().length_counter, 2);
    apu.write_register(28, 0x4015, 0x09);
    EXPECT_EQ(apu.pulse(0).length_counter, 0);
}

TEST_F(ChipApu, WritesOutsideTheRegistersAreIgnoredWithoutRunning)
{
    apu.write_register(500, 0x3FFF, 0x12);
    apu.write_register(600, 0x4018, 0x12);
    EXPECT_EQ(apu.last_time(), 0);
    apu.write_register(700, 0x4014, 0x12);
    EXPECT_EQ(apu.last_time(), 700);
    apu.write_register(800, 0x4016, 0x12);
    EXPECT_EQ(apu.last_time(), 800);
}

TEST_F(ChipApu, OscillatorsWithoutOutputDoNotRun)
{
    apu.write_register(4, 0x4015, 0x01);
    apu.write_register(8, 0x4000, 0xBF);
    apu.write_register(12, 0x4002, 100);
    apu.write_register(16, 0x4003, 0x08);
    apu.osc_output(0, nullptr);
    apu.run_until(5000);
    EXPECT_EQ(apu.pulse(0).phase, 7);
    EXPECT_EQ(cell_sum(buffer), 0);
    apu.osc_output(0, &buffer);
    apu.run_until(5500);
    EXPECT_NE(cell_sum(buffer), 0);
}

// The pulses and the triangle run only when their output is about to change
// or the chip is run as a whole. Random writes (envelopes, sweeps, lengths
// and linear counts that run out, both sequencer modes) must sound exactly
// as through a chip run at every clock, which stops them at every frame
// step; so must a reset between.
TEST(ChipApuLazyRuns, PulsesAndTriangleSoundAsWhenTheChipRunsEveryClock)
{
    const unsigned addresses[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006,
                                  0x4007, 0x4008, 0x400A, 0x400B, 0x4015, 0x4017};
    constexpr int32_t frame_length = 29830;
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed);
        struct Side {
            Band_Buffer buffer;
            Chip_Apu apu;
        };
        Side lazy, every_clock;
        for (Side* side : {&lazy, &every_clock}) {
            side->buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
            ASSERT_EQ(side->buffer.set_sample_rate(44100), nullptr);
            for (int osc = 0; osc < 3; ++osc)
                side->apu.osc_output(osc, &side->buffer);
        }
        auto run_every_clock = [&](int32_t until) {
            for (int32_t t = every_clock.apu.last_time(); t < until; ++t)
                every_clock.apu.run_until(t + 1);
        };
        int last[0x18] = {};
        for (int frame = 0; frame < 30; ++frame) {
            int32_t time = 0;
            const int writes = static_cast<int>(random() % 30);
            for (int w = 0; w < writes; ++w) {
                const unsigned addr = addresses[random() % std::size(addresses)];
                int data = static_cast<int>(random() & 0xFF);
                if (addr == 0x4015)
                    data &= 0x0F;  // no delta modulation: it has no sample to read
                // Often lengths and linear counts that run out within a frame or two.
                if ((addr & 3) == 3 && random() % 2)
                    data = (data & 0x07) | 0x18;  // a length of 2
                if (addr == 0x4008 && random() % 2)
                    data &= 0x03;
                // Often constant volume and no sweep, as the instrument writes them.
                if ((addr & ~4u) == 0x4000 && random() % 2)
                    data = (data & 0xCF) | 0x10;
                if ((addr & ~4u) == 0x4001 && random() % 2)
                    data = 0x08;
                // Often the value already there, as each frame writes it again.
                if (random() % 4 == 0)
                    data = last[addr - 0x4000];
                last[addr - 0x4000] = data;
                time = std::min(time + static_cast<int32_t>(random() % 2500), frame_length - 1);
                run_every_clock(time);
                lazy.apu.write_register(time, addr, data);
                every_clock.apu.write_register(time, addr, data);
            }
            // Now and then a reset, which keeps what has sounded.
            if (random() % 6 == 0) {
                lazy.apu.reset();
                every_clock.apu.reset();
            }
            run_every_clock(frame_length);
            for (Side* side : {&lazy, &every_clock}) {
                side->apu.end_frame(frame_length);
                side->buffer.end_frame(frame_length);
            }
        }
        ASSERT_NE(cell_sum(lazy.buffer), 0) << "seed " << seed;
        EXPECT_TRUE(
            std::equal(lazy.buffer.cells(), lazy.buffer.cells() + Band_Buffer::allocation, every_clock.buffer.cells()))
            << "seed " << seed;
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(lazy.apu.pulse(i).phase, every_clock.apu.pulse(i).phase);
            EXPECT_EQ(lazy.apu.pulse(i).delay, every_clock.apu.pulse(i).delay);
        }
        EXPECT_EQ(lazy.apu.triangle().phase, every_clock.apu.triangle().phase);
        EXPECT_EQ(lazy.apu.triangle().delay, every_clock.apu.triangle().delay);
    }
}

TEST_F(ChipApu, EveryRequirementFires)
{
    EXPECT_REQUIREMENT(apu.write_register(10, 0x20, 0), "unmet requirement", "addr > 0x20");
    EXPECT_REQUIREMENT(apu.write_register(10, 0x4000, 0x100), "unmet requirement", "(unsigned) data <= 0xff");
    EXPECT_REQUIREMENT(apu.write_register(10, 0x4000, -1), "unmet requirement", "(unsigned) data <= 0xff");
    apu.run_until(100);
    EXPECT_REQUIREMENT(apu.run_until(99), "unmet requirement", "end_time >= last_time");
    EXPECT_REQUIREMENT(apu.write_register(50, 0x4000, 0), "unmet requirement", "end_time >= last_time");
    EXPECT_REQUIREMENT(apu.osc_output(5, &buffer), "Chip_Apu::osc_output(): Index out of range",
                       "0 <= osc && osc < osc_count");
    EXPECT_REQUIREMENT(apu.osc_output(-1, &buffer), "Chip_Apu::osc_output(): Index out of range",
                       "0 <= osc && osc < osc_count");
    // "last_time >= 0" cannot fail: end_frame either runs to its end time or
    // ends no later than the time already reached.

    Chip_Apu irq;
    Chip_Apu_Test_Access::set_next_irq(irq, 10);
    EXPECT_REQUIREMENT(irq.end_frame(20), "next_irq >= 0", "next_irq >= 0");
    Chip_Apu dmc;
    Chip_Apu_Test_Access::set_dmc_next_irq(dmc, 10);
    EXPECT_REQUIREMENT(dmc.end_frame(20), "dmc.next_irq >= 0", "dmc.next_irq >= 0");
}

}  // namespace
