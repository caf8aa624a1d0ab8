// Chip_S5b: its raw levels for chosen and random register sequences against
// the chip described clock by clock; the rendered output's pitches, volume
// steps and level beside the VRC6; idling and requirements.
#include "AudioMeasure.h"
#include "ChipTestSupport.h"
#include "chip/s5b/Chip_S5b.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// The envelope's level `steps` steps after a $0D write, from the shape table:
// the first ramp by the attack bit; after it '_' held at 0, '-' held at 31,
// 's' the same ramp again, 't' ramps alternating.
int reference_envelope(int shape, int64_t steps)
{
    const char after = "________s_t-s-t_"[shape];
    const int pos = static_cast<int>(steps % 32);
    const bool up = ((shape & 4) != 0) != (after == 't' && steps / 32 % 2 == 1);
    if (steps >= 32 && (after == '_' || after == '-'))
        return after == '-' ? 31 : 0;
    return up ? pos : 31 - pos;
}

// The 5B as its description tells it, one clock at a time: every 16th clock
// from power-up is a tick, which advances each tone counter, the noise
// counter and the envelope counter; a counter at or past its period (0 as 1)
// clears and flips its tone, halves into a noise shift, or steps the
// envelope. In each clock the writes come first.
struct Reference_S5b {
    int regs[16] = {}, select = 0, tone_count[3] = {}, tone[3] = {}, noise_count = 0, noise_half = 0;
    int envelope_count = 0, shape = -1;  // -1: no $0D written yet
    uint32_t noise = 1;
    int64_t clock_count = 0, envelope_steps = 0;

    void write(unsigned addr, int data)
    {
        if (addr >= 0xC000 && addr < 0xE000)
            select = data;
        else if (addr >= 0xE000 && addr <= 0xFFFF && select < 16 && (regs[select] = data, select == 13))
            shape = data & 15, envelope_steps = 0, envelope_count = 0;
    }
    void clock()
    {
        if (clock_count++ % 16 != 0)
            return;
        for (int c = 0; c < 3; ++c)
            if (++tone_count[c] >= std::max((regs[2 * c + 1] & 15) * 256 + regs[2 * c], 1))
                tone_count[c] = 0, tone[c] ^= 1;
        if (++noise_count >= std::max(regs[6] & 31, 1) && (noise_count = 0, noise_half ^= 1) == 0)
            noise = (noise >> 1) | (((noise ^ (noise >> 3)) & 1) << 16);
        if (++envelope_count >= std::max(regs[12] * 256 + regs[11], 1))
            envelope_count = 0, envelope_steps = std::min<int64_t>(envelope_steps + 1, 1 << 30);
    }
    int level(int c) const
    {
        if (!((tone[c] || (regs[7] >> c & 1)) && ((noise & 1) || (regs[7] >> (c + 3) & 1))))
            return 0;
        if (regs[8 + c] & 16)
            return shape < 0 ? 0 : reference_envelope(shape, envelope_steps);
        return (regs[8 + c] & 15) == 0 ? 0 : 2 * (regs[8 + c] & 15) + 1;
    }
};

struct Timed_Write {
    int32_t time;
    unsigned addr;
    int data;
};

// Plays `frames` frames of `length` clocks into the chip and the reference,
// frame f's writes from writes(f), and expects the levels the chip logs to
// be the reference's at every clock. The chip runs `piece` clocks at a time
// at most, its logs read and cleared after each. Answers the clocks where
// some channel sounded.
template <class Writes> int64_t expect_as_reference(int frames, int32_t length, Writes writes, int32_t piece = 1000)
{
    Chip_S5b chip;
    Reference_S5b ref;
    Level_Log logs[3];
    int levels[3] = {};  // the chip's, as logged so far
    for (int c = 0; c < 3; ++c)
        chip.osc_log(c, &logs[c]);
    int64_t heard = 0;
    long allocations = 0;
    for (int frame = 0; frame < frames; ++frame) {
        const std::vector<Timed_Write> w = writes(frame);
        size_t chip_next = 0, ref_next = 0;
        for (int32_t from = 0; from < length; from += piece) {
            const int32_t to = std::min(from + piece, length);
            const long before = chip_test_allocations;
            for (; chip_next < w.size() && w[chip_next].time < to; ++chip_next)
                chip.write_register(w[chip_next].time, w[chip_next].addr, w[chip_next].data);
            to == length ? chip.end_frame(to) : chip.run_until(to);
            allocations += chip_test_allocations - before;
            int32_t entry[3] = {};
            for (int32_t t = from; t < to; ++t) {
                for (; ref_next < w.size() && w[ref_next].time == t; ++ref_next)
                    ref.write(w[ref_next].addr, w[ref_next].data);
                ref.clock();
                for (int c = 0; c < 3; ++c) {
                    while (entry[c] < logs[c].count && logs[c].entries[entry[c]].time <= t)
                        levels[c] = logs[c].entries[entry[c]++].level;
                    if (levels[c] != ref.level(c)) {
                        ADD_FAILURE() << "frame " << frame << ", clock " << t << ", channel " << c << ": level "
                                      << levels[c] << ", want " << ref.level(c);
                        return heard;
                    }
                }
                heard += (levels[0] | levels[1] | levels[2]) != 0;
            }
            for (Level_Log& log : logs)
                log.clear();
        }
    }
    EXPECT_EQ(allocations, 0) << "running the chip allocated";
    return heard;
}

struct Reg_Value {
    int reg;
    int data;
};

// Each a select and a data write, from `time` on.
void add_writes(std::vector<Timed_Write>& out, int32_t time, std::initializer_list<Reg_Value> writes)
{
    for (const Reg_Value& w : writes) {
        out.push_back({time, 0xC000, w.reg});
        out.push_back({time + 2, 0xE000, w.data});
        time += 4;
    }
}

struct Sequence_Case {
    const char* name;
    std::initializer_list<Reg_Value> first;  // at the start of frame 0
    std::initializer_list<Reg_Value> later;  // at clock 3001 of frame 1
};

TEST(ChipS5b, RegisterSequencesSoundAsTheClockByClockChip)
{
    const Sequence_Case cases[] = {
        {"tone, fixed volumes", {{0, 5}, {2, 7}, {4, 0}, {5, 1}, {7, 0x38}, {8, 15}, {9, 1}, {10, 8}}, {}},
        {"tone period raised and lowered mid-cycle", {{0, 200}, {7, 0x3E}, {8, 12}}, {{0, 3}, {1, 0}}},
        {"tone periods 0 and 1", {{0, 0}, {2, 1}, {7, 0x38}, {8, 9}, {9, 9}}, {{4, 0}, {10, 9}}},
        {"noise alone, period change", {{6, 1}, {7, 0x37}, {8, 15}}, {{6, 31}}},
        {"noise period 0", {{6, 0}, {7, 0x2D}, {9, 4}}, {}},
        {"tone and noise both", {{0, 9}, {6, 3}, {7, 0x06}, {8, 13}}, {{7, 0x00}, {9, 10}}},
        {"both off: constant level", {{7, 0x3F}, {8, 7}, {9, 0}}, {{8, 0}, {9, 15}}},
        {"envelope saw $08", {{7, 0x3F}, {8, 0x10}, {11, 3}, {13, 0x08}}, {{11, 40}}},
        {"envelope triangle $0A with a tone", {{0, 11}, {7, 0x3E}, {8, 0x1F}, {11, 2}, {13, 0x0A}}, {{13, 0x0A}}},
        {"envelope holds $0B, $0D; restarted", {{7, 0x3F}, {8, 0x10}, {9, 0x10}, {11, 1}, {13, 0x0B}}, {{13, 0x0D}}},
        {"envelope period 0", {{7, 0x3F}, {10, 0x10}, {13, 0x0E}}, {{12, 1}}},
        {"envelope to fixed volume and back", {{7, 0x3F}, {8, 0x10}, {11, 5}, {13, 0x0C}}, {{8, 6}, {8, 0x16}}},
        {"select for another chip blocks writes", {{7, 0x3F}, {8, 5}}, {{0x18, 15}, {0x28, 0}}},
    };
    for (const Sequence_Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_GT(expect_as_reference(3, 29781,
                                      [&](int frame) {
                                          std::vector<Timed_Write> w;
                                          add_writes(w, frame == 0 ? 4 : 3001, frame == 0 ? c.first : c.later);
                                          return frame < 2 ? w : std::vector<Timed_Write>{};
                                      }),
                  0);
    }
    // Every shape, restarted mid-ramp; then generators no one hears, which
    // run whole frames in one stride, must come out where they would have been.
    expect_as_reference(16, 20000, [](int frame) {
        std::vector<Timed_Write> w;
        add_writes(w, 8, {{7, 0x3F}, {8, 0x10}, {11, 20}, {13, frame}});
        add_writes(w, 15000, {{11, 3}, {13, frame}});
        return w;
    });
    const std::initializer_list<Reg_Value> strides[] = {
        {{0, 3}, {6, 1}, {7, 0x3F}, {8, 15}, {11, 1}, {13, 0x0A}}, {}, {{8, 0x10}}, {{7, 0x36}, {9, 9}}, {}};
    expect_as_reference(
        5, 29781,
        [&](int frame) {
            std::vector<Timed_Write> w;
            add_writes(w, 5001, strides[frame]);
            return w;
        },
        29781);
}

// Random writes, in time order: short periods so that everything moves many
// times a frame, every mixer, volume and shape, now and then a select for
// another chip or an address outside the chip.
TEST(ChipS5b, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    std::mt19937 random(5);
    const auto writes = [&](int) {
        std::vector<Timed_Write> w;
        for (int i = static_cast<int>(random() % 8); i > 0; --i) {
            const auto time = static_cast<int32_t>(random() % 29777);
            const int reg = static_cast<int>(random() % 16);
            int data = static_cast<int>(random() % 256);
            if ((reg == 1 || reg == 3 || reg == 5 || reg == 12) && random() % 4)
                data = 0;
            if (reg == 11 && random() % 2)
                data %= 8;
            w.push_back({time, random() % 2 ? 0xC000u : 0xD123u, random() % 30 ? reg : reg | 0x10 << random() % 4});
            w.push_back({time + 2, random() % 2 ? 0xE000u : 0xFFFFu, data});
            if (random() % 20 == 0)
                w.push_back(
                    {time + 3, static_cast<unsigned>(random() % 0xC000) + (random() % 2 ? 0x14000u : 0u), data ^ 0x55});
        }
        std::stable_sort(w.begin(), w.end(),
                         [](const Timed_Write& a, const Timed_Write& b) { return a.time < b.time; });
        return w;
    };
    EXPECT_GT(expect_as_reference(600, 29781, writes), 600 * 29781 / 4) << "the chip sounded much of the time";
}

// Shifts that waited while no one heard the noise, made at once by jumps of
// powers of two, leave the register as shifting one by one would; a whole
// cycle of the register leaves it as it was.
TEST(ChipS5b, WaitingNoiseShiftsComeOutAsShiftsOneByOne)
{
    std::mt19937 random(17);
    for (const int32_t count : {1, 3, 14, 15, 1000, 65536, 131070, 131071, 131071 + 77}) {
        S5b_Noise jumped, stepped;
        jumped.bits = stepped.bits = 1 + random() % S5b_Noise::cycle_shifts;
        jumped.pending = count % S5b_Noise::cycle_shifts;
        jumped.catch_up();
        for (int32_t i = 0; i < count; ++i)
            stepped.shift(1);
        EXPECT_EQ(jumped.bits, stepped.bits) << count << " shifts";
        EXPECT_EQ(jumped.pending, 0);
    }
}

// ---- the rendered output ----

// Half a second of the chip's (or, from $9000 up, the VRC6's) output after `writes`.
std::vector<float> render(long clock, std::initializer_list<Reg_Value> writes, double volume = 1.0,
                          double* rate = nullptr)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(clock));
    EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    // The rate the buffer places changes at: its clocks-to-samples factor is rounded.
    if (rate)
        *rate = buffer.factor() / 65536.0 * static_cast<double>(clock);
    Chip_S5b chip;
    Chip_Vrc6 vrc6;
    chip.set_output(&buffer);
    vrc6.set_output(&buffer);
    chip.set_volume(volume);
    vrc6.set_volume(volume);
    int32_t time = 0;
    for (const Reg_Value& w : writes) {
        if (w.reg >= 0x9000)
            vrc6.write_register(time += 4, static_cast<unsigned>(w.reg), w.data);
        else
            chip.write_register(time += 4, 0xC000, w.reg), chip.write_register(time += 4, 0xE000, w.data);
    }
    std::vector<short> out(24000);
    const auto frame = static_cast<int32_t>(clock / 60);
    for (long n = 0; n < 24000; n += buffer.read_samples(out.data() + n, 24000 - n))
        chip.end_frame(frame), vrc6.end_frame(frame), buffer.end_frame(frame);
    return {out.begin(), out.end()};
}

// Root mean square about the mean, past the first tenth (the high-pass settling).
double rms(const std::vector<float>& s)
{
    double sum = 0.0, squares = 0.0, n = 0.9 * static_cast<double>(s.size());
    for (size_t i = s.size() / 10; i < s.size(); ++i)
        sum += s[i], squares += s[i] * s[i];
    return std::sqrt(squares / n - (sum / n) * (sum / n));
}

TEST(ChipS5bOutput, PitchesFollowThePeriodsOnNtscAndPal)
{
    const struct {
        std::initializer_list<Reg_Value> writes;
        double clocks;  // a cycle's
    } cases[] = {
        // writes, clocks per cycle
        {{{0, 254}, {7, 0x3E}, {8, 15}}, 32.0 * 254},
        {{{2, 1000 & 255}, {3, 1000 >> 8}, {7, 0x3D}, {9, 12}}, 32.0 * 1000},
        {{{4, 37}, {7, 0x3B}, {10, 15}}, 32.0 * 37},
        {{{7, 0x3F}, {8, 0x10}, {11, 8}, {13, 0x08}}, 512.0 * 8},   // saw
        {{{7, 0x3F}, {9, 0x10}, {11, 8}, {13, 0x0A}}, 1024.0 * 8},  // triangle
        {{{7, 0x3F}, {10, 0x10}, {11, 3}, {13, 0x0C}}, 512.0 * 3},  // rising saw
    };
    for (const long clock : {ntsc_clock, pal_clock})
        for (const auto& c : cases) {
            double rate = 0.0;
            const std::vector<float> s = render(clock, c.writes, 1.0, &rate);
            const double want = static_cast<double>(clock) / c.clocks;
            EXPECT_NEAR(autocorrelationFrequency(s, s.size() / 4, s.size(), rate, want) / want, 1.0, 1e-4)
                << clock << " Hz clock, " << c.clocks << " clocks a cycle";
        }
}

TEST(ChipS5bOutput, FixedVolumeStepsAreThreeDecibels)
{
    const double top = rms(render(ntsc_clock, {{0, 127}, {7, 0x3E}, {8, 15}}));
    for (int v = 14; v >= 1; --v) {
        // 2^((2V + 1 - 31) / 4): volume 11 is a quarter of 15.
        const double want = std::exp2((v - 15) / 2.0);
        EXPECT_NEAR(rms(render(ntsc_clock, {{0, 127}, {7, 0x3E}, {8, v}})) / top, want, 0.005 * want + 0.5 / top)
            << "volume " << v;
    }
}

// A channel at 15 is 2.5 dB below a VRC6 pulse at 15 (as loud as a 2A03
// pulse) at any output volume, and rises as theirs do.
TEST(ChipS5bOutput, FullScaleSitsBelowAPulseAndKeepsItsPolarity)
{
    for (const double volume : {1.0, 0.5, 2.0}) {
        // Both 440.4 Hz squares: TP 127, and period 253 with duty 8/16.
        const double s5b = rms(render(ntsc_clock, {{0, 127}, {7, 0x3E}, {8, 15}}, volume));
        const double vrc6 = rms(render(ntsc_clock, {{0x9000, 0x7F}, {0x9001, 253}, {0x9002, 0x80}}, volume));
        EXPECT_NEAR(s5b / vrc6, std::pow(10.0, -2.5 / 20), 0.002) << "volume " << volume;
    }
    // Past the kernel's delay, before the high-pass has taken much of the step.
    EXPECT_NEAR(render(ntsc_clock, {{7, 0x3F}, {8, 15}})[20], Chip_S5b().amplitude(31), 0.04 * 5544);
}

// The chip's output against its own logged levels played change by change
// through add_amplitude, as a straightforward loop would: a buzz, whose steps
// go into the buffer a cycle's rows at a time, and a lone tone, whose flips
// skip the general loop, must come out sample for sample the same. Random
// envelope shapes, periods, restarts and mixers, one channel on the tone or
// the envelope or several, at two sample rates.
TEST(ChipS5bOutput, BuzzAndToneSoundAsTheirLevelsChangeByChange)
{
    for (const int32_t sample_rate : {44100, 48000}) {
        SCOPED_TRACE(sample_rate);
        std::mt19937 random(static_cast<uint32_t>(sample_rate));
        Band_Buffer fast, reference;
        for (Band_Buffer* b : {&fast, &reference}) {
            b->set_clock_rate(static_cast<int32_t>(ntsc_clock));
            ASSERT_EQ(b->set_sample_rate(sample_rate), nullptr);
        }
        Chip_S5b chip, logged;
        chip.set_output(&fast);
        Level_Log logs[3];
        int levels[3] = {};
        for (int c = 0; c < 3; ++c)
            logged.osc_log(c, &logs[c]);
        Band_Synth<12> synth(15);
        synth.set_volume(1.0);
        constexpr int32_t frame = 29781;
        constexpr long want = 60 * 735;
        std::vector<short> out_fast(want), out_reference(want);
        long got_fast = 0, got_reference = 0;
        auto write = [&](int32_t time, int reg, int data) {
            for (Chip_S5b* c : {&chip, &logged}) {
                c->write_register(time, 0xC000, reg);
                c->write_register(time + 2, 0xE000, data);
            }
        };
        for (int f = 0; got_fast < want; ++f) {
            // A buzz as a voice plays it, and now and then what stops its fast way.
            const int osc = static_cast<int>(random() % 3);
            const bool tone = random() % 2;
            const int mixer = tone ? 0x3F & ~(1 << osc) : 0x3F;
            write(4, 7, random() % 6 ? mixer : static_cast<int>(random() % 64));
            write(8, 8 + osc, tone ? static_cast<int>(random() % 16) : 0x10 | static_cast<int>(random() % 16));
            write(12, 8 + (osc + 1) % 3, random() % 4 ? static_cast<int>(random() % 16) : 0x10);
            write(16, 11, static_cast<int>(random() % 48));
            write(20, 12, random() % 8 ? 0 : 1);
            if (random() % 3 == 0)
                write(24, 13, random() % 4 ? 0x08 + static_cast<int>(random() % 8) : static_cast<int>(random() % 16));
            if (tone) {
                write(30, 2 * osc, static_cast<int>(random() % 256));
                write(34, 2 * osc + 1, random() % 4 ? 0 : static_cast<int>(random() % 16));
            }
            int32_t t = 40;
            while (t < frame) {
                const int32_t to = std::min(frame, t + 1 + static_cast<int32_t>(random() % 1000));
                if (random() % 8 == 0 && to < frame - 4)
                    write(to, 11 + static_cast<int>(random() % 3), static_cast<int>(random() % 16));
                const int32_t end = to < frame ? to + 3 : frame;
                chip.run_until(end);
                logged.run_until(end);
                for (int c = 0; c < 3; ++c) {
                    for (int32_t e = 0; e < logs[c].count; ++e) {
                        const Level_Log::Entry& entry = logs[c].entries[e];
                        const int32_t delta = logged.amplitude(entry.level) - logged.amplitude(levels[c]);
                        if (delta)
                            synth.add_amplitude(reference.to_buffer_time(entry.time), delta, reference);
                        levels[c] = entry.level;
                    }
                    logs[c].clear();
                }
                t = end;
            }
            chip.end_frame(frame);
            logged.end_frame(frame);
            fast.end_frame(frame);
            reference.end_frame(frame);
            got_fast += fast.read_samples(out_fast.data() + got_fast, want - got_fast);
            got_reference += reference.read_samples(out_reference.data() + got_reference, want - got_reference);
        }
        ASSERT_EQ(got_fast, got_reference);
        long differ = 0;
        for (long i = 0; i < want; ++i)
            differ += out_fast[i] != out_reference[i];
        EXPECT_EQ(differ, 0) << "samples that differ from the change-by-change output";
    }
}

// ---- idling, requirements ----

TEST(ChipS5b, IdlesOnlyWhenEveryChannelIsSilentAndNothingWasWritten)
{
    Chip_S5b chip;
    EXPECT_TRUE(chip.idle()) << "silent at power-up";
    // reg, data; whether idle after the write and after the frame's end
    const int cases[][4] = {{0, 100, 0, 1}, {9, 3, 0, 0}, {9, 0x10, 0, 0}, {9, 0, 0, 1}};
    for (const auto& c : cases) {
        chip.write_register(10, 0xC000, c[0]);
        chip.write_register(20, 0xE000, c[1]);
        EXPECT_EQ(chip.idle(), c[2] != 0) << c[0] << " " << c[1];
        chip.end_frame(1000);
        EXPECT_EQ(chip.idle(), c[3] != 0) << c[0] << " " << c[1];
    }
}

TEST(ChipS5b, RequirementsFailWithTheirMessages)
{
    Chip_S5b chip;
    EXPECT_REQUIREMENT(chip.write_register(0, 0xE000, 0x100), "unmet requirement", "(unsigned) data <= 0xff");
    chip.run_until(100);
    EXPECT_REQUIREMENT(chip.run_until(99), "unmet requirement", "end_time >= last_time");
    EXPECT_REQUIREMENT(chip.osc_output(3, nullptr), "Chip_S5b::osc_output(): Index out of range",
                       "0 <= osc && osc < osc_count");
    EXPECT_REQUIREMENT(chip.osc_log(-1, nullptr), "Chip_S5b::osc_log(): Index out of range",
                       "0 <= osc && osc < osc_count");
}

}  // namespace
