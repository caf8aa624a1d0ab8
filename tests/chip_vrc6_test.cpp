// Chip_Vrc6: its output for random register sequences, frame after frame,
// against the chip described clock by clock; the addresses it answers; and its
// requirements.
#include "ChipTestSupport.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// The VRC6 as its description tells it, one clock at a time: each enabled
// channel's divider counts down once a clock and, at 0, reloads with the
// period and steps its channel. In each clock the writes come first, and what
// they or the steps change sounds from that clock on. An enable starts a
// whole step: P + 1 clocks to the first.
class Reference_Vrc6 {
public:
    void write(unsigned addr, int data)
    {
        if (addr == 0x9003) {
            control_ = data;
            return;
        }
        const int channel = static_cast<int>(addr >> 12) - 9;
        const int reg = static_cast<int>(addr & 0xFFF);
        if (channel < 0 || channel > 2 || reg > 2)
            return;
        const bool was_on = on(channel);
        regs_[channel][reg] = data;
        if (!on(channel)) {
            step_[channel] = 0;
            if (channel == 2)
                accumulator_ = 0;
        } else if (!was_on) {
            divider_[channel] = period(channel) + 1;
        }
    }

    void clock()
    {
        if (control_ & 1)
            return;
        for (int channel = 0; channel < 3; ++channel) {
            if (!on(channel))
                continue;
            if (divider_[channel] > 0) {
                --divider_[channel];
                continue;
            }
            divider_[channel] = period(channel);
            if (channel < 2) {
                step_[channel] = (step_[channel] + 1) % 16;
            } else if (++step_[2] == 14) {
                step_[2] = 0;
                accumulator_ = 0;
            } else if (step_[2] % 2 == 0) {
                accumulator_ = (accumulator_ + (regs_[2][0] & 63)) % 256;
            }
        }
    }

    // The three outputs added, in steps.
    int level() const
    {
        int sum = 0;
        for (int channel = 0; channel < 2; ++channel) {
            const int mode = regs_[channel][0] >> 7, duty = (regs_[channel][0] >> 4) & 7;
            if (on(channel) && (mode == 1 || step_[channel] <= duty))
                sum += regs_[channel][0] & 15;
        }
        if (on(2))
            sum += accumulator_ / 8;
        return sum;
    }

private:
    bool on(int channel) const { return regs_[channel][2] >= 128; }
    int period(int channel) const
    {
        const int full = (regs_[channel][2] & 15) * 256 + regs_[channel][1];
        return control_ & 4 ? full / 256 : control_ & 2 ? full / 16 : full;
    }

    int regs_[3][3] = {};
    int control_ = 0;
    int divider_[3] = {};
    int step_[3] = {};
    int accumulator_ = 0;
};

struct Timed_Write {
    int32_t time;
    unsigned addr;
    int data;
};

// A frame's worth of random writes, in time order: mostly periods short
// enough to step many times a frame, every mode, duty, volume and rate, the
// enables toggled now and then, and the frequency control rarely set.
std::vector<Timed_Write> random_writes(std::mt19937& random, int32_t frame_length)
{
    constexpr unsigned registers[] = {0x9000, 0x9001, 0x9002, 0xA000, 0xA001, 0xA002, 0xB000, 0xB001, 0xB002};
    std::vector<Timed_Write> writes;
    const int count = static_cast<int>(random() % 6);
    for (int i = 0; i < count; ++i) {
        const auto time = static_cast<int32_t>(random() % static_cast<uint32_t>(frame_length));
        unsigned addr = registers[random() % 9];
        int data = static_cast<int>(random() % 256);
        if ((addr & 0xFFF) == 2)
            data = (random() % 5 == 0 ? 0x00 : 0x80) | static_cast<int>(random() % 3);  // periods up to 767
        if (random() % 40 == 0) {
            addr = 0x9003;
            data = static_cast<int>(random() % 8);
        } else if (random() % 60 == 0) {
            addr = 0x9004 + static_cast<unsigned>(random() % 0x7000);  // mostly no register at all
        }
        writes.push_back({time, addr, data});
    }
    std::sort(writes.begin(), writes.end(), [](const Timed_Write& a, const Timed_Write& b) { return a.time < b.time; });
    return writes;
}

TEST(ChipVrc6, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    for (const long clock_rate : {ntsc_clock, pal_clock}) {
        // The chip plays inside a voice, which skips its frame ends while
        // nothing is enabled; the reference steps every clock of every frame.
        VoiceChip voice;
        ASSERT_EQ(voice.setup(clock_rate, 48000, clock_rate == ntsc_clock ? 60 : 50), nullptr);
        Band_Buffer reference_buffer;
        reference_buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
        ASSERT_EQ(reference_buffer.set_sample_rate(48000), nullptr);
        Band_Synth<12> synth{15};
        synth.set_unit(voice.expansion<Chip_Vrc6>().synth().unit());
        Reference_Vrc6 reference;
        int reference_level = 0;

        std::mt19937 random(static_cast<uint32_t>(clock_rate));
        int64_t heard = 0;
        for (int frame = 0; frame < 240; ++frame) {
            const int32_t length = voice.frame_length ^ 1;  // the length end_frame is about to use
            const std::vector<Timed_Write> writes = random_writes(random, length);
            for (const Timed_Write& w : writes)
                voice.expansion<Chip_Vrc6>().write_register(w.time, w.addr, w.data);
            size_t next = 0;
            for (int32_t t = 0; t < length; ++t) {
                while (next < writes.size() && writes[next].time == t) {
                    reference.write(writes[next].addr, writes[next].data);
                    ++next;
                }
                reference.clock();
                if (const int level = reference.level(); level != reference_level) {
                    synth.add_delta(t, level - reference_level, reference_buffer);
                    reference_level = level;
                }
            }
            voice.end_frame();
            reference_buffer.end_frame(length);

            ASSERT_EQ(voice.buffer.samples_avail(), reference_buffer.samples_avail());
            std::vector<short> got(static_cast<size_t>(voice.buffer.samples_avail()));
            std::vector<short> want(got.size());
            voice.buffer.read_samples(got.data(), static_cast<long>(got.size()));
            reference_buffer.read_samples(want.data(), static_cast<long>(want.size()));
            ASSERT_EQ(got, want) << "frame " << frame << " at " << clock_rate << " Hz";
            heard += std::count_if(got.begin(), got.end(), [](short s) { return s != 0; });
        }
        EXPECT_GT(heard, 240 * 400) << "the comparison heard the chip most of the time";
    }
}

TEST(ChipVrc6, AnswersItsTenRegistersOnly)
{
    Chip_Vrc6 vrc6;
    for (unsigned addr : {0x8000u, 0x8002u, 0x9004u, 0xA003u, 0xB003u, 0xC000u, 0xC002u, 0x4015u, 0x19002u})
        vrc6.write_register(4, addr, 0xFF);
    EXPECT_EQ(vrc6.frequency_control(), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(vrc6.pulse(i).enabled());
    EXPECT_FALSE(vrc6.saw().enabled());

    const unsigned addrs[] = {0x9000, 0x9001, 0x9002, 0x9003, 0xA000, 0xA001, 0xA002, 0xB000, 0xB001, 0xB002};
    for (unsigned addr : addrs)
        vrc6.write_register(8, addr, 0x85);
    EXPECT_EQ(vrc6.frequency_control(), 0x85);
    for (const Vrc6_Osc* osc :
         {static_cast<const Vrc6_Osc*>(&vrc6.pulse(0)), static_cast<const Vrc6_Osc*>(&vrc6.pulse(1)),
          static_cast<const Vrc6_Osc*>(&vrc6.saw())})
        EXPECT_EQ(osc->period(), 0x585);
    EXPECT_EQ(vrc6.saw().rate(), 5);
    EXPECT_EQ(vrc6.pulse(1).duty(), 0);
    EXPECT_TRUE(vrc6.pulse(1).constant());
    EXPECT_FALSE(vrc6.idle());
    vrc6.reset();
    EXPECT_TRUE(vrc6.idle());
}

TEST(ChipVrc6, RequirementsFailWithTheirMessages)
{
    Chip_Vrc6 vrc6;
    EXPECT_REQUIREMENT(vrc6.write_register(0, 0x9000, 0x100), "unmet requirement", "(unsigned) data <= 0xff");
    vrc6.run_until(100);
    EXPECT_REQUIREMENT(vrc6.run_until(99), "unmet requirement", "end_time >= last_time");
    EXPECT_REQUIREMENT(vrc6.osc_output(3, nullptr), "Chip_Vrc6::osc_output(): Index out of range",
                       "0 <= osc && osc < osc_count");
}

}  // namespace
