// VRC6 Pulse and VRC6 Saw programs as a host hears them: their pitch against
// the period formulas of 16 and 14 steps on both clock standards, the eight
// duty widths, the saw's seven steps and their level for each rate, the
// volume steps beside the 2A03 pulse's, the 12-bit period's lower notes, and
// a chunk that carries them.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr float kRate = 44100.0f;
constexpr int kVrc6Pulse = 4;
constexpr int kVrc6Saw = 5;

TimedMidi noteOn(int64_t frame, int key, int velocity = 100)
{
    return {frame, {0x90, static_cast<uint8_t>(key), static_cast<uint8_t>(velocity)}};
}

// Program 0, which MIDI channel 1 plays, as the given channel and texts.
cells::Builder program0(int channelType, const std::string& volume, const std::string& duty = "0", bool pal = false)
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(0).cell(cells::channelType).number(channelType);
    chunk.cell(cells::volume).string(volume).cell(cells::duty).string(duty);
    if (pal)
        chunk.cell(cells::ntsc).number(0);
    return chunk;
}

std::vector<float> play(const cells::Builder& chunk, int key, double seconds, int velocity = 100)
{
    PluginHost host;
    EXPECT_TRUE(host.load(pluginUnderTest())) << host.error();
    host.setChunk(chunk.bytes());
    host.start(kRate, 512);
    return host.render(static_cast<int64_t>(seconds * kRate), 512, {noteOn(0, key, velocity)}).left;
}

// The period formula: clock / (steps f), truncated, less 1.
int periodOf(int note, double steps, double clock)
{
    const double hz = 440.0 * std::pow(2.0, (note - 69) / 12.0);
    return static_cast<int>(std::floor(clock / (steps * hz))) - 1;
}

// Chip clocks become samples at the buffer's 16.16 fixed-point ratio, so a
// chip frequency reaches the samples scaled by the exact ratio over the
// rounded one.
double samplesPerClock(double clock)
{
    return std::floor(kRate / clock * 65536.0 + 0.5) / 65536.0;
}
double renderedHz(double chipHz, double clock)
{
    return chipHz * kRate / (clock * samplesPerClock(clock));
}

// The size of the level's steps at `count` edges `spacing` samples apart, from
// the sharpest edge within the first spacing after `from` on. Each step is
// the gap between straight lines fitted to the level before and after the
// edge, clear of the band-limited ringing: the output's slow return to zero
// does not count.
std::vector<double> stepsAt(const std::vector<float>& signal, size_t from, double spacing, int count)
{
    size_t origin = from;
    for (size_t i = from; i < from + static_cast<size_t>(spacing); ++i)
        if (std::fabs(signal[i + 1] - signal[i]) > std::fabs(signal[origin + 1] - signal[origin]))
            origin = i;
    const auto lineAt = [&](double edge, int first, int last) {
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (int k = first; k <= last; ++k) {
            const auto i = static_cast<size_t>(std::lround(edge) + k);
            const double x = static_cast<double>(i) - edge;
            n += 1;
            sx += x;
            sy += signal[i];
            sxx += x * x;
            sxy += x * signal[i];
        }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        return (sy - slope * sx) / n;
    };
    std::vector<double> steps;
    for (int k = 0; k < count; ++k) {
        const double edge = static_cast<double>(origin) + 0.5 + k * spacing;
        steps.push_back(lineAt(edge, 8, 40) - lineAt(edge, -40, -8));
    }
    return steps;
}

// One step of the 2A03 pulse's volume, as the output carries it: the edges of
// a volume-15 50% pulse at A2.
double pulseStep2A03()
{
    const std::vector<float> out = play(program0(0, "15", "2"), 45, 0.5);
    const double spacing = 8.0 * (periodOf(45, 16.0, kNtscClock) + 1) * samplesPerClock(kNtscClock);
    double sum = 0.0;
    for (double step : stepsAt(out, 8820, spacing, 20))
        sum += std::fabs(step);
    return sum / 20.0 / 15.0;
}

}  // namespace

TEST(Vrc6Render, PulseAndSawSoundAtTheirFormulasOnBothClocks)
{
    for (const bool pal : {false, true}) {
        const double clock = pal ? kPalClock : kNtscClock;
        for (const int type : {kVrc6Pulse, kVrc6Saw}) {
            const double steps = type == kVrc6Pulse ? 16.0 : 14.0;
            for (const int note : {24, 45, 69, 93}) {
                const std::vector<float> out = play(program0(type, "42", "3", pal), note, 0.6);
                const double expected = renderedHz(clock / (steps * (periodOf(note, steps, clock) + 1)), clock);
                EXPECT_NEAR(autocorrelationFrequency(out, 4410, out.size(), kRate, expected), expected, 0.05)
                    << (type == kVrc6Pulse ? "pulse" : "saw") << " note " << note << (pal ? " PAL" : " NTSC");
            }
        }
    }
}

TEST(Vrc6Render, EachDutyIsItsSixteenthsOfTheCycle)
{
    for (int duty = 0; duty < 8; ++duty) {
        const std::vector<float> out = play(program0(kVrc6Pulse, "15", std::to_string(duty)), 57, 0.5);
        const auto [low, high] = std::minmax_element(out.begin() + 4410, out.end());
        const float middle = (*low + *high) / 2.0f;
        const auto above = std::count_if(out.begin() + 4410, out.end(), [&](float s) { return s > middle; });
        EXPECT_NEAR(static_cast<double>(above) / static_cast<double>(out.size() - 4410), (duty + 1) / 16.0, 0.01)
            << "duty " << duty;
    }
}

TEST(Vrc6Render, PulseVolumesStepAsThe2A03PulsesDo)
{
    const double unit = pulseStep2A03();
    EXPECT_GT(unit, 0.001);
    const double spacing = 8.0 * (periodOf(45, 16.0, kNtscClock) + 1) * samplesPerClock(kNtscClock);
    for (int volume = 1; volume <= 15; ++volume) {
        const std::vector<float> out = play(program0(kVrc6Pulse, std::to_string(volume), "7"), 45, 0.5);
        const std::vector<double> steps = stepsAt(out, 8820, spacing, 20);
        for (size_t k = 0; k < steps.size(); ++k)
            ASSERT_NEAR(std::fabs(steps[k]) / unit, volume, 0.1) << "volume " << volume << " edge " << k;
    }
}

// The k-th of the seven levels is k A / 8, the accumulator's eight bits
// wrapping above rate 42; the lowest, 0, starts the cycle.
TEST(Vrc6Render, TheSawClimbsSevenStepsOfItsRateAndWrapsAbove42)
{
    const double unit = pulseStep2A03();
    const double spacing = 2.0 * (periodOf(33, 14.0, kNtscClock) + 1) * samplesPerClock(kNtscClock);
    constexpr int kCycles = 8;
    for (const int rate : {8, 13, 21, 42, 50, 63}) {
        const std::vector<float> out = play(program0(kVrc6Saw, std::to_string(rate)), 33, 0.5);
        const std::vector<double> steps = stepsAt(out, 8820, spacing, 7 * kCycles);
        // The level after each of a cycle's seven edges, from before the first.
        double after[7] = {};
        for (size_t k = 0; k < steps.size(); ++k)
            after[k % 7] += steps[k] / unit / kCycles;
        for (int k = 1; k < 7; ++k)
            after[k] += after[k - 1];
        EXPECT_NEAR(after[6], 0.0, 0.1) << "rate " << rate << ": a whole cycle returns to its level";
        const int lowest = static_cast<int>(std::min_element(after, after + 7) - after);
        for (int k = 0; k < 7; ++k)
            EXPECT_NEAR(after[(lowest + k) % 7] - after[lowest], (k * rate % 256) / 8, 0.1)
                << "rate " << rate << " level " << k;
    }
}

TEST(Vrc6Render, TwelveBitPeriodsReachBelowThe2A03PulsesLowestNote)
{
    EXPECT_EQ(lastSound(play(program0(0, "15", "2"), 32, 0.3)), -1) << "the 2A03 pulse stops at note 33";
    struct Case {
        int type, lowest;
    };
    for (const Case c : {Case{kVrc6Pulse, 21}, Case{kVrc6Saw, 24}}) {
        const double steps = c.type == kVrc6Pulse ? 16.0 : 14.0;
        const std::vector<float> out = play(program0(c.type, "15"), c.lowest, 1.0);
        const double expected =
            renderedHz(kNtscClock / (steps * (periodOf(c.lowest, steps, kNtscClock) + 1)), kNtscClock);
        EXPECT_NEAR(autocorrelationFrequency(out, 4410, out.size(), kRate, expected), expected, 0.05) << c.type;
        EXPECT_EQ(lastSound(play(program0(c.type, "15"), c.lowest - 1, 0.3)), -1) << c.type;
    }
}

TEST(Vrc6Render, AChunkCarriesVrc6ProgramsAndTheyRenderTheSameAfterIt)
{
    cells::Builder chunk = program0(kVrc6Saw, "42 30 | 20", "0");
    chunk.cell(cells::program).number(1).cell(cells::channelType).number(kVrc6Pulse).cell(cells::duty).string("6 1");
    PluginHost first;
    ASSERT_TRUE(first.load(pluginUnderTest()));
    first.setChunk(chunk.bytes());
    const std::vector<uint8_t> saved = first.getChunk();
    const std::vector<float> cellsSaved = cells::of(saved);
    std::vector<int32_t> types;
    for (size_t i = 0; i + 2 < cellsSaved.size() && types.size() < 3; ++i)
        if (cellsSaved[i] == cells::program && cellsSaved[i + 2] == cells::channelType)
            types.push_back(static_cast<int32_t>(cellsSaved[i + 3]));
    EXPECT_EQ(types, (std::vector<int32_t>{kVrc6Saw, kVrc6Pulse, 0}));

    PluginHost second;
    ASSERT_TRUE(second.load(pluginUnderTest()));
    second.setChunk(saved);
    EXPECT_EQ(second.getChunk(), saved);
    const std::vector<TimedMidi> midi = {noteOn(0, 50), {4000, {0xC0, 1, 0}}, noteOn(4000, 62), noteOn(4000, 69)};
    first.start(kRate, 256);
    second.start(kRate, 256);
    const std::vector<float> a = first.render(22050, 256, midi).left;
    const std::vector<float> b = second.render(22050, 256, midi).left;
    EXPECT_GT(lastSound(a), 20000);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}
