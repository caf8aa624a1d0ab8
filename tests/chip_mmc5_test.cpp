// Chip_Mmc5: each pulse's raw levels for scripted and random register
// sequences against the chip described clock by clock; its band-limited
// output measured (pitch, duty, level beside the 2A03's pulse); the idle test.
#include "ChipTestSupport.h"
#include "chip/Length_Table.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/mmc5/Chip_Mmc5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

// The MMC5's pulses as their description tells it, one clock at a time from
// reset. In each clock the writes come first, then a frame timer clock at
// every multiple of 7458, then, on even clocks, each timer counts down and,
// past 0, reloads and steps its sequence.
class Reference_Mmc5 {
public:
    void write(unsigned addr, int data)
    {
        if (addr == 0x5015) {
            enables_ = data;
            for (int c = 0; c < 2; ++c)
                length_[c] = enables_ >> c & 1 ? length_[c] : 0;
        } else if (addr >= 0x5000 && addr <= 0x5007) {
            const int c = static_cast<int>(addr - 0x5000) / 4, r = static_cast<int>(addr % 4);
            regs_[c][r] = data;
            if (r == 3) {
                length_[c] = enables_ >> c & 1 ? length_table[data >> 3] : length_[c];
                sequence_[c] = 0;
                start_[c] = true;
            }
        }
    }

    void clock()
    {
        for (int c = 0; c < 2; ++c) {
            const int v = regs_[c][0] % 16;
            const bool halt = regs_[c][0] & 0x20;
            if (now_ > 0 && now_ % 7458 == 0) {
                if (start_[c]) {
                    start_[c] = false;
                    decay_[c] = 15;
                    divider_[c] = v;
                } else if (divider_[c]-- == 0) {
                    divider_[c] = v;
                    decay_[c] = decay_[c] > 0 ? decay_[c] - 1 : halt ? 15 : 0;
                }
                if (length_[c] > 0 && !halt)
                    --length_[c];
            }
            if (now_ % 2 == 0 && timer_[c]-- == 0) {
                timer_[c] = regs_[c][3] % 8 * 256 + regs_[c][2];
                sequence_[c] = (sequence_[c] + 1) % 8;
            }
        }
        ++now_;
    }

    int level(int c) const
    {
        static const char* const sequences[4] = {"01000000", "01100000", "01111000", "10011111"};
        const int volume = regs_[c][0] & 0x10 ? regs_[c][0] % 16 : decay_[c];
        return length_[c] > 0 && sequences[regs_[c][0] >> 6][sequence_[c]] == '1' ? volume : 0;
    }

private:
    int64_t now_ = 0;
    int regs_[2][4] = {}, enables_ = 0, length_[2] = {}, sequence_[2] = {}, timer_[2] = {};
    bool start_[2] = {};
    int decay_[2] = {}, divider_[2] = {};
};


// Plays `writes` (in clock order) for `clocks` clocks into the reference and
// into two chips, in frames of 29780 and 29781 clocks: one logs its levels,
// run in pieces that the logs can hold, one adds to a band-limited buffer.
// Expects each pulse's changes of level to agree, and the buffer to hold
// what the reference's levels make; answers pulse 1's changes.
Level_Changes expect_as_reference(const std::vector<Clock_Write>& writes, int64_t clocks)
{
    Chip_Mmc5 chip, band_chip;
    Level_Log logs[2];
    Band_Buffer buffers[2];  // the band chip's, the reference's
    for (int c = 0; c < 2; ++c) {
        chip.osc_log(c, &logs[c]);
        buffers[c].set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffers[c].set_sample_rate(48000), nullptr);
    }
    band_chip.set_output(&buffers[0]);
    Band_Synth<12> synth{15};
    synth.set_unit(band_chip.synth().unit());
    Reference_Mmc5 reference;
    Level_Changes got[2], want[2];
    int64_t frame_start = 0;
    size_t next = 0;
    for (int64_t clock = 0, frame = 0, sum = 0; clock < clocks; ++clock) {
        const auto at = static_cast<int32_t>(clock - frame_start);
        for (; next < writes.size() && writes[next].clock == clock; ++next) {
            for (Chip_Mmc5* each : {&chip, &band_chip})
                each->write_register(at, writes[next].addr, writes[next].data);
            reference.write(writes[next].addr, writes[next].data);
        }
        reference.clock();
        for (int c = 0; c < 2; ++c)
            note_change(want[c], clock, reference.level(c));
        if (const int level = reference.level(0) + reference.level(1); level != sum) {
            synth.add_delta(at, level - static_cast<int>(sum), buffers[1]);
            sum = level;
        }
        const auto length = static_cast<int32_t>(29780 + frame % 2);
        if (at + 1 == length) {
            chip.end_frame(length);
            band_chip.end_frame(length);
            EXPECT_EQ(frame_samples(buffers[0], length), frame_samples(buffers[1], length)) << "frame " << frame;
        } else if ((at + 1) % 512 == 0 || clock + 1 == clocks) {
            chip.run_until(at + 1);
        } else {
            continue;
        }
        for (int c = 0; c < 2; ++c) {
            for (int i = 0; i < logs[c].count; ++i)
                note_change(got[c], frame_start + logs[c].entries[i].time, logs[c].entries[i].level);
            logs[c].clear();
        }
        if (at + 1 == length)
            frame_start += length, ++frame;
    }
    EXPECT_EQ(got[0], want[0]);
    EXPECT_EQ(got[1], want[1]);
    return want[0];
}

constexpr int64_t frame_clock = Chip_Mmc5::frame_timer_period;

// Pulse 1 enabled and started at clocks 0-2, then the script's own writes;
// `silent_from`: the clock where pulse 1 falls silent for good (0: never).
struct Script {
    const char* what;
    int duty_volume;  // $5000
    int period;
    int length_index;
    std::vector<Clock_Write> writes;
    int64_t clocks;
    int64_t silent_from;
};

TEST(ChipMmc5, ScriptedNotesSoundAsTheClockByClockChip)
{
    const Script scripts[] = {
        {"duty 12.5 %", 0x3F, 100, 1, {}, 60000, 0},
        {"duty 25 %", 0x7F, 37, 1, {}, 60000, 0},
        {"duty 50 %", 0xBF, 253, 1, {}, 60000, 0},
        {"duty 75 %", 0xFF, 600, 1, {}, 60000, 0},
        {"period change", 0xB8, 300, 1, {{5001, 0x5002, 20}, {9000, 0x5003, 0x0B}}, 60000, 0},
        {"phase reset mid-cycle", 0x7C, 90, 1, {{1000, 0x5003, 0x08}, {1101, 0x5003, 0x08}}, 60000, 0},
        {"enable off", 0xBF, 50, 1, {{20001, 0x5015, 0}, {30001, 0x5003, 0x08}}, 60000, 20001},
        {"length 2 at 240 Hz", 0x9F, 50, 3, {}, 60000, 2 * frame_clock},
        {"halted, then 254", 0xBF, 50, 1, {{100 * frame_clock, 0x5000, 0x9F}}, 360 * frame_clock, 353 * frame_clock},
        {"envelope decay", 0x83, 120, 1, {}, 62 * frame_clock, (1 + 15 * 4) * frame_clock},
        {"envelope loop", 0xA0, 120, 1, {}, 60 * frame_clock, 0},
        {"period 0", 0xBF, 0, 1, {}, 60000, 0},
        {"period 7", 0x7F, 7, 1, {{3001, 0x5002, 3}}, 60000, 0},
        {"sweep ignored", 0xBF, 1500, 1, {{20, 0x5001, 0x81}, {24, 0x5005, 0xFF}}, 60000, 0},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        std::vector<Clock_Write> writes = {{0, 0x5015, 1},
                                           {1, 0x5000, script.duty_volume},
                                           {1, 0x5002, script.period & 0xFF},
                                           {2, 0x5003, script.length_index << 3 | script.period >> 8}};
        writes.insert(writes.end(), script.writes.begin(), script.writes.end());
        const Level_Changes changes = expect_as_reference(writes, script.clocks);
        ASSERT_GT(changes.size(), 2u);
        // Within a cycle of the clock: the exact one is the reference's to check.
        if (script.silent_from) {
            EXPECT_EQ(changes.back().second, 0);
            EXPECT_LE(changes.back().first, script.silent_from);
            EXPECT_GT(changes.back().first, script.silent_from - 16 * (script.period + 1));
        }
    }
}

TEST(ChipMmc5, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    constexpr unsigned addrs[] = {0x5000, 0x5001, 0x5002, 0x5003, 0x5004, 0x5005,
                                  0x5006, 0x5007, 0x5010, 0x5011, 0x5015, 0x4003};
    std::mt19937 random(5);
    std::vector<Clock_Write> writes;
    for (int64_t clock = 0; clock < 4'000'000; clock += random() % 8000) {
        const unsigned addr = addrs[random() % 12];
        int data = static_cast<int>(random() % 256);
        if (addr % 4 == 3)
            data &= random() % 2 ? 0xF8 : 0xFF;  // short periods half the time
        else if (addr == 0x5015 && random() % 4)
            data |= 3;  // mostly enabling, so that notes start
        writes.push_back({clock, addr, data});
    }
    const Level_Changes changes = expect_as_reference(writes, 4'000'000);
    EXPECT_GT(changes.size(), 3000u) << "pulse 1 sounded much of the time";
}

// A note on pulse 1 of Chip_Mmc5 (`page` 0x5000) or Chip_Apu (0x4000), its
// registers written 4 clocks apart, then 40 frames of band-limited output.
template <class Chip>
std::vector<short> note(unsigned page, long clock_rate, int duty_volume, int period, int32_t highpass = 16)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    buffer.set_highpass(highpass);
    Chip chip;
    chip.osc_output(0, &buffer);
    int32_t time = 0;
    for (const auto& [reg, data] :
         {Reg_Write{0x15, 1}, {1, 0x08}, {0, duty_volume}, {2, period & 0xFF}, {3, 8 | period >> 8}})
        chip.write_register(time += 4, page + reg, data);
    std::vector<short> out;
    for (int frame = 0; frame < 40; ++frame) {
        chip.end_frame(29780);
        buffer.end_frame(29780);
        const size_t have = out.size();
        out.resize(have + static_cast<size_t>(buffer.samples_avail()));
        buffer.read_samples(out.data() + have, buffer.samples_avail());
    }
    out.erase(out.begin(), out.begin() + 4800);  // the start, where a high-pass would settle
    return out;
}

TEST(ChipMmc5, PitchIsTheClockOverSixteenPeriodsAndDutiesHighAnEighthToThreeQuarters)
{
    for (const long clock_rate : {ntsc_clock, pal_clock}) {
        // Samples per clock as the buffer places them: its 16.16 rate, rounded.
        Band_Buffer buffer;
        buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
        ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
        double mean[4];
        for (const auto& [duty, period] : {std::pair{0, 253}, {1, 5}, {2, 1000}, {3, 100}}) {
            std::vector<short> out = note<Chip_Mmc5>(0x5000, clock_rate, duty << 6 | 0x3F, period, 0);
            mean[duty] = std::accumulate(out.begin(), out.end(), 0.0) / static_cast<double>(out.size());
            for (short& s : out)
                s = static_cast<short>(s - mean[duty]);
            const std::vector<double> up = rising_crossings(out, 0, out.size(), 200);
            ASSERT_GT(up.size(), 50u);
            const double cycle = (up.back() - up.front()) / static_cast<double>(up.size() - 1);
            EXPECT_NEAR(cycle / (16.0 * (period + 1) * buffer.factor() / 65536.0), 1.0, 1e-5)
                << "period " << period << " at " << clock_rate << " Hz";
        }
        // Duties 1 and 3 are each other's inverse: together always high.
        for (int duty = 0; duty < 4; ++duty)
            EXPECT_NEAR(mean[duty] / (mean[1] + mean[3]), (duty == 0 ? 1.0 : duty * 2.0) / 8.0, 0.003) << duty;
    }
}

TEST(ChipMmc5, APulseSoundsAsThe2A03sAtTheSameVolumeAndAboveIt)
{
    const std::vector<short> mmc5 = note<Chip_Mmc5>(0x5000, ntsc_clock, 0xBF, 253);
    EXPECT_EQ(mmc5, note<Chip_Apu>(0x4000, ntsc_clock, 0xBF, 253));
    const auto [low, high] = std::minmax_element(mmc5.begin(), mmc5.end());
    EXPECT_GT(*high - *low, 3000);

    // Period 5, an 18.6 kHz tone: the 2A03 mutes it, the MMC5 has no sweep unit to.
    const std::vector<short> apu_high = note<Chip_Apu>(0x4000, ntsc_clock, 0xBF, 5);
    EXPECT_TRUE(std::all_of(apu_high.begin(), apu_high.end(), [](short s) { return s == 0; }));
    const std::vector<short> mmc5_high = note<Chip_Mmc5>(0x5000, ntsc_clock, 0xBF, 5);
    const auto [low5, high5] = std::minmax_element(mmc5_high.begin(), mmc5_high.end());
    EXPECT_GT(*high5 - *low5, (*high - *low) / 4);
}

TEST(ChipMmc5, IdleOnceSilentWithEveryEnvelopeSettled)
{
    Chip_Mmc5 mmc5;
    mmc5.write_register(0, 0x5010, 1);  // the PCM's, ignored
    EXPECT_TRUE(mmc5.idle());
    for (const auto& [addr, data] : {Reg_Write{0x5015, 3}, {0x5000, 0x0F}, {0x5002, 99}, {0x5003, 8}})
        mmc5.write_register(0, addr, data);
    EXPECT_FALSE(mmc5.idle()) << "written";
    mmc5.end_frame(29780);
    EXPECT_FALSE(mmc5.idle()) << "sounding";
    mmc5.write_register(0, 0x5015, 0);
    mmc5.end_frame(29780);
    EXPECT_FALSE(mmc5.idle()) << "silent, but the envelope has still to decay to 0";
    // It reaches 0 at the frame timer's 241st clock: one to start, 15 steps of 16.
    int frames = 2;
    for (; !mmc5.idle() && frames < 100; ++frames)
        mmc5.end_frame(29780);
    EXPECT_EQ(frames, (1 + 15 * 16) * frame_clock / 29780 + 1);
}

}  // namespace
