// Release parts, fixed notes and the MIDI controllers as a host hears them:
// release tails in frames, fixed pitches on any key, the sustain pedal,
// volume steps, the wheel's vibrato measured from the audio, sound off and
// controller reset.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kRate = 44100.0;
constexpr double kFrameSamples = kRate * 29829.55 / kNtscClock;  // one NTSC chip frame

TimedMidi on(int64_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), 100}};
}
TimedMidi off(int64_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}};
}
TimedMidi cc(int64_t frame, int controller, int value, int channel = 0)
{
    return {frame,
            {static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(controller), static_cast<uint8_t>(value)}};
}

// The frequency a pulse note sounds at, bent by some semitones.
double pulseFrequency(double note)
{
    const double r = std::pow(2.0, (note - 69.0) / 12.0);
    return kNtscClock / (16.0 * std::floor(kNtscClock / (r * 440.0 * 16.0)));
}

// Program 0 (a 50% pulse) with the given Volume and Arp texts, on every
// channel, and controller handling on: a chunk without it loads it off.
cells::Builder pulseProgram(const char* volume, const char* arp = "0")
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(0).cell(cells::channelType).number(0).cell(cells::duty).string("2");
    chunk.cell(cells::volume).string(volume).cell(cells::arp).string(arp);
    chunk.cell(cells::midiControllers).number(1);
    return chunk;
}

std::vector<float> render(const cells::Builder& chunk, const std::vector<TimedMidi>& midi, double seconds)
{
    PluginHost host;
    EXPECT_TRUE(host.load(pluginUnderTest())) << host.error();
    host.setChunk(chunk.bytes());
    host.start(static_cast<float>(kRate), 512);
    return host.render(static_cast<int64_t>(seconds * kRate), 512, midi).left;
}

// The last sample of a note whose key goes up at sample keyUp and whose release
// lasts the given frames: the release starts with the next frame, and one
// silent frame turns the chip's channel off after it.
double releaseEnd(int64_t keyUp, int frames)
{
    return (std::ceil(static_cast<double>(keyUp) / kFrameSamples) + frames + 1) * kFrameSamples;
}

bool identical(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

TEST(Release, TailPlaysItsFramesAfterTheNoteOffThenStops)
{
    constexpr int64_t kOff = 10000;
    for (int frames : {1, 3, 12}) {
        std::string volume = "15 /";
        for (int i = 0; i < frames; ++i)
            volume += " 8";
        const std::vector<float> out = render(pulseProgram(volume.c_str()), {on(0, 69), off(kOff, 69)}, 1.0);
        EXPECT_NEAR(static_cast<double>(lastSound(out)), releaseEnd(kOff, frames), 3.0) << frames;
    }
}

TEST(Release, TailsAndPedalHeldNotesYieldToANewNoteWhenNoVoiceIsFree)
{
    std::string tail = "15 /";
    for (int i = 0; i < 40; ++i)
        tail += " 6";
    struct Case {
        std::string volume;
        bool pedal;  // down from the start, up at 20000: the notes it holds end there
    };
    for (const Case& c : {Case{tail, false}, Case{"15", true}}) {
        std::vector<TimedMidi> midi;
        if (c.pedal)
            midi = {cc(0, 64, 127), cc(20000, 64, 0)};
        for (int key = 60; key < 68; ++key) {
            midi.push_back(on(0, key));
            midi.push_back(off(3000, key));
        }
        midi.push_back(on(6000, 81));
        const std::vector<float> out = render(pulseProgram(c.volume.c_str()), midi, 1.0);
        EXPECT_EQ(lastSound(out), static_cast<int64_t>(out.size()) - 1)
            << "the ninth note took a voice and still sounds when the others have ended; pedal " << c.pedal;
    }
}

TEST(Release, AnEditThatTakesAwayTheReleasePartEndsALetGoNoteAtTheNextFrame)
{
    const std::string tail = "15 / 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8";
    constexpr int64_t kEdit = 8000;  // the key went up at 3000
    struct Case {
        const char* edited;  // the Volume text loaded by a chunk at kEdit
        bool pedal;          // down from the start, up at 10000
        double end;          // where the last sound is expected
    };
    const Case cases[] = {
        {"15", false, releaseEnd(kEdit, 0)},
        // Held by the pedal through the edit: it ends with the pedal, as a note without release parts.
        {"15", true, std::ceil(10000 / kFrameSamples) * kFrameSamples},
    };
    for (const Case& c : cases) {
        PluginHost host;
        ASSERT_TRUE(host.load(pluginUnderTest())) << host.error();
        host.setChunk(pulseProgram(tail.c_str()).bytes());
        host.start(static_cast<float>(kRate), 512);
        std::vector<TimedMidi> midi = {on(0, 69), off(3000, 69)};
        if (c.pedal)
            midi.push_back(cc(0, 64, 127));
        std::vector<float> out = host.render(kEdit, 512, midi).left;
        host.setChunk(pulseProgram(c.edited).bytes());
        const std::vector<TimedMidi> after =
            c.pedal ? std::vector<TimedMidi>{cc(10000 - kEdit, 64, 0)} : std::vector<TimedMidi>{};
        const std::vector<float> rest = host.render(static_cast<int64_t>(kRate) - kEdit, 512, after).left;
        out.insert(out.end(), rest.begin(), rest.end());
        EXPECT_NEAR(static_cast<double>(lastSound(out)), c.end, 3.0) << c.edited << " pedal " << c.pedal;
    }
}

TEST(FixedNotes, SoundTheirNoteWhateverTheKey)
{
    for (int key : {30, 60, 95}) {
        const std::vector<float> out = render(pulseProgram("15", "@57"), {on(0, key)}, 0.4);
        EXPECT_NEAR(frequencyOf(out, 2000, out.size(), kRate), pulseFrequency(57), 0.3) << key;
    }
    // Relative steps after fixed ones follow the key again.
    const std::vector<float> out = render(pulseProgram("15", "@57 | 12"), {on(0, 60)}, 0.4);
    EXPECT_NEAR(frequencyOf(out, 2000, out.size(), kRate), pulseFrequency(72), 1.0);
}

TEST(Controllers, SustainPedalHoldsNotesUntilItGoesUp)
{
    const std::vector<float> out =
        render(pulseProgram("15"), {cc(0, 64, 127), on(0, 69), off(5000, 69), cc(30000, 64, 0)}, 1.0);
    EXPECT_GT(lastSound(out), 29000) << "held past its note off";
    EXPECT_LE(lastSound(out), 30000 + 736);

    // Up, the release part starts then.
    const std::vector<float> released =
        render(pulseProgram("15 / 8 8 8"), {cc(0, 64, 100), on(0, 69), off(5000, 69), cc(20000, 64, 63)}, 1.0);
    EXPECT_NEAR(static_cast<double>(lastSound(released)), releaseEnd(20000, 3), 3.0);
}

TEST(Controllers, VolumeAndExpressionStepTheChipVolume)
{
    const std::vector<TimedMidi> note = {on(0, 69), off(15000, 69)};
    struct Case {
        int volume, expression;
        const char* same;  // the Volume envelope that gives the same chip volume
    };
    for (const Case& c : {Case{127, 127, "15"}, Case{64, 127, "4"}, Case{127, 64, "4"}, Case{100, 100, "6"},
                          Case{64, 64, "1"}, Case{10, 127, "0"}}) {
        std::vector<TimedMidi> midi = {cc(0, 7, c.volume), cc(0, 11, c.expression)};
        midi.insert(midi.end(), note.begin(), note.end());
        EXPECT_TRUE(identical(render(pulseProgram("15"), midi, 0.5), render(pulseProgram(c.same), note, 0.5)))
            << c.volume << " " << c.expression;
    }
}

TEST(Controllers, WheelVibratoIsSixHertzAndFiftyCentsAtFullWheel)
{
    const std::vector<float> plain = render(pulseProgram("15"), {on(0, 57)}, 2.0);
    const std::vector<float> out = render(pulseProgram("15"), {cc(0, 1, 0), on(0, 57)}, 2.0);
    EXPECT_TRUE(identical(plain, out)) << "wheel at 0";

    const std::vector<float> wheel = render(pulseProgram("15"), {cc(0, 1, 127), on(0, 57)}, 2.0);
    // Each frame holds one period: measure it frame by frame.
    std::vector<double> cents;
    for (int frame = 2; frame + 1 < 2 * 60; ++frame) {
        const auto from = static_cast<size_t>(frame * kFrameSamples + 40);
        const auto to = static_cast<size_t>((frame + 1) * kFrameSamples - 40);
        cents.push_back(1200.0 * std::log2(frequencyOf(wheel, from, to, kRate) / pulseFrequency(57)));
    }
    const double highest = *std::max_element(cents.begin(), cents.end());
    const double lowest = *std::min_element(cents.begin(), cents.end());
    EXPECT_GT(highest, 40.0);
    EXPECT_LT(highest, 60.0);
    EXPECT_LT(lowest, -40.0);
    EXPECT_GT(lowest, -60.0);
    // Upward crossings of the centre, over the 117 frames measured: 6 Hz.
    int rises = 0;
    for (size_t i = 1; i < cents.size(); ++i)
        rises += cents[i - 1] < 0.0 && cents[i] >= 0.0;
    EXPECT_GE(rises, 11);
    EXPECT_LE(rises, 12);
}

TEST(Controllers, AllSoundOffCutsOnlyItsChannelReleasesIncluded)
{
    const cells::Builder program = pulseProgram("15 / 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8 8");
    const std::vector<float> cut = render(program, {on(0, 69, 3), off(5000, 69, 3), cc(8000, 120, 0, 3)}, 1.0);
    EXPECT_GT(lastSound(cut), 7000);
    EXPECT_LE(lastSound(cut), 8000 + 736);
    const std::vector<float> other = render(program, {on(0, 69, 3), off(5000, 69, 3), cc(8000, 120, 0, 4)}, 1.0);
    EXPECT_NEAR(static_cast<double>(lastSound(other)), releaseEnd(5000, 20), 3.0);
}

TEST(Controllers, ResetCentresBendLiftsThePedalRestoresExpressionAndWheelButKeepsVolume)
{
    const cells::Builder program = pulseProgram("15 / 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15");
    const std::vector<float> out = render(program,
                                          {cc(0, 7, 100),
                                           cc(0, 11, 0),
                                           cc(0, 1, 127),
                                           cc(0, 64, 127),
                                           {0, {0xE0, 0x00, 0x70}},
                                           on(0, 69),
                                           off(2000, 69),
                                           cc(10000, 121, 0)},
                                          1.0);
    EXPECT_EQ(lastSound(std::vector<float>(out.begin(), out.begin() + 10000)), -1) << "expression 0 before the reset";
    const double expected = pulseFrequency(69);
    for (int window = 0; window < 8; ++window) {
        const auto from = static_cast<size_t>(10000 + 800 + window * kFrameSamples);
        EXPECT_NEAR(frequencyOf(out, from, from + static_cast<size_t>(2 * kFrameSamples), kRate), expected,
                    expected * 0.004)
            << "no bend, no vibrato; window " << window;
    }
    // The pedal went up: the 21-frame release runs out.
    EXPECT_NEAR(static_cast<double>(lastSound(out)), releaseEnd(10000, 21), 3.0);

    // Hosts send 121 at every stop: a track's volume stays as it was set.
    const std::vector<TimedMidi> note = {on(0, 69), off(15000, 69)};
    std::vector<TimedMidi> reset = {cc(0, 7, 64), cc(0, 11, 20), cc(0, 1, 127), {0, {0xE0, 0x00, 0x70}}, cc(0, 121, 0)};
    reset.insert(reset.end(), note.begin(), note.end());
    EXPECT_TRUE(identical(render(pulseProgram("15"), reset, 0.5), render(pulseProgram("4"), note, 0.5)))
        << "volume 64 gives chip volume 4; the rest is back at its defaults";
}
