// Sound to delta-modulation samples and back: the decoder's levels exactly
// as the step rules give them, the encoder's output judged by what it decodes
// to (a steady level, a sine's period and shape), lengths the console plays,
// a round trip through a WAV file that changes nothing, and .dmc files.
#include "instrument/DmcFile.h"
#include "instrument/DpcmEncoder.h"
#include "instrument/WavImport.h"
#include "tools/render/WavWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kPi = 3.14159265358979323846;

std::vector<float> sine(double frequency, double amplitude, int rate, size_t count)
{
    std::vector<float> out(count);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(amplitude * std::sin(2 * kPi * frequency * static_cast<double>(i) / rate));
    return out;
}

Bytes encode(const std::vector<float>& sound, int rate, int rateIndex, int startLevel = dpcm::kDefaultStartLevel)
{
    std::string note;
    return dpcm::encode(sound.data(), sound.size(), rate, rateIndex, startLevel, note);
}

Bytes levelsOf(const Bytes& bytes, int startLevel = dpcm::kDefaultStartLevel)
{
    return dpcm::decode(bytes.data(), bytes.size(), startLevel);
}

}  // namespace

TEST(DpcmDecoder, KnownBytesGiveTheLevelsOfTheStepRules)
{
    struct Case {
        Bytes bytes;
        int start;
        Bytes levels;
    };
    const std::vector<Case> cases = {
        // Up to the top, where a 1 is skipped; down; steady; least significant bit first.
        {{0xFF, 0x00, 0x55, 0x0F}, 120, {122, 124, 126, 126, 126, 126, 126, 126, 124, 122, 120,
                                         118, 116, 114, 112, 110, 112, 110, 112, 110, 112, 110,
                                         112, 110, 112, 114, 116, 118, 116, 114, 112, 110}},
        // A 0 at 1 would go below 0: skipped.
        {{0x00, 0x03}, 1, {1, 1, 1, 1, 1, 1, 1, 1, 3, 5, 3, 1, 1, 1, 1, 1}},
        {{0xFE}, 127, {125, 127, 127, 127, 127, 127, 127, 127}},
        {{0x80}, 0, {0, 0, 0, 0, 0, 0, 0, 2}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(levelsOf(c.bytes, c.start), c.levels) << "from " << c.start;
    const std::vector<float> sound = dpcm::toSound(cases[1].bytes.data(), 2, 1);
    EXPECT_EQ(sound[9], (5 - 64) / 64.0f);
}

TEST(DpcmEncoder, ASteadySoundHoldsItsLevelWithinOneStep)
{
    for (int level : {0, 1, 2, 40, 64, 101, 126})
        for (int start : {0, 64, 127})
            for (int rateIndex : {0, 9, 15}) {
                SCOPED_TRACE("level " + std::to_string(level) + " from " + std::to_string(start) + " at rate " +
                             std::to_string(rateIndex));
                const std::vector<float> steady(4000, static_cast<float>((level - 64) / 64.0));
                const Bytes levels = levelsOf(encode(steady, 22050, rateIndex, start), start);
                const size_t settled = static_cast<size_t>(std::abs(level - start) / 2 + 1);
                // An odd level cannot be reached from an even start: the
                // nearest steps hold it between them. (The padding after the
                // sound holds the last level, from 1 up to 3 for level 0.)
                const auto bits = static_cast<size_t>(std::lround(4000 * dpcm::bitRate(rateIndex) / 22050));
                for (size_t i = settled; i < bits; ++i)
                    ASSERT_LE(std::abs(levels[i] - level), 2) << "bit " << i;
            }
}

TEST(DpcmEncoder, ASineDecodesToItsPeriodAndShape)
{
    // Slow enough for the steps to follow: 32 levels * 2 pi f / bit rate
    // is at most 2 levels a bit.
    struct Case {
        int rateIndex;
        int cyclesPerBit;  // of an NTSC console at 1789773 Hz
        double frequency;
        int inputRate;
    };
    for (const Case& c : {Case{15, 54, 220.0, 44100}, Case{8, 190, 55.0, 48000}, Case{0, 428, 27.5, 8000},
                          Case{12, 106, 110.0, 11025}}) {
        SCOPED_TRACE("rate " + std::to_string(c.rateIndex) + ", " + std::to_string(c.frequency) + " Hz");
        const double bitRate = 1789773.0 / c.cyclesPerBit;
        const Bytes levels =
            levelsOf(encode(sine(c.frequency, 0.5, c.inputRate, c.inputRate / 2u), c.inputRate, c.rateIndex));
        // Each level against the sine at that bit's time, past the first
        // steps where the kernel is cut.
        const double expectedPeriod = bitRate / c.frequency;
        double worst = 0.0;
        const auto bits = static_cast<size_t>(0.5 * bitRate) - 16;
        for (size_t i = 16; i < bits; ++i)
            worst = std::max(
                worst, std::fabs(levels[i] - (64 + 32 * std::sin(2 * kPi * static_cast<double>(i) / expectedPeriod))));
        EXPECT_LE(worst, 2.5);
        // The period from rising crossings of the middle, with a step of
        // hysteresis against the steps' dither.
        std::vector<size_t> rises;
        bool low = true;
        for (size_t i = 0; i < bits; ++i) {
            if (low && levels[i] > 66) {
                rises.push_back(i);
                low = false;
            } else if (levels[i] < 62) {
                low = true;
            }
        }
        ASSERT_GE(rises.size(), 8u);
        const double period = static_cast<double>(rises.back() - rises.front()) / static_cast<double>(rises.size() - 1);
        EXPECT_NEAR(period, expectedPeriod, expectedPeriod * 0.001);
    }
}

TEST(DpcmEncoder, LengthsAreTheShortestTheConsolePlaysAndThePaddingHoldsTheLevel)
{
    const int bitRate = static_cast<int>(std::lround(dpcm::bitRate(15)));  // taken sample for sample
    struct Case {
        size_t samples;
        size_t bytes;
        bool cut;
    };
    for (const Case& c : {Case{0, 1, false}, Case{1, 1, false}, Case{8, 1, false}, Case{9, 17, false},
                          Case{136, 17, false}, Case{137, 33, false}, Case{32640, 4081, false},
                          Case{32648, 4081, false}, Case{32649, 4081, true}, Case{100000, 4081, true}}) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples");
        const std::vector<float> rising = sine(1.0, 0.9, bitRate, c.samples);
        std::string note;
        const Bytes bytes = dpcm::encode(rising.data(), rising.size(), bitRate, 15, 64, note);
        EXPECT_EQ(bytes.size(), c.bytes);
        EXPECT_TRUE(dpcm::isLegalLength(bytes.size()));
        EXPECT_EQ(note.empty(), !c.cut) << note;
        const size_t used = (std::min<size_t>(c.samples, 32648) + 7) / 8;
        EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end(),
                                [](uint8_t b) { return b == dpcm::kSteadyByte; }));
        const Bytes levels = levelsOf(bytes);
        const int end = c.samples == 0 ? 64 : levels[std::min<size_t>(c.samples, 32648) - 1];
        for (size_t i = std::min<size_t>(c.samples, 32648); i < levels.size(); ++i)
            ASSERT_LE(std::abs(levels[i] - end), 2) << "padding bit " << i;
    }
    std::string note;
    const std::vector<float> long_ = sine(50.0, 0.5, 44100, 88200);
    dpcm::encode(long_.data(), long_.size(), 44100, 15, 64, note);
    EXPECT_EQ(note, "the sound lasts 2.00 s; a sample at rate 15 holds 0.99 s (4081 bytes): the rest is cut");
    // Other rates: the resampled length, rounded up to whole bytes and units.
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        const int rate = std::uniform_int_distribution<int>(1000, 96000)(random);
        const int rateIndex = std::uniform_int_distribution<int>(0, 15)(random);
        const std::vector<float> noise(std::uniform_int_distribution<size_t>(1, 20000)(random), 0.25f);
        const double bits = std::round(static_cast<double>(noise.size()) * dpcm::bitRate(rateIndex) / rate);
        const auto used = static_cast<size_t>((std::clamp(bits, 1.0, 32648.0) + 7) / 8);
        const Bytes bytes = encode(noise, rate, rateIndex);
        EXPECT_EQ(bytes.size(), std::min<size_t>((used + 14) / 16 * 16 + 1, 4081)) << noise.size() << " at " << rate;
    }
}

TEST(DpcmEncoder, ARoundTripThroughAWavFileChangesNothing)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("plinka-dpcm-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(dir);
    std::mt19937 random(3);
    std::vector<float> sound = sine(220.0, 0.6, 44100, 2205);
    for (float& sample : sound)  // noise too: steps the encoder cannot follow, and both ends of the range
        sample = std::clamp(sample + std::uniform_real_distribution<float>(-0.6f, 0.6f)(random), -1.0f, 1.0f);
    for (int rateIndex = 0; rateIndex < dpcm::kRateCount; ++rateIndex)
        for (int start : {64, 0, 127, 33}) {
            SCOPED_TRACE("rate " + std::to_string(rateIndex) + " from " + std::to_string(start));
            const Bytes first = encode(sound, 44100, rateIndex, start);
            const std::vector<float> decoded = dpcm::toSound(first.data(), first.size(), start);
            const std::string path = (dir / "sample.wav").string();
            WavWriter writer;
            std::string error;
            ASSERT_TRUE(writer.open(path, static_cast<int>(std::lround(dpcm::bitRate(rateIndex))), 1,
                                    WavWriter::Format::Pcm16, error));
            ASSERT_TRUE(writer.write(decoded.data(), static_cast<long>(decoded.size()), error));
            ASSERT_TRUE(writer.finish(error)) << error;
            std::ifstream in(path, std::ios::binary);
            const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), {}};
            wavimport::Sound read;
            ASSERT_TRUE(wavimport::read(file.data(), file.size(), read, error)) << error;
            EXPECT_EQ(read.samples, decoded);
            EXPECT_EQ(encode(read.samples, read.sampleRate, rateIndex, start), first);
        }
    std::filesystem::remove_all(dir);
}

TEST(DmcFile, LegalLengthsAreKeptOthersPaddedTooLongCutAndEmptyRefused)
{
    struct Case {
        size_t size;
        size_t kept;  // 0: refused
        std::string message;
    };
    for (const Case& c : {Case{1, 1, ""}, Case{17, 17, ""}, Case{4081, 4081, ""},
                          Case{2, 17, "padded from 2 to 17 bytes, a length the channel plays"},
                          Case{16, 17, "padded from 16 to 17 bytes, a length the channel plays"},
                          Case{4080, 4081, "padded from 4080 to 4081 bytes, a length the channel plays"},
                          Case{0, 0, "the .dmc file is empty"},
                          Case{4082, 4081, "the .dmc file holds 4082 bytes; a sample holds 4081: the rest is cut"},
                          Case{5000, 4081, "the .dmc file holds 5000 bytes; a sample holds 4081: the rest is cut"}}) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        std::vector<unsigned char> file(c.size);
        for (size_t i = 0; i < file.size(); ++i)
            file[i] = static_cast<unsigned char>(i * 37 + 11);
        Bytes bytes = {1, 2, 3};
        std::string note = "stale";
        std::string error;
        const bool read = dmc::read(file.data(), file.size(), bytes, note, error);
        EXPECT_EQ(read, c.kept != 0);
        EXPECT_EQ(read ? note : error, c.message);
        if (!read)
            continue;
        ASSERT_EQ(bytes.size(), c.kept);
        const size_t kept = std::min(c.size, c.kept);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kept), file.begin()));
        EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(kept), bytes.end(),
                                [](uint8_t b) { return b == dpcm::kSteadyByte; }));
    }
}
