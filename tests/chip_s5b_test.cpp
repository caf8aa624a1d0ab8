// Chip_S5b: its raw levels for chosen and random register sequences against
// the chip described clock by clock; the rendered output's pitches, volume
// steps and level beside the VRC6; the addresses it answers; idling; and its
// requirements.
#include "AudioMeasure.h"
#include "ChipTestSupport.h"
#include "chip/s5b/Chip_S5b.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

// The envelope's level `steps` steps after a $0D write, from the shape table
// as drawn: the first ramp by the attack bit, then per shape what follows.
int reference_envelope(int shape, int64_t steps)
{
    // After the first ramp: '_' held at 0, '-' held at 31, 's' the same ramp
    // again, 't' ramps alternating.
    static const char after_first[] = "________s_t-s-t_";
    const bool attack = (shape & 4) != 0;
    const int pos = static_cast<int>(steps % 32);
    const int64_t ramp = steps / 32;
    bool up = attack;
    if (ramp > 0) {
        switch (after_first[shape]) {
        case '_':
            return 0;
        case '-':
            return 31;
        case 't':
            up = attack != (ramp % 2 == 1);
            break;
        default:
            break;
        }
    }
    return up ? pos : 31 - pos;
}

// The 5B as its description tells it, one clock at a time: every 16th clock
// (counted from power-up) is a tick, which advances each tone counter, the
// noise counter and the envelope counter; a counter at or past its period
// (0 as 1) clears and flips its tone, or halves into a noise shift, or steps
// the envelope. In each clock the writes come first.
class Reference_S5b {
public:
    void write(unsigned addr, int data)
    {
        if (addr >= 0xC000 && addr < 0xE000)
            select_ = data;
        else if (addr >= 0xE000 && addr <= 0xFFFF && select_ < 16) {
            regs_[select_] = data;
            if (select_ == 13) {
                shape_ = data & 15;
                envelope_steps_ = 0;
                envelope_count_ = 0;
                envelope_on_ = true;
            }
        }
    }

    void clock()
    {
        if (clock_++ % 16 != 0)
            return;
        for (int c = 0; c < 3; ++c) {
            const int period = (regs_[2 * c + 1] & 15) * 256 + regs_[2 * c];
            if (++tone_count_[c] >= std::max(period, 1)) {
                tone_count_[c] = 0;
                tone_[c] ^= 1;
            }
        }
        if (++noise_count_ >= std::max(regs_[6] & 31, 1)) {
            noise_count_ = 0;
            noise_half_ ^= 1;
            if (noise_half_ == 0)
                noise_ = (noise_ >> 1) | (((noise_ ^ (noise_ >> 3)) & 1) << 16);
        }
        if (++envelope_count_ >= std::max(regs_[12] * 256 + regs_[11], 1)) {
            envelope_count_ = 0;
            envelope_steps_ = std::min<int64_t>(envelope_steps_ + 1, 1 << 30);
        }
    }

    int level(int c) const
    {
        const bool tone_off = (regs_[7] >> c) & 1, noise_off = (regs_[7] >> (c + 3)) & 1;
        if (!((tone_[c] || tone_off) && ((noise_ & 1) || noise_off)))
            return 0;
        if (regs_[8 + c] & 16)
            return envelope_on_ ? reference_envelope(shape_, envelope_steps_) : 0;
        return (regs_[8 + c] & 15) == 0 ? 0 : 2 * (regs_[8 + c] & 15) + 1;
    }

private:
    int regs_[16] = {};
    int select_ = 0;
    int64_t clock_ = 0;
    int tone_count_[3] = {};
    int tone_[3] = {};
    int noise_count_ = 0;
    int noise_half_ = 0;
    uint32_t noise_ = 1;
    int envelope_count_ = 0;
    int64_t envelope_steps_ = 0;
    int shape_ = 0;
    bool envelope_on_ = false;
};

struct Timed_Write {
    int32_t time;
    unsigned addr;
    int data;
};

// Plays `frames` frames of `length` clocks into the chip and the reference,
// frame f's writes from writes(f), and expects the levels the chip logs to
// be the reference's at every clock. The chip runs `piece` clocks at a time
// at most; the logs are read and cleared after each. Answers the clocks
// where some channel sounded.
template <class Writes>
int64_t expect_levels_as_reference(int frames, int32_t length, Writes writes, int32_t piece = 1000)
{
    Chip_S5b chip;
    Level_Log logs[Chip_S5b::osc_count];
    for (int c = 0; c < Chip_S5b::osc_count; ++c)
        chip.osc_log(c, &logs[c]);
    Reference_S5b reference;
    int levels[Chip_S5b::osc_count] = {};  // the chip's, as logged so far
    int64_t heard = 0;
    long allocations = 0;
    std::vector<int> got[Chip_S5b::osc_count];
    for (int frame = 0; frame < frames; ++frame) {
        const std::vector<Timed_Write> frame_writes = writes(frame);
        for (std::vector<int>& g : got)
            g.assign(static_cast<size_t>(length), 0);
        int32_t read_to = 0;
        auto read_logs = [&](int32_t to) {
            for (int c = 0; c < Chip_S5b::osc_count; ++c) {
                int32_t e = 0;
                for (int32_t t = read_to; t < to; ++t) {
                    while (e < logs[c].count && logs[c].entries[e].time <= t)
                        levels[c] = logs[c].entries[e++].level;
                    got[c][static_cast<size_t>(t)] = levels[c];
                }
                logs[c].clear();
            }
            read_to = to;
        };
        size_t next = 0;
        for (int32_t end = piece;; end += piece) {
            const int32_t to = std::min(end, length);
            const long before = chip_test_allocations.load();
            for (; next < frame_writes.size() && frame_writes[next].time < to; ++next)
                chip.write_register(frame_writes[next].time, frame_writes[next].addr, frame_writes[next].data);
            if (to == length)
                chip.end_frame(length);
            else
                chip.run_until(to);
            allocations += chip_test_allocations.load() - before;
            read_logs(to);
            if (to == length)
                break;
        }
        next = 0;
        for (int32_t t = 0; t < length; ++t) {
            for (; next < frame_writes.size() && frame_writes[next].time == t; ++next)
                reference.write(frame_writes[next].addr, frame_writes[next].data);
            reference.clock();
            bool sounding = false;
            for (int c = 0; c < Chip_S5b::osc_count; ++c) {
                const int want = reference.level(c);
                sounding = sounding || want != 0;
                if (got[c][static_cast<size_t>(t)] != want) {
                    ADD_FAILURE() << "frame " << frame << ", clock " << t << ", channel " << c << ": level "
                                  << got[c][static_cast<size_t>(t)] << ", want " << want;
                    return heard;
                }
            }
            heard += sounding;
        }
    }
    EXPECT_EQ(allocations, 0) << "running the chip allocated";
    return heard;
}

struct Reg_Value {
    int reg;
    int data;
};

// Each write a select and a data write, four clocks apart from `time` on.
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

const Sequence_Case sequence_cases[] = {
    {"tone, fixed volumes on each channel", {{0, 5}, {2, 7}, {4, 0}, {5, 1}, {7, 0x38}, {8, 15}, {9, 1}, {10, 8}}, {}},
    {"tone period raised and lowered mid-cycle", {{0, 200}, {7, 0x3E}, {8, 12}}, {{0, 3}, {1, 0}}},
    {"tone periods 0 and 1", {{0, 0}, {2, 1}, {7, 0x38}, {8, 9}, {9, 9}}, {{4, 0}, {10, 9}}},
    {"noise alone, period change", {{6, 1}, {7, 0x37}, {8, 15}}, {{6, 31}}},
    {"noise period 0", {{6, 0}, {7, 0x2D}, {9, 4}}, {}},
    {"tone and noise both, chopped", {{0, 9}, {6, 3}, {7, 0x06}, {8, 13}}, {{7, 0x00}, {9, 10}}},
    {"both off: constant level", {{7, 0x3F}, {8, 7}, {9, 0}}, {{8, 0}, {9, 15}}},
    {"envelope saw $08 on a constant gate", {{7, 0x3F}, {8, 0x10}, {11, 3}, {13, 0x08}}, {{11, 40}}},
    {"envelope triangle $0A with a tone", {{0, 11}, {7, 0x3E}, {8, 0x1F}, {11, 2}, {13, 0x0A}}, {{13, 0x0A}}},
    {"envelope holds $0B, $0D; restarted", {{7, 0x3F}, {8, 0x10}, {9, 0x10}, {11, 1}, {13, 0x0B}}, {{13, 0x0D}}},
    {"envelope period 0", {{7, 0x3F}, {10, 0x10}, {13, 0x0E}}, {{12, 1}}},
    {"envelope to fixed volume and back", {{7, 0x3F}, {8, 0x10}, {11, 5}, {13, 0x0C}}, {{8, 6}, {8, 0x16}}},
    {"select for another chip blocks writes", {{7, 0x3F}, {8, 5}}, {{0x18, 15}, {0x28, 0}}},
};

TEST(ChipS5b, RegisterSequencesSoundAsTheClockByClockChip)
{
    for (const Sequence_Case& c : sequence_cases) {
        SCOPED_TRACE(c.name);
        const int64_t heard = expect_levels_as_reference(3, 29781, [&](int frame) {
            std::vector<Timed_Write> w;
            if (frame == 0)
                add_writes(w, 4, c.first);
            if (frame == 1)
                add_writes(w, 3001, c.later);
            return w;
        });
        EXPECT_GT(heard, 0) << "the sequence sounded";
    }
}

TEST(ChipS5b, EveryEnvelopeShapeFollowsTheShapeTable)
{
    // Steps 0..95, one mark each ramp of 32: '\' falling, '/' rising, '_' held at 0, '-' held at 31.
    const char* const drawn[16] = {"\\__",   "\\__", "\\__",  "\\__", "/__", "/__", "/__",  "/__",
                                   "\\\\\\", "\\__", "\\/\\", "\\--", "///", "/--", "/\\/", "/__"};
    for (int shape = 0; shape < 16; ++shape)
        for (int step = 0; step < 96; ++step) {
            const int pos = step % 32;
            const char mark = drawn[shape][step / 32];
            const int want = mark == '\\' ? 31 - pos : mark == '/' ? pos : mark == '-' ? 31 : 0;
            ASSERT_EQ(reference_envelope(shape, step), want) << "shape " << shape << ", step " << step;
        }
    // The chip steps every shape as the reference does, each restarted mid-ramp.
    expect_levels_as_reference(16, 20000, [](int frame) {
        std::vector<Timed_Write> w;
        add_writes(w, 8, {{7, 0x3F}, {8, 0x10}, {11, 20}, {13, frame}});
        add_writes(w, 15000, {{11, 3}, {13, frame}});
        return w;
    });
}

// Generators no channel hears run a whole frame in one stride, many
// envelope steps and noise shifts at once, and must come out where they
// would have been.
TEST(ChipS5b, GeneratorsNoOneHearsKeepTime)
{
    expect_levels_as_reference(
        5, 29781,
        [](int frame) {
            std::vector<Timed_Write> w;
            if (frame == 0)
                add_writes(w, 4, {{0, 3}, {6, 1}, {7, 0x3F}, {8, 15}, {11, 1}, {13, 0x0A}});
            if (frame == 2)
                add_writes(w, 5001, {{8, 0x10}});  // the triangle, heard from here
            if (frame == 3)
                add_writes(w, 7001, {{7, 0x36}, {9, 9}});  // tone A and noise B
            return w;
        },
        29781);
}

// A frame's worth of random writes, in time order: short periods so that
// everything moves many times a frame, every mixer, volume and shape, now
// and then a select for another chip or an address outside the chip.
std::vector<Timed_Write> random_writes(std::mt19937& random, int32_t length)
{
    std::vector<Timed_Write> writes;
    const int count = static_cast<int>(random() % 8);
    for (int i = 0; i < count; ++i) {
        const auto time = static_cast<int32_t>(random() % static_cast<uint32_t>(length - 4));
        const int reg = static_cast<int>(random() % 16);
        int data = static_cast<int>(random() % 256);
        if (reg == 1 || reg == 3 || reg == 5 || reg == 12)
            data = random() % 4 == 0 ? data : 0;  // mostly short periods
        if (reg == 11 && random() % 2)
            data %= 8;
        const int select = random() % 30 == 0 ? reg | 0x10 * static_cast<int>(1 + random() % 15) : reg;
        writes.push_back({time, random() % 2 ? 0xC000u : 0xD123u, select});
        writes.push_back({time + 2, random() % 2 ? 0xE000u : 0xFFFFu, data});
        if (random() % 20 == 0)
            writes.push_back({time + 3, static_cast<unsigned>(random() % 0xC000), data});
    }
    std::stable_sort(writes.begin(), writes.end(),
                     [](const Timed_Write& a, const Timed_Write& b) { return a.time < b.time; });
    return writes;
}

TEST(ChipS5b, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    std::mt19937 random(5);
    const int64_t heard = expect_levels_as_reference(600, 29781, [&](int) { return random_writes(random, 29781); });
    EXPECT_GT(heard, 600 * 29781 / 4) << "the comparison heard the chip much of the time";
}

// ---- the rendered output ----

constexpr int sample_rate = 48000;

struct Rendered {
    Band_Buffer buffer;
    Chip_S5b chip;
    Chip_Vrc6 vrc6;
    long clock_rate;

    explicit Rendered(long clock) : clock_rate(clock)
    {
        buffer.set_clock_rate(static_cast<int32_t>(clock));
        EXPECT_EQ(buffer.set_sample_rate(sample_rate), nullptr);
        chip.set_output(&buffer);
        vrc6.set_output(&buffer);
    }
    // Half a second: the writes (5B registers, or VRC6 addresses from
    // $9000 up) at its start, then frames alone.
    std::vector<float> play(std::initializer_list<Reg_Value> writes)
    {
        int32_t time = 0;
        for (const Reg_Value& w : writes) {
            if (w.reg >= 0x9000) {
                vrc6.write_register(time += 4, static_cast<unsigned>(w.reg), w.data);
            } else {
                chip.write_register(time += 4, 0xC000, w.reg);
                chip.write_register(time += 4, 0xE000, w.data);
            }
        }
        std::vector<float> out;
        const auto frame = static_cast<int32_t>(clock_rate / 60);
        for (int f = 0; f < 30; ++f) {
            chip.end_frame(frame);
            vrc6.end_frame(frame);
            buffer.end_frame(frame);
            std::vector<short> s(static_cast<size_t>(buffer.samples_avail()));
            buffer.read_samples(s.data(), static_cast<long>(s.size()));
            out.insert(out.end(), s.begin(), s.end());
        }
        return out;
    }
};

// Root mean square about the mean, past the first tenth (the high-pass settling).
double rms(const std::vector<float>& s)
{
    const size_t from = s.size() / 10;
    double sum = 0.0, squares = 0.0;
    for (size_t i = from; i < s.size(); ++i)
        sum += s[i];
    const double mean = sum / static_cast<double>(s.size() - from);
    for (size_t i = from; i < s.size(); ++i)
        squares += (s[i] - mean) * (s[i] - mean);
    return std::sqrt(squares / static_cast<double>(s.size() - from));
}

struct Pitch_Case {
    const char* name;
    std::initializer_list<Reg_Value> writes;
    double clocks_per_cycle;
};

TEST(ChipS5bOutput, PitchesFollowThePeriodsOnNtscAndPal)
{
    const Pitch_Case cases[] = {
        {"tone TP 254", {{0, 254}, {7, 0x3E}, {8, 15}}, 32.0 * 254},
        {"tone TP 1000", {{2, 1000 & 255}, {3, 1000 >> 8}, {7, 0x3D}, {9, 12}}, 32.0 * 1000},
        {"tone TP 37", {{4, 37}, {7, 0x3B}, {10, 15}}, 32.0 * 37},
        {"saw $08 EP 8", {{7, 0x3F}, {8, 0x10}, {11, 8}, {13, 0x08}}, 512.0 * 8},
        {"triangle $0A EP 8", {{7, 0x3F}, {9, 0x10}, {11, 8}, {13, 0x0A}}, 1024.0 * 8},
        {"saw $0C EP 3", {{7, 0x3F}, {10, 0x10}, {11, 3}, {13, 0x0C}}, 512.0 * 3},
    };
    for (const long clock : {ntsc_clock, pal_clock})
        for (const Pitch_Case& c : cases) {
            Rendered r(clock);
            const std::vector<float> s = r.play(c.writes);
            const double want = static_cast<double>(clock) / c.clocks_per_cycle;
            // The rate the buffer places changes at: its clocks-to-samples factor is rounded.
            const double rate = r.buffer.factor() / 65536.0 * static_cast<double>(clock);
            const double got = autocorrelationFrequency(s, s.size() / 4, s.size(), rate, want);
            EXPECT_NEAR(got / want, 1.0, 1e-4) << c.name << " at " << clock << " Hz: " << got << " Hz";
        }
}

TEST(ChipS5bOutput, FixedVolumeStepsAreThreeDecibels)
{
    double top = 0.0;
    for (int v = 15; v >= 1; --v) {
        Rendered r(ntsc_clock);
        const double level = rms(r.play({{0, 127}, {7, 0x3E}, {8, v}}));
        if (v == 15)
            top = level;
        // 2^((2V + 1 - 31) / 4): volume 11 is a quarter of 15.
        EXPECT_NEAR(level / top, std::exp2((v - 15) / 2.0), 0.005 * std::exp2((v - 15) / 2.0) + 0.5 / top)
            << "volume " << v;
    }
}

// A channel at 15 is 2.5 dB below a VRC6 pulse at 15 (which is as loud as a
// 2A03 pulse), at any output volume, and its output rises as theirs do.
TEST(ChipS5bOutput, FullScaleSitsBelowAPulseAndKeepsItsPolarity)
{
    for (const double volume : {1.0, 0.5, 2.0}) {
        Rendered s5b(ntsc_clock), vrc6(ntsc_clock);
        s5b.chip.set_volume(volume);
        vrc6.vrc6.set_volume(volume);
        // Both 440.4 Hz squares: TP 127, and period 253 with duty 8/16.
        const double ratio = rms(s5b.play({{0, 127}, {7, 0x3E}, {8, 15}})) /
                             rms(vrc6.play({{0x9000, 0x7F}, {0x9001, 253}, {0x9002, 0x80}}));
        EXPECT_NEAR(ratio, std::pow(10.0, -2.5 / 20), 0.002) << "volume " << volume;
    }
    Rendered r(ntsc_clock);
    const std::vector<float> s = r.play({{7, 0x3F}, {8, 15}});
    // Past the kernel's delay, before the high-pass has taken much of the step.
    EXPECT_NEAR(s[20], r.chip.amplitude(31), 0.04 * r.chip.amplitude(31)) << "a rise, not a fall";
}

// ---- registers, idling, requirements ----

TEST(ChipS5b, AnswersSelectsAndDataInItsWindowsOnly)
{
    Chip_S5b chip;
    for (unsigned addr : {0x8000u, 0xA000u, 0xBFFFu, 0x4015u, 0x9000u, 0x10000u, 0x1C000u})
        chip.write_register(0, addr, 0x2F);
    EXPECT_EQ(chip.selected(), 0);
    EXPECT_EQ(chip.reg(0), 0);

    struct Step {
        unsigned addr;
        int data;
        int reg;   // then expected
        int want;  // in reg
    };
    const Step steps[] = {
        {0xC000, 0x08, 8, 0},     {0xE000, 0x1F, 8, 0x1F},  {0xFFFF, 0x05, 8, 0x05},  // several writes after one select
        {0xDFFF, 0x0D, 13, 0},    {0xE123, 0x0E, 13, 0x0E}, {0xC000, 0x1D, 13, 0x0E},  // bits 7-4 set: blocked
        {0xE000, 0x0A, 13, 0x0E}, {0xE000, 0x0B, 13, 0x0E}, {0xC000, 0xF0, 0, 0},
        {0xE000, 0x44, 0, 0},     {0xD000, 0x00, 0, 0},     {0xE000, 0x44, 0, 0x44},  // a clean select ends the block
    };
    int32_t time = 0;
    for (const Step& s : steps) {
        chip.write_register(time += 4, s.addr, s.data);
        EXPECT_EQ(chip.reg(s.reg), s.want) << std::hex << s.addr << " " << s.data;
    }
}

TEST(ChipS5b, IdlesOnlyWhenEveryChannelIsSilentAndNothingWasWritten)
{
    Chip_S5b chip;
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(sample_rate), nullptr);
    chip.set_output(&buffer);
    EXPECT_TRUE(chip.idle()) << "silent at power-up";
    auto frame_after = [&](int reg, int data) {
        chip.write_register(10, 0xC000, reg);
        chip.write_register(20, 0xE000, data);
        const bool written = chip.idle();
        chip.end_frame(1000);
        return std::pair{written, chip.idle()};
    };
    EXPECT_EQ(frame_after(0, 100), std::pair(false, true)) << "a period alone sounds nothing";
    EXPECT_EQ(frame_after(9, 3), std::pair(false, false)) << "a fixed volume sounds";
    EXPECT_EQ(frame_after(9, 0x10), std::pair(false, false)) << "an envelope may sound";
    EXPECT_EQ(frame_after(9, 0), std::pair(false, true)) << "silent again once the volume reaches 0";
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
