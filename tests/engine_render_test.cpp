// The instrument playing, heard through the host interface: pitch against the
// period formula, sample-accurate starts, silence after notes end, gain and
// clipping, bend range, key split, block-size independence, and a render
// that must come out bit-identical on every build.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;

TimedMidi noteOn(int64_t frame, int key, int velocity = 100, int channel = 0)
{
    return {frame, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), static_cast<uint8_t>(velocity)}};
}
TimedMidi noteOff(int64_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}};
}
TimedMidi message(int64_t frame, uint8_t a, uint8_t b, uint8_t c)
{
    return {frame, {a, b, c}};
}
TimedMidi program(int64_t frame, int number, int channel = 0)
{
    return message(frame, static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(number), 0);
}

class Render : public LoadedPlugin {
protected:
    std::vector<float> play(const std::vector<TimedMidi>& midi, double seconds, float rate = 44100.0f,
                            VstInt32 block = 512)
    {
        if (!started_)
            host.start(rate, block);
        started_ = true;
        const StereoBuffer out = host.render(static_cast<int64_t>(seconds * rate), block, midi);
        EXPECT_EQ(std::memcmp(out.left.data(), out.right.data(), out.left.size() * sizeof(float)), 0)
            << "both outputs carry the same signal";
        for (float sample : out.left)
            EXPECT_TRUE(sample >= -1.0f && sample <= 1.0f) << sample;
        return out.left;
    }
    void load(const cells::Builder& chunk) { host.setChunk(chunk.bytes()); }
    void usePal() { load(cells::Builder().cell(cells::ntsc).number(0)); }

    bool started_ = false;
};

struct PitchCase {
    int program;  // 2: 50% pulse, 3: triangle
    int note;
    int period;  // from the period table
};

}  // namespace

TEST_F(Render, PulseAndTriangleSoundAtTheirPeriodsNtsc)
{
    const PitchCase cases[] = {{2, 45, 1015}, {2, 69, 253}, {2, 81, 126}, {3, 45, 507}, {3, 69, 126}, {3, 81, 62}};
    for (float rate : {44100.0f, 48000.0f, 96000.0f}) {
        for (const PitchCase& c : cases) {
            PluginHost other;
            ASSERT_TRUE(other.load(pluginUnderTest()));
            other.start(rate, 512);
            const StereoBuffer out =
                other.render(static_cast<int64_t>(0.5 * rate), 512, {program(0, c.program), noteOn(0, c.note)});
            const double expected = kNtscClock / ((c.program == 3 ? 32.0 : 16.0) * (c.period + 1));
            const double measured = frequencyOf(out.left, static_cast<size_t>(0.1 * rate), out.left.size(), rate);
            EXPECT_NEAR(measured, expected, expected * 0.001)
                << "program " << c.program << " note " << c.note << " at " << rate << " Hz";
        }
    }
}

TEST_F(Render, PalTimingLowersTheClockAndTheFrameRate)
{
    usePal();
    const std::vector<float> out = play({program(0, 2), noteOn(0, 69)}, 0.5, 48000.0f);
    const double expected = kPalClock / (16.0 * (235 + 1));
    EXPECT_NEAR(frequencyOf(out, 4800, out.size(), 48000.0), expected, expected * 0.001);

    PluginHost triangle;
    ASSERT_TRUE(triangle.load(pluginUnderTest()));
    triangle.setChunk(cells::Builder().cell(cells::ntsc).number(0).bytes());
    triangle.start(44100.0f, 256);
    const StereoBuffer tri = triangle.render(22050, 256, {program(0, 3), noteOn(0, 60)});
    const double expectedTriangle = kPalClock / (32.0 * (197 + 1));
    EXPECT_NEAR(frequencyOf(tri.left, 4410, tri.left.size(), 44100.0), expectedTriangle, expectedTriangle * 0.001);
}

TEST_F(Render, SwitchingToPalByChunkSetsTheChipsUpAgain)
{
    play({program(0, 2), noteOn(0, 69)}, 0.2);
    usePal();
    const std::vector<float> out = play({}, 0.5);
    const double expected = kPalClock / (16.0 * (235 + 1));
    EXPECT_NEAR(frequencyOf(out, 4410, out.size(), 44100.0), expected, expected * 0.001)
        << "the chip clock follows the loaded standard at once";
}

TEST_F(Render, AnEditReachesASoundingNoteAtTheNextBlock)
{
    // A held note; then, between two blocks, a load silences its program's
    // Volume: the next block takes the new bank, and the voice its steps at
    // the next frame.
    std::vector<float> out = play({program(0, 2), noteOn(0, 69)}, 0.1);
    ASSERT_GT(lastSound(out), static_cast<int64_t>(out.size()) - 512);
    load(cells::Builder().cell(cells::program).number(2).cell(cells::envelope[0]).string("0"));
    out = play({}, 0.1);
    // After at most the frame under way, no edge of the wave: only the
    // output's decay to silence.
    for (size_t i = 736; i + 1 < out.size(); ++i)
        ASSERT_LE(std::fabs(out[i + 1]), std::fabs(out[i])) << "sample " << i;
    EXPECT_LE(lastSound(out), 3 * 736);
}

TEST_F(Render, NotesStartAtTheirSampleOffset)
{
    const std::vector<float> out = play({noteOn(100, 69)}, 0.05);
    EXPECT_GE(firstSound(out), 100);
    EXPECT_LT(firstSound(out), 100 + 40);

    PluginHost late;
    ASSERT_TRUE(late.load(pluginUnderTest()));
    late.start(44100.0f, 512);
    late.sendMidi({{600, {0x90, 69, 100}}});
    std::vector<float> left(512), right(512);
    for (int block = 0; block < 4; ++block) {
        late.process(left.data(), right.data(), 512);
        EXPECT_EQ(lastSound(left), -1) << "an event past its block never acts";
    }
}

TEST_F(Render, NoteOffAndAllNotesOffSilenceWithinOneFrame)
{
    std::vector<float> out = play({noteOn(0, 60), noteOn(0, 64), noteOff(10000, 60), noteOff(10000, 64)}, 0.5);
    EXPECT_GT(lastSound(out), 9000);
    EXPECT_LE(lastSound(out), 10000 + 736);

    out = play({noteOn(0, 60, 100, 3), noteOn(0, 72, 100, 9), message(5000, 0xB5, 123, 0)}, 0.5);
    EXPECT_GT(lastSound(out), 4000);
    EXPECT_LE(lastSound(out), 5000 + 736);
}

TEST_F(Render, TriKickAndNoiseSnareEndByThemselves)
{
    for (int preset : {7, 8}) {
        PluginHost other;
        ASSERT_TRUE(other.load(pluginUnderTest()));
        other.start(44100.0f, 512);
        const StereoBuffer out = other.render(88200, 512, {program(0, preset), noteOn(0, 48)});
        const int64_t last = lastSound(out.left);
        EXPECT_GT(last, 735 * 3) << "preset " << preset << " sounded";
        EXPECT_LT(last, 44100) << "preset " << preset << " fell silent without a note off";
    }
}

TEST_F(Render, QuietVelocitiesAndZeroGainAreSilent)
{
    EXPECT_EQ(lastSound(play({noteOn(0, 69, 6)}, 0.2)), -1) << "velocity 6 of volume 15 gives chip volume 0";
    load(cells::Builder().cell(cells::gain).number(0));
    EXPECT_EQ(lastSound(play({noteOn(0, 69, 127), noteOn(0, 50, 127)}, 0.2)), -1);
}

TEST_F(Render, LoudMixesClipAtExactlyFullScale)
{
    load(cells::Builder().cell(cells::gain).number(100000));
    std::vector<TimedMidi> chord;
    for (int i = 0; i < 8; ++i)
        chord.push_back(noteOn(0, 40 + 5 * i));
    const std::vector<float> out = play(chord, 0.3);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 1.0f);
    EXPECT_EQ(*std::min_element(out.begin(), out.end()), -1.0f);
}

TEST_F(Render, RegisteredBendRangeIsHalfTheDataEntryValue)
{
    const std::vector<float> out =
        play({program(0, 2), message(0, 0xB0, 101, 0), message(0, 0xB0, 100, 0), message(0, 0xB0, 6, 12),
              message(0, 0xE0, 0x7F, 0x7F), noteOn(0, 57), program(0, 2, 1), message(0, 0xE1, 0x7F, 0x7F),
              noteOn(22050, 57, 100, 1), noteOff(22050, 57)},
             1.0);
    // Just under +6 semitones on channel 1, just under +2 on channel 2.
    auto expected = [](double bend) {
        const double r = std::pow(2.0, (57 - 69 + bend) / 12.0);
        return kNtscClock / (16.0 * (std::floor(kNtscClock / (r * 440.0 * 16.0)) - 1.0 + 1.0));
    };
    const double six = expected(6.0 * 8191.0 / 8192.0);
    const double two = expected(2.0 * 8191.0 / 8192.0);
    EXPECT_NEAR(frequencyOf(out, 4410, 22000, 44100.0), six, six * 0.001);
    EXPECT_NEAR(frequencyOf(out, 26500, out.size(), 44100.0), two, two * 0.001);
}

TEST_F(Render, MultiProgramsPlayTheirKeysProgramAtNote60)
{
    load(cells::Builder().cell(cells::multi).number(1));  // program 0 on channel 1
    const double triangle60 = kNtscClock / (32.0 * (212 + 1));
    for (int key : {63, 75, 39}) {  // key mod 12 = 3: program 3, the triangle
        std::vector<float> out = play({noteOn(0, key), noteOff(22050, key)}, 0.6);
        EXPECT_NEAR(frequencyOf(out, 4410, 22000, 44100.0), triangle60, triangle60 * 0.001) << "key " << key;
    }
}

TEST_F(Render, ProgramChangesReachTheHost)
{
    host.start();
    dispatch(effGetProgram);
    host.clearCalls();
    play({program(10, 42)}, 0.02);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    EXPECT_EQ(dispatch(effGetProgram), 42);
    play({program(10, 42)}, 0.02);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u) << "the same program again is no change";
}

TEST_F(Render, OutputDoesNotDependOnTheBlockSize)
{
    const std::vector<TimedMidi> midi = {
        program(0, 6),     noteOn(17, 64),      noteOn(300, 67, 80),      message(4000, 0xE0, 0x00, 0x50),
        noteOff(9000, 64), program(9001, 8, 1), noteOn(9001, 40, 127, 1), noteOff(15000, 67),
        noteOn(15000, 67)};
    std::vector<float> reference;
    for (VstInt32 block : {512, 64, 4096, 1, 1000}) {
        PluginHost other;
        ASSERT_TRUE(other.load(pluginUnderTest()));
        other.start(44100.0f, block);
        const std::vector<float> out = other.render(22050, block, midi).left;
        if (reference.empty())
            reference = out;
        else
            EXPECT_EQ(std::memcmp(out.data(), reference.data(), out.size() * sizeof(float)), 0) << "block " << block;
    }
}

TEST_F(Render, HostRateFallsBackToTheRateItWasGiven)
{
    host.sampleRateAnswer = 0;
    dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    dispatch(effMainsChanged, 0, 1);
    started_ = true;
    const std::vector<float> out = play({program(0, 2), noteOn(0, 69)}, 0.3, 48000.0f);
    const double expected = kNtscClock / (16.0 * 254);
    EXPECT_NEAR(frequencyOf(out, 4800, out.size(), 48000.0), expected, expected * 0.001);
}

TEST_F(Render, FractionalRatesAreSetUpTruncated)
{
    std::vector<float> renders[2];
    const float rates[2] = {44100.7f, 44100.0f};
    for (int i = 0; i < 2; ++i) {
        PluginHost other;
        ASSERT_TRUE(other.load(pluginUnderTest()));
        other.sampleRateAnswer = 0;
        other.dispatch(effSetSampleRate, 0, 0, nullptr, rates[i]);
        renders[i] = other.render(8000, 512, {noteOn(0, 69)}).left;
    }
    EXPECT_EQ(renders[0], renders[1]);
}

TEST_F(Render, UnusableRatesRenderSilenceUntilAUsableOneArrives)
{
    host.sampleRateAnswer = 0;
    for (float bad : {std::nanf(""), 0.0f, -44100.0f, 1e7f, INFINITY}) {
        dispatch(effSetSampleRate, 0, 0, nullptr, bad);
        const StereoBuffer out = host.render(2048, 512, {noteOn(0, 69), noteOff(1000, 69), noteOn(1500, 72)});
        EXPECT_EQ(lastSound(out.left), -1) << bad;
    }
    dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    const StereoBuffer out = host.render(4096, 512);
    EXPECT_GT(lastSound(out.left), 3000) << "the note that stayed on sounds once the rate is usable";
}

// Every factory preset in turn, with bends, on all channels: any change in
// the chip, the sequencer or the mixing changes this hash. Every build must
// give the same one.
TEST_F(Render, FactoryPresetsRenderIdenticallyOnEveryBuild)
{
    std::vector<TimedMidi> midi;
    for (int preset = 0; preset < 9; ++preset) {
        const int64_t at = preset * 11025;
        midi.push_back(program(at, preset, preset));
        midi.push_back(noteOn(at, 45 + 3 * preset, 70 + 3 * preset, preset));
        midi.push_back(message(at + 3000, static_cast<uint8_t>(0xE0 | preset), 0x10, 0x50));
        midi.push_back(noteOff(at + 9000, 45 + 3 * preset, preset));
    }
    // At the gain new instances had until they started lower, which the hash was taken at.
    load(cells::Builder().cell(cells::gain).number(100).cell(cells::midiControllers).number(1));
    const std::vector<float> out = play(midi, 2.5);
    EXPECT_GT(lastSound(out), 9 * 11025 - 3000);
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(renderHash(out)));
    EXPECT_STREQ(hash, "a52b4a0f07e5a5b0");
}

// The event list a host passes declares room for two events and holds
// numEvents; every one of them acts. (Fuzzing found reads of the list past its
// declared size flagged as undefined; the list is now read through a pointer.)
TEST_F(Render, EveryEventOfALongListActs)
{
    host.start(44100.0f, 512);
    std::vector<std::pair<VstInt32, std::vector<uint8_t>>> list;
    for (int i = 0; i < 38; ++i)
        list.push_back({0, {0xB0, 7, static_cast<uint8_t>(i)}});  // ignored controllers
    list.push_back({0, {0x90, 69, 100}});
    list.push_back({0, {0xC0, 3, 0}});
    host.sendMidi(list);
    std::vector<float> left(512), right(512);
    host.process(left.data(), right.data(), 512);
    EXPECT_GE(firstSound(left), 0) << "the note on, the 39th event, sounds";
    EXPECT_EQ(dispatch(effGetProgram), 3) << "the program change, the 40th, acted";
}

// A new instance leaves room for its eight voices: full-volume pulses of every
// width, started together as a chord, never reach full scale, and come close.
TEST_F(Render, ANewInstancesGainKeepsAChordOfEightFullVolumePulsesUnclipped)
{
    float loudest = 0.0f;
    for (int duty = 0; duty < 4; ++duty) {
        PluginHost fresh;
        ASSERT_TRUE(fresh.load(pluginUnderTest())) << fresh.error();
        fresh.setChunk(cells::Builder()
                           .cell(cells::program)
                           .number(0)
                           .cell(cells::duty)
                           .string(std::to_string(duty))
                           .bytes());
        fresh.start(44100.0f, 512);
        std::vector<TimedMidi> chord;
        for (int key : {36, 40, 43, 48, 52, 55, 60, 64})
            chord.push_back(noteOn(0, key, 127));
        const StereoBuffer out = fresh.render(22050, 512, chord);
        float peak = 0.0f;
        for (float sample : out.left)
            peak = std::max(peak, std::abs(sample));
        EXPECT_LT(peak, 0.98f) << "duty " << duty;
        loudest = std::max(loudest, peak);
    }
    EXPECT_GT(loudest, 0.85f);
}
