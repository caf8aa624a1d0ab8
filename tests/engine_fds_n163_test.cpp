// FDS and N163 programs as a host hears them: their pitch against the
// register formulas on both clock standards and the Pitch envelope's steps,
// the wave as written (a ramp's harmonics against a square's), the linear
// volume and the level beside the 2A03 pulse, the FDS modulator's bend, the
// Duty picking the N163's wave, and the console's 163: its pitch with N
// channels on, the switching tone, two notes at once, a wave with no room.
// The VRC7 too: its pitch from its own crystal, its volume steps, its
// patches and its release.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr float kRate = 48000.0f;
constexpr size_t kSettled = 4800;  // the first tenth of a second: the note starts, the high-pass settles
constexpr int kPulse = 0;
constexpr int kFds = 8;
constexpr int kN163 = 9;
constexpr int kUnfiltered = 3;    // console mode without the console's analogue filters
constexpr double kLeakHz = 16.0;  // the output's high-pass outside the console filters
constexpr double kFdsLowPassHz = 2000.0;

struct Sound {
    int type;
    std::string wave;  // "": none written, the blank text's sine
    std::string volume = "15";
    std::string duty = "0";
    std::string pitch = "0";
};

struct Machine {
    bool pal = false;
    int console = 0;
    int n163Channels = 8;
};

// Programs 0, 1, ... as the sounds, MIDI channel n playing program n.
cells::Builder bank(const std::vector<Sound>& sounds, const Machine& setup = {})
{
    cells::Builder chunk;
    for (size_t n = 0; n < sounds.size(); ++n) {
        const Sound& s = sounds[n];
        chunk.cell(cells::program).number(static_cast<double>(n)).cell(cells::channelType).number(s.type);
        chunk.cell(cells::volume).string(s.volume).cell(cells::duty).string(s.duty);
        chunk.cell(cells::pitch).string(s.pitch);
    }
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number(channel < static_cast<int>(sounds.size()) ? channel : 0);
    if (setup.pal)
        chunk.cell(cells::ntsc).number(0);
    if (setup.console != 0)
        chunk.cell(cells::console).number(setup.console);
    if (setup.n163Channels != 8)
        chunk.cell(cells::n163Channels).number(setup.n163Channels);
    for (size_t n = 0; n < sounds.size(); ++n)
        if (!sounds[n].wave.empty())
            chunk.cell(cells::wave).number(static_cast<double>(n)).string(sounds[n].wave);
    return chunk;
}

TimedMidi noteOn(int key, int channel = 0)
{
    return noteOnAtStart(key, channel);
}

std::vector<float> play(const cells::Builder& chunk, const std::vector<TimedMidi>& notes, double seconds = 0.6)
{
    return renderWithChunk(chunk.bytes(), notes, seconds, kRate);
}

std::vector<float> play(const Sound& sound, int key, const Machine& setup = {}, double seconds = 0.6)
{
    return play(bank({sound}, setup), {noteOn(key)}, seconds);
}

double keyHz(int note)
{
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

// The chip's frequency as the samples carry it: chip clocks become samples at
// the buffer's 16.16 fixed-point ratio, so it is scaled by the exact ratio
// over the rounded one.
double rendered(double chipHz, double clock)
{
    const double samplesPerClock = std::floor(kRate / clock * 65536.0 + 0.5) / 65536.0;
    return chipHz * kRate / (clock * samplesPerClock);
}

// The FDS plays clock × P / 2^22 for the 12-bit P nearest the key's.
constexpr double kFdsScale = 4194304.0;
int fdsPitch(int note, double clock)
{
    return static_cast<int>(std::lround(keyHz(note) * kFdsScale / clock));
}
double fdsHz(int step, double clock)
{
    return rendered(clock * step / kFdsScale, clock);
}

// The N163 plays clock × F / (15 × 65536 × N × L) for the 18-bit F nearest the key's.
double n163Hz(int note, double clock, int channels, int length)
{
    const double scale = 15.0 * 65536.0 * channels * length;
    return rendered(clock * std::lround(keyHz(note) * scale / clock) / scale, clock);
}

// A wave text: `steps` numbers, step i being shape(i).
template <class Shape> std::string waveText(int steps, Shape shape)
{
    std::string text;
    for (int i = 0; i < steps; ++i)
        text += (i ? " " : "") + std::to_string(shape(i));
    return text;
}
std::string ramp(int steps, int top)
{
    return waveText(steps, [&](int i) { return i * (top + 1) / steps; });
}
std::string square(int steps, int top)
{
    return waveText(steps, [&](int i) { return i < steps / 2 ? 0 : top; });
}
std::string sine(int steps, int top)
{
    return waveText(steps, [&](int i) {
        return static_cast<int>(std::lround(top / 2.0 * (1.0 + std::sin(2.0 * std::numbers::pi * i / steps))));
    });
}

// The amplitude of the component at hz, through a Hann window, from `from` on.
double amplitudeAt(const std::vector<float>& out, double hz, size_t from = kSettled)
{
    const size_t n = out.size() - from;
    std::complex<double> sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double w =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1));
        sum += w * out[from + i] * std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate);
    }
    return 4.0 * std::abs(sum) / static_cast<double>(n);
}

// What harmonic k of a wave of these steps (each held 1/steps of the cycle)
// is, relative to the wave's range: the steps' own series times the hold's sinc.
double heldHarmonic(const std::vector<int>& steps, int k)
{
    const auto n = static_cast<double>(steps.size());
    std::complex<double> sum = 0.0;
    for (size_t i = 0; i < steps.size(); ++i)
        sum +=
            static_cast<double>(steps[i]) * std::polar(1.0, -2.0 * std::numbers::pi * k * static_cast<double>(i) / n);
    const double x = std::numbers::pi * k / n;
    return 2.0 * std::abs(sum) / n * std::sin(x) / x;
}

std::vector<int> stepsOf(const std::string& text)
{
    std::vector<int> steps;
    size_t at = 0;
    while (at < text.size()) {
        size_t used = 0;
        steps.push_back(std::stoi(text.substr(at), &used));
        at += used;
    }
    return steps;
}

// A first-order section's gain at hz: a low-pass and the output's high-pass.
double lowPassGain(double hz, double corner)
{
    return 1.0 / std::hypot(1.0, hz / corner);
}
double leakGain(double hz)
{
    return 1.0 / std::hypot(1.0, kLeakHz / hz);
}

// The pitch step the FDS takes at modulator counter c and depth g, by the
// rule of its adder: c g in sixteenths, nudged away from zero (+2 up, -1
// down) when a fraction is lost and bit 7 is clear, wrapped to -64..191, and
// P times that in 64ths rounded half up.
int modulatedStep(int c, int g, int p)
{
    const int product = c * g;
    int t = static_cast<int>(std::floor(product / 16.0));
    if (product % 16 != 0 && (t & 0x80) == 0)
        t += c > 0 ? 2 : -1;
    t = t >= 192 ? t - 256 : t < -64 ? t + 256 : t;
    return p + static_cast<int>(std::floor((p * t + 32) / 64.0));
}

// The signal through four first-order low-passes at `corner`: a tone there
// keeps its pitch, what lies far above it goes. With eight channels on, each
// is sampled at clock / 120 (14.9 kHz), and a wave's steps alias around it
// into tones a few times the note's.
std::vector<float> lowPassed(std::vector<float> out, double corner)
{
    const auto a = static_cast<float>(1.0 - std::exp(-2.0 * std::numbers::pi * corner / kRate));
    for (int pass = 0; pass < 4; ++pass) {
        float y = 0.0f;
        for (float& sample : out)
            sample = y += a * (sample - y);
    }
    return out;
}

// The frequency in each stretch of `window` seconds, by zero crossings.
std::vector<double> windowedPitch(const std::vector<float>& out, double window)
{
    std::vector<double> hz;
    const auto span = static_cast<size_t>(window * kRate);
    for (size_t from = kSettled; from + span <= out.size(); from += span)
        hz.push_back(frequencyOf(out, from, from + span, kRate));
    return hz;
}

}  // namespace

// ---- FDS ----

TEST(FdsRender, PitchIsTheClockTimesPOver2To22OnBothClocks)
{
    for (const Machine setup : {Machine{}, Machine{true}, Machine{false, kUnfiltered}, Machine{true, kUnfiltered}}) {
        const double clock = setup.pal ? kPalClock : kNtscClock;
        for (const int note : {33, 45, 57, 69, 81}) {
            SCOPED_TRACE("note " + std::to_string(note) + (setup.pal ? " PAL" : " NTSC") +
                         (setup.console ? ", console" : ""));
            const double expected = fdsHz(fdsPitch(note, clock), clock);
            const std::vector<float> out = play({kFds, "", "32"}, note, setup);
            EXPECT_NEAR(autocorrelationFrequency(out, kSettled, out.size(), kRate, expected), expected,
                        2e-4 * expected);
        }
        // Above clock × 4095 / 2^22 (1747 Hz NTSC) P has no room: silence.
        EXPECT_EQ(lastSound(play({kFds, "", "32"}, 93, setup)), -1);
    }
}

// The 64 steps as written: the ramp's harmonic k falls as 1/k, the square
// has only odd ones; each through the 64-step hold, the 2 kHz RC and the
// output's high-pass.
TEST(FdsRender, ARampCarriesEveryHarmonicAndASquareOnlyOddOnes)
{
    const int note = 57;
    const double hz = fdsHz(fdsPitch(note, kNtscClock), kNtscClock);
    for (const std::string& wave : {ramp(64, 63), square(64, 63)}) {
        const std::vector<int> steps = stepsOf(wave);
        ASSERT_EQ(steps.size(), 64u);
        const std::vector<float> out = play({kFds, wave, "32"}, note);
        const auto through = [&](int k) {
            return heldHarmonic(steps, k) * lowPassGain(k * hz, kFdsLowPassHz) * leakGain(k * hz);
        };
        const double first = amplitudeAt(out, hz);
        ASSERT_GT(first, 0.05);
        for (int k = 2; k <= 7; ++k) {
            const double expected = through(k) / through(1);
            EXPECT_NEAR(amplitudeAt(out, k * hz) / first, expected, 0.01 + 0.02 * expected)
                << (steps[1] == 0 ? "square" : "ramp") << ", harmonic " << k;
        }
    }
}

// The Volume is the chip's gain, linear: 16 is half of 32. A square at 32
// swings 2.4 times a 2A03 pulse at volume 15, alone or in the console's mix
// (where the pulse is the mixer's and the FDS is added to it).
TEST(FdsRender, VolumeIsLinearAndAFullSquareIs2Point4TimesThePulse)
{
    const int note = 33;
    const double hz = fdsHz(fdsPitch(note, kNtscClock), kNtscClock);
    const auto fundamental = [&](const Sound& sound, const Machine& setup) {
        return amplitudeAt(play(sound, note, setup), hz);
    };
    for (const Machine setup : {Machine{}, Machine{false, kUnfiltered}, Machine{false, 2}}) {
        EXPECT_NEAR(fundamental({kFds, square(64, 63), "32"}, setup) / fundamental({kPulse, "", "15", "2"}, setup),
                    2.4 * lowPassGain(hz, kFdsLowPassHz), 0.02)
            << "console mode " << setup.console;
    }
    const double full = fundamental({kFds, square(64, 63), "32"}, {});
    for (const int volume : {24, 16, 8, 1}) {
        const double expected = volume / 32.0;
        EXPECT_NEAR(fundamental({kFds, square(64, 63), std::to_string(volume)}, {}) / full, expected, 0.01 * expected)
            << "volume " << volume;
    }
    EXPECT_EQ(lastSound(play({kFds, square(64, 63), "0"}, note)), -1);
}

// A table of +4 at entry 0 and -4 at entry 16 (each entry applies twice),
// nothing between: the counter holds 8 for half the table's turn and 0 for
// the other, so the note alternates between P and the step of counter 8 at
// the depth, in stretches of 31 half-steps (a half-step every 65536 / (clock
// × rate) s). At depth 0, or before the delay, no bend at all. The same on
// the console's FDS.
TEST(FdsRender, TheModulatorBendsThePitchByTheTableAndTheDepth)
{
    std::string table;
    for (int entry = 0; entry < 32; ++entry)
        table += entry == 0 ? " 3" : entry == 16 ? " 5" : " 0";
    const std::string wave = sine(64, 63);
    const int note = 69;
    const int p = fdsPitch(note, kNtscClock);
    const double plain = fdsHz(p, kNtscClock);
    struct Case {
        int depth;
        int delayFrames;
        int console = 0;
    };
    for (const Case c : {Case{13, 0}, Case{40, 0}, Case{63, 0}, Case{20, 30}, Case{0, 0}, Case{13, 0, kUnfiltered},
                         Case{20, 30, kUnfiltered}}) {
        SCOPED_TRACE("depth " + std::to_string(c.depth) + ", delay " + std::to_string(c.delayFrames) +
                     (c.console ? ", console" : ""));
        const std::string text = wave + " mod" + table + " mod-rate 4 mod-depth " + std::to_string(c.depth) +
                                 " mod-delay " + std::to_string(c.delayFrames);
        const double bent = fdsHz(modulatedStep(8, c.depth, p), kNtscClock);
        ASSERT_TRUE(c.depth == 0 ? bent == plain : bent > plain * 1.05);
        const double window = 0.04;
        const std::vector<double> pitches =
            windowedPitch(play({kFds, text, "32"}, note, {false, c.console}, 2.0), window);
        int atPlain = 0, atBent = 0;
        for (size_t w = 0; w < pitches.size(); ++w) {
            const double hz = pitches[w];
            EXPECT_GT(hz, plain * 0.998) << "window " << w;
            EXPECT_LT(hz, bent * 1.002) << "window " << w;
            atPlain += std::fabs(hz - plain) < 0.002 * plain;
            atBent += std::fabs(hz - bent) < 0.002 * bent;
            const double end = static_cast<double>(kSettled) / kRate + window * static_cast<double>(w + 1);
            if (end < c.delayFrames / 60.0) {
                EXPECT_NEAR(hz, plain, 0.002 * plain) << "window " << w << ", before the delay";
            }
        }
        const auto windows = static_cast<int>(pitches.size());
        if (c.depth == 0) {
            EXPECT_EQ(atPlain, windows) << "no bend";
            continue;
        }
        EXPECT_GE(atPlain + atBent, windows * 7 / 10);
        EXPECT_GE(atBent, windows / 4);
        EXPECT_GE(atPlain, windows / 4);
    }
}

// ---- N163 ----

// Normal mode: each voice its own 163 with one channel (N = 1); console
// mode: the console's, with 8 or 4 channels on. The pitch holds for any N
// and wave length L.
TEST(N163Render, PitchIsTheClockTimesFOver15x65536xNxLOnBothClocks)
{
    struct Case {
        Machine setup;
        int length;
    };
    const Case cases[] = {
        {{}, 32},
        {{}, 8},
        {{true}, 32},
        {{false, kUnfiltered}, 32},
        {{true, kUnfiltered}, 16},
        {{false, kUnfiltered, 4}, 32},
        {{true, kUnfiltered, 4}, 32},
        {{false, 1, 8}, 32},
    };
    for (const Case& c : cases) {
        const double clock = c.setup.pal ? kPalClock : kNtscClock;
        const int channels = c.setup.console ? c.setup.n163Channels : 1;
        for (const int note : {45, 57, 69, 81}) {
            SCOPED_TRACE("note " + std::to_string(note) + (c.setup.pal ? " PAL" : " NTSC") + ", N " +
                         std::to_string(channels) + ", L " + std::to_string(c.length));
            const double expected = n163Hz(note, clock, channels, c.length);
            const std::vector<float> out = lowPassed(play({kN163, sine(c.length, 15)}, note, c.setup), expected);
            EXPECT_NEAR(autocorrelationFrequency(out, kSettled, out.size(), kRate, expected), expected,
                        2e-4 * expected);
        }
    }
}

// With eight channels on, the DAC holds the note's channel one turn in
// eight, a pulse train of 1/8 duty at clock / 120: the note comes out at 1/8
// of the channel's level, and the train's first harmonic, 2 sin(π/8) / π,
// carries the channel's mean level m (a peak at clock / 120) and its
// fundamental A (sidebands at clock / 120 ± f, of half that each): the
// sidebands 0.97 times the note, less what the output's band-limiting takes
// off near 15 kHz, and the peak 2 |m| / A times the sidebands. Nothing 40 Hz
// beside them. With one channel the switching is at clock / 15, out of
// hearing.
TEST(N163Render, EightConsoleChannelsWhineAtTheClockOver120AndOneDoesNot)
{
    const int note = 56;  // the 32-step wave's images (at 31, 33, 63, 65 times f) clear of every line
    const std::string wave = sine(32, 15);
    const std::vector<int> steps = stepsOf(wave);
    double mean = 0.0;
    for (const int step : steps)
        mean += (step - 8) / static_cast<double>(steps.size());
    const double side = std::sin(std::numbers::pi / 8.0) / std::numbers::pi;
    for (const bool pal : {false, true}) {
        SCOPED_TRACE(pal ? "PAL" : "NTSC");
        const double clock = pal ? kPalClock : kNtscClock;
        const double whine = rendered(clock / 120.0, clock);
        const double hz = n163Hz(note, clock, 8, 32);
        const std::vector<float> console = play({kN163, wave}, note, {pal, kUnfiltered});
        const std::vector<float> alone = play({kN163, wave}, note, {pal});
        const double note8 = amplitudeAt(console, hz), note1 = amplitudeAt(alone, hz);
        ASSERT_GT(note8, 0.005);
        const double below = amplitudeAt(console, whine - hz), above = amplitudeAt(console, whine + hz);
        for (const double sideband : {below, above}) {
            EXPECT_GT(sideband / note8, 0.5 * 8.0 * side);
            EXPECT_LT(sideband / note8, 1.02 * 8.0 * side);
        }
        EXPECT_NEAR(amplitudeAt(console, whine) / ((below + above) / 2.0),
                    2.0 * std::fabs(mean) / heldHarmonic(steps, 1),
                    0.05 * 2.0 * std::fabs(mean) / heldHarmonic(steps, 1));
        for (const double line : {whine - hz, whine, whine + hz}) {
            SCOPED_TRACE(std::to_string(line) + " Hz");
            for (const double beside : {line - 40.0, line + 40.0})
                EXPECT_LT(amplitudeAt(console, beside), 0.05 * amplitudeAt(console, line));
            EXPECT_LT(amplitudeAt(alone, line), 1e-3 * note1);
        }
    }
}

// A 16-sample ramp and square as waves 0 and 1: Duty 0 plays the ramp, with
// every harmonic, Duty 1 the square, with odd ones only; past the last wave,
// the last.
TEST(N163Render, DutyPicksTheWaveAndItsHarmonics)
{
    const std::string waves = ramp(16, 15) + " ; " + square(16, 15);
    const int note = 57;
    const double hz = n163Hz(note, kNtscClock, 1, 16);
    for (const int duty : {0, 1}) {
        const std::vector<int> steps = stepsOf(duty == 0 ? ramp(16, 15) : square(16, 15));
        const std::vector<float> out = play({kN163, waves, "15", std::to_string(duty)}, note);
        const double first = amplitudeAt(out, hz);
        ASSERT_GT(first, 0.05);
        for (int k = 2; k <= 6; ++k) {
            const double expected = heldHarmonic(steps, k) * leakGain(k * hz) / heldHarmonic(steps, 1) / leakGain(hz);
            EXPECT_NEAR(amplitudeAt(out, k * hz) / first, expected, 0.01 + 0.02 * expected)
                << "duty " << duty << ", harmonic " << k;
        }
    }
    EXPECT_EQ(renderHash(play({kN163, waves, "15", "5"}, note)), renderHash(play({kN163, waves, "15", "1"}, note)));
}

// A channel at volume 15 swinging 0..15 is 6.0 times a 2A03 pulse's step at
// volume 15, in either mode; the volume is linear; with N console channels
// each is heard 1/N of the time.
TEST(N163Render, VolumeIsLinearAndAFullSquareIs6TimesThePulse)
{
    const int note = 45;
    struct Case {
        int volume;
        Machine setup;
        double timesPulse;
    };
    for (const Case& c : {Case{15, {}, 6.0}, Case{8, {}, 6.0 * 8 / 15}, Case{1, {}, 6.0 / 15},
                          Case{15, {false, kUnfiltered}, 6.0 / 8}, Case{15, {false, kUnfiltered, 4}, 6.0 / 4}}) {
        const double hz = n163Hz(note, kNtscClock, c.setup.console ? c.setup.n163Channels : 1, 16);
        const double pulse = amplitudeAt(play({kPulse, "", "15", "2"}, note, c.setup), hz);
        const double n163 = amplitudeAt(play({kN163, square(16, 15), std::to_string(c.volume)}, note, c.setup), hz);
        EXPECT_NEAR(n163 / pulse, c.timesPulse, 0.01 * c.timesPulse)
            << "volume " << c.volume << (c.setup.console ? ", console, N " : ", N ")
            << (c.setup.console ? c.setup.n163Channels : 1);
    }
}

// Two notes of two programs with different waves on the console's 163: each
// takes a channel and a place for its wave, and sounds in the pair as alone,
// the second's Duty changing its wave every frame (placed afresh each time)
// without touching the first's.
TEST(N163Render, TwoConsoleNotesOfTwoWavesBothSound)
{
    const std::string cycling = ramp(16, 15) + " ; " + square(16, 15) + " ; " + sine(16, 15);
    const std::vector<Sound> sounds = {{kN163, sine(32, 15)}, {kN163, cycling, "15", "| 0 1 2 1"}};
    for (const int channels : {8, 4, 2}) {
        const Machine setup{false, kUnfiltered, channels};
        const std::vector<float> pair = play(bank(sounds, setup), {noteOn(57, 0), noteOn(64, 1)});
        struct Note {
            int key, channel, length;
        };
        for (const Note n : {Note{57, 0, 32}, Note{64, 1, 16}}) {
            const double hz = n163Hz(n.key, kNtscClock, channels, n.length);
            const double alone = amplitudeAt(play(bank(sounds, setup), {noteOn(n.key, n.channel)}), hz);
            ASSERT_GT(alone, 0.01) << "N " << channels << ", key " << n.key;
            EXPECT_NEAR(amplitudeAt(pair, hz) / alone, 1.0, 0.01) << "N " << channels << ", key " << n.key;
        }
    }
}

// Each Pitch step lowers the register by one step of its pitch: the FDS's P
// by 1, the N163's F by N × L, clock / 983040 Hz whatever N and L are. A
// Pitch of "k | 0" leaves k steps after its first frame.
TEST(WavePrograms, PitchStepsLowerTheRegisterByOneStepOfItsPitch)
{
    const int note = 69;
    for (const int steps : {6, -9, 40}) {
        const std::string pitch = std::to_string(steps) + " | 0";
        SCOPED_TRACE("Pitch " + pitch);
        const double fds = fdsHz(fdsPitch(note, kNtscClock) - steps, kNtscClock);
        const std::vector<float> fdsOut = play({kFds, "", "32", "0", pitch}, note);
        EXPECT_NEAR(autocorrelationFrequency(fdsOut, kSettled, fdsOut.size(), kRate, fds), fds, 2e-4 * fds);
        for (const Machine setup : {Machine{}, Machine{false, kUnfiltered, 4}}) {
            const int channels = setup.console ? setup.n163Channels : 1;
            const double step = rendered(kNtscClock / 983040.0, kNtscClock);
            const double n163 = n163Hz(note, kNtscClock, channels, 32) - steps * step;
            const std::vector<float> out = lowPassed(play({kN163, sine(32, 15), "15", "0", pitch}, note, setup), n163);
            EXPECT_NEAR(autocorrelationFrequency(out, kSettled, out.size(), kRate, n163), n163, 2e-4 * n163)
                << "N " << channels;
        }
    }
}

// With eight channels on, the waves share 64 bytes: a 128-sample wave fills
// them, and a second note of another such wave finds no room and stays
// silent while the first plays on; a note of the same wave shares its bytes.
TEST(N163Render, AWaveWithNoRoomLeftIsSilentAndTheFirstPlaysOn)
{
    const std::string first = sine(128, 15), other = square(128, 15);
    const std::vector<Sound> sounds = {{kN163, first}, {kN163, other}, {kN163, first}};
    const Machine setup{false, kUnfiltered};
    const double low = n163Hz(57, kNtscClock, 8, 128), high = n163Hz(64, kNtscClock, 8, 128);
    const double alone = amplitudeAt(play(bank(sounds, setup), {noteOn(57, 0)}), low);
    ASSERT_GT(alone, 0.005);
    for (const int second : {1, 2}) {
        SCOPED_TRACE(second == 1 ? "another wave" : "the same wave");
        const std::vector<float> pair = play(bank(sounds, setup), {noteOn(57, 0), noteOn(64, second)});
        EXPECT_NEAR(amplitudeAt(pair, low) / alone, 1.0, 0.01);
        const double secondAlone = amplitudeAt(play(bank(sounds, setup), {noteOn(64, second)}), high);
        ASSERT_GT(secondAlone, 0.005);
        if (second == 1)
            EXPECT_LT(amplitudeAt(pair, high), 0.01 * secondAlone);
        else
            EXPECT_NEAR(amplitudeAt(pair, high) / secondAlone, 1.0, 0.01);
    }
}

// ---- the VRC7 ----

constexpr int kVrc7 = 10;
// A custom patch of a lone carrier: the modulator (multiple 1) at full
// attenuation, no feedback, both sustained, at once full and held.
const std::string kVrc7Sine = "patch custom custom 21 21 3F 00 F0 F0 0F 0F";

// The chip's own crystal: 3579545 / 72 samples a second, F and block B
// (the smallest whose F fits 9 bits) for 49715.9 × F / 2^(19 - B).
double vrc7Hz(int note)
{
    constexpr double rate = 3579545.0 / 72.0;
    for (int block = 0; block < 8; ++block) {
        const long f = std::lround(keyHz(note) * (1 << (19 - block)) / rate);
        if (f <= 511)
            return rate * static_cast<double>(f) / (1 << (19 - block));
    }
    return 0.0;
}

TimedMidi noteOff(int64_t frame, int key)
{
    return {frame, {0x80, static_cast<uint8_t>(key), 0}};
}

// The pitch is the crystal's, the same on both clock standards, in the
// normal and the console mode.
TEST(Vrc7Render, PitchIsTheCrystalsFormulaWhateverTheClock)
{
    for (const Machine setup : {Machine{}, Machine{true}, Machine{false, kUnfiltered}, Machine{true, kUnfiltered}}) {
        const double clock = setup.pal ? kPalClock : kNtscClock;
        for (const int note : {33, 57, 69, 93}) {
            SCOPED_TRACE("note " + std::to_string(note) + (setup.pal ? " PAL" : " NTSC") +
                         (setup.console ? ", console" : ""));
            // The band buffer's fixed-point ratio of clocks to samples scales it as every chip's.
            const double expected = rendered(vrc7Hz(note), clock);
            const std::vector<float> out = play({kVrc7, kVrc7Sine}, note, setup);
            EXPECT_NEAR(autocorrelationFrequency(out, kSettled, out.size(), kRate, expected), expected,
                        3e-4 * expected);
        }
    }
}

// Each Volume step is the chip's 3 dB; the fifteen patches all sound, each
// its own; and a key going up lets the patch's release sound on where the
// FDS stops at once.
TEST(Vrc7Render, VolumeStepsPatchesAndTheRelease)
{
    const double hz = rendered(vrc7Hz(57), kNtscClock);
    const double full = amplitudeAt(play({kVrc7, kVrc7Sine}, 57), hz);
    for (const int volume : {14, 13, 11}) {
        const double level = amplitudeAt(play({kVrc7, kVrc7Sine, std::to_string(volume)}, 57), hz);
        EXPECT_NEAR(20.0 * std::log10(level / full), -3.0 * (15 - volume), 0.3) << "volume " << volume;
    }
    std::vector<std::vector<float>> patches;
    for (int patch = 1; patch <= 15; ++patch) {
        patches.push_back(play({kVrc7, "patch " + std::to_string(patch)}, 57));
        EXPECT_GT(lastSound(patches.back()), static_cast<int64_t>(kSettled)) << "patch " << patch;
        for (int other = 1; other < patch; ++other)
            EXPECT_NE(patches[static_cast<size_t>(other - 1)], patches.back()) << patch << " and " << other;
    }
    const int64_t up = static_cast<int64_t>(0.3 * kRate);
    const std::vector<float> vrc7 = play(bank({{kVrc7, "patch 1 sustain on"}}), {noteOn(57), noteOff(up, 57)}, 1.2);
    const std::vector<float> fds = play(bank({{kFds, "", "32"}}), {noteOn(57), noteOff(up, 57)}, 1.2);
    EXPECT_LT(lastSound(fds), up + static_cast<int64_t>(0.02 * kRate)) << "a cut, as always";
    EXPECT_GT(lastSound(vrc7), up + static_cast<int64_t>(0.2 * kRate)) << "the release sounds on";
}
