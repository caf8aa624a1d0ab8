// Console mode played through the instrument: the channels mix as the
// console's do, each group's output holds its channel alone, a cut note
// leaves its channel silent, and switching modes stops what sounds. (The
// mixer's and filters' exact values are the chip's tests.)
#include "AudioMeasure.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr float kRate = 44100.0f;
constexpr int32_t kBlock = 512;

struct Event {
    int64_t frame;
    std::array<uint8_t, 3> bytes;
};

Event noteOn(int64_t frame, int key, int channel = 0)
{
    return {frame, {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), 100}};
}

struct Outputs {
    std::vector<float> main;
    std::vector<float> group[kOutputGroupCount];
};

// Channel n plays program n; programs 0..2 are a 50% pulse, a triangle and
// a noise at full volume; channel 3 plays the pulse too.
class ConsoleRender : public ::testing::Test {
protected:
    ConsoleRender() { fresh(); }
    void fresh()
    {
        instrument = std::make_unique<Instrument>();
        const int32_t types[] = {Pulse, Triangle, Noise};
        for (int32_t program = 0; program < 3; ++program) {
            instrument->setChannelType(program, types[program]);
            ASSERT_EQ(instrument->setEnvelopeText(program, Volume, "15"), nullptr);
            ASSERT_EQ(instrument->setEnvelopeText(program, Duty, "2"), nullptr);
            for (int kind : {Arp, Pitch, HiPitch})
                ASSERT_EQ(instrument->setEnvelopeText(program, kind, "0"), nullptr);
            instrument->settings.channelProgram[program].store(program);
        }
        instrument->settings.channelProgram[3].store(0);
        instrument->setConsole(ConsoleUnfiltered);
        instrument->setGain(100);
    }
    // Renders from where the last render stopped; events count from there.
    Outputs render(double seconds, const std::vector<Event>& events = {})
    {
        const auto frames = static_cast<int64_t>(seconds * kRate);
        Outputs out;
        out.main.resize(static_cast<size_t>(frames));
        for (auto& group : out.group)
            group.resize(static_cast<size_t>(frames));
        for (int64_t start = 0; start < frames; start += kBlock) {
            const auto count = static_cast<int32_t>(std::min<int64_t>(kBlock, frames - start));
            for (const Event& e : events)
                if (e.frame >= start && e.frame < start + count)
                    instrument->queueMidi(static_cast<int32_t>(e.frame - start), e.bytes.data());
            EngineOutputs outputs;
            outputs.main[0] = out.main.data() + start;
            for (int g = 0; g < kOutputGroupCount; ++g)
                outputs.group[g][0] = out.group[g].data() + start;
            instrument->render(outputs, count, kRate);
        }
        return out;
    }
    static double peakToPeak(const std::vector<float>& signal, size_t from)
    {
        const auto [low, high] = std::minmax_element(signal.begin() + static_cast<long>(from), signal.end());
        return static_cast<double>(*high) - static_cast<double>(*low);
    }

    std::unique_ptr<Instrument> instrument;
};

// The amplitude of a 50% pulse at A3's period (507) in the signal from 0.1 s
// on, through a Hann window: the band-limited steps' ringing, which two
// pulses a few clocks apart smear, does not count.
double fundamental(const std::vector<float>& signal)
{
    const double frequency = 1789773.0 / (16.0 * 508.0);
    const size_t from = 4410;
    const size_t length = signal.size() - from;
    double re = 0.0, im = 0.0;
    for (size_t i = 0; i < length; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(length));
        const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / kRate;
        re += window * signal[from + i] * std::cos(phase);
        im += window * signal[from + i] * std::sin(phase);
    }
    return std::hypot(re, im);
}

double pulseMix(int p1, int p2)
{
    return p1 + p2 == 0 ? 0.0 : 95.88 / (8128.0 / (p1 + p2) + 100.0);
}

}  // namespace

TEST_F(ConsoleRender, TwoPulsesCompressEachOtherAsTheConsolesMixerDoes)
{
    const double one = fundamental(render(0.3, {noteOn(0, 57)}).main);
    fresh();
    const double two = fundamental(render(0.3, {noteOn(0, 57), noteOn(0, 57, 3)}).main);
    // The buffer's slow high-pass shapes both alike, and the second pulse's
    // start a few clocks later shifts its phase by far less than a
    // thousandth of a cycle: the ratio of their fundamentals is the mixer's.
    EXPECT_NEAR(two / one, pulseMix(15, 15) / pulseMix(15, 0), 0.002);
    EXPECT_GT(std::abs(two / one - 2.0), 0.25) << "not a linear sum";
}

TEST_F(ConsoleRender, EachGroupHoldsItsChannelAloneAndTheMainTheConsolesMix)
{
    const Outputs all = render(0.2, {noteOn(0, 57), noteOn(0, 64, 3), noteOn(0, 45, 1)});
    fresh();
    const Outputs pulse = render(0.2, {noteOn(0, 57)});
    fresh();
    const Outputs triangle = render(0.2, {noteOn(0, 45, 1)});
    EXPECT_EQ(all.group[PulseOneGroup], pulse.main);
    EXPECT_EQ(all.group[TriangleGroup], triangle.main);
    for (int g : {NoiseGroup, SampleGroup, Vrc6Group})
        EXPECT_EQ(*std::max_element(all.group[g].begin(), all.group[g].end()), 0.0f) << kOutputGroupNames[g];
    for (int g : {PulseOneGroup, PulseTwoGroup, TriangleGroup})
        EXPECT_GT(peakToPeak(all.group[g], 4410), 0.1) << kOutputGroupNames[g];
    // The pulses share a stage of the mixer, which the triangle does not.
    double pulses = 0.0;
    for (size_t i = 0; i < all.main.size(); ++i) {
        const double sum = static_cast<double>(all.group[PulseOneGroup][i]) + all.group[PulseTwoGroup][i];
        pulses = std::max(pulses, std::abs(all.main[i] - sum - all.group[TriangleGroup][i]));
    }
    EXPECT_GT(pulses, 0.02) << "the two pulses' mix is not the sum of their tracks";
}

TEST_F(ConsoleRender, ANoteCutOrTakenOverLeavesNothingOfItBehind)
{
    // All sound off on the pulse's channel: nothing frees the console's
    // channel but the engine.
    render(0.1, {noteOn(0, 57), noteOn(0, 60, 1)});
    const Outputs cut = render(0.4, {{0, {0xB0, 120, 0}}});
    EXPECT_LT(peakToPeak(cut.group[PulseOneGroup], 8820), 1e-4);
    EXPECT_GT(peakToPeak(cut.group[TriangleGroup], 8820), 0.1) << "another channel's note plays on";
    // A third pulse note takes the longest-held pulse: two pulses sound, at
    // the last two notes' pitches.
    fresh();
    const Outputs three = render(0.5, {noteOn(0, 45), noteOn(441, 57, 3), noteOn(882, 69)});
    EXPECT_NEAR(frequencyOf(three.group[PulseOneGroup], 4410, three.main.size(), kRate), 440.0, 2.0);
    EXPECT_NEAR(frequencyOf(three.group[PulseTwoGroup], 4410, three.main.size(), kRate), 220.0, 1.0);
}

TEST_F(ConsoleRender, SwitchingModesStopsEveryNote)
{
    render(0.1, {noteOn(0, 57), noteOn(0, 45, 1)});
    instrument->setConsole(ConsoleOff);
    const Outputs normal = render(0.1);
    for (float sample : normal.main)
        ASSERT_EQ(sample, 0.0f);
    render(0.1, {noteOn(0, 57)});
    instrument->setConsole(ConsoleUnfiltered);
    const Outputs console = render(0.1);
    for (float sample : console.main)
        ASSERT_EQ(sample, 0.0f);
}

// A voice remembers which chip its last frame played, to silence that chip
// once when a frame of another chip's kind follows. In the other mode it
// played another chip: a VRC6 note that a switch of modes cut leaves its
// channel on in voice 0's chip, and the 2A03 note voice 0 plays after two
// switches must still switch it off.
TEST_F(ConsoleRender, AVrc6NoteCutByASwitchOfModesIsSilencedByTheNextNote)
{
    // The amplitude at a frequency from 0.02 s on, through a Hann window.
    const auto amplitudeAt = [](const std::vector<float>& signal, double frequency) {
        const size_t from = 882;
        const size_t length = signal.size() - from;
        double re = 0.0, im = 0.0;
        for (size_t i = 0; i < length; ++i) {
            const double window =
                0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(length));
            const double phase = 2.0 * M_PI * frequency * static_cast<double>(i) / kRate;
            re += window * signal[from + i] * std::cos(phase);
            im += window * signal[from + i] * std::sin(phase);
        }
        return std::hypot(re, im) / static_cast<double>(length);
    };
    const auto setUpVrc6 = [this] {
        instrument->setChannelType(4, Vrc6Pulse);
        const char* texts[] = {"15", "0", "0", "0", "7"};  // a 50% duty
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            ASSERT_EQ(instrument->setEnvelopeText(4, kind, texts[kind]), nullptr);
        instrument->settings.channelProgram[4].store(4);
    };
    // A 50% pulse on A2 has no eighth harmonic: A5, where the VRC6 played.
    const double a5 = 1789773.0 / (16.0 * (126 + 1));
    setUpVrc6();
    instrument->setConsole(ConsoleOff);
    const double heard = amplitudeAt(render(0.1, {noteOn(0, 81, 4)}).main, a5);
    instrument->setConsole(ConsoleUnfiltered);
    render(0.1, {noteOn(0, 57)});
    instrument->setConsole(ConsoleOff);
    const Outputs after = render(0.2, {noteOn(0, 45)});

    fresh();
    setUpVrc6();
    instrument->setConsole(ConsoleOff);
    const Outputs alone = render(0.2, {noteOn(0, 45)});
    EXPECT_GT(heard, 0.01);
    EXPECT_LT(amplitudeAt(after.main, a5), heard / 100.0);
    EXPECT_NEAR(amplitudeAt(after.main, a5), amplitudeAt(alone.main, a5), heard / 1000.0);
}

TEST_F(ConsoleRender, TheFamicomsHighPassIsAllThatShapesASlowPulse)
{
    instrument->setConsole(ConsoleFamicom);
    // A1: a half period of about 400 samples, between whose edges a
    // first-order high-pass decays as a single exponential, whatever came
    // before; nothing else may bend it.
    const Outputs out = render(0.5, {noteOn(0, 33)});
    const std::vector<float>& y = out.main;
    size_t edge = 8820;
    for (size_t i = 8820; i < 8820 + 810; ++i)
        if (y[i + 1] - y[i] > y[edge + 1] - y[edge])
            edge = i;
    const double span = 300.0 / kRate;
    const double corner = std::log(static_cast<double>(y[edge + 50]) / y[edge + 350]) / (2.0 * M_PI * span);
    EXPECT_NEAR(corner, 37.0, 0.5);
    instrument->setConsole(ConsoleUnfiltered);
    fresh();
    const Outputs raw = render(0.5, {noteOn(0, 33)});
    const double rawCorner =
        std::log(static_cast<double>(raw.main[edge + 50]) / raw.main[edge + 350]) / (2.0 * M_PI * span);
    EXPECT_LT(rawCorner, 20.0) << "unfiltered: only the slow leak that keeps the output centred";
}

// A full FDS square and a full N163 swing stand at 2.4 and 6.0 times a
// pulse's (at volume 15), in the console's mix as on a voice's own chip.
TEST_F(ConsoleRender, TheFdsAndTheN163StandAtTheirLevelsAgainstAPulseInBothModes)
{
    std::string fdsSquare, n163Square;
    for (int i = 0; i < 64; ++i)
        fdsSquare += i < 32 ? "63 " : "0 ";
    for (int i = 0; i < 32; ++i)
        n163Square += i < 16 ? "15 " : "0 ";
    for (const int32_t mode : {ConsoleUnfiltered, ConsoleOff}) {
        // A note on channel c alone, from a fresh instrument.
        auto alone = [&](int c) {
            fresh();
            instrument->setConsole(mode);
            instrument->setN163Channels(1);
            instrument->setChannelType(1, Fds);
            EXPECT_EQ(instrument->setEnvelopeText(1, Volume, "32"), nullptr);
            EXPECT_EQ(instrument->setWaveText(1, fdsSquare.c_str()), nullptr);
            instrument->setChannelType(2, N163);
            EXPECT_EQ(instrument->setWaveText(2, n163Square.c_str()), nullptr);
            return fundamental(render(0.3, {noteOn(0, 57, c)}).main);
        };
        const double pulse = alone(0);
        // The FDS's 2 kHz low-pass takes 0.6 % off its fundamental at 220 Hz.
        EXPECT_NEAR(alone(1) / pulse, 2.4 / std::hypot(1.0, 220.0 / 2000.0), 0.03) << "mode " << mode;
        EXPECT_NEAR(alone(2) / pulse, 6.0, 0.06) << "mode " << mode;
    }
}
