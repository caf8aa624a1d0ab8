// The engine renders in runs between events and reads each voice's buffer a
// run at a time; the result must be, bit for bit, what the plain
// sample-by-sample rendering gives, for any MIDI, rate and block size. The
// reference knows no sound-shaping controllers: with the handling off, the
// engine must ignore them just as completely.
#include "EngineOracle.h"
#include "EngineTestSupport.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

struct EngineUnderTest {
    explicit EngineUnderTest(const ProgramBank& bank)
    {
        exchange->initialise(bank);
        engine = std::make_unique<Engine>(settings, *exchange);
    }
    SharedSettings settings;
    std::unique_ptr<BankExchange> exchange = std::make_unique<BankExchange>();
    std::unique_ptr<Engine> engine;
};

struct Case {
    float rate;
    int32_t blockSize;
    int32_t polyphony;
    int32_t ntsc;
    int32_t gain;
};

void compareOverRandomMidi(const Case& c, uint32_t seed, int blocks, bool controllersOff = false)
{
    auto bank = randomBank(seed);
    EngineUnderTest fast(bank->programs);
    EngineOracle oracle(bank->programs);
    fast.settings.polyphony = c.polyphony;
    fast.settings.ntsc = c.ntsc;
    fast.settings.gain = c.gain;
    oracle.polyphony = c.polyphony;
    oracle.ntsc = c.ntsc;
    oracle.gain = c.gain;
    if (controllersOff)
        fast.settings.midiControllers = 0;
    std::mt19937 random(seed);
    for (int channel = 0; channel < 4; ++channel) {
        const int32_t program = std::uniform_int_distribution<int>(0, 127)(random);
        fast.settings.channelProgram[channel] = program;
        oracle.channelProgram[channel] = program;
    }

    std::vector<float> fastLeft(c.blockSize), fastRight(c.blockSize), slowLeft(c.blockSize), slowRight(c.blockSize);
    int64_t nonZero = 0;
    for (int block = 0; block < blocks; ++block) {
        std::vector<RawMidi> midi = randomBlockMidi(random, c.blockSize, c.blockSize < 16 ? 1 : 6);
        if (controllersOff) {
            constexpr uint8_t kShaping[] = {1, 7, 11, 64, 120, 121};
            const auto channel = static_cast<uint8_t>(0xB0 | (random() % 4));
            midi.push_back({static_cast<int32_t>(random() % static_cast<uint32_t>(c.blockSize)),
                            {channel, kShaping[random() % 6], static_cast<uint8_t>(random() % 128)}});
        }
        for (const RawMidi& m : midi) {
            fast.engine->queueMidi(m.deltaFrames, m.bytes.data());
            oracle.processEvent(m.deltaFrames, m.bytes[0], m.bytes[1], m.bytes[2]);
        }
        fast.engine->render(fastLeft.data(), fastRight.data(), c.blockSize, c.rate);
        oracle.processReplacing(slowLeft.data(), slowRight.data(), c.blockSize, c.rate);
        for (int32_t n = 0; n < c.blockSize; ++n) {
            ASSERT_EQ(std::memcmp(&fastLeft[n], &slowLeft[n], sizeof(float)), 0)
                << "block " << block << " sample " << n << ": " << fastLeft[n] << " vs " << slowLeft[n];
            ASSERT_EQ(std::memcmp(&fastRight[n], &slowRight[n], sizeof(float)), 0);
            nonZero += slowLeft[n] != 0.0f;
        }
    }
    if (c.gain != 0) {
        EXPECT_GT(nonZero, 0) << "the comparison heard something";
    }
}

}  // namespace

TEST(EngineAgainstOracle, Rates)
{
    for (float rate : {44100.0f, 48000.0f, 96000.0f, 22050.0f, 192000.0f, 44100.7f})
        compareOverRandomMidi({rate, 512, 8, 1, 100}, 11, 600);
}

TEST(EngineAgainstOracle, BlockSizes)
{
    for (int32_t size : {1, 7, 64, 1000, 4096})
        compareOverRandomMidi({44100.0f, size, 8, 1, 100}, 23, size < 64 ? 6000 : 60000 / size + 20);
}

TEST(EngineAgainstOracle, PolyphonyTimingAndGain)
{
    compareOverRandomMidi({48000.0f, 256, 1, 1, 100}, 5, 1500);
    compareOverRandomMidi({44100.0f, 333, 3, 0, 180}, 6, 1500);
    compareOverRandomMidi({32000.0f, 128, 8, 0, 0}, 7, 500);
    compareOverRandomMidi({44100.0f, 512, 8, 1, 5000}, 8, 600);  // clipping
}

TEST(EngineAgainstOracle, ManySeeds)
{
    for (uint32_t seed = 100; seed < 110; ++seed)
        compareOverRandomMidi({44100.0f, 512, static_cast<int32_t>(2 + seed % 7), static_cast<int32_t>(seed % 2), 100},
                              seed, 400);
}

TEST(EngineAgainstOracle, ControllersAreIgnoredWhileTheirHandlingIsOff)
{
    compareOverRandomMidi({44100.0f, 512, 8, 1, 100}, 31, 600, true);
    compareOverRandomMidi({48000.0f, 64, 1, 0, 100}, 32, 2000, true);
}

// Bursts of notes, all let go, then long silences: once every voice has ended
// and its chip run dry, a block takes a shorter way, which must write just
// what the full one does, through a gain changed while silent (a negative one
// writes -0) and into the notes that end the silence.
TEST(EngineAgainstOracle, SilencesBetweenBurstsAndGainsChangedInThem)
{
    auto bank = randomBank(41);
    EngineUnderTest fast(bank->programs);
    EngineOracle oracle(bank->programs);
    fast.settings.gain = oracle.gain;  // the bursts start at one gain in both
    std::mt19937 random(41);
    constexpr int32_t kBlock = 256;
    const int32_t gains[] = {100, -100, 0, 35, 180};
    std::vector<float> fastLeft(kBlock), fastRight(kBlock), slowLeft(kBlock), slowRight(kBlock);
    int64_t silentBlocks = 0;
    for (int burst = 0; burst < 12; ++burst) {
        for (int block = 0; block < 160; ++block) {
            std::vector<RawMidi> midi;
            if (block < 20)
                midi = randomBlockMidi(random, kBlock, 6);
            for (int key = 30; block == 20 && key <= 100; ++key)
                for (uint8_t channel = 0; channel < 4; ++channel)
                    midi.push_back({0, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}});
            if (block == 100) {
                const int32_t gain = gains[random() % std::size(gains)];
                fast.settings.gain = gain;
                oracle.gain = gain;
            }
            for (const RawMidi& m : midi) {
                fast.engine->queueMidi(m.deltaFrames, m.bytes.data());
                oracle.processEvent(m.deltaFrames, m.bytes[0], m.bytes[1], m.bytes[2]);
            }
            fast.engine->render(fastLeft.data(), fastRight.data(), kBlock, 44100.0f);
            oracle.processReplacing(slowLeft.data(), slowRight.data(), kBlock, 44100.0f);
            ASSERT_EQ(std::memcmp(fastLeft.data(), slowLeft.data(), sizeof(float) * kBlock), 0)
                << "burst " << burst << " block " << block << " gain " << oracle.gain;
            ASSERT_EQ(std::memcmp(fastRight.data(), slowRight.data(), sizeof(float) * kBlock), 0);
            silentBlocks += std::all_of(slowLeft.begin(), slowLeft.end(), [](float s) { return s == 0.0f; });
        }
    }
    EXPECT_GT(silentBlocks, 12 * 40) << "the voices ended and left silences";
}
