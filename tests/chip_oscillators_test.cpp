// The five oscillators: pitch measured from rendered audio, duty cycles,
// sweeps and muting, envelopes, the triangle's sequence and holds, the noise
// register's taps and periods, and delta-modulation playback.
#include "ChipTestSupport.h"
#include "chip/apu/Chip_Apu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <set>
#include <type_traits>
#include <vector>

namespace {

// One chip with its buffer at 44100 Hz, written four clocks apart.
struct Rig {
    Rig()
    {
        buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffer.set_sample_rate(44100), nullptr);
        apu.set_output(&buffer);
    }
    void write(unsigned addr, int data) { apu.write_register(apu.last_time() + 4, addr, data); }
    // Writes without running the chip any further.
    void writeNow(unsigned addr, int data) { apu.write_register(apu.last_time(), addr, data); }
    // Runs through the oscillator's next timer event.
    void step(const Apu_Osc& osc) { apu.run_until(apu.last_time() + osc.delay + 1); }
    // Runs through the next frame-sequencer step.
    void frameStep() { apu.run_until(apu.last_time() + apu.frame_countdown() + 1); }

    Band_Buffer buffer;
    Chip_Apu apu;
};

void playPulse(Rig& rig, int reg0, int reg1, int period)
{
    rig.write(0x4015, 0x01);
    rig.write(0x4000, reg0);
    rig.write(0x4001, reg1);
    rig.write(0x4002, period & 0xFF);
    rig.write(0x4003, period >> 8 | 0x08);
}

int noiseStep(int reg, int tap)
{
    return (((reg << tap) ^ (reg << 14)) & 0x4000) | reg >> 1;
}

int shortCycle(int reg)
{
    int n = 1;
    for (int r = noiseStep(reg, 8); r != reg; r = noiseStep(r, 8))
        ++n;
    return n;
}

// Frequency of the rendered signal from its rising zero crossings over one
// second, after a quarter second for the high-pass to settle.
double measuredFrequency(const std::vector<short>& out, int32_t rate)
{
    const std::vector<double> at =
        rising_crossings(out, static_cast<size_t>(rate / 4), static_cast<size_t>(rate / 4 + rate), 1000);
    EXPECT_GT(at.size(), 20u);
    return static_cast<double>(at.size() - 1) * rate / (at.back() - at.front());
}

// A tone of `nominal` Hz is heard slightly off because factor_ is rounded to
// 1/65536; crossings are placed to well within two samples over the second.
void expectPitch(const std::vector<short>& out, const VoiceChip& voice, double nominal)
{
    const int32_t rate = voice.buffer.sample_rate();
    const double factorError = 0.5 / voice.buffer.factor();
    const double countingError = 2.0 / rate;
    EXPECT_NEAR(measuredFrequency(out, rate), nominal, nominal * (factorError + countingError))
        << rate << " Hz, nominal " << nominal;
}

TEST(PulsePitch, PeriodPSoundsAtClockOver16TimesPPlusOne)
{
    for (int32_t rate : {44100, 48000, 96000}) {
        for (int period : {126, 253, 1000}) {
            VoiceChip voice;
            ASSERT_EQ(voice.setup(ntsc_clock, rate, 60), nullptr);
            const std::vector<short> out = render(
                voice,
                {{0x4015, 0x01}, {0x4000, 0xBF}, {0x4001, 0x08}, {0x4002, period & 0xFF}, {0x4003, period >> 8 | 0x08}},
                1.3, 60);
            expectPitch(out, voice, ntsc_clock / (16.0 * (period + 1)));
        }
    }
}

TEST(TrianglePitch, PeriodPSoundsAtClockOver32TimesPPlusOne)
{
    for (int32_t rate : {44100, 48000, 96000}) {
        for (int period : {60, 126, 500}) {
            VoiceChip voice;
            ASSERT_EQ(voice.setup(ntsc_clock, rate, 60), nullptr);
            const std::vector<short> out =
                render(voice, {{0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, period & 0xFF}, {0x400B, period >> 8 | 0x08}},
                       1.3, 60);
            expectPitch(out, voice, ntsc_clock / (32.0 * (period + 1)));
        }
    }
}

TEST(PulseDuty, PhasesFollowTheFourPatterns)
{
    const std::vector<int> patterns[4] = {
        {1, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 0, 0, 0, 0}, {0, 0, 1, 1, 1, 1, 1, 1}};
    for (int select = 0; select < 4; ++select) {
        Rig rig;
        playPulse(rig, select << 6 | 0x3F, 0x08, 100);
        ASSERT_EQ(rig.apu.pulse(0).phase, 7);
        std::vector<int> levels;
        for (int phase = 0; phase < 8; ++phase) {
            rig.step(rig.apu.pulse(0));
            EXPECT_EQ(rig.apu.pulse(0).phase, phase);
            levels.push_back(rig.apu.pulse(0).last_level / 15);
        }
        EXPECT_EQ(levels, patterns[select]) << select;
    }
}

TEST(PulseDuty, MeanLevelOverWholeCyclesIsTheDutyFraction)
{
    const double fractions[4] = {0.125, 0.25, 0.5, 0.75};
    for (int select = 0; select < 4; ++select) {
        Rig rig;
        const int period = 1999;  // a cycle of 32000 clocks, 788.57 samples
        playPulse(rig, select << 6 | 0x3F, 0x08, period);
        rig.apu.run_until(260000);
        // Integrate the cells without leak and average over seven whole cycles,
        // starting once the first edge is in.
        std::vector<int64_t> level;
        int64_t sum = 0;
        for (size_t i = 0; i < 6000; ++i) {
            level.push_back(sum);
            sum += rig.buffer.cells()[i] - Band_Buffer::zero_level;
        }
        size_t start = 0;
        while (level[start] == 0)
            ++start;
        start += 20;
        const double cycle = 16.0 * (period + 1) * rig.buffer.factor() / 65536.0;
        const size_t length = static_cast<size_t>(7 * cycle + 0.5);
        double mean = 0;
        for (size_t i = start; i < start + length; ++i)
            mean += static_cast<double>(level[i]);
        mean /= static_cast<double>(length) * 7395;
        EXPECT_NEAR(mean, fractions[select], 0.002) << select;
    }
}

// Whether a pulse with these settings reports any level change in 5000 clocks.
bool pulseSounds(Rig& rig, int reg1, int period)
{
    rig.apu.write_register(4, 0x4015, 0);
    rig.apu.end_frame(8);
    rig.buffer.clear();
    rig.apu.write_register(4, 0x4015, 0x01);
    rig.apu.write_register(8, 0x4000, 0xBF);
    rig.apu.write_register(12, 0x4001, reg1);
    rig.apu.write_register(16, 0x4002, period & 0xFF);
    rig.apu.write_register(20, 0x4003, period >> 8 | 0x08);
    rig.apu.end_frame(5000);
    rig.buffer.end_frame(5000);
    return std::any_of(rig.buffer.cells(), rig.buffer.cells() + 200, [](uint16_t cell) { return cell != 0x7F7F; });
}

TEST(PulseMuting, SweepOverflowAndShortPeriodsAreSilent)
{
    Rig rig;
    for (int period = 0; period < 2048; ++period) {
        // Shift 0 without negate: p + p reaches 0x800 from 1024 on.
        ASSERT_EQ(pulseSounds(rig, 0x00, period), period >= 8 && period < 1024) << period;
        // Negate: the sweep rule never mutes.
        ASSERT_EQ(pulseSounds(rig, 0x08, period), period >= 8) << period;
    }
}

TEST(PulseMuting, ShortPeriodKeepsAdvancingItsPhase)
{
    Rig rig;
    playPulse(rig, 0xBF, 0x08, 5);  // 12 clocks per phase
    rig.apu.run_until(rig.apu.last_time() + rig.apu.pulse(0).delay + 10 * 12);
    EXPECT_EQ(rig.apu.pulse(0).phase, (7 + 10) & 7);
    EXPECT_EQ(rig.apu.pulse(0).last_level, 0);
    EXPECT_EQ(std::vector<uint16_t>(rig.buffer.cells(), rig.buffer.cells() + 100), std::vector<uint16_t>(100, 0x7F7F));
}

TEST(PulseSweep, NegateSubtractsOneMoreOnPulseOne)
{
    Rig rig;
    rig.write(0x4015, 0x03);
    for (unsigned base : {0x4000u, 0x4004u}) {
        rig.write(base, 0xBF);
        rig.write(base + 1, 0x89);  // enabled, divider period 0, negate, shift 1
        rig.write(base + 2, 1000 & 0xFF);
        rig.write(base + 3, 1000 >> 8 | 0x08);
    }
    rig.apu.run_until(14916);  // first sweep clock, step 2 at 14915
    EXPECT_EQ(rig.apu.pulse(0).timer_period(), 1000 - 500 - 1);
    EXPECT_EQ(rig.apu.pulse(1).timer_period(), 1000 - 500);
    EXPECT_EQ(rig.apu.pulse(0).regs[3] & 0xF8, 0x08);  // length bits kept
    rig.apu.run_until(29832);
    EXPECT_EQ(rig.apu.pulse(0).timer_period(), 499 - 249 - 1);
    EXPECT_EQ(rig.apu.pulse(1).timer_period(), 500 - 250);

    // Upwards the period stops short of 0x800.
    rig.write(0x4001, 0x81);
    rig.apu.run_until(44746);  // step 2 at 44745
    EXPECT_EQ(rig.apu.pulse(0).timer_period(), 249 + 124);
    rig.write(0x4002, 1500 & 0xFF);
    rig.write(0x4003, 1500 >> 8 | 0x08);
    rig.apu.run_until(59662);  // step 0 at 59661
    EXPECT_EQ(rig.apu.pulse(0).timer_period(), 1500);
    // 1365 + 682 lands on 0x7FF exactly, which is still written.
    rig.write(0x4002, 1365 & 0xFF);
    rig.write(0x4003, 1365 >> 8 | 0x08);
    rig.apu.run_until(74578);  // step 2 at 74577
    EXPECT_EQ(rig.apu.pulse(0).timer_period(), 0x7FF);
}

TEST(Envelope, DecaysOncePerStepAndLoopsOnlyWithTheLoopBit)
{
    const auto envelope = [](int reg0, int steps) {
        Rig rig;
        playPulse(rig, reg0, 0x08, 300);
        std::vector<int> volumes;
        for (int i = 0; i < steps; ++i) {
            rig.frameStep();
            volumes.push_back(rig.apu.pulse(0).env_volume);
        }
        return volumes;
    };
    std::vector<int> falling;
    for (int v = 15; v >= 0; --v)
        falling.push_back(v);
    std::vector<int> looped = falling, held = falling;
    looped.insert(looped.end(), {15, 14, 13});
    held.insert(held.end(), {0, 0, 0});
    EXPECT_EQ(envelope(0x20, 19), looped);
    EXPECT_EQ(envelope(0x00, 19), held);
    EXPECT_EQ(envelope(0x02, 7), (std::vector<int>{15, 15, 15, 14, 14, 14, 13}));
}

TEST(Envelope, HaltedConstantVolumeNeverRunsDown)
{
    Rig rig;
    playPulse(rig, 0x39, 0x08, 300);
    rig.apu.run_until(240000);
    EXPECT_EQ(rig.apu.pulse(0).length_counter, 254);
    EXPECT_EQ(rig.apu.pulse(0).volume(), 9);
}

TEST(LengthCounter, RegisterThreeLoadsTheTableEntry)
{
    const int expected[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                              12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
    Rig rig;
    rig.write(0x4015, 0x0F);
    for (int index = 0; index < 32; ++index) {
        rig.write(0x4007, index << 3);
        rig.write(0x400B, index << 3);
        EXPECT_EQ(rig.apu.pulse(1).length_counter, expected[index]) << index;
        EXPECT_EQ(rig.apu.triangle().length_counter, expected[index]) << index;
    }
}

TEST(Triangle, SilentUntilTheFirstFrameStepThenWalksItsSequence)
{
    Rig rig;
    rig.write(0x4015, 0x04);
    rig.write(0x4008, 0xFF);
    rig.write(0x400A, 20);
    rig.write(0x400B, 0x08);
    rig.apu.run_until(7459);
    EXPECT_EQ(rig.apu.triangle().linear_counter, 0);
    EXPECT_EQ(rig.apu.triangle().phase, 16);
    EXPECT_EQ(cell_sum(rig.buffer), 0);

    std::vector<int> levels;
    for (int i = 0; i < 32; ++i) {
        rig.step(rig.apu.triangle());
        levels.push_back(rig.apu.triangle().last_level);
    }
    EXPECT_EQ(levels, (std::vector<int>{1,  2,  3,  4,  5,  6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 15,
                                        14, 13, 12, 11, 10, 9, 8, 7, 6, 5,  4,  3,  2,  1,  0,  0}));
    for (int i = 0; i < 5; ++i) {
        rig.frameStep();
        EXPECT_EQ(rig.apu.triangle().linear_counter, 127);  // control set: reloads at every step
    }
}

TEST(Triangle, LinearCounterRunsOutWithoutControl)
{
    Rig rig;
    rig.write(0x4015, 0x04);
    rig.write(0x4008, 0x03);
    rig.write(0x400A, 20);
    rig.write(0x400B, 0x08);
    std::vector<int> counts;
    for (int i = 0; i < 5; ++i) {
        rig.frameStep();
        counts.push_back(rig.apu.triangle().linear_counter);
    }
    EXPECT_EQ(counts, (std::vector<int>{3, 2, 1, 0, 0}));
}

TEST(Triangle, HoldsItsLevelWhenStoppedByPeriodOrLength)
{
    Rig rig;
    rig.write(0x4015, 0x04);
    rig.write(0x4008, 0xFF);
    rig.write(0x400A, 20);
    rig.write(0x400B, 0x08);
    rig.apu.run_until(7459);
    for (int i = 0; i < 5; ++i)
        rig.step(rig.apu.triangle());
    ASSERT_EQ(rig.apu.triangle().last_level, 5);

    const auto expectHeld = [&rig](const char* why) {
        const int phase = rig.apu.triangle().phase;
        const int64_t level = cell_sum(rig.buffer);
        rig.apu.run_until(rig.apu.last_time() + 20000);
        EXPECT_EQ(rig.apu.triangle().phase, phase) << why;
        EXPECT_EQ(rig.apu.triangle().last_level, 5) << why;
        EXPECT_EQ(cell_sum(rig.buffer), level) << why;
    };
    rig.write(0x4015, 0x00);
    EXPECT_EQ(rig.apu.triangle().length_counter, 0);
    expectHeld("length cleared by $4015");
    for (int period : {0, 1}) {
        rig.write(0x4015, 0x04);
        rig.write(0x400A, period);
        rig.write(0x400B, 0x08);
        expectHeld(period ? "period 1" : "period 0");
    }
}

// The fast way's and the plain way's oscillator, each with a buffer of its
// own at one rate, to compare cell for cell.
template <class Osc> void connectPair(Band_Buffer (&buffers)[2], Osc (&oscs)[2], int32_t rate)
{
    for (int i = 0; i < 2; ++i) {
        buffers[i].set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffers[i].set_sample_rate(rate), nullptr);
        oscs[i].output = &buffers[i];
        if constexpr (std::is_same_v<Osc, Triangle_Osc>)
            oscs[i].set_volume(1.0);
        else
            oscs[i].synth.set_volume(1.0);
        oscs[i].length_counter = 1;
    }
}

// Every cell of the two buffers, those past the end that impulses reach too.
bool sameCells(const Band_Buffer (&buffers)[2])
{
    const size_t cells = buffers[0].buffer_size() + Band_Buffer::impulse_spread;
    return std::equal(buffers[0].cells(), buffers[0].cells() + cells, buffers[1].cells());
}

// Reads both buffers out to the frame's end, for the next frame.
void nextFrame(Band_Buffer (&buffers)[2], int32_t time)
{
    for (Band_Buffer& buffer : buffers) {
        buffer.end_frame(time);
        buffer.remove_samples(buffer.samples_avail());
    }
}

// The chip time where a frame fills the buffer: every clock before lies within it.
int32_t bufferEndTime(const Band_Buffer& buffer)
{
    return static_cast<int32_t>((uint64_t{buffer.buffer_size()} << Band_Buffer::time_bits) / buffer.factor());
}

// The triangle stepped the plain way, one timer event at a time.
void plainTriangleRun(Triangle_Osc& osc, int32_t time, int32_t end_time)
{
    const int level = Triangle_Osc::level_of(osc.phase);
    if (level != osc.last_level)
        osc.synth.add_delta(time, level - osc.last_level, *osc.output);
    osc.last_level = level;
    time += osc.delay;
    const int32_t step = osc.timer_period() + 1;
    if (osc.length_counter == 0 || osc.linear_counter == 0 || step < 3)
        time = end_time;  // stopped: the timer starts afresh
    for (; time < end_time; time += step) {
        osc.phase = osc.phase == 1 ? 32 : osc.phase - 1;
        const int next = Triangle_Osc::level_of(osc.phase);
        if (next != osc.last_level)
            osc.synth.add_delta(time, next - osc.last_level, *osc.output);
        osc.last_level = next;
    }
    osc.delay = time - end_time;
}

// Random runs of every period, from ultrasonic to the lowest, at rates from
// many steps to a sample to many samples to a step: cell for cell the same
// as the plain way. The volume changes now and then, which rebuilds the
// synthesiser's tables and with them the run's rows up and down.
TEST(Triangle, RunsAddExactlyTheChangesOfThePlainWalk)
{
    std::mt19937 random(11);
    for (int32_t rate : {8000, 44100, 96000, 768000}) {
        Band_Buffer buffers[2];
        Triangle_Osc oscs[2];
        connectPair(buffers, oscs, rate);
        for (Triangle_Osc& osc : oscs)
            osc.linear_counter = 1;
        for (int frame = 0; frame < 60; ++frame) {
            if (frame % 20 == 19) {
                for (Triangle_Osc& osc : oscs)
                    osc.set_volume(0.25 + frame / 40.0);
            }
            int32_t time = 0;
            while (time < 29000) {
                const auto end = time + static_cast<int32_t>(random() % 8000);
                const int period =
                    random() % 8 == 0 ? static_cast<int>(random() % 4) : static_cast<int>(random() % 2048);
                for (Triangle_Osc& osc : oscs) {
                    osc.regs[2] = static_cast<uint8_t>(period & 0xFF);
                    osc.regs[3] = static_cast<uint8_t>(period >> 8);
                }
                oscs[0].run(time, end);
                plainTriangleRun(oscs[1], time, end);
                ASSERT_EQ(oscs[0].phase, oscs[1].phase) << rate;
                ASSERT_EQ(oscs[0].delay, oscs[1].delay) << rate;
                ASSERT_EQ(oscs[0].last_level, oscs[1].last_level) << rate;
                time = end;
            }
            ASSERT_TRUE(sameCells(buffers)) << rate;
            nextFrame(buffers, time);
        }
    }
}

// Steps of short periods in a frame that fills the buffer: those whose
// windows would reach past the cells, in the last samples, still add
// exactly what the plain way adds.
TEST(Triangle, StepsUpToTheBufferEndAddExactlyTheChangesOfThePlainWalk)
{
    for (int period : {2, 5, 13}) {
        Band_Buffer buffers[2];
        Triangle_Osc oscs[2];
        connectPair(buffers, oscs, 768000);
        for (Triangle_Osc& osc : oscs) {
            osc.linear_counter = 1;
            osc.regs[2] = static_cast<uint8_t>(period);
        }
        const int32_t end = bufferEndTime(buffers[0]);  // the frame ends where the buffer does
        for (int32_t time = 0; time < end;) {
            const int32_t next = std::min(end, time + 997);
            oscs[0].run(time, next);
            plainTriangleRun(oscs[1], time, next);
            time = next;
        }
        ASSERT_EQ(oscs[0].phase, oscs[1].phase) << period;
        EXPECT_TRUE(sameCells(buffers)) << period;
    }
}

// The reciprocal that counts timer events gives the division's count for
// every step a pulse or the triangle can have, over the spans a frame step
// makes and far longer ones, as the step changes back and forth.
TEST(StepCount, EventsInASpanAreItsCeilingDivisionByTheStep)
{
    std::mt19937 random(17);
    Step_Count count;
    for (int32_t step = 2; step <= 4096; ++step) {
        std::vector<int32_t> spans = {
            1, step - 1, step, step + 1, 7457, 14908, 29781, 1 << 20, std::numeric_limits<int32_t>::max() - step};
        for (int k = 0; k < 8; ++k) {
            const auto multiple = static_cast<int32_t>(random() % 20000) * step;
            spans.insert(spans.end(), {multiple - 1, multiple, multiple + 1, static_cast<int32_t>(random() % 1000000)});
        }
        for (int32_t clocks : spans) {
            if (clocks <= 0)
                continue;
            const auto expected = static_cast<int32_t>((int64_t{clocks} + step - 1) / step);
            ASSERT_EQ(count.events_in(clocks, step), expected) << step << "," << clocks;
            ASSERT_EQ(count.events_in(clocks, 2 + step % 7), (int64_t{clocks} + 1 + step % 7) / (2 + step % 7))
                << step << "," << clocks;
        }
    }
}

// The noise register as the chip steps it, one timer event at a time, and
// optionally the output level after each step.
std::vector<int> noiseRegisters(Rig& rig, int events, std::vector<int>* levels = nullptr)
{
    std::vector<int> regs;
    for (int i = 0; i < events; ++i) {
        rig.step(rig.apu.noise());
        regs.push_back(rig.apu.noise().shift_reg);
        if (levels)
            levels->push_back(rig.apu.noise().last_level);
    }
    return regs;
}

void playNoise(Rig& rig, int reg2)
{
    rig.write(0x4015, 0x08);
    rig.write(0x400C, 0x3F);
    rig.write(0x400E, reg2);
    rig.write(0x400F, 0x08);
}

TEST(Noise, LongModeFeedsBitZeroXorOneAndRepeatsAfter32767)
{
    Rig rig;
    playNoise(rig, 0x00);
    const int start = rig.apu.noise().shift_reg;
    int expected = start;
    std::vector<int> levels;
    const std::vector<int> regs = noiseRegisters(rig, 32767, &levels);
    for (size_t i = 0; i < regs.size(); ++i) {
        expected = noiseStep(expected, 13);
        ASSERT_EQ(regs[i], expected) << i;
        ASSERT_EQ(regs[i] == start, i == regs.size() - 1) << i;
        ASSERT_EQ(levels[i], (regs[i] & 1) * 15) << i;  // bit 0 is the output
    }
}

TEST(Noise, ShortModeRepeatsEvery93Or31StepsByStartState)
{
    std::set<int> cycles;
    for (int longSteps : {0, -1}) {
        Rig rig;
        playNoise(rig, 0x00);
        // Long-mode steps until the register sits on the 31-step cycle, if asked.
        int reg = rig.apu.noise().shift_reg;
        int steps = 0;
        while (longSteps < 0 && shortCycle(reg) != 31) {
            reg = noiseStep(reg, 13);
            ++steps;
        }
        noiseRegisters(rig, steps);
        rig.writeNow(0x400E, 0x80);
        const int start = rig.apu.noise().shift_reg;
        const int cycle = shortCycle(start);
        cycles.insert(cycle);

        std::vector<int> levels;
        int expected = start;
        for (int r : noiseRegisters(rig, 3 * cycle, &levels)) {
            expected = noiseStep(expected, 8);  // bit 14 gets bit 0 XOR bit 6
            ASSERT_EQ(r, expected);
        }
        for (size_t i = 0; i + static_cast<size_t>(cycle) < levels.size(); ++i)
            ASSERT_EQ(levels[i], levels[i + static_cast<size_t>(cycle)]) << cycle << "," << i;
        for (int shorter = 1; shorter < cycle; ++shorter) {
            bool repeats = true;
            for (size_t i = 0; i + static_cast<size_t>(shorter) < levels.size(); ++i)
                repeats = repeats && levels[i] == levels[i + static_cast<size_t>(shorter)];
            EXPECT_FALSE(repeats) << "output repeats after " << shorter;
        }
    }
    EXPECT_EQ(cycles, (std::set<int>{31, 93}));
}

TEST(Noise, EachPeriodIndexStepsAtItsTableRate)
{
    const int periods[16] = {4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068};
    for (int index = 0; index < 16; ++index) {
        for (int mode : {0x00, 0x80}) {
            Rig rig;
            playNoise(rig, mode | index);
            int expected = rig.apu.noise().shift_reg;
            const int32_t first = rig.apu.last_time() + rig.apu.noise().delay;
            rig.apu.run_until(first + 20 * periods[index]);
            for (int i = 0; i < 20; ++i)
                expected = noiseStep(expected, mode ? 8 : 13);
            EXPECT_EQ(rig.apu.noise().shift_reg, expected) << index << "," << mode;
        }
    }
}

TEST(Noise, SilentRunsShiftOnceEachInLongModeOnly)
{
    for (int mode : {0x00, 0x80}) {
        Rig rig;
        rig.write(0x400C, 0x30);  // constant volume 0
        rig.write(0x400E, mode);
        int expected = rig.apu.noise().shift_reg;
        for (int32_t end : {1000, 3000, 7000}) {
            rig.apu.run_until(end);
            if (!mode)
                expected = noiseStep(expected, 13);
            EXPECT_EQ(rig.apu.noise().shift_reg, expected) << mode << "," << end;
        }
    }
}

// The noise channel stepped the plain way, one timer event at a time.
void plainNoiseRun(Noise_Osc& osc, int32_t time, int32_t end_time)
{
    const int vol = osc.volume();
    int level = (osc.shift_reg & 1) ? vol : 0;
    if (level != osc.last_level)
        osc.synth.add_delta(time, level - osc.last_level, *osc.output);
    time += osc.delay;
    const int32_t period = noise_period_table[osc.regs[2] & 15];
    const int tap = (osc.regs[2] & 0x80) ? 6 : 1;
    if (vol == 0 && time < end_time) {
        while (time < end_time)
            time += period;
        if (tap == 1)
            osc.shift_reg = noiseStep(osc.shift_reg, 13);
    }
    for (; vol != 0 && time < end_time; time += period) {
        osc.shift_reg = ((osc.shift_reg ^ (osc.shift_reg >> tap)) & 1) << 14 | osc.shift_reg >> 1;
        const int next = (osc.shift_reg & 1) ? vol : 0;
        if (next != level)
            osc.synth.add_delta(time, next - level, *osc.output);
        level = next;
    }
    osc.last_level = level;
    osc.delay = time - end_time;
}

// Random runs of every period, mode and volume, many timer events to a
// sample or many samples to an event: cell for cell the same as the plain way.
TEST(Noise, RunsAddExactlyTheChangesOfThePlainStepping)
{
    std::mt19937 random(5);
    for (int32_t rate : {8000, 44100, 48000, 96000, 192000, 768000}) {
        Band_Buffer buffers[2];
        Noise_Osc oscs[2];
        connectPair(buffers, oscs, rate);
        for (int frame = 0; frame < 60; ++frame) {
            int32_t time = 0;
            while (time < 29000) {
                const auto end = time + static_cast<int32_t>(random() % 8000);
                const auto reg0 = static_cast<uint8_t>(0x10 | (random() % 4 == 0 ? 0 : random() % 16));
                const auto reg2 = static_cast<uint8_t>((random() % 3 == 0 ? 0x80 : 0) | random() % 16);
                for (Noise_Osc& osc : oscs) {
                    osc.regs[0] = reg0;
                    osc.regs[2] = reg2;
                }
                oscs[0].run(time, end);
                plainNoiseRun(oscs[1], time, end);
                ASSERT_EQ(oscs[0].shift_reg, oscs[1].shift_reg) << rate;
                ASSERT_EQ(oscs[0].delay, oscs[1].delay) << rate;
                ASSERT_EQ(oscs[0].last_level, oscs[1].last_level) << rate;
                time = end;
            }
            ASSERT_TRUE(sameCells(buffers)) << rate;
            nextFrame(buffers, time);
        }
    }
}

// Sparse changes in a frame that fills the buffer: those in the last
// samples, whose windows reach into the cells past the buffer, still add
// exactly what the plain way adds.
TEST(Noise, ChangesUpToTheBufferEndAddExactlyThoseOfThePlainStepping)
{
    for (int index : {0, 5, 9}) {
        Band_Buffer buffers[2];
        Noise_Osc oscs[2];
        connectPair(buffers, oscs, 768000);
        for (Noise_Osc& osc : oscs) {
            osc.regs[0] = 0x1F;
            osc.regs[2] = static_cast<uint8_t>(index);
        }
        const int32_t end = bufferEndTime(buffers[0]);  // the frame ends where the buffer does
        for (int32_t time = 0; time < end;) {
            const int32_t next = std::min(end, time + 997);
            oscs[0].run(time, next);
            plainNoiseRun(oscs[1], time, next);
            time = next;
        }
        ASSERT_EQ(oscs[0].shift_reg, oscs[1].shift_reg) << index;
        EXPECT_TRUE(sameCells(buffers)) << index;
    }
}

// A test sample: the bytes repeat from `base`; every read is recorded.
struct Rom {
    std::vector<int> bytes;
    unsigned base;
    std::vector<unsigned> reads;
};

int readRom(void* data, unsigned address)
{
    Rom& rom = *static_cast<Rom*>(data);
    rom.reads.push_back(address);
    return rom.bytes[(address - rom.base) % rom.bytes.size()];
}

void startSample(Rig& rig, Rom& rom, int reg0, int reg2, int reg3)
{
    rig.apu.set_dmc_reader(readRom, &rom);
    rig.write(0x4010, reg0);
    rig.write(0x4011, 64);
    rig.write(0x4012, reg2);
    rig.write(0x4013, reg3);
    rig.write(0x4015, 0x10);
}

TEST(DeltaModulation, PlaysItsBytesAsTwoStepMovesOfTheDac)
{
    Rom rom{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x55, 0xF0, 0x3C},
            0xC080,
            {}};
    Rig rig;
    startSample(rig, rom, 0x8F, 2, 1);  // interrupt, 54 clocks a bit; $C080, 17 bytes
    EXPECT_EQ(rom.reads, std::vector<unsigned>{0xC080});
    const Dmc_Osc& dmc = rig.apu.dmc();

    // Lowest bit first; a move that would leave 0..127 is dropped.
    std::vector<int> walk;
    int dac = 64;
    for (int byte : rom.bytes) {
        for (int bit = 0; bit < 8; ++bit) {
            const int move = (byte >> bit & 1) ? 2 : -2;
            if (dac + move >= 0 && dac + move <= 127)
                dac += move;
            walk.push_back(dac);
        }
    }
    const int idle = dmc.bits_left;  // the running silent byte ends first
    const int32_t irq = dmc.next_irq;
    for (int event = 0; event < idle + static_cast<int>(walk.size()); ++event) {
        rig.step(dmc);
        ASSERT_EQ(dmc.dac, event < idle ? 64 : walk[static_cast<size_t>(event - idle)]) << event;
        ASSERT_EQ(dmc.irq_flag, rig.apu.last_time() >= irq) << event;
    }
    std::vector<unsigned> addresses;
    for (unsigned a = 0xC080; a < 0xC080 + 17; ++a)
        addresses.push_back(a);
    EXPECT_EQ(rom.reads, addresses);
    EXPECT_EQ(rig.apu.channel_enables() & 0x10, 0);
    EXPECT_EQ(rig.apu.earliest_irq(), 0);

    rig.apu.run_until(rig.apu.last_time() + 5000);
    EXPECT_EQ(dmc.dac, walk.back());
    EXPECT_EQ(rom.reads.size(), 17u);
}

TEST(DeltaModulation, InterruptComesOneClockAfterTheLastByteIsFetched)
{
    Rom rom{{0x0F}, 0xC000, {}};
    Rig rig;
    startSample(rig, rom, 0x80, 0, 3);  // 49 bytes at 428 clocks a bit
    const int32_t irq = rig.apu.dmc().next_irq;
    rig.apu.run_until(irq - 1);
    EXPECT_EQ(rom.reads.size(), 48u);
    EXPECT_FALSE(rig.apu.dmc().irq_flag);
    rig.apu.run_until(irq);
    EXPECT_EQ(rom.reads.size(), 49u);
    EXPECT_TRUE(rig.apu.dmc().irq_flag);
    EXPECT_EQ(rig.apu.dmc().next_irq, Chip_Apu::no_irq);
}

TEST(DeltaModulation, LoopRestartsTheSampleWithoutInterrupt)
{
    Rom rom{{0x0F}, 0xC000, {}};
    Rig rig;
    startSample(rig, rom, 0x4F, 0, 0);  // loop, one byte at $C000
    rig.apu.run_until(40 * 8 * 54);
    EXPECT_GE(rom.reads.size(), 39u);
    EXPECT_EQ(std::set<unsigned>(rom.reads.begin(), rom.reads.end()), std::set<unsigned>{0xC000});
    EXPECT_EQ(rig.apu.channel_enables() & 0x10, 0x10);
    EXPECT_FALSE(rig.apu.dmc().irq_flag);
    EXPECT_EQ(rig.apu.dmc().next_irq, Chip_Apu::no_irq);
}

TEST(DeltaModulation, SilenceStillCountsOffItsBitsInWholePeriods)
{
    Rig rig;
    const Dmc_Osc& dmc = rig.apu.dmc();
    for (int events = 1; events <= 20; ++events) {
        const int before = dmc.bits_left;
        const int32_t next = rig.apu.last_time() + dmc.delay;
        rig.apu.run_until(next + (events - 1) * dmc.period + 1);
        EXPECT_EQ(dmc.bits_left, ((before - 1 - events) % 8 + 8) % 8 + 1) << events;
        EXPECT_EQ(dmc.delay, dmc.period - 1) << events;
    }
}

TEST(DeltaModulation, DacWritesJumpByTheTableDifference)
{
    Rig rig;
    rig.write(0x4011, 64);
    rig.apu.run_until(rig.apu.last_time() + 10);
    EXPECT_EQ(rig.apu.dmc().dac, 64);
    EXPECT_EQ(cell_sum(rig.buffer), 34 * 220);
    rig.write(0x4011, 127);
    rig.apu.run_until(rig.apu.last_time() + 10);
    EXPECT_EQ(cell_sum(rig.buffer), 57 * 220);
    rig.write(0x4011, 0);
    rig.apu.run_until(rig.apu.last_time() + 10);
    EXPECT_EQ(cell_sum(rig.buffer), 0);
}

TEST(DeltaModulation, StartingWithoutAReaderFailsItsRequirement)
{
    Rig rig;
    rig.write(0x4013, 1);
    EXPECT_REQUIREMENT(rig.write(0x4015, 0x10), "unmet requirement", "rom_reader");
}

}  // namespace
