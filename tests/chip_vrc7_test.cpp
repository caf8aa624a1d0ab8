// Chip_Vrc7: the operator's ROMs against their curves computed another way;
// the phase of every sample against F 2^B MUL / 2; the envelope's timings
// against the rates' formulas; the band-limited output's pitch against
// fs F factor / 2^(19 - B) on NTSC and PAL clocks alike; the patches, the
// release, the volume steps, the reset bit, the register mirrors.
#include "AudioMeasure.h"
#include "ChipTestSupport.h"
#include "chip/Sound_Chip.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/vrc7/Chip_Vrc7.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <set>
#include <vector>

static_assert(Sound_Chip<Chip_Vrc7>);

namespace {

constexpr double vrc7_rate = 3579545.0 / 72;

struct Internal_Write {
    int reg;
    int data;
};

// The chip's DAC codes for one channel, sample by sample: the log's changes
// laid out on the sample times k 72 cpu / 3579545 clocks.
class Raw_Rig {
public:
    explicit Raw_Rig(long cpu_clock = ntsc_clock, int channel = 0) : cpu_(cpu_clock), channel_(channel)
    {
        chip.set_clock_rate(static_cast<int32_t>(cpu_clock));
        chip.reset();
        chip.osc_log(channel, &log_);
    }
    void write(const std::vector<Internal_Write>& writes)
    {
        for (const Internal_Write& w : writes) {
            chip.write_register(time_, 0x9010, w.reg);
            chip.write_register(time_, 0x9030, w.data);
        }
    }
    // The next `count` samples.
    std::vector<int> run(long count)
    {
        std::vector<int> out;
        const int64_t end_sample = sample_ + count;
        while (sample_ < end_sample) {
            // Spans of 1000 clocks keep within what a log holds.
            const int32_t to = std::min<int32_t>(time_ + 1000, clock_of(end_sample) - frame_start_ + 1);
            chip.run_until(to);
            for (int i = 0; i < log_.count; ++i)
                changes_.push_back({frame_start_ + log_.entries[i].time, log_.entries[i].level});
            log_.clear();
            time_ = to;
            for (; sample_ < end_sample && clock_of(sample_) < frame_start_ + time_; ++sample_) {
                while (next_change_ < changes_.size() && changes_[next_change_].first <= clock_of(sample_))
                    level_ = changes_[next_change_++].second;
                out.push_back(level_);
            }
            if (time_ > 20000) {
                chip.end_frame(time_);
                frame_start_ += time_;
                time_ = 0;
            }
        }
        return out;
    }

    Chip_Vrc7 chip;

private:
    int64_t clock_of(int64_t sample) const { return sample * 72 * cpu_ / 3579545; }

    long cpu_;
    int channel_;
    Level_Log log_;
    std::vector<std::pair<int64_t, int>> changes_;
    size_t next_change_ = 0;
    int level_ = 0;
    int64_t sample_ = 0;
    int64_t frame_start_ = 0;
    int32_t time_ = 0;
};

// A custom patch whose carrier alone sounds, a plain sine held at full level:
// the modulator never leaves its attack at rate 0, so it stays silent.
std::vector<Internal_Write> lone_carrier(int multiplier)
{
    return {
        {0x00, 0x20}, {0x01, 0x20 | multiplier}, {0x02, 0x3F}, {0x03, 0x00}, {0x04, 0x00}, {0x05, 0xF0}, {0x06, 0x00},
        {0x07, 0x00}};
}

void note_on(Raw_Rig& rig, int f_number, int block, int patch_volume)
{
    rig.write({{0x10, f_number & 0xFF}, {0x30, patch_volume}, {0x20, 0x10 | block << 1 | f_number >> 8}});
}

double rms(const std::vector<int>& s, size_t from, size_t to)
{
    double mean = 0, sum = 0;
    for (size_t i = from; i < to; ++i)
        mean += s[i];
    mean /= static_cast<double>(to - from);
    for (size_t i = from; i < to; ++i)
        sum += (s[i] - mean) * (s[i] - mean);
    return std::sqrt(sum / static_cast<double>(to - from));
}

TEST(ChipVrc7Roms, LogSineAndExponentFollowTheirCurves)
{
    const vrc7::Wave_Roms& roms = vrc7::wave_roms();
    for (int i = 0; i < 256; ++i) {
        SCOPED_TRACE(i);
        // The quarter sine read as a cosine from the other end, in natural logarithms.
        const double cosine = std::cos((255 - i + 0.5) * std::numbers::pi / 512);
        EXPECT_EQ(roms.logsin[static_cast<size_t>(i)], std::floor(-std::log(cosine) / std::numbers::ln2 * 256 + 0.5));
        EXPECT_EQ(roms.exp[static_cast<size_t>(i)], std::floor(1024 * std::pow(2.0, 1 - (i + 1) / 256.0) + 0.5));
    }
    EXPECT_EQ(roms.logsin[0], 2137);
    EXPECT_EQ(roms.logsin[255], 0);
    EXPECT_EQ(roms.exp[0], 2042);
    EXPECT_EQ(roms.exp[255], 1024);
}

TEST(ChipVrc7Roms, TremoloRisesToThirteenAndFallsBackOver210Steps)
{
    for (int k = 0; k < vrc7::tremolo_steps; ++k) {
        const int want = k < 104 ? k / 8 : k < 107 ? 13 : 12 - (k - 107) / 8;
        EXPECT_EQ(vrc7::tremolo_attenuation(k), want) << k;
    }
}

// Each sample's sign is bit 9 of the wave phase, the top bit of k inc mod 2^19
// counted from the attack's first sample: every increment exact, not only its mean.
TEST(ChipVrc7Phase, EverySamplesHalfWaveFollowsFTimes2ToTheBTimesTheFactor)
{
    struct Case {
        int f_number, block, multiplier;
    };
    const double factors[16] = {0.5, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 10, 12, 12, 15, 15};
    for (const Case& c : {Case{290, 4, 1},
                          {511, 7, 1},
                          {1, 0, 0},
                          {333, 0, 0},
                          {171, 3, 2},
                          {257, 5, 10},
                          {100, 2, 11},
                          {77, 6, 15},
                          {400, 1, 13},
                          {45, 4, 7}}) {
        SCOPED_TRACE(testing::Message() << "F " << c.f_number << " B " << c.block << " mult " << c.multiplier);
        Raw_Rig rig;
        rig.write(lone_carrier(c.multiplier));
        note_on(rig, c.f_number, c.block, 0x00);
        const std::vector<int> out = rig.run(4000);
        ASSERT_EQ(out.size(), 4000u);
        const auto increment =
            static_cast<int64_t>(std::floor(c.f_number * std::pow(2.0, c.block) * factors[c.multiplier]));
        int wrong = 0;
        for (int64_t k = 0; k < static_cast<int64_t>(out.size()); ++k) {
            const bool negative = (k * increment % (1 << 19)) >= (1 << 18);
            wrong += negative != (out[static_cast<size_t>(k)] < 0);
        }
        EXPECT_EQ(wrong, 0);
    }
}

// Band-limited output at 48 kHz: a lone carrier sounds at
// 49715.9 F factor / 2^(19 - B), the same on NTSC and PAL clocks.
TEST(ChipVrc7Phase, PitchIsTheCrystalsRateTimesFFactorOver2To19LessBOnAnyCpuClock)
{
    struct Case {
        int f_number, block, multiplier;
    };
    for (const Case& c : {Case{290, 4, 1}, {430, 3, 2}, {300, 5, 0}, {200, 2, 3}}) {
        const double factor = c.multiplier == 0 ? 0.5 : c.multiplier;
        const double hz = vrc7_rate * c.f_number * factor / std::pow(2.0, 19 - c.block);
        for (const long clock : {ntsc_clock, pal_clock}) {
            SCOPED_TRACE(testing::Message() << "F " << c.f_number << " B " << c.block << " mult " << c.multiplier
                                            << " clock " << clock << ": " << hz << " Hz");
            Band_Buffer buffer;
            buffer.set_clock_rate(static_cast<int32_t>(clock));
            ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
            Chip_Vrc7 chip;
            chip.set_clock_rate(static_cast<int32_t>(clock));
            chip.set_output(&buffer);
            int32_t t = 0;
            auto write = [&](int reg, int data) {
                chip.write_register(t += 4, 0x9010, reg);
                chip.write_register(t += 4, 0x9030, data);
            };
            for (const Internal_Write& w : lone_carrier(c.multiplier))
                write(w.reg, w.data);
            write(0x10, c.f_number & 0xFF);
            write(0x30, 0);
            write(0x20, 0x10 | c.block << 1 | c.f_number >> 8);
            std::vector<float> out;
            const int32_t frame = clock == ntsc_clock ? 29780 : 33247;
            while (out.size() < 48000) {
                chip.end_frame(frame);
                buffer.end_frame(frame);
                short block[2048];
                const long n = buffer.read_samples(block, 2048);
                out.insert(out.end(), block, block + n);
                t = 0;
            }
            // In the buffer's samples, whose clock-to-sample factor is rounded to 1/65536.
            const double heard = hz * 48000 / (static_cast<double>(clock) * buffer.factor() / 65536.0);
            EXPECT_NEAR(autocorrelationFrequency(out, 4800, 48000, 48000, hz) / heard, 1.0, 0.00003);
        }
    }
}

// The envelope on its own, against the global counter from 0: samples from
// its first step to its goal, inclusive.
long envelope_samples(int rate, int ksr_offset, Vrc7_Envelope::State state, int to)
{
    Vrc7_Envelope envelope;
    envelope.reset();
    Vrc7_Envelope::Rates rates;
    if (state != Vrc7_Envelope::State::attack) {
        // At full level first: an attack at rate 15 is instant.
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::attack)] = 15;
        envelope.set_rates(rates, 0);
        envelope.enter(Vrc7_Envelope::State::damp);
        envelope.step(0);
        EXPECT_EQ(envelope.level(), 0);
        rates = {};
    }
    rates.by_state[static_cast<int>(Vrc7_Envelope::State::damp)] = Vrc7_Envelope::damp_rate;
    rates.by_state[static_cast<int>(state)] = static_cast<uint8_t>(rate);
    rates.sustain_level = 15;
    envelope.set_rates(rates, ksr_offset);
    // From silence, damping ends at once and the attack begins.
    envelope.enter(state == Vrc7_Envelope::State::attack ? Vrc7_Envelope::State::damp : state);
    long first = -1;
    for (uint32_t c = 0; c < 4'000'000; ++c) {
        const int before = envelope.level();
        envelope.step(c);
        if (first < 0 && envelope.level() != before)
            first = c;
        if (first >= 0 && (state == Vrc7_Envelope::State::attack ? envelope.level() <= to : envelope.level() >= to))
            return static_cast<long>(c) - first + 1;
    }
    return -1;
}

TEST(ChipVrc7Envelope, DecayTakesOneStepPer2To16LessRateHiOver4PlusRateLoSamples)
{
    // 120 units (45 dB) at (4 + rate_lo) 2^(rate_hi - 16) a sample; rate_hi
    // 15 steps by 2 every sample.
    for (int rate_hi = 1; rate_hi <= 15; ++rate_hi) {
        for (int rate_lo = 0; rate_lo < 4; ++rate_lo) {
            SCOPED_TRACE(testing::Message() << "rate_hi " << rate_hi << " rate_lo " << rate_lo);
            const long got = envelope_samples(rate_hi, rate_lo, Vrc7_Envelope::State::decay, 120);
            if (rate_hi == 15) {
                EXPECT_EQ(got, 60);
                continue;
            }
            const double per_sample = (4 + rate_lo) * std::pow(2.0, rate_hi - 16);
            // From a first step to the 120th: within one step's spacing of the mean.
            EXPECT_NEAR(static_cast<double>(got), 119 / per_sample + 1, 1 / per_sample + 2);
        }
    }
}

TEST(ChipVrc7Envelope, AttackFromSilenceTakesTheOpllsTimes)
{
    // rate_lo 0: the OPLL's attack times, full scale, each rate_hi down doubling them.
    struct Case {
        int rate_hi;
        long samples;
    };
    for (const Case& c : {Case{1, 81922}, {4, 10242}, {8, 642}, {11, 82}, {12, 42}, {13, 25}, {14, 14}}) {
        EXPECT_EQ(envelope_samples(c.rate_hi, 0, Vrc7_Envelope::State::attack, 0), c.samples)
            << "rate_hi " << c.rate_hi;
    }
    // Rate 15 jumps to full level as the attack starts; rate 0 never starts.
    for (const int rate : {15, 0}) {
        Vrc7_Envelope::Rates rates;
        rates.by_state[0] = Vrc7_Envelope::damp_rate;
        rates.by_state[1] = static_cast<uint8_t>(rate);
        Vrc7_Envelope envelope;
        envelope.reset();
        envelope.set_rates(rates, 0);
        envelope.enter(Vrc7_Envelope::State::damp);
        EXPECT_TRUE(envelope.step(0));
        for (uint32_t c = 1; c < 10000; ++c)
            envelope.step(c);
        EXPECT_EQ(envelope.level(), rate ? 0 : 127) << "rate " << rate;
    }
}

// Key-scale rate: with KSR the offset is 2 B + F bit 8, without it B / 2;
// and rate 0 stays 0 whatever the offset.
TEST(ChipVrc7Envelope, KeyScaleRateAddsToTheRateButNeverMovesRateZero)
{
    for (const int offset : {0, 3, 5, 10, 15}) {
        for (const int rate : {0, 1, 6, 13, 15}) {
            Vrc7_Envelope::Rates rates;
            rates.by_state[static_cast<int>(Vrc7_Envelope::State::release)] = static_cast<uint8_t>(rate);
            Vrc7_Envelope envelope;
            envelope.reset();
            envelope.set_rates(rates, offset);
            EXPECT_EQ(envelope.rate_hi(), rate ? std::min(15, rate + offset / 4) : 0);
            EXPECT_EQ(envelope.rate_lo(), rate ? offset % 4 : 0);
        }
    }
}

// A held note whose operators both attack at rate 15 and never decay, told
// sample by sample the straightforward way: each phase k inc (summed, under
// vibrato), every table from its curve, no state but the feedback's two
// outputs. Only the envelope's movement is left out.
struct Held_Voice {
    int mod_flags, car_flags;  // $00/$01 bits 7-6: tremolo, vibrato; bits 3-0: multiplier
    int mod_ksl, mod_tl, car_ksl;
    int mod_half, car_half, feedback;
    int f_number, block, volume;

    std::vector<Internal_Write> patch() const
    {
        return {{0x00, 0x20 | mod_flags},
                {0x01, 0x20 | car_flags},
                {0x02, mod_ksl << 6 | mod_tl},
                {0x03, car_ksl << 6 | car_half << 4 | mod_half << 3 | feedback},
                {0x04, 0xF0},
                {0x05, 0xF0},
                {0x06, 0x00},
                {0x07, 0x00}};
    }

    std::vector<int> samples(int count) const
    {
        auto logsin = [](int i) {
            return static_cast<int>(std::lround(-std::log2(std::sin((i + 0.5) * std::numbers::pi / 512)) * 256));
        };
        auto exponent = [](int i) { return static_cast<int>(std::lround(std::exp2((255 - i) / 256.0) * 1024)); };
        auto key_scale = [this](int ksl) {
            const int base = std::max(0, vrc7::key_scale_rom[static_cast<size_t>(f_number / 32)] - 8 * (8 - block));
            const int per_ksl[4] = {0, base / 2, base, 2 * base};
            return per_ksl[ksl];
        };
        auto increment = [this](int flags, int k) {
            const double factor = (flags & 15) == 0 ? 0.5 : vrc7::multiplier_x2[static_cast<size_t>(flags & 15)] / 2;
            int doubled = 2 * f_number;
            if (flags & 0x40) {
                const int moves[8] = {0, doubled / 256,    doubled / 128,    doubled / 256,
                                      0, -(doubled / 256), -(doubled / 128), -(doubled / 256)};
                doubled += moves[(k / 1024) % 8];
            }
            return static_cast<long>(std::floor(std::floor(doubled * std::pow(2.0, block) / 2) * factor));
        };
        auto output = [&](long phase, int attenuation, bool half) {
            const int wave = static_cast<int>(phase % 1024);
            const int index = wave % 512 < 256 ? wave % 256 : 255 - wave % 256;
            const int level = std::min(4095, logsin(index) + 16 * std::min(127, attenuation));
            const int magnitude = static_cast<int>(exponent(level % 256) / std::pow(2, level / 256));
            if (wave < 512)
                return magnitude;
            return half ? -1 : -magnitude - 1;
        };
        std::vector<int> out;
        long mod_phase = 0, car_phase = 0;
        int last = 0, second = 0;
        for (int k = 0; k < count; ++k) {
            const int step = k / 64 % 210;
            const int tremolo = (step <= 105 ? step : 210 - step) / 8;
            const int mod_att = 2 * mod_tl + key_scale(mod_ksl) + (mod_flags & 0x80 ? tremolo : 0);
            const int car_att = 8 * volume + key_scale(car_ksl) + (car_flags & 0x80 ? tremolo : 0);
            const int fb =
                feedback ? static_cast<int>(std::floor(std::floor((last + second) / 2.0) / std::pow(2, 7 - feedback)))
                         : 0;
            const int m = output(((mod_phase >> 9) + fb + 4096) % 1024, mod_att, mod_half);
            second = last;
            last = m;
            const int c = output(((car_phase >> 9) + 2 * m + 8192) % 1024, car_att, car_half);
            const int value = static_cast<int>(std::floor(c / 8.0));
            out.push_back(value >= 0 ? value + 1 : value);
            mod_phase = (mod_phase + increment(mod_flags, k)) % (1 << 19);
            car_phase = (car_phase + increment(car_flags, k)) % (1 << 19);
        }
        return out;
    }
};

TEST(ChipVrc7Sound, HeldNotesMatchTheOperatorArithmeticSampleBySample)
{
    struct Case {
        const char* what;
        Held_Voice voice;
    };
    for (const Case& c : {
             Case{"no modulation", {0, 1, 0, 63, 0, 0, 0, 0, 290, 4, 0}},
             {"modulator at full level, x2 into the carrier", {1, 1, 0, 0, 0, 0, 0, 0, 290, 4, 0}},
             {"feedback 7, the mean of two outputs", {2, 1, 0, 20, 0, 0, 0, 7, 173, 5, 3}},
             {"feedback 3, multiplier 1/2", {0, 3, 0, 10, 0, 0, 0, 3, 401, 3, 1}},
             {"half-sines both, feedback 5", {1, 2, 0, 8, 0, 1, 1, 5, 260, 4, 0}},
             {"key scale 3 and 1, high block", {1, 1, 3, 12, 1, 0, 0, 1, 480, 7, 2}},
             {"key scale 2 both, volume 9", {4, 1, 2, 5, 2, 0, 1, 4, 300, 6, 9}},
             {"tremolo and vibrato on both", {0xC1, 0xC1, 0, 15, 0, 0, 0, 6, 511, 5, 0}},
         }) {
        SCOPED_TRACE(c.what);
        const Held_Voice& v = c.voice;
        Raw_Rig rig;
        rig.write(v.patch());
        note_on(rig, v.f_number, v.block, v.volume);
        const int count = 20000;
        const std::vector<int> got = rig.run(count);
        const std::vector<int> want = v.samples(count);
        int first_wrong = -1;
        for (int k = 0; k < count && first_wrong < 0; ++k) {
            if (got[static_cast<size_t>(k)] != want[static_cast<size_t>(k)])
                first_wrong = k;
        }
        EXPECT_EQ(first_wrong, -1) << "got " << got[static_cast<size_t>(std::max(first_wrong, 0))] << ", want "
                                   << want[static_cast<size_t>(std::max(first_wrong, 0))];
    }
}

TEST(ChipVrc7Sound, EveryBuiltInPatchSoundsAndEachDiffersFromTheOthers)
{
    std::set<std::vector<int>> renders;
    for (int patch = 1; patch < 16; ++patch) {
        SCOPED_TRACE(patch);
        Raw_Rig rig;
        note_on(rig, 290, 4, patch << 4);
        const std::vector<int> out = rig.run(12000);
        const auto [low, high] = std::minmax_element(out.begin(), out.end());
        EXPECT_GT(*high - *low, 100);
        renders.insert(out);
    }
    EXPECT_EQ(renders.size(), 15u);
}

// A carrier at full level released: silent only after 124 units at the
// release rate, (4 + rate_lo) 2^(rate_hi - 16) a sample, not at once.
TEST(ChipVrc7Sound, KeyOffReleasesAtTheReleaseRate)
{
    struct Case {
        const char* what;
        int carrier_flags;  // $01
        int sustain_bit;    // $2n bit 5
        int rr;
        int rate;  // the release rate that applies
    };
    for (const Case& c : {Case{"sustained: RR", 0x21, 0, 8, 8},
                          {"sustained, RR 6", 0x21, 0, 6, 6},
                          {"percussive: 7", 0x01, 0, 3, 7},
                          {"sustain bit: 5", 0x21, 0x20, 9, 5}}) {
        SCOPED_TRACE(c.what);
        Raw_Rig rig;
        rig.write({{0x00, 0x20},
                   {0x01, c.carrier_flags},
                   {0x02, 0x3F},
                   {0x03, 0x00},
                   {0x04, 0x00},
                   {0x05, 0xF0},
                   {0x06, 0x00},
                   {0x07, c.rr}});
        // Block 4, no KSR: key-scale offset 2.
        rig.write({{0x10, 290 & 0xFF}, {0x30, 0x00}, {0x20, c.sustain_bit | 0x10 | 4 << 1 | 290 >> 8}});
        rig.run(200);
        rig.write({{0x20, c.sustain_bit | 4 << 1 | 290 >> 8}});
        const double per_sample = (4 + 2) * std::pow(2.0, c.rate + 0 - 16);
        const std::vector<int> out = rig.run(static_cast<long>(124 / per_sample * 1.5));
        size_t last = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            if (out[i] != Chip_Vrc7::silent_level)
                last = i;
        }
        EXPECT_NEAR(static_cast<double>(last), 124 / per_sample, 0.03 * 124 / per_sample + 64);
        // Halfway through, 62 units (23.3 dB) down on the start.
        const size_t period = 113;  // about a period of 440 Hz
        const size_t half = static_cast<size_t>(62 / per_sample);
        EXPECT_NEAR(20 * std::log10(rms(out, half, half + 4 * period) / rms(out, 0, 4 * period)), -62 * 0.375, 1.0);
    }
}

// Guitar (patch 2), held, then released and struck again: the key-off
// freezes the modulator's envelope while the carrier releases; the new
// key-on first damps both, and only then restarts the phases and attacks.
TEST(ChipVrc7Sound, KeyOffFreezesTheModulatorAndARestrikeDampsBeforeItsAttack)
{
    Raw_Rig rig;
    note_on(rig, 290, 4, 0x20);
    rig.run(3000);
    const Vrc7_Envelope& mod = rig.chip.envelope(0, false);
    const Vrc7_Envelope& car = rig.chip.envelope(0, true);
    const int mod_level = mod.level();
    const int car_level = car.level();
    ASSERT_LT(mod_level, Vrc7_Envelope::quiet);
    rig.write({{0x20, 4 << 1 | 1}});
    rig.run(2000);
    EXPECT_EQ(mod.level(), mod_level);
    EXPECT_EQ(car.state(), Vrc7_Envelope::State::release);
    EXPECT_GT(car.level(), car_level);
    const int released = car.level();
    ASSERT_LT(released, Vrc7_Envelope::quiet);
    rig.write({{0x20, 0x10 | 4 << 1 | 1}});
    // Damping at rate 12 (offset 2 without KSR: 6 steps in 32 samples) up to 124.
    const std::vector<int> out = rig.run(8);
    EXPECT_EQ(car.state(), Vrc7_Envelope::State::damp);
    EXPECT_GE(car.level(), released);
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](int v) { return v != Chip_Vrc7::silent_level; }));
    rig.run(static_cast<long>((Vrc7_Envelope::quiet - released) * 32 / 6 + 16));
    EXPECT_NE(car.state(), Vrc7_Envelope::State::damp);
}

TEST(ChipVrc7Sound, EachVolumeStepIsThreeDecibels)
{
    std::vector<double> levels;
    for (int volume = 0; volume < 10; ++volume) {
        Raw_Rig rig;
        rig.write(lone_carrier(1));
        note_on(rig, 256, 5, volume);  // a period of exactly 64 samples
        const std::vector<int> out = rig.run(64 * 40);
        levels.push_back(20 * std::log10(rms(out, 64, out.size())));
    }
    for (size_t v = 1; v < levels.size(); ++v)
        EXPECT_NEAR(levels[v] - levels[v - 1], -3.0103, v < 7 ? 0.1 : 0.3) << "volume " << v;
}

// The levels' peak to peak in the buffer, the kernel's ringing aside: for a
// pulse the levels most often seen at top and bottom, for a sine its extremes.
template <class Play> std::vector<short> rendered(Play&& play)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    buffer.set_highpass(0);
    std::vector<short> out;
    play(buffer, [&](int32_t frame) {
        buffer.end_frame(frame);
        const size_t have = out.size();
        out.resize(have + static_cast<size_t>(buffer.samples_avail()));
        buffer.read_samples(out.data() + have, buffer.samples_avail());
    });
    return std::vector<short>(out.end() - 4800, out.end());
}

TEST(ChipVrc7Sound, AFullScaleSineSwingsElevenDecibelsAboveAFull2A03Pulse)
{
    const std::vector<short> sine = rendered([](Band_Buffer& buffer, auto end_frame) {
        Chip_Vrc7 chip;
        chip.set_output(&buffer);
        int32_t t = 0;
        for (const Internal_Write& w : lone_carrier(1)) {
            chip.write_register(t += 4, 0x9010, w.reg);
            chip.write_register(t += 4, 0x9030, w.data);
        }
        for (const Internal_Write& w : {Internal_Write{0x10, 290 & 0xFF}, {0x30, 0}, {0x20, 0x10 | 4 << 1 | 1}}) {
            chip.write_register(t += 4, 0x9010, w.reg);
            chip.write_register(t += 4, 0x9030, w.data);
        }
        for (int frame = 0; frame < 10; ++frame) {
            chip.end_frame(29780);
            end_frame(29780);
        }
    });
    const std::vector<short> pulse = rendered([](Band_Buffer& buffer, auto end_frame) {
        Chip_Apu apu;
        apu.osc_output(0, &buffer);
        int32_t t = 0;
        for (const auto& [addr, data] :
             {Reg_Write{0x4015, 1}, {0x4001, 0x08}, {0x4000, 0xBF}, {0x4002, 0xFF}, {0x4003, 0x09}})
            apu.write_register(t += 4, addr, data);
        for (int frame = 0; frame < 10; ++frame) {
            apu.end_frame(29780);
            end_frame(29780);
        }
    });
    std::vector<short> sorted = pulse;
    std::sort(sorted.begin(), sorted.end());
    const int pulse_swing = sorted[sorted.size() * 9 / 10] - sorted[sorted.size() / 10];
    const auto [low, high] = std::minmax_element(sine.begin(), sine.end());
    EXPECT_NEAR(20 * std::log10(static_cast<double>(*high - *low) / pulse_swing), 11.0, 0.15);
}

TEST(ChipVrc7Registers, MirrorsActAsTheirChannelsAndTheResetBitSilencesAndClears)
{
    Raw_Rig plain;
    plain.write(lone_carrier(1));
    note_on(plain, 290, 4, 0);
    Raw_Rig mirrored;
    mirrored.write(lone_carrier(1));
    mirrored.write({{0x19, 290 & 0xFF}, {0x39, 0}, {0x29, 0x10 | 4 << 1 | 1}, {0x40, 0xFF}, {0x08, 0xFF}});
    EXPECT_EQ(plain.run(3000), mirrored.run(3000));
    // $E000 bit 6: silent, and writes ignored while it holds.
    mirrored.chip.write_register(mirrored.chip.last_time(), 0xE000, 0x40);
    EXPECT_EQ(mirrored.chip.reg(0x10), 0);
    mirrored.write({{0x10, 0x55}});
    EXPECT_EQ(mirrored.chip.reg(0x10), 0);
    const std::vector<int> held = mirrored.run(500);
    EXPECT_TRUE(std::all_of(held.begin(), held.end(), [](int v) { return v == 0; }));
    mirrored.chip.write_register(mirrored.chip.last_time(), 0xE000, 0x00);
    const std::vector<int> after = mirrored.run(500);
    EXPECT_TRUE(std::all_of(after.begin() + 1, after.end(), [](int v) { return v == Chip_Vrc7::silent_level; }));
}

TEST(ChipVrc7Chip, RandomWritesStayInRangeAllocateNothingAndEndIdle)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    Chip_Vrc7 chip;
    Chip_Vrc7 logged;
    Level_Log logs[Chip_Vrc7::osc_count];
    chip.set_output(&buffer);
    for (int c = 0; c < Chip_Vrc7::osc_count; ++c)
        logged.osc_log(c, &logs[c]);
    const long before = chip_test_allocations;
    std::mt19937 random(11);
    for (int frame = 0; frame < 30; ++frame) {
        for (int32_t t = 0; t < 29000; t += 500) {
            for (Chip_Vrc7* c : {&chip, &logged}) {
                const bool select = random() % 2;
                const auto data = static_cast<int>(random() % 256);
                c->write_register(t, select ? 0x9010 : 0x9030, select ? data % 0x40 : data);
            }
            for (const Level_Log& log : logs) {
                for (int i = 0; i < log.count; ++i) {
                    ASSERT_GE(log.entries[i].level, Chip_Vrc7::min_level);
                    ASSERT_LE(log.entries[i].level, Chip_Vrc7::max_level);
                }
            }
            for (Level_Log& log : logs)
                log.clear();
        }
        chip.end_frame(29780);
        logged.end_frame(29780);
        buffer.end_frame(29780);
        buffer.remove_samples(buffer.samples_avail());
    }
    EXPECT_EQ(chip_test_allocations - before, 0);
    // Every key off and released: idle once the frame with the writes is over.
    for (int c = 0; c < Chip_Vrc7::osc_count; ++c) {
        chip.write_register(0, 0x9010, 0x20 + c);
        chip.write_register(0, 0x9030, 0x00);
        chip.write_register(0, 0x9010, 0x30 + c);
        chip.write_register(0, 0x9030, 0x10);  // a patch that releases
    }
    EXPECT_FALSE(chip.idle());
    for (int frame = 0; frame < 600 && !chip.idle(); ++frame) {
        chip.end_frame(29780);
        buffer.end_frame(29780);
        buffer.remove_samples(buffer.samples_avail());
    }
    EXPECT_TRUE(chip.idle());
}

}  // namespace

// The runs of samples between envelope steps and LFO moves against every
// sample run in full: random notes, patches (the custom one with feedback,
// half-sines, tremolo and vibrato), volumes and F-numbers over 1000 frames,
// heard through a buffer and the also-buffer, a buffer alone and a log, at
// three output rates on NTSC and PAL clocks. The buffers' samples and the logs' changes must be
// the same to the bit.
TEST(ChipVrc7Chip, RunsOfSamplesMatchEverySampleRunInFullUnderRandomWrites)
{
    struct Player {
        Band_Buffer buffer, also;
        Chip_Vrc7 chip;
        Level_Log logs[2];
        std::vector<short> heard, heard_also;
        std::vector<std::pair<int64_t, int>> logged[2];
    };
    struct Output {
        bool with_also;
        int32_t rate;  // 192 kHz: a sample's changes too far apart to sum two at a time
    };
    for (const long clock : {ntsc_clock, pal_clock}) {
        for (const auto [with_also, rate] : {Output{true, 48000}, {false, 44100}, {false, 192000}}) {
            SCOPED_TRACE(testing::Message() << "clock " << clock << (with_also ? ", also-buffer" : ", one buffer")
                                            << ", " << rate << " Hz");
            Player players[2];
            for (int n = 0; n < 2; ++n) {
                Player& p = players[n];
                for (Band_Buffer* b : {&p.buffer, &p.also}) {
                    b->set_clock_rate(static_cast<int32_t>(clock));
                    ASSERT_EQ(b->set_sample_rate(rate), nullptr);
                }
                p.chip.set_clock_rate(static_cast<int32_t>(clock));
                p.chip.set_sample_by_sample(n == 1);
                p.chip.set_outputs(&p.buffer, with_also ? &p.also : nullptr);
                // The last two channels logged.
                for (int c = 0; c < 2; ++c) {
                    p.chip.osc_output(4 + c, nullptr);
                    p.chip.osc_log(4 + c, &p.logs[c]);
                }
            }
            std::mt19937 random(static_cast<unsigned>(rate + with_also));
            auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
            const int32_t frame = clock == ntsc_clock ? 29780 : 33247;
            int64_t frame_start = 0;
            for (int f = 0; f < 1000; ++f) {
                // A few writes at random times, in order; a frame in ten none.
                std::vector<int32_t> times(static_cast<size_t>(f % 10 == 9 ? 0 : pick(7)));
                for (int32_t& t : times)
                    t = pick(frame);
                std::sort(times.begin(), times.end());
                for (const int32_t t : times) {
                    const int c = pick(6);
                    int reg, data = pick(256);
                    switch (pick(8)) {
                    case 0:  // the custom patch, often with feedback, LFOs and half-sines
                    case 1:
                        reg = pick(8);
                        if (reg == 3 && pick(2))
                            data |= 5 + pick(3);
                        if (reg < 2 && pick(2))
                            data |= 0x20;  // sustained: held notes, long runs
                        break;
                    case 2:  // F-number
                        reg = 0x10 + c;
                        break;
                    case 3:  // key, block, sustain: mostly on
                    case 4:
                        reg = 0x20 + c;
                        data = (data & 0x2F) | (pick(4) ? 0x10 : 0);
                        break;
                    case 5:  // patch and volume, the custom one in three
                    case 6:
                        reg = 0x30 + c;
                        if (pick(3) == 0)
                            data &= 0x0F;
                        break;
                    default:  // a run that ends anywhere, with no write
                        reg = -1;
                        break;
                    }
                    for (Player& p : players) {
                        p.chip.run_until(t);
                        for (int l = 0; l < 2; ++l) {
                            for (int e = 0; e < p.logs[l].count; ++e)
                                p.logged[l].push_back(
                                    {frame_start + p.logs[l].entries[e].time, p.logs[l].entries[e].level});
                            p.logs[l].clear();
                        }
                        if (reg >= 0) {
                            p.chip.write_register(t, 0x9010, reg);
                            p.chip.write_register(t, 0x9030, data);
                        }
                    }
                }
                for (Player& p : players) {
                    p.chip.end_frame(frame);
                    for (int l = 0; l < 2; ++l) {
                        for (int e = 0; e < p.logs[l].count; ++e)
                            p.logged[l].push_back({frame_start + p.logs[l].entries[e].time, p.logs[l].entries[e].level});
                        p.logs[l].clear();
                    }
                    for (auto [buffer, heard] : {std::pair{&p.buffer, &p.heard}, std::pair{&p.also, &p.heard_also}}) {
                        buffer->end_frame(frame);
                        const size_t have = heard->size();
                        heard->resize(have + static_cast<size_t>(buffer->samples_avail()));
                        buffer->read_samples(heard->data() + have, buffer->samples_avail());
                    }
                }
                frame_start += frame;
            }
            const Player& runs = players[0];
            const Player& full = players[1];
            ASSERT_EQ(runs.heard.size(), full.heard.size());
            const auto differs = std::mismatch(runs.heard.begin(), runs.heard.end(), full.heard.begin());
            EXPECT_EQ(differs.first - runs.heard.begin(), static_cast<long>(runs.heard.size())) << "first different sample";
            EXPECT_EQ(runs.heard_also, full.heard_also);
            EXPECT_EQ(runs.logged[0], full.logged[0]);
            EXPECT_EQ(runs.logged[1], full.logged[1]);
            // Something sounded: the comparison is not of silences.
            const auto [low, high] = std::minmax_element(full.heard.begin(), full.heard.end());
            EXPECT_GT(*high - *low, 5000);
            EXPECT_GT(full.logged[0].size() + full.logged[1].size(), 10000u);
        }
    }
}
