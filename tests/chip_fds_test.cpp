// Chip_Fds: its raw level for scripted and random register sequences against
// the chip described clock by clock; the modulator's arithmetic against the
// rule written out another way, at every input; its band-limited output
// measured (pitch, harmonics, the modulator's bend, the low-pass, the level
// beside the 2A03's pulse); the idle test.
#include "ChipTestSupport.h"
#include "chip/fds/Chip_Fds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

namespace {

// The modulator's pitch step as the rounding rule reads, in divisions:
// floor(c g / 16), nudged +2 (c > 0) or -1 (c < 0) when c g / 16 is not
// whole and the result's bit 7 is clear, wrapped into -64..191, then P plus
// P t / 64 rounded half up.
int reference_step(int c, int g, int p)
{
    const int product = c * g;
    const int floor16 = (product - (((product % 16) + 16) % 16)) / 16;
    int t = floor16;
    if (product % 16 != 0 && ((floor16 % 256) + 256) % 256 < 128)
        t += c > 0 ? 2 : -1;
    while (t >= 192)
        t -= 256;
    while (t < -64)
        t += 256;
    const int m = p * t + 32;
    return p + (m - (((m % 64) + 64) % 64)) / 64;
}

// The channel as its description tells it, one clock at a time from reset.
// In each clock the writes come first, then the envelopes, the table, the
// wave, and the output. Phases are kept whole (position and accumulator in
// one number), envelope timers count up.
class Reference_Fds {
public:
    void write(unsigned addr, int data)
    {
        if (addr == 0x4023)
            enabled_ = data & 2;
        if (!enabled_)
            return;
        if (addr >= 0x4040 && addr < 0x4080) {
            if (reg(0x4089) & 0x80)
                wave_[addr - 0x4040] = data % 64;
            return;
        }
        if (addr < 0x4080 || addr > 0x408A || addr == 0x4081)
            return;
        const bool held = reg(0x4089) & 0x80;
        if (addr == 0x4089 && (data & 0x80) && !held)
            held_ = output();
        if (addr == 0x4088) {
            if (reg(0x4087) & 0x80) {
                table_[table_phase_ >> 17] = data % 8;
                table_phase_ = (table_phase_ + (2 << 16)) % (64 << 16);
            }
            return;
        }
        regs_[addr - 0x4080] = data;
        switch (addr) {
        case 0x4080:
        case 0x4084: {
            const int e = addr == 0x4080 ? 0 : 1;
            if (data & 0x80)
                gain_[e] = data % 64;
            elapsed_[e] = 0;
            break;
        }
        case 0x4083:
            if (data & 0x80)
                wave_phase_ = 0;
            if (data & 0x40)
                elapsed_[0] = elapsed_[1] = 0;
            break;
        case 0x4085:
            counter_ = data % 128 >= 64 ? data % 128 - 128 : data % 128;
            break;
        case 0x4087:
            if (data & 0x80)
                table_phase_ -= table_phase_ % 65536;
            break;
        case 0x408A:
            elapsed_[0] = elapsed_[1] = 0;
            break;
        default:
            break;
        }
    }

    void clock()
    {
        const int pitch = reg(0x4082) + reg(0x4083) % 16 * 256;
        const bool wave_halt = reg(0x4083) & 0x80;
        if (!wave_halt && !(reg(0x4083) & 0x40) && reg(0x408A) != 0) {
            for (int e = 0; e < 2; ++e) {
                const int r = reg(e == 0 ? 0x4080 : 0x4084);
                if (r & 0x80)
                    continue;
                if (++elapsed_[e] == 8 * (r % 64 + 1) * reg(0x408A)) {
                    elapsed_[e] = 0;
                    if (r & 0x40)
                        gain_[e] = std::min(gain_[e] + 1, std::max(gain_[e], 32));
                    else
                        gain_[e] = std::max(gain_[e] - 1, 0);
                }
            }
        }
        if (!(reg(0x4087) & 0x80)) {
            const int mf = reg(0x4086) + reg(0x4087) % 16 * 256;
            const int64_t before = table_phase_ >> 16;
            if (reg(0x4087) & 0x40)
                table_phase_ += 65536;
            else
                table_phase_ += mf;
            if ((table_phase_ >> 16) != before) {
                static const int effect[8] = {0, 1, 2, 4, 99, -4, -2, -1};
                const int code = table_[before / 2 % 32];
                int c = code == 4 ? 0 : counter_ + effect[code];
                c = c > 63 ? c - 128 : c < -64 ? c + 128 : c;
                counter_ = c;
                table_phase_ %= 64 << 16;
            }
        }
        if (!wave_halt)
            wave_phase_ = (wave_phase_ + reference_step(counter_, gain_[1], pitch)) % (64 << 16);
    }

    int output() const
    {
        if (reg(0x4089) & 0x80)
            return held_;
        static const int thirtieths[4] = {30, 20, 15, 12};
        return wave_[wave_phase_ >> 16] * std::min(gain_[0], 32) * thirtieths[reg(0x4089) % 4];
    }

    // What the chip's accessors read: the wave's and the table's positions,
    // the counter and the two gains.
    int wave_position() const { return static_cast<int>(wave_phase_ >> 16); }
    int table_position() const { return static_cast<int>(table_phase_ >> 16); }
    int counter() const { return counter_; }
    int gain(int envelope) const { return gain_[envelope]; }

    Reference_Fds()
    {
        for (const auto& [addr, data] :
             {Reg_Write{0x4023, 0x83}, {0x4080, 0x80}, {0x408A, 0xE8}, {0x4083, 0x80}, {0x4084, 0x80}, {0x4087, 0x80}})
            write(addr, data);
    }

private:
    int reg(unsigned addr) const { return regs_[addr - 0x4080]; }

    bool enabled_ = true;
    int regs_[11] = {}, wave_[64] = {}, table_[32] = {};
    int gain_[2] = {}, elapsed_[2] = {}, counter_ = 0, held_ = 0;
    int64_t wave_phase_ = 0, table_phase_ = 0;
};


// The low-pass as a plain RC, a clock at a time in floating point, its
// level sampled at every 64th clock from reset and added to a buffer as the
// chip adds it.
struct Reference_Lowpass {
    double decay = std::exp(-2 * M_PI * Chip_Fds::default_lowpass_hz / Chip_Fds::ntsc_clock_rate);
    double scale = 2.4 * 0.1128 * 65536 / Chip_Fds::max_level;
    double state = 0;
    int32_t amplitude = 0;
    Band_Synth<12> synth{1};

    Reference_Lowpass() { synth.set_unit(0.1); }
    // Clock `clock` from reset at `level`, `at` clocks into its frame.
    void clock(int64_t clock, int level, int32_t at, Band_Buffer& buffer)
    {
        state = level + (state - level) * decay;
        if ((clock + 1) % Chip_Fds::block_clocks == 0) {
            const auto now = static_cast<int32_t>(std::floor(state * scale));
            synth.add_amplitude(buffer.to_buffer_time(at + 1), now - amplitude, buffer);
            amplitude = now;
        }
    }
};

// Plays `writes` (in clock order) for `clocks` clocks into the reference and
// into three chips, in frames of 29780 and 29781 clocks: one logs its levels,
// run in pieces the log can hold; two add to band-limited buffers, one run
// only to its writes and frame ends, one also in random pieces. Expects the
// log to hold the reference's changes, the two buffers the same samples, and
// those within 3 of the reference's low-pass; answers the changes.
Level_Changes expect_as_reference(const std::vector<Clock_Write>& writes, int64_t clocks)
{
    Chip_Fds chip, band_chips[2];
    Level_Log log;
    chip.osc_log(0, &log);
    Band_Buffer buffers[3];  // the band chips', the reference's
    for (int b = 0; b < 3; ++b) {
        buffers[b].set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffers[b].set_sample_rate(48000), nullptr);
        if (b < 2)
            band_chips[b].set_output(&buffers[b]);
    }
    Reference_Lowpass lowpass;
    std::mt19937 random(11);
    Reference_Fds reference;
    Level_Changes got, want;
    int64_t frame_start = 0;
    size_t next = 0;
    for (int64_t clock = 0, frame = 0; clock < clocks; ++clock) {
        const auto at = static_cast<int32_t>(clock - frame_start);
        for (; next < writes.size() && writes[next].clock == clock; ++next) {
            for (Chip_Fds* each : {&chip, &band_chips[0], &band_chips[1]})
                each->write_register(at, writes[next].addr, writes[next].data);
            reference.write(writes[next].addr, writes[next].data);
        }
        reference.clock();
        note_change(want, clock, reference.output());
        lowpass.clock(clock, reference.output(), at, buffers[2]);
        if (random() % 700 == 0)
            band_chips[1].run_until(at + 1);
        const auto length = static_cast<int32_t>(29780 + frame % 2);
        if (at + 1 == length) {
            chip.end_frame(length);
            band_chips[0].end_frame(length);
            band_chips[1].end_frame(length);
            const std::vector<short> samples[3] = {frame_samples(buffers[0], length), frame_samples(buffers[1], length),
                                                   frame_samples(buffers[2], length)};
            EXPECT_EQ(samples[0], samples[1]) << "frame " << frame;
            int worst = 0;
            for (size_t i = 0; i < samples[0].size() && i < samples[2].size(); ++i)
                worst = std::max(worst, std::abs(samples[0][i] - samples[2][i]));
            EXPECT_LE(worst, 3) << "frame " << frame;
        } else if ((at + 1) % 512 == 0 || clock + 1 == clocks) {
            chip.run_until(at + 1);
        } else {
            continue;
        }
        for (int i = 0; i < log.count; ++i)
            note_change(got, frame_start + log.entries[i].time, log.entries[i].level);
        log.clear();
        if (at + 1 == length)
            frame_start += length, ++frame;
    }
    EXPECT_EQ(got, want);
    return want;
}

// A ramp into the wave RAM at `clock` (held output meanwhile), then the
// output opened at master volume `master`.
void write_wave(std::vector<Clock_Write>& writes, int64_t clock, const int (&wave)[64], int master = 0)
{
    writes.push_back({clock, 0x4089, 0x80});
    for (int i = 0; i < 64; ++i)
        writes.push_back({clock + 1 + i, 0x4040 + static_cast<unsigned>(i), wave[i]});
    writes.push_back({clock + 65, 0x4089, master});
}

struct Waves {
    int ramp[64], square[64], sine[64];
    Waves()
    {
        for (int i = 0; i < 64; ++i) {
            ramp[i] = i;
            square[i] = i < 32 ? 0 : 63;
            sine[i] = static_cast<int>(std::lround(31.5 + 31.5 * std::sin(2 * M_PI * i / 64)));
        }
    }
};
const Waves waves;

TEST(ChipFds, WaveStepFollowsTheRoundingRuleAtEveryInput)
{
    // Worked by hand: the +2 and -1 nudges (-1 only below -128), round half up, the wrap both ways.
    EXPECT_EQ(Chip_Fds::wave_step(1, 1, 1000), 1031);
    EXPECT_EQ(Chip_Fds::wave_step(-1, 1, 1000), 984);     // -1 has bit 7 set: no nudge
    EXPECT_EQ(Chip_Fds::wave_step(-63, 35, 1000), 2828);  // -139 wraps to 117
    EXPECT_EQ(Chip_Fds::wave_step(-64, 63, 1000), 1063);
    EXPECT_EQ(Chip_Fds::wave_step(63, 63, 1000), 875);
    EXPECT_EQ(Chip_Fds::wave_step(0, 63, 4095), 4095);
    EXPECT_EQ(Chip_Fds::wave_step(-40, 0, 4095), 4095);
    int differences = 0;
    for (int c = -64; c < 64; ++c)
        for (int g = 0; g < 64; ++g)
            for (int p = 0; p < 4096; ++p) {
                const int step = Chip_Fds::wave_step(c, g, p);
                differences += step != reference_step(c, g, p) || step < 0;
            }
    EXPECT_EQ(differences, 0);
}

// Wave, volume and pitch at clocks 0-70, then the script's own writes.
struct Script {
    const char* what;
    int volume;  // $4080
    int pitch;
    std::vector<Clock_Write> writes;
    int64_t clocks;
};

TEST(ChipFds, ScriptedNotesSoundAsTheClockByClockChip)
{
    const Script scripts[] = {
        {"ramp", 0xA0, 1031, {}, 70000},
        {"top pitch", 0xBF, 4095, {{20001, 0x4089, 3}}, 60000},
        {"gain above 32 clamps", 0xBF, 700, {{9000, 0x4080, 0xA0}, {12000, 0x4080, 0x9F}}, 40000},
        {"halt and go", 0xA0, 900, {{10001, 0x4083, 0x83}, {20001, 0x4083, 0x03}}, 40000},
        {"envelope up then down",
         0x40,
         500,
         {{80, 0x408A, 1}, {30000, 0x4080, 0x01}, {50000, 0x4083, 0x41}, {60000, 0x4083, 0x01}},
         90000},
        {"master volumes", 0xA0, 300, {{9000, 0x4089, 1}, {18000, 0x4089, 2}, {27000, 0x4089, 3}}, 40000},
        {"held while writing",
         0xA0,
         800,
         {{10000, 0x4089, 0x80}, {10010, 0x4043, 5}, {10020, 0x408A, 0}, {15000, 0x4089, 0}},
         30000},
        {"sound disabled", 0xA0, 800, {{10000, 0x4023, 0x81}, {10010, 0x4080, 0x80}, {10020, 0x4023, 0x83}}, 30000},
        {"table halted and resumed",
         0xA0,
         1200,
         {{100, 0x4087, 0x80},
          {101, 0x4088, 1},
          {102, 0x4084, 0x90},
          {103, 0x4086, 0x80},
          {104, 0x4087, 0x01},
          {10001, 0x4087, 0x81},
          {10500, 0x4087, 0x01},
          {20003, 0x4087, 0x81},
          {21000, 0x4087, 0x01}},
         40000},
        {"a note, silence, a note", 0xA0, 900, {{8000, 0x4080, 0x80}, {30000, 0x4080, 0xA0}}, 50000},
        {"pitch 0 freezes", 0xA0, 800, {{10001, 0x4082, 0}, {10002, 0x4083, 0}}, 30000},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.what);
        std::vector<Clock_Write> writes;
        write_wave(writes, 0, waves.ramp);
        writes.push_back({66, 0x4080, script.volume});
        writes.push_back({67, 0x4082, script.pitch & 0xFF});
        writes.push_back({68, 0x4083, script.pitch >> 8});
        writes.insert(writes.end(), script.writes.begin(), script.writes.end());
        const Level_Changes changes = expect_as_reference(writes, script.clocks);
        EXPECT_GT(changes.size(), 10u);
    }
}

// The modulator over random tables, rates, depths, counters and pitches,
// with the depth envelope now and then, and $4085 and the table's halt
// written while it steps.
TEST(ChipFds, RandomModulationSoundsAsTheClockByClockChip)
{
    std::mt19937 random(3);
    for (int trial = 0; trial < 8; ++trial) {
        SCOPED_TRACE(trial);
        std::vector<Clock_Write> writes;
        write_wave(writes, 0, trial % 2 ? waves.ramp : waves.sine);
        const auto u = [&random](unsigned n) { return static_cast<int>(random() % n); };
        int64_t clock = 70;
        const int pitch = 1 + u(4095);
        writes.push_back({clock++, 0x4080, 0x80 | (20 + u(44))});
        writes.push_back({clock++, 0x4082, pitch & 0xFF});
        writes.push_back({clock++, 0x4083, pitch >> 8});
        writes.push_back({clock++, 0x4087, 0x80});
        for (int e = 0; e < 32; ++e)
            writes.push_back({clock++, 0x4088, u(8)});
        writes.push_back({clock++, 0x4085, u(128)});
        writes.push_back({clock++, 0x4084, trial % 3 ? 0x80 | u(64) : u(2) << 6 | u(4)});
        writes.push_back({clock++, 0x408A, trial % 3 ? 0xE8 : 1 + u(3)});
        const int mf = trial == 7 ? 0x4000 : u(2) ? u(64) : u(4096);
        writes.push_back({clock++, 0x4086, mf & 0xFF});
        writes.push_back({clock++, 0x4087, mf >> 8});
        for (clock += 5000; clock < 200000; clock += 1 + u(20000)) {
            const int what = u(6);
            if (what == 0)
                writes.push_back({clock, 0x4085, u(128)});
            else if (what == 1)
                writes.push_back({clock, 0x4087, u(2) << 7 | (mf >> 8)});
            else if (what == 2)
                writes.push_back({clock, 0x4084, 0x80 | u(64)});
            else if (what == 3)
                writes.push_back({clock, 0x4086, u(256)});
        }
        expect_as_reference(writes, 200000);
    }
}

// The pitch the chip plays under its modulator, read where the level cannot
// show it: its wave position, table position, counter and gains against the
// clock-by-clock chip at random clocks, over random tables, rates (some
// forced to step every clock), depths (some from the envelope), counters and
// pitches, through stretches silent, held for wave writes, and halted.
TEST(ChipFds, RandomModulationStepsThePositionsAsTheClockByClockChip)
{
    std::mt19937 random(5);
    const auto u = [&random](unsigned n) { return static_cast<int>(random() % n); };
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE(trial);
        Chip_Fds chip;
        Reference_Fds reference;
        int64_t clock = 0, frame_start = 0;
        int frame_length = 29780;
        // Writes land at the chip's clock `clock`; the reference is clocked up to it first.
        const auto run_to = [&](int64_t to) {
            for (; clock < to; ++clock) {
                reference.clock();
                if (clock + 1 - frame_start == frame_length) {
                    chip.end_frame(frame_length);
                    frame_start += frame_length;
                    frame_length ^= 1;
                }
            }
            chip.run_until(static_cast<int32_t>(clock - frame_start));
            ASSERT_EQ(chip.wave_position(), reference.wave_position()) << "clock " << clock;
            ASSERT_EQ(chip.table_position(), reference.table_position()) << "clock " << clock;
            ASSERT_EQ(chip.counter(), reference.counter()) << "clock " << clock;
            ASSERT_EQ(chip.volume_gain(), reference.gain(0)) << "clock " << clock;
            ASSERT_EQ(chip.mod_gain(), reference.gain(1)) << "clock " << clock;
        };
        const auto write = [&](unsigned addr, int data) {
            run_to(clock + 1 + u(3));
            chip.write_register(static_cast<int32_t>(clock - frame_start), addr, data);
            reference.write(addr, data);
        };
        const int pitch = 1 + u(4095);
        write(0x4080, 0x80 | u(64));
        write(0x4082, pitch & 0xFF);
        write(0x4083, pitch >> 8);
        write(0x4087, 0x80);
        for (int e = 0; e < 32; ++e)
            write(0x4088, u(8));
        write(0x4085, u(128));
        write(0x4084, trial % 3 ? 0x80 | u(64) : u(2) << 6 | u(4));
        write(0x408A, trial % 3 ? 0xE8 : 1 + u(3));
        const int mf = u(2) ? 1 + u(64) : u(4096);
        write(0x4086, mf & 0xFF);
        write(0x4087, (trial == 5 ? 0x40 : 0) | mf >> 8);
        while (clock < 400000 && !HasFatalFailure()) {
            run_to(clock + 1 + u(u(2) ? 40 : 9000));
            switch (u(12)) {
            case 0:
                write(0x4085, u(128));
                break;
            case 1:
                write(0x4087, u(4) << 6 | u(16));
                break;
            case 2:
                write(0x4084, u(4) ? 0x80 | u(64) : u(2) << 6 | u(8));
                break;
            case 3:
                write(0x4086, u(256));
                break;
            case 4:
                write(0x4080, u(2) ? 0x80 : 0x80 | u(64));  // silent, or sounding again
                break;
            case 5:
                write(0x4089, u(2) << 7 | u(4));  // held for wave writes, or open
                write(0x4040 + static_cast<unsigned>(u(64)), u(64));
                break;
            case 6:
                write(0x4083, u(5) == 0 ? 0x80 | pitch >> 8 : pitch >> 8);  // halted a moment
                break;
            case 7:
                write(0x4082, u(256));
                break;
            default:
                break;
            }
        }
    }
}

TEST(ChipFds, RandomRegisterSequencesSoundAsTheClockByClockChip)
{
    std::mt19937 random(7);
    std::vector<Clock_Write> writes;
    write_wave(writes, 0, waves.ramp);
    for (int64_t clock = 100; clock < 1'500'000; clock += random() % 3000) {
        unsigned addr = 0x4080 + static_cast<unsigned>(random() % 12);
        int data = static_cast<int>(random() % 256);
        if (addr == 0x408B)
            addr = random() % 2 ? 0x4023 : 0x4040 + static_cast<unsigned>(random() % 64);
        if (addr == 0x4023)
            data |= random() % 4 ? 2 : 0;  // mostly enabled
        if (addr == 0x4083 || addr == 0x4087 || addr == 0x4089)
            data &= random() % 3 ? 0x3F : 0xFF;  // mostly running, not held
        if (addr == 0x408A)
            data = random() % 2 ? data % 4 : data;  // envelopes that tick often
        writes.push_back({clock, addr, data});
    }
    const Level_Changes changes = expect_as_reference(writes, 1'500'000);
    EXPECT_GT(changes.size(), 5000u) << "sounded much of the time";
}

// `seconds` of band-limited output at 48 kHz from a chip at `clock_rate`
// after `writes`, all at time 0 of the first frame; no high-pass.
std::vector<short> render_fds(long clock_rate, const std::vector<Reg_Write>& writes, double seconds,
                              double lowpass = Chip_Fds::default_lowpass_hz)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    buffer.set_highpass(0);
    Chip_Fds chip;
    chip.set_clock_rate(static_cast<double>(clock_rate));
    chip.set_lowpass(lowpass);
    chip.set_output(&buffer);
    for (const Reg_Write& w : writes)
        chip.write_register(0, w.addr, w.data);
    std::vector<short> out;
    const long total = std::lround(seconds * clock_rate);
    for (long done = 0; done < total; done += 29780) {
        chip.end_frame(29780);
        buffer.end_frame(29780);
        const size_t have = out.size();
        out.resize(have + static_cast<size_t>(buffer.samples_avail()));
        buffer.read_samples(out.data() + have, buffer.samples_avail());
    }
    return out;
}

std::vector<Reg_Write> note(const int (&wave)[64], int pitch, std::vector<Reg_Write> more = {})
{
    std::vector<Reg_Write> writes = {{0x4089, 0x80}};
    for (int i = 0; i < 64; ++i)
        writes.push_back({0x4040 + static_cast<unsigned>(i), wave[i]});
    for (const Reg_Write& w : {Reg_Write{0x4089, 0}, {0x4080, 0xA0}, {0x4082, pitch & 0xFF}, {0x4083, pitch >> 8}})
        writes.push_back(w);
    writes.insert(writes.end(), more.begin(), more.end());
    return writes;
}

// Samples per clock as the buffer places them: its 16.16 rate, rounded.
double samples_per_clock(long clock_rate)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    EXPECT_EQ(buffer.set_sample_rate(48000), nullptr);
    return buffer.factor() / 65536.0;
}

// The mean cycle in samples, by rising crossings of the mean after the
// first tenth.
double cycle_samples(std::vector<short> out)
{
    out.erase(out.begin(), out.begin() + static_cast<long>(out.size() / 10));
    const double mean = std::accumulate(out.begin(), out.end(), 0.0) / static_cast<double>(out.size());
    for (short& s : out)
        s = static_cast<short>(s - mean);
    const std::vector<double> up = rising_crossings(out, 0, out.size(), 300);
    EXPECT_GT(up.size(), 20u);
    return (up.back() - up.front()) / static_cast<double>(up.size() - 1);
}

TEST(ChipFds, PitchIsTheClockTimesPOver4194304)
{
    for (const long clock_rate : {ntsc_clock, pal_clock})
        for (const int pitch : {100, 1031, 4000}) {
            const double want = samples_per_clock(clock_rate) * 4194304.0 / pitch;
            EXPECT_NEAR(cycle_samples(render_fds(clock_rate, note(waves.ramp, pitch), 1.0)) / want, 1.0, 2e-4)
                << "P " << pitch << " at " << clock_rate << " Hz";
        }
}

// Magnitude of harmonic `k` of a tone of `cycle` samples, Hann-windowed.
double harmonic(const std::vector<short>& out, size_t from, double cycle, int k)
{
    std::complex<double> sum = 0;
    const size_t n = out.size() - from;
    for (size_t i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(n));
        sum += hann * out[from + i] * std::polar(1.0, -2 * M_PI * k * static_cast<double>(i) / cycle);
    }
    return std::abs(sum);
}

// What harmonic k of a held 64-step wave comes out at: the steps' own
// series, the hold's sinc, the RC's gain and the 64-clock hold's sinc.
double expected_harmonic(const int (&wave)[64], int k, double frequency, double corner)
{
    std::complex<double> sum = 0;
    for (int i = 0; i < 64; ++i)
        sum += static_cast<double>(wave[i]) * std::polar(1.0, -2 * M_PI * k * i / 64.0);
    const double x = M_PI * k / 64.0, f = k * frequency;
    const double hold = M_PI * f * Chip_Fds::block_clocks / ntsc_clock;
    return std::abs(sum) * std::sin(x) / x / std::sqrt(1 + f * f / (corner * corner)) * std::sin(hold) / hold;
}

TEST(ChipFds, RampAndSquareCarryTheirHarmonicsThroughTheLowPass)
{
    constexpr int pitch = 468;  // 199.7 Hz
    const double frequency = ntsc_clock * static_cast<double>(pitch) / 4194304.0, cycle = 48000.0 / frequency;
    for (const double corner : {2000.0, 1000.0}) {
        for (const auto* wave : {&waves.ramp, &waves.square, &waves.sine}) {
            const std::vector<short> out = render_fds(ntsc_clock, note(*wave, pitch), 0.6, corner);
            const double first = harmonic(out, 4800, cycle, 1),
                         want_first = expected_harmonic(*wave, 1, frequency, corner);
            for (int k = 2; k <= 9; ++k) {
                const double want = expected_harmonic(*wave, k, frequency, corner) / want_first;
                EXPECT_NEAR(harmonic(out, 4800, cycle, k) / first, want, 0.01 * want + 0.002)
                    << "harmonic " << k << ", corner " << corner << (wave == &waves.square ? ", square" : "");
            }
        }
    }
}

TEST(ChipFds, LowPassStepRisesAsTheRcInChipTime)
{
    // Gain 0 to 32 on a halted wave at 63: the filter's state at each block's
    // end, in the buffer's summed steps, is 1 - exp(-2 pi fc t) of the level.
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    Chip_Fds chip;
    chip.set_output(&buffer);
    for (const auto& [addr, data] : {Reg_Write{0x4089, 0x80}, {0x4040, 63}, {0x4089, 0}})
        chip.write_register(0, addr, data);
    chip.write_register(640, 0x4080, 0xA0);
    const double full = 2.4 * 0.1128 * 65536;
    for (int block = 1; block <= 40; ++block) {
        chip.run_until(640 + 64 * block);
        const double want = full * (1 - std::exp(-2 * M_PI * 2000 * 64 * block / Chip_Fds::ntsc_clock_rate));
        EXPECT_NEAR(static_cast<double>(cell_sum(buffer)), want, 2.0) << block;
    }
}

TEST(ChipFds, ASquareSwings2Point4TimesThe2A03PulseAtEachMasterVolume)
{
    for (const double volume : {1.0, 0.5})
        for (int master = 0; master < 4; ++master) {
            Band_Buffer buffer;
            buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
            ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
            Chip_Fds chip;
            chip.set_volume(volume);
            chip.set_output(&buffer);
            for (const auto& [addr, data] : {Reg_Write{0x4089, 0x80}, {0x4040, 63}, {0x4089, master}, {0x4080, 0xBF}})
                chip.write_register(0, addr, data);
            chip.end_frame(29780);
            const double want = 2.4 * 0.1128 * 65536 * volume * 2.0 / (2 + master);
            EXPECT_NEAR(static_cast<double>(cell_sum(buffer)), want, 1.0) << "master 2/" << 2 + master;
            EXPECT_FALSE(chip.idle()) << "the level holds, but not at silence";
        }
}

// The counter stepped by +2 at every half-step visits each even value once
// per turn of the table: the wave runs at the mean of their steps, and at P
// with no depth or with the table halted at counter 0.
TEST(ChipFds, ModulatorBendsThePitchByTheTableOnlyWithDepth)
{
    constexpr int pitch = 300;
    std::vector<Reg_Write> table = {{0x4087, 0x80}};
    for (int e = 0; e < 32; ++e)
        table.push_back({0x4088, 2});
    for (const int depth : {0, 5, 24}) {
        std::vector<Reg_Write> more = table;
        for (const Reg_Write& w : {Reg_Write{0x4085, 0}, {0x4084, 0x80 | depth}, {0x4086, 0xFF}, {0x4087, 0x0F}})
            more.push_back(w);
        double mean_step = 0;
        for (int c = -64; c < 64; c += 2)
            mean_step += reference_step(c, depth, pitch) / 64.0;
        const double want = samples_per_clock(ntsc_clock) * 4194304.0 / mean_step;
        EXPECT_NEAR(cycle_samples(render_fds(ntsc_clock, note(waves.ramp, pitch, more), 1.0)) / want, 1.0, 5e-4)
            << "depth " << depth;
        if (depth == 24) {
            EXPECT_GT(std::abs(mean_step / pitch - 1), 0.02) << "a bend worth measuring";
        }
    }
    // A halted table keeps bending by its counter: 20 at depth 24.
    const double bent = samples_per_clock(ntsc_clock) * 4194304.0 / reference_step(20, 24, pitch);
    EXPECT_NEAR(cycle_samples(render_fds(ntsc_clock, note(waves.ramp, pitch, {{0x4085, 20}, {0x4084, 0x98}}), 1.0)) /
                    bent,
                1.0, 2e-4);
}

// Set-up values out of range give a defined outcome: silence for a volume
// of NaN or below 0, the lowest corner for a NaN corner, the clamps beyond.
TEST(ChipFds, SetUpOutOfRangeIsClampedAndABadOscillatorRefused)
{
    const double nan = std::nan("");
    const struct {
        double volume, corner;
        bool silent;
    } cases[] = {{nan, 2000, true}, {-1, 2000, true}, {1e300, 2000, false}, {1, nan, false},
                 {1, -5, false},    {1, 1e12, false}, {1, 1e-300, false}};
    const std::vector<short> lowest = render_fds(ntsc_clock, note(waves.square, 468), 0.1, Chip_Fds::min_lowpass_hz);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.volume << ", " << c.corner);
        Band_Buffer buffer;
        buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
        Chip_Fds chip;
        chip.set_volume(c.volume);
        chip.set_lowpass(c.corner);
        chip.set_output(&buffer);
        for (const auto& [addr, data] : {Reg_Write{0x4089, 0x80}, {0x4040, 63}, {0x4089, 0}, {0x4080, 0xA0}})
            chip.write_register(0, addr, data);
        chip.end_frame(29780);
        const int64_t level = cell_sum(buffer);  // a halted wave's level, settled
        if (c.silent)
            EXPECT_EQ(level, 0);
        else
            EXPECT_GT(level, 0);
        EXPECT_LE(level, std::llround(2.4 * 0.1128 * 65536 * Chip_Fds::max_volume));
    }
    EXPECT_EQ(render_fds(ntsc_clock, note(waves.square, 468), 0.1, nan), lowest);
    Chip_Fds chip;
    EXPECT_REQUIREMENT(chip.osc_output(1, nullptr), "Chip_Fds::osc_output(): Index out of range",
                       "0 <= osc && osc < osc_count");
    EXPECT_REQUIREMENT(chip.osc_log(-1, nullptr), "Chip_Fds::osc_log(): Index out of range",
                       "0 <= osc && osc < osc_count");
}

TEST(ChipFds, IdleOnceSilentAndSettledAndNothingAllocates)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    Chip_Fds chip;
    chip.set_output(&buffer);
    EXPECT_TRUE(chip.idle());
    const long allocations = chip_test_allocations;
    for (const Reg_Write& w : note(waves.sine, 1031))
        chip.write_register(0, w.addr, w.data);
    EXPECT_FALSE(chip.idle()) << "written";
    chip.end_frame(29780);
    buffer.end_frame(29780);
    buffer.remove_samples(buffer.samples_avail());
    EXPECT_FALSE(chip.idle()) << "sounding";
    chip.write_register(0, 0x4080, 0x80);
    chip.end_frame(600);
    EXPECT_FALSE(chip.idle()) << "silenced, the low-pass still falling";
    chip.end_frame(29780);
    EXPECT_TRUE(chip.idle()) << "the low-pass settles at silence within a frame";
    chip.write_register(0, 0x4080, 0x40);  // the envelope would raise the gain
    chip.end_frame(29780);
    EXPECT_FALSE(chip.idle());
    EXPECT_EQ(chip_test_allocations, allocations);
}

}  // namespace
