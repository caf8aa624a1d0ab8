// Chip_N163: each channel's raw levels and the whole chip's band-limited
// output for scripted and random register sequences against the chip
// described clock by clock; the output measured (pitch against the frequency
// formula, the switching tone, a ramp's and a square's harmonics, the level
// beside the 2A03's pulse); the idle test.
#include "ChipTestSupport.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/n163/Chip_N163.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

namespace {

// The chip as its description tells it, one clock at a time from reset. In
// each clock the writes and reads come first; then, while sound is enabled,
// every 15th enabled clock one channel, counting down from 8, advances its
// phase and sends its level to the DAC.
class Reference_N163 {
public:
    void write(unsigned addr, int data)
    {
        if (addr >= 0xF800) {
            address_ = data % 128;
            increment_ = data >= 128;
        } else if (addr >= 0xE000 && addr < 0xE800) {
            enabled_ = !(data & 64);
            if (!enabled_)
                dac_ = 0;
        } else if (addr >= 0x4800 && addr < 0x5000) {
            ram_[address_] = data;
            step_address();
        }
    }
    int read()
    {
        const int data = ram_[address_];
        step_address();
        return data;
    }

    void clock()
    {
        if (!enabled_)
            return;
        if (enabled_clocks_++ % 15 != 0)
            return;
        const int channels = ram_[0x7F] / 16 % 8 + 1;
        if (channel_ <= 8 - channels)
            channel_ = 8;
        int* r = &ram_[0x40 + 8 * (channel_ - 1)];
        const long frequency = r[0] + 256L * r[2] + 65536L * (r[4] % 4);
        const long length = (64 - r[4] / 4) * 4;
        long phase = (r[1] + 256L * r[3] + 65536L * r[5] + frequency) % (1L << 24);
        if (phase / 65536 >= length)
            phase -= length * 65536;
        r[1] = static_cast<int>(phase % 256);
        r[3] = static_cast<int>(phase / 256 % 256);
        r[5] = static_cast<int>(phase / 65536);
        const int s = static_cast<int>((r[6] + phase / 65536) % 256);
        const int byte = ram_[s / 2];
        const int sample = s % 2 ? byte / 16 : byte % 16;
        dac_ = (sample - 8) * (r[7] % 16);
        holder_ = channel_;
        channel_ = channel_ - 1 > 8 - channels ? channel_ - 1 : 8;
    }
    // Channel c + 1's level: the DAC's while it holds the channel.
    int level(int c) const { return holder_ == c + 1 ? dac_ : 0; }
    int dac() const { return dac_; }

private:
    void step_address()
    {
        if (increment_)
            address_ = (address_ + 1) % 128;
    }

    int ram_[128] = {};
    int address_ = 0;
    bool increment_ = false;
    bool enabled_ = true;
    long enabled_clocks_ = 0;
    int channel_ = 8;
    int holder_ = 8;
    int dac_ = 0;
};

// A read of $4800 when data is `read`.
constexpr int read = -1;


using Changes = std::vector<std::pair<int64_t, int>>;

void change(Changes& changes, int64_t clock, int level)
{
    if ((changes.empty() ? 0 : changes.back().second) != level)
        changes.emplace_back(clock, level);
}

// Expects every channel's changes of level and every read to agree, and the
// chip's output into one buffer to hold what the reference's DAC makes.
void expect_as_reference(const std::vector<Clock_Write>& writes, int64_t clocks)
{
    Chip_N163 chip, band_chip;
    Level_Log logs[Chip_N163::osc_count];
    for (int c = 0; c < Chip_N163::osc_count; ++c)
        chip.osc_log(c, &logs[c]);
    Band_Buffer buffers[2];  // the band chip's, the reference's
    for (Band_Buffer& buffer : buffers) {
        buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    }
    band_chip.set_output(&buffers[0]);
    Reference_N163 reference;
    Changes got[Chip_N163::osc_count], want[Chip_N163::osc_count];
    int64_t frame_start = 0;
    size_t next = 0;
    for (int64_t clock = 0, frame = 0, dac = 0; clock < clocks; ++clock) {
        const auto at = static_cast<int32_t>(clock - frame_start);
        for (; next < writes.size() && writes[next].clock == clock; ++next) {
            const Clock_Write& w = writes[next];
            if (w.data == read) {
                const int want_data = reference.read();
                EXPECT_EQ(chip.read_data(at), want_data) << "clock " << clock;
                EXPECT_EQ(band_chip.read_data(at), want_data) << "clock " << clock;
                continue;
            }
            for (Chip_N163* each : {&chip, &band_chip})
                each->write_register(at, w.addr, w.data);
            reference.write(w.addr, w.data);
        }
        reference.clock();
        for (int c = 0; c < Chip_N163::osc_count; ++c)
            change(want[c], clock, reference.level(c));
        if (reference.dac() != dac) {
            band_chip.synth().add_delta(at, reference.dac() - static_cast<int>(dac), buffers[1]);
            dac = reference.dac();
        }
        const auto length = static_cast<int32_t>(29780 + frame % 2);
        if (at + 1 == length) {
            chip.end_frame(length);
            band_chip.end_frame(length);
            EXPECT_EQ(frame_samples(buffers[0], length), frame_samples(buffers[1], length)) << "frame " << frame;
        } else if ((at + 1) % 1000 == 0 || clock + 1 == clocks) {
            chip.run_until(at + 1);
        } else {
            continue;
        }
        for (int c = 0; c < Chip_N163::osc_count; ++c) {
            for (int i = 0; i < logs[c].count; ++i)
                change(got[c], frame_start + logs[c].entries[i].time, logs[c].entries[i].level);
            logs[c].clear();
        }
        if (at + 1 == length)
            frame_start += length, ++frame;
    }
    for (int c = 0; c < Chip_N163::osc_count; ++c)
        EXPECT_EQ(got[c], want[c]) << "channel " << c + 1;
}

// Writes `bytes` into sound RAM from `address` on, auto-incrementing, one
// write every 4 clocks from `clock`.
void poke(std::vector<Clock_Write>& writes, int64_t clock, int address, std::initializer_list<int> bytes)
{
    writes.push_back({clock, 0xF800, 0x80 | address});
    for (const int b : bytes)
        writes.push_back({clock += 4, 0x4800, b});
}

// Samples 0..15 up a 32-sample wave at sample 0: bytes $10, $32, ... twice.
void ramp_wave(std::vector<Clock_Write>& writes, int64_t clock)
{
    poke(writes, clock, 0, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE});
    poke(writes, clock + 40, 8, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE});
}

TEST(ChipN163, ScriptedSequencesSoundAsTheClockByClockChip)
{
    struct Script {
        const char* what;
        std::vector<Clock_Write> writes;
    };
    auto with_ramp = [](std::vector<Clock_Write> writes) {
        ramp_wave(writes, 0);
        std::sort(writes.begin(), writes.end(), [](auto& a, auto& b) { return a.clock < b.clock; });
        return writes;
    };
    // Channel 8 at F $1234, length 32, wave at 0, volume 15, one channel.
    std::vector<Clock_Write> note;
    poke(note, 100, 0x78, {0x34, 0, 0x12, 0, 0xE0, 0, 0, 0x0F});
    const Script scripts[] = {
        {"a held note", with_ramp(note)},
        {"four channels, one wave at four pitches",
         [&] {
             std::vector<Clock_Write> w = note;
             poke(w, 200, 0x60, {0x00, 0, 0x40, 0, 0xE1, 0, 0, 0x0C, 0x00, 0, 0x20, 0, 0xE0, 0, 0, 0x09});
             poke(w, 300, 0x70, {0x80, 0, 0x09, 0, 0xE0, 0, 0x10, 0x07});
             w.push_back({400, 0xF800, 0x7F});
             w.push_back({404, 0x4800, 0x3F});
             return with_ramp(w);
         }()},
        {"eight channels, then one mid-note, then five",
         [&] {
             std::vector<Clock_Write> w = note;
             for (int c = 0; c < 7; ++c)
                 poke(w, 200 + 40 * c, 0x40 + 8 * c, {0x11 * c, 0, 0x30 + c, 0, 0xE0, 0, 4 * c, 15 - c});
             w.push_back({600, 0xF800, 0x7F});
             w.push_back({604, 0x4800, 0x7F});
             w.push_back({20000, 0x4800 + 5, 0x0F});
             w.push_back({29000, 0xF800, 0x7F});
             w.push_back({29004, 0x4800, 0x4F});
             return with_ramp(w);
         }()},
        {"disabled mid-note and enabled again",
         [&] {
             std::vector<Clock_Write> w = note;
             w.push_back({5003, 0xE000, 0x40});
             w.push_back({7007, 0xE7FF, 0x05});
             return with_ramp(w);
         }()},
        {"the phase restarted, read back and written past the wave's end",
         [&] {
             std::vector<Clock_Write> w = note;
             poke(w, 3001, 0x79, {0});
             w.push_back({3011, 0xF800, 0xFD});  // the phase bytes read back in turn, from $7D up, round to $00
             for (int i = 0; i < 6; ++i)
                 w.push_back({3100 + 17 * i, 0x4800, read});
             poke(w, 5000, 0x7D, {200});  // sample 200 of 32: taken back 32 at a time
             return with_ramp(w);
         }()},
        {"length code 0 and a wave over the channel's own phase bytes",
         [&] {
             std::vector<Clock_Write> w;
             poke(w, 0, 0x78, {0x00, 0, 0x01, 0, 0x00, 0, 0xF2, 0x0F});  // F $100: a sample each 256 updates
             poke(w, 20000, 0x78, {0x00, 0, 0x04, 0, 0x02, 0, 0xF0, 0x0F});
             poke(w, 40000, 0x78, {0x00, 0, 0x30, 0, 0xFC, 0, 0xFA, 0x0F});  // 4 samples, over its index byte alone
             return with_ramp(w);
         }()},
        {"frequency 0 holds the level: a DC",
         [&] {
             std::vector<Clock_Write> w = note;
             poke(w, 2000, 0x78, {0, 0, 0, 0, 0xE0});
             return with_ramp(w);
         }()},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        expect_as_reference(script.writes, 3 * 29780);
    }
}

TEST(ChipN163, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    std::mt19937 random(163);
    auto below = [&random](unsigned n) { return static_cast<int>(random() % n); };
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        std::vector<Clock_Write> writes;
        ramp_wave(writes, 0);
        auto byte_at = [&](int64_t clock, int address, int data) {
            writes.push_back({clock, 0xF800, address});
            writes.push_back({clock + 2, 0x4800, data});
        };
        for (int64_t clock = 100; clock < 4 * 29780; clock += 1 + below(700)) {
            const int pick = below(16);
            const auto port = static_cast<unsigned>(below(0x800));
            if (pick == 0)
                writes.push_back({clock, 0xE000 + port, below(8) == 0 ? 0x40 : 0});
            else if (pick < 5)
                writes.push_back({clock, 0xF800 + port, below(256)});
            else if (pick < 7)
                writes.push_back({clock, 0x4800, read});
            else if (pick < 9)  // N, mostly one channel: the run that skips updates
                byte_at(clock, 0x7F, below(4) == 0 ? below(256) : below(16));
            else if (pick < 11)  // channel 8's frequency, often low: many updates to a sample
                byte_at(clock, 0x78 + 2 * below(2), below(256));
            else
                writes.push_back({clock, 0x4800 + port, below(256)});
        }
        expect_as_reference(writes, 4 * 29780);
    }
}

TEST(ChipN163, ALoneChannelsLongNotesSoundAsTheClockByClockChipAtEveryFrequency)
{
    // One channel held for frames at a time, where the chip runs from one
    // change of sample index to the next: frequencies that divide 65536 and
    // ones that do not, the slowest and the fastest below a sample per
    // update, every length, waves anywhere in RAM (over the phase bytes
    // too), phases written anywhere (past the wave's end too).
    std::mt19937 random(1630);
    auto below = [&random](unsigned n) { return static_cast<int>(random() % n); };
    // F $5556 from phase $FFFC comes, at its second change, to a fraction
    // from which two updates reach the next change exactly: one sooner than
    // its usual three.
    const int starts[][2] = {{1, 0},      {0x100, 0},  {0x1000, 0},  {0x5556, 0xFFFC},
                             {0x8000, 0}, {0xFFFF, 0}, {0x10000, 0}, {7735, 0x1F0000}};
    std::vector<Clock_Write> writes;
    ramp_wave(writes, 0);
    poke(writes, 100, 16, {0x37, 0xF0, 0x1E, 0x88, 0x5A, 0x00, 0xFF, 0x3C, 0x96, 0x69, 0xC3, 0x24});
    constexpr int64_t kNoteClocks = 2 * 29780 + 1234;
    constexpr int kNotes = 16;
    for (int n = 0; n < kNotes; ++n) {
        const bool given = n < 8;
        const int f = given ? starts[n][0] : 1 + below(n % 2 ? 0x3FFFF : 0xFFFF);
        const int code = given ? 0x38 : below(64);
        const int phase = given ? starts[n][1] : below(4) ? 0 : below(1 << 24);
        const int start = given || below(3) ? below(64) : 0xF0 + below(16);
        poke(writes, 300 + n * kNoteClocks, 0x78,
             {f & 0xFF, phase & 0xFF, f >> 8 & 0xFF, phase >> 8 & 0xFF, code << 2 | f >> 16, phase >> 16, start,
              1 + below(15)});
    }
    expect_as_reference(writes, 300 + kNotes * kNoteClocks);
}

// The chip's band-limited output, high-pass off, for `frames` NTSC-length
// frames after `writes` (all in the first frame), the first `skip` frames
// left out, at the chip's `volume`.
std::vector<short> render(const std::vector<Reg_Write>& writes, long clock_rate, int sample_rate, int frames = 40,
                          int skip = 4, double volume = 1.0)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    EXPECT_EQ(buffer.set_sample_rate(sample_rate), nullptr);
    buffer.set_highpass(0);
    Chip_N163 chip;
    chip.set_volume(volume);
    chip.set_output(&buffer);
    int32_t time = 0;
    for (const Reg_Write& w : writes)
        chip.write_register(time += 4, w.addr, w.data);
    std::vector<short> out;
    for (int frame = 0; frame < frames; ++frame) {
        chip.end_frame(29780);
        buffer.end_frame(29780);
        const size_t have = out.size();
        out.resize(have + static_cast<size_t>(buffer.samples_avail()));
        buffer.read_samples(out.data() + have, buffer.samples_avail());
        if (frame < skip)
            out.resize(0);
    }
    return out;
}

// Sound RAM writes: `bytes` from `address` on.
void poke(std::vector<Reg_Write>& writes, int address, std::initializer_list<int> bytes)
{
    writes.push_back({0xF800, 0x80 | address});
    for (const int b : bytes)
        writes.push_back({0x4800, b});
}

// The amplitude of the component at `hz`, under a Hann window over the whole signal.
double amplitude_at(const std::vector<short>& s, double hz, int rate)
{
    const double n = static_cast<double>(s.size());
    double re = 0, im = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const double w = 1 - std::cos(2 * std::numbers::pi * static_cast<double>(i) / n);
        const double a = 2 * std::numbers::pi * hz * static_cast<double>(i) / rate;
        re += w * s[i] * std::cos(a);
        im += w * s[i] * std::sin(a);
    }
    return 2 * std::hypot(re, im) / n;
}

// Channel 8 plays a wave of `length` samples at `frequency` and volume 15,
// with `channels` active and the others silent.
std::vector<Reg_Write> note(int wave_address, int length, long frequency, int channels)
{
    std::vector<Reg_Write> w;
    const int code = (256 - length) / 4;
    poke(w, 0x78,
         {static_cast<int>(frequency & 0xFF), 0, static_cast<int>(frequency >> 8 & 0xFF), 0,
          code << 2 | static_cast<int>(frequency >> 16), 0, wave_address, (channels - 1) << 4 | 0x0F});
    return w;
}

std::vector<Reg_Write> square_wave(int length)
{
    std::vector<Reg_Write> w;
    poke(w, 0, {});
    for (int i = 0; i < length / 2; ++i)
        w.push_back({0x4800, i < length / 4 ? 0xFF : 0x00});
    return w;
}

TEST(ChipN163, PitchIsTheClockTimesFOver15x65536xNxLength)
{
    struct Case {
        long clock_rate;
        int channels;
        int length;
        long frequency;
    };
    for (const Case& c : {Case{ntsc_clock, 1, 32, 7000},
                          {pal_clock, 1, 16, 3001},
                          {ntsc_clock, 3, 64, 90001},
                          {pal_clock, 4, 8, 33333},
                          {ntsc_clock, 8, 32, 100000},
                          {pal_clock, 8, 4, 12345},
                          {ntsc_clock, 1, 256, 200000}}) {
        SCOPED_TRACE(testing::Message() << c.clock_rate << " Hz, N " << c.channels << ", length " << c.length << ", F "
                                        << c.frequency);
        std::vector<Reg_Write> w = square_wave(c.length);
        const std::vector<Reg_Write> n = note(0, c.length, c.frequency, c.channels);
        w.insert(w.end(), n.begin(), n.end());
        const std::vector<short> out = render(w, c.clock_rate, 48000, 34);
        const double hz = static_cast<double>(c.clock_rate) * static_cast<double>(c.frequency) /
                          (15.0 * 65536 * c.channels * c.length);
        double best = 0, best_hz = 0;
        for (double f = hz * 0.98; f < hz * 1.02; f += hz * 0.0002) {
            if (const double a = amplitude_at(out, f, 48000); a > best)
                best = a, best_hz = f;
        }
        EXPECT_NEAR(best_hz / hz, 1.0, 0.0005);
        EXPECT_GT(best, 500.0);
    }
}

TEST(ChipN163, SwitchingBetweenNChannelsSoundsAtTheClockOver15NAndOneChannelNot)
{
    // Channel 8 holds sample 15 at volume 15 (frequency 0), the others are
    // silent: with N channels the DAC is a pulse of a 1/N duty at
    // clock / (15 N), whose fundamental is 2 sin(pi / N) / pi of its height,
    // its mean 1/N of it. With one channel the DAC stays put.
    for (const long clock_rate : {ntsc_clock, pal_clock}) {
        for (const int channels : {1, 6, 8}) {
            SCOPED_TRACE(testing::Message() << clock_rate << " Hz, N " << channels);
            std::vector<Reg_Write> w;
            poke(w, 0, {0xFF});
            const std::vector<Reg_Write> n = note(0, 32, 0, channels);
            w.insert(w.end(), n.begin(), n.end());
            const std::vector<short> out = render(w, clock_rate, 96000, 10);
            double mean = 0;
            for (const short s : out)
                mean += s;
            mean /= static_cast<double>(out.size());
            const double height = mean * channels;
            for (const int whine_channels : {6, 8}) {
                const double hz = static_cast<double>(clock_rate) / (15.0 * whine_channels);
                const double a = amplitude_at(out, hz, 96000);
                if (whine_channels == channels)
                    EXPECT_NEAR(a / height / (2 * std::sin(std::numbers::pi / channels) / std::numbers::pi), 1.0, 0.1);
                else
                    EXPECT_LT(a / height, 0.002) << "at " << hz << " Hz";
            }
        }
    }
}

TEST(ChipN163, ARampsHarmonicsFallAsOneOverKAndASquaresEvenOnesVanish)
{
    // F $1000: each sample holds 16 updates exactly, so the output is a
    // staircase with no jitter, 233 Hz. Harmonic k of a 32-step staircase
    // is the k-th term of its steps' discrete transform times the hold's
    // sin(pi k / 32) / (pi k / 32).
    std::vector<Reg_Write> ramp;
    poke(ramp, 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    int ramp_samples[32], square_samples[32];
    for (int i = 0; i < 32; ++i) {
        ramp_samples[i] = i / 2;
        square_samples[i] = i < 16 ? 15 : 0;
    }
    const double f0 = static_cast<double>(ntsc_clock) * 0x1000 / (15.0 * 65536 * 32);
    for (const auto& [wave, samples] : {std::pair{ramp, ramp_samples}, {square_wave(32), square_samples}}) {
        std::vector<Reg_Write> w = wave;
        const std::vector<Reg_Write> n = note(0, 32, 0x1000, 1);
        w.insert(w.end(), n.begin(), n.end());
        const std::vector<short> out = render(w, ntsc_clock, 48000, 34);
        auto analytic = [&](int k) {
            double re = 0, im = 0;
            for (int i = 0; i < 32; ++i) {
                re += samples[i] * std::cos(2 * std::numbers::pi * k * i / 32);
                im += samples[i] * std::sin(2 * std::numbers::pi * k * i / 32);
            }
            const double x = std::numbers::pi * k / 32;
            return std::hypot(re, im) * std::sin(x) / x;
        };
        const double first = amplitude_at(out, f0, 48000);
        for (int k = 2; k <= 6; ++k) {
            SCOPED_TRACE(testing::Message() << (samples == ramp_samples ? "ramp" : "square") << ", harmonic " << k);
            EXPECT_NEAR(amplitude_at(out, k * f0, 48000) / first, analytic(k) / analytic(1), 0.01);
        }
    }
}

TEST(ChipN163, AFullChannelSwingsSixTimesAFull2A03Pulse)
{
    // A square from sample 0 to 15 at volume 15, one channel, against a
    // 2A03 pulse at volume 15: the levels' peak to peak.
    std::vector<Reg_Write> w = square_wave(32);
    const std::vector<Reg_Write> n = note(0, 32, 0x1000, 1);
    w.insert(w.end(), n.begin(), n.end());
    // Eight frames kept after the four skipped: more than the 4800 samples measured.
    const std::vector<short> n163 = render(w, ntsc_clock, 48000, 12);
    ASSERT_GE(n163.size(), 4800u);

    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    buffer.set_highpass(0);
    Chip_Apu apu;
    apu.osc_output(0, &buffer);
    int32_t time = 0;
    for (const auto& [addr, data] :
         {Reg_Write{0x4015, 1}, {0x4001, 0x08}, {0x4000, 0xBF}, {0x4002, 0xFF}, {0x4003, 0x09}})
        apu.write_register(time += 4, addr, data);
    std::vector<short> pulse;
    for (int frame = 0; frame < 10; ++frame) {
        apu.end_frame(29780);
        buffer.end_frame(29780);
        const size_t have = pulse.size();
        pulse.resize(have + static_cast<size_t>(buffer.samples_avail()));
        buffer.read_samples(pulse.data() + have, buffer.samples_avail());
    }
    // The steps' ringing aside: the levels most often seen at the top and bottom.
    auto swing = [](const std::vector<short>& s) {
        std::vector<short> sorted(s.end() - 4800, s.end());
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() * 9 / 10] - sorted[sorted.size() / 10];
    };
    EXPECT_NEAR(static_cast<double>(swing(n163)) / swing(pulse), 6.0, 0.1);
}

// The console hears its 163 with the sign opposite the 2A03's: a negative
// volume turns the output over, sample for sample.
TEST(ChipN163, ANegativeVolumeInvertsTheOutput)
{
    for (const int channels : {1, 4}) {
        std::vector<Reg_Write> w = square_wave(32);
        const std::vector<Reg_Write> n = note(0, 32, 0x1000, channels);
        w.insert(w.end(), n.begin(), n.end());
        const std::vector<short> upright = render(w, ntsc_clock, 48000, 12);
        const std::vector<short> inverted = render(w, ntsc_clock, 48000, 12, 4, -1.0);
        ASSERT_GT(*std::max_element(upright.begin(), upright.end()), 1000);
        ASSERT_EQ(inverted.size(), upright.size());
        int worst = 0;
        for (size_t i = 0; i < upright.size(); ++i)
            worst = std::max(worst, std::abs(inverted[i] + upright[i]));
        EXPECT_LE(worst, 1) << channels << " channels";
    }
}

TEST(ChipN163, IdleOnceSilentAndUnwritten)
{
    Chip_N163 chip;
    EXPECT_TRUE(chip.idle());
    chip.write_register(0, 0xF800, 0xFF);
    chip.write_register(4, 0x4800, 0x0F);  // channel 8 at volume 15 on a wave of zeros: -120
    EXPECT_FALSE(chip.idle());
    chip.end_frame(29780);
    EXPECT_FALSE(chip.idle());
    chip.write_register(0, 0x4800, 0x00);  // address $00 after $7F: volume stays
    chip.end_frame(29780);
    EXPECT_FALSE(chip.idle());
    chip.write_register(0, 0xE000, 0x40);  // disabled: silent
    chip.end_frame(29780);
    EXPECT_TRUE(chip.idle());
    chip.write_register(0, 0xE000, 0x00);
    chip.end_frame(29780);
    EXPECT_FALSE(chip.idle()) << "enabled at volume 15";
    chip.write_register(0, 0xF800, 0x7F);
    chip.write_register(4, 0x4800, 0x70);  // eight channels, every volume 0
    chip.end_frame(29780);
    chip.end_frame(29780);
    EXPECT_TRUE(chip.idle());
}

TEST(ChipN163, WritesAndRunsAllocateNothing)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    Chip_N163 chip;
    chip.set_output(&buffer);
    const long before = chip_test_allocations;
    std::mt19937 random(7);
    for (int frame = 0; frame < 8; ++frame) {
        for (int32_t t = 0; t < 29000; t += 100)
            chip.write_register(t, random() % 2 ? 0xF800 : 0x4800, static_cast<int>(random() % 256));
        chip.end_frame(29780);
        buffer.end_frame(29780);
        buffer.remove_samples(buffer.samples_avail());
    }
    EXPECT_EQ(chip_test_allocations - before, 0);
}

}  // namespace
