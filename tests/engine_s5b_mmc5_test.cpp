// 5B and MMC5 Pulse programs as a host hears them: their pitch against the
// period formulas on both clock standards, the 5B's logarithmic volume, its
// noise and its two buzzes, the MMC5's duties, its level beside the 2A03
// pulse's and the high notes the 2A03 pulse cannot play, and both chips in
// console mode, alone and in a full chord with the 2A03.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr float kRate = 44100.0f;
constexpr size_t kSettled = 4410;  // the first tenth of a second: the note starts, the high-pass settles
constexpr int kPulse = 0;
constexpr int kTriangle = 1;
constexpr int kS5b = 6;
constexpr int kMmc5Pulse = 7;
constexpr int kConsoleModes[] = {1, 2, 3};  // NES, Famicom, unfiltered

struct Sound {
    int type;
    std::string volume = "15";
    std::string duty = "0";
    std::string arp = "0";
};

// Programs 0, 1, ... as the sounds, MIDI channel n playing program n.
cells::Builder bank(const std::vector<Sound>& sounds, bool pal = false, int console = 0)
{
    cells::Builder chunk;
    for (size_t n = 0; n < sounds.size(); ++n) {
        const Sound& s = sounds[n];
        chunk.cell(cells::program).number(static_cast<double>(n)).cell(cells::channelType).number(s.type);
        chunk.cell(cells::volume).string(s.volume).cell(cells::arp).string(s.arp).cell(cells::duty).string(s.duty);
    }
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number(channel < static_cast<int>(sounds.size()) ? channel : 0);
    if (pal)
        chunk.cell(cells::ntsc).number(0);
    if (console != 0)
        chunk.cell(cells::console).number(console);
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

std::vector<float> play(const Sound& sound, int key, bool pal = false, double seconds = 0.6)
{
    return play(bank({sound}, pal), {noteOn(key)}, seconds);
}

// How a period makes a cycle: divider × (P + offset) clocks, the period
// P = floor(clock / (divider f)) - offset for the key's frequency f, or
// rounded to the nearest where a step of P is coarse (the buzz's).
struct Form {
    double divider;
    int offset;
    bool nearest = false;
};
constexpr Form kS5bTone{32, 0};
constexpr Form kSawBuzz{512, 0, true};        // a 32-step ramp, 16 clocks a step
constexpr Form kTriangleBuzz{1024, 0, true};  // two ramps
constexpr Form kPulseForm{16, 1};       // the 2A03's and the MMC5's
constexpr Form kTriangleForm{32, 1};

double keyHz(int note)
{
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}
int periodOf(Form form, int note, double clock)
{
    const double cycles = clock / (form.divider * keyHz(note));
    return static_cast<int>(std::floor(form.nearest ? cycles + 0.5 : cycles)) - form.offset;
}

// The chip's frequency as the samples carry it: chip clocks become samples at
// the buffer's 16.16 fixed-point ratio, so it is scaled by the exact ratio
// over the rounded one.
double renderedHz(Form form, int note, double clock)
{
    const double chipHz = clock / (form.divider * (periodOf(form, note, clock) + form.offset));
    const double samplesPerClock = std::floor(kRate / clock * 65536.0 + 0.5) / 65536.0;
    return chipHz * kRate / (clock * samplesPerClock);
}

double pitchOf(const std::vector<float>& out, double expectedHz)
{
    return autocorrelationFrequency(out, kSettled, out.size(), kRate, expectedHz);
}

double peakToPeak(const std::vector<float>& out)
{
    const auto [low, high] = std::minmax_element(out.begin() + kSettled, out.end());
    return *high - *low;
}

// The signal's correlation with itself `lag` samples on, over its energy.
double correlationAt(const std::vector<float>& out, double lag)
{
    const auto shift = static_cast<size_t>(std::lround(lag));
    double product = 0.0, energy = 0.0;
    for (size_t i = kSettled; i + shift < out.size(); ++i) {
        product += static_cast<double>(out[i]) * out[i + shift];
        energy += static_cast<double>(out[i]) * out[i];
    }
    return product / energy;
}

// The amplitude of the component at hz, through a Hann window.
double amplitudeAt(const std::vector<float>& out, double hz)
{
    const size_t n = out.size() - kSettled;
    double re = 0.0, im = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double w =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1));
        const double phase = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate;
        re += w * out[kSettled + i] * std::cos(phase);
        im -= w * out[kSettled + i] * std::sin(phase);
    }
    return 4.0 * std::hypot(re, im) / static_cast<double>(n);
}

}  // namespace

TEST(S5bRender, ToneSoundsAtClockOver32POnBothClocks)
{
    for (const bool pal : {false, true}) {
        const double clock = pal ? kPalClock : kNtscClock;
        for (const int note : {24, 45, 69, 93}) {
            const double expected = renderedHz(kS5bTone, note, clock);
            EXPECT_NEAR(pitchOf(play({kS5b}, note, pal), expected), expected, 0.05)
                << "note " << note << (pal ? " PAL" : " NTSC");
        }
    }
}

// Fixed volume V is level 2V + 1 of the DAC's 1.5 dB steps: 2^((V - 15) / 2)
// of volume 15's amplitude. Volume 15 stands 2.5 dB below a 2A03 pulse at 15.
TEST(S5bRender, VolumeStepsAreThreeDecibelsAndFullVolumeSits2Point5DecibelsBelowThePulse)
{
    const double full = peakToPeak(play({kS5b, "15"}, 57));
    const double pulse = peakToPeak(play({kPulse, "15", "2"}, 57));
    EXPECT_NEAR(full / pulse, std::pow(10.0, -2.5 / 20.0), 0.02);
    for (const int volume : {14, 13, 11, 8, 5}) {
        const double expected = std::pow(2.0, (volume - 15) / 2.0);
        EXPECT_NEAR(peakToPeak(play({kS5b, std::to_string(volume)}, 57)) / full, expected, 0.03 * expected)
            << "volume " << volume;
    }
    EXPECT_EQ(lastSound(play({kS5b, "0"}, 57)), -1);
}

// The noise has no pitch: nothing of the key's period repeats in it, where
// the tone at that key repeats whole. Its shift register moves every 32 NP
// clocks, NP = (91 - key) & 31, and a random bit rises after a quarter of
// the shifts.
TEST(S5bRender, NoiseHasNoPitchAndShiftsAtTheKeysNoisePeriod)
{
    for (const int note : {60, 65, 70, 76}) {
        const double keyPeriod = kRate / renderedHz(kS5bTone, note, kNtscClock);
        EXPECT_GT(correlationAt(play({kS5b, "15", "0"}, note), keyPeriod), 0.9) << "tone, note " << note;
        const std::vector<float> noise = play({kS5b, "15", "1"}, note, false, 1.0);
        EXPECT_GT(peakToPeak(noise), 0.05) << "it sounds";
        EXPECT_LT(std::fabs(correlationAt(noise, keyPeriod)), 0.2) << "noise, note " << note;

        const auto [low, high] = std::minmax_element(noise.begin() + kSettled, noise.end());
        const float below = *low + 0.35f * (*high - *low), above = *low + 0.65f * (*high - *low);
        int rises = 0;
        bool up = true;
        for (size_t i = kSettled; i < noise.size(); ++i) {
            if (!up && noise[i] > above)
                ++rises;
            up = noise[i] > above || (up && noise[i] >= below);
        }
        const double seconds = static_cast<double>(noise.size() - kSettled) / kRate;
        const double shiftsPerSecond = kNtscClock / (32.0 * ((91 - note) & 31));
        EXPECT_NEAR(rises / seconds, shiftsPerSecond / 4.0, 0.1 * shiftsPerSecond / 4.0) << "noise, note " << note;
    }
}

// Duty 3 repeats the envelope's falling ramp (shape $08) and duty 4 its
// triangle ($0A), at the key's pitch; the volume only gates them.
TEST(S5bRender, SawAndTriangleBuzzesPlayTheKeysPitchAndTheirShapes)
{
    struct Case {
        const char* duty;
        Form form;
    };
    for (const Case c : {Case{"3", kSawBuzz}, Case{"4", kTriangleBuzz}}) {
        for (const int note : {33, 45, 57}) {
            SCOPED_TRACE(std::string("duty ") + c.duty + ", note " + std::to_string(note));
            const std::vector<float> out = play({kS5b, "15", c.duty}, note);
            const double expected = renderedHz(c.form, note, kNtscClock);
            EXPECT_NEAR(pitchOf(out, expected), expected, 0.05);
            EXPECT_NEAR(peakToPeak(play({kS5b, "3", c.duty}, note)), peakToPeak(out), 0.01 * peakToPeak(out));

            // The largest rise over three samples: the saw's jump back to the
            // top, nearly its whole height; the triangle climbs one of its
            // 32 steps at a time, the top one a sixth of the height.
            size_t jump = kSettled;
            for (size_t i = kSettled; i < kSettled + 2 * static_cast<size_t>(kRate / expected); ++i)
                if (out[i + 3] - out[i] > out[jump + 3] - out[jump])
                    jump = i;
            const double height = out[jump + 3] - out[jump];
            if (c.form.divider == kTriangleBuzz.divider) {
                EXPECT_LT(height, 0.3 * peakToPeak(out));
                continue;
            }
            EXPECT_GT(height, 0.7 * peakToPeak(out));
            // Between jumps the saw falls: the means of a cycle's eighths
            // (clear of the jump's ringing) go down through the first five;
            // the later ones lie within the DAC's lowest steps, 1.5 dB of
            // little, which the output's high-pass outdrifts on low notes.
            const double cycle = kRate / expected;
            for (int k = 0; k < 10; ++k) {
                double means[8];
                for (int j = 0; j < 8; ++j) {
                    const auto from = static_cast<size_t>(jump + 3 + k * cycle + j * cycle / 8 + 3);
                    const auto to = static_cast<size_t>(jump + 3 + k * cycle + (j + 1) * cycle / 8 - 3);
                    double sum = 0.0;
                    for (size_t i = from; i < to; ++i)
                        sum += out[i];
                    means[j] = sum / static_cast<double>(to - from);
                }
                for (int j = 0; j < 4; ++j)
                    EXPECT_GT(means[j], means[j + 1]) << "cycle " << k << ", eighth " << j;
            }
        }
    }
}

// The Duty steps wrap modulo the five modes.
TEST(S5bRender, DutyStepsWrapAfterTheFiveModes)
{
    for (const int duty : {0, 2, 3, 4}) {
        const std::vector<float> wrapped = play({kS5b, "15", std::to_string(duty + 5)}, 57, false, 0.3);
        EXPECT_EQ(renderHash(wrapped), renderHash(play({kS5b, "15", std::to_string(duty)}, 57, false, 0.3)))
            << "duty " << duty;
    }
}

TEST(Mmc5Render, PulseSoundsAtClockOver16PPlus1OnBothClocks)
{
    for (const bool pal : {false, true}) {
        const double clock = pal ? kPalClock : kNtscClock;
        for (const int note : {33, 45, 69, 100}) {
            const double expected = renderedHz(kPulseForm, note, clock);
            EXPECT_NEAR(pitchOf(play({kMmc5Pulse, "15", "2"}, note, pal), expected), expected, 0.05)
                << "note " << note << (pal ? " PAL" : " NTSC");
        }
    }
}

TEST(Mmc5Render, EachDutyIsItsEighthsOfTheCycle)
{
    const double high[] = {1.0 / 8, 2.0 / 8, 4.0 / 8, 6.0 / 8};
    for (int duty = 0; duty < 4; ++duty) {
        const std::vector<float> out = play({kMmc5Pulse, "15", std::to_string(duty)}, 57);
        const auto [low, top] = std::minmax_element(out.begin() + kSettled, out.end());
        const float middle = (*low + *top) / 2.0f;
        const auto above = std::count_if(out.begin() + kSettled, out.end(), [&](float s) { return s > middle; });
        EXPECT_NEAR(static_cast<double>(above) / static_cast<double>(out.size() - kSettled), high[duty], 0.01)
            << "duty " << duty;
    }
}

// The same wave as a 2A03 pulse's at the same key, volume and duty, at the
// same level and polarity.
TEST(Mmc5Render, SoundsAsThe2A03PulseDoesAtTheSameNoteAndVolume)
{
    for (const std::string volume : {"15", "9", "2"}) {
        for (const std::string duty : {"0", "2", "3"}) {
            const std::vector<float> mmc5 = play({kMmc5Pulse, volume, duty}, 64);
            const std::vector<float> pulse = play({kPulse, volume, duty}, 64);
            ASSERT_GT(peakToPeak(pulse), 0.0);
            float apart = 0.0f;
            for (size_t i = 0; i < pulse.size(); ++i)
                apart = std::max(apart, std::fabs(mmc5[i] - pulse[i]));
            EXPECT_LT(apart, 0.01 * peakToPeak(pulse)) << "volume " << volume << ", duty " << duty;
        }
    }
}

// Periods below 8 silence a 2A03 pulse (its sweep unit mutes them); the
// MMC5 has no sweep and plays them, from the key or through the Arp.
TEST(Mmc5Render, PeriodsBelowEightSoundWhereThe2A03PulseIsSilent)
{
    struct Case {
        int note;
        int arp;
    };
    for (const Case c : {Case{127, 0}, Case{115, 12}, Case{120, 10}}) {
        SCOPED_TRACE("note " + std::to_string(c.note) + ", arp " + std::to_string(c.arp));
        ASSERT_LT(periodOf(kPulseForm, c.note + c.arp, kNtscClock), 8);
        const std::string arp = std::to_string(c.arp);
        EXPECT_EQ(lastSound(play({kPulse, "15", "2", arp}, c.note)), -1);
        const std::vector<float> out = play({kMmc5Pulse, "15", "2", arp}, c.note);
        const double expected = renderedHz(kPulseForm, c.note + c.arp, kNtscClock);
        EXPECT_GT(peakToPeak(out), 0.05);
        EXPECT_NEAR(frequencyOf(out, kSettled, out.size(), kRate), expected, 0.001 * expected);
    }
}

TEST(ExpansionConsole, A5bAndAnMmc5NoteSoundAtTheirPitchInEachMode)
{
    struct Case {
        Sound sound;
        Form form;
    };
    for (const int mode : kConsoleModes) {
        for (const Case& c :
             {Case{{kS5b}, kS5bTone}, Case{{kMmc5Pulse, "15", "2"}, kPulseForm}, Case{{kS5b, "15", "3"}, kSawBuzz}}) {
            for (const int note : {45, 69}) {
                const std::vector<float> out = play(bank({c.sound}, false, mode), {noteOn(note)});
                const double expected = renderedHz(c.form, note, kNtscClock);
                EXPECT_GT(peakToPeak(out), 0.02);
                EXPECT_NEAR(pitchOf(out, expected), expected, 0.05)
                    << "mode " << mode << ", type " << c.sound.type << ", duty " << c.sound.duty << ", note " << note;
            }
        }
    }
}

// Eight voices on eight of the console's thirteen channels, the 5B's three,
// the MMC5's two and three of the 2A03's: each note is heard in the chord at
// its own frequency. The 5B's DAC and the triangle's stage (with nothing else
// on it) add linearly: as loud as alone. Each pulse pair goes through
// out(s) = 95.88 / (8128 / s + 100) of its volume sum s; with both of a pair
// at volume 15, out = a (x1 + x2) + (b - 2a) x1 x2 for the pulses' high
// states x, a = out(15), b = out(30), and the other pulse high half the time
// (duty 50%) the product gives a fundamental b / 2 where alone it was a.
TEST(ExpansionConsole, AChordOfEightAcrossThe2A03The5BAndTheMmc5SoundsWhole)
{
    const auto out = [](double s) { return 95.88 / (8128.0 / s + 100.0); };
    const double paired = out(30.0) / (2.0 * out(15.0));
    struct Note {
        int channel;  // its program's: 0 the 5B, 1 the MMC5 Pulse, 2 the 2A03 pulse, 3 the triangle
        int key;
        Form form;
        double ratio;  // of its amplitude in the chord to alone
    };
    const Note notes[] = {{0, 60, kS5bTone, 1.0},      {0, 62, kS5bTone, 1.0},      {0, 64, kS5bTone, 1.0},
                          {1, 65, kPulseForm, paired}, {1, 67, kPulseForm, paired}, {2, 69, kPulseForm, paired},
                          {2, 71, kPulseForm, paired}, {3, 63, kTriangleForm, 1.0}};
    const std::vector<Sound> sounds = {{kS5b}, {kMmc5Pulse, "15", "2"}, {kPulse, "15", "2"}, {kTriangle}};
    for (const int mode : kConsoleModes) {
        std::vector<TimedMidi> all;
        for (const Note& n : notes)
            all.push_back(noteOn(n.key, n.channel));
        const std::vector<float> chord = play(bank(sounds, false, mode), all);
        for (const Note& n : notes) {
            const double hz = renderedHz(n.form, n.key, kNtscClock);
            const double alone = amplitudeAt(play(bank(sounds, false, mode), {noteOn(n.key, n.channel)}), hz);
            ASSERT_GT(alone, 0.005) << "mode " << mode << ", key " << n.key;
            EXPECT_NEAR(amplitudeAt(chord, hz) / alone, n.ratio, 0.01) << "mode " << mode << ", key " << n.key;
        }
    }
}
