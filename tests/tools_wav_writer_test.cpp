// plinka-render's WAV writer against libsndfile, which wrote the files
// before it: the same samples make the same 16-bit file byte for byte, and
// libsndfile reads every file the writer makes back exactly.
#include "tools/render/WavWriter.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<char> bytesOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Samples that find the edges of the conversion: halfway values, both ends
// of the scale, beyond it, and random ones.
std::vector<float> testSamples()
{
    std::vector<float> samples = {0.0f,
                                  1.0f,
                                  -1.0f,
                                  0.5f,
                                  -0.5f,
                                  1.5f,
                                  -1.5f,
                                  0.99999f,
                                  -0.99999f,
                                  std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity()};
    for (int step = -70000; step <= 70000; step += 7)
        samples.push_back(static_cast<float>(step) / 65536.0f);
    std::mt19937 random(2026);
    std::uniform_real_distribution<float> around(-1.1f, 1.1f);
    for (int i = 0; i < 100000; ++i)
        samples.push_back(around(random));
    if (samples.size() % 2)
        samples.push_back(0.25f);
    return samples;
}

class WavWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("plinka-wav-test-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void writeOurs(const fs::path& path, const std::vector<float>& samples, int channels, WavWriter::Format format)
    {
        WavWriter out;
        std::string error;
        ASSERT_TRUE(out.open(path.string(), 48000, channels, format, error)) << error;
        // In uneven pieces, as a render's blocks come.
        const long frames = static_cast<long>(samples.size()) / channels;
        for (long done = 0, piece = 1; done < frames; done += piece, piece = piece * 3 + 1)
            ASSERT_TRUE(out.write(&samples[done * channels], std::min(piece, frames - done), error)) << error;
        ASSERT_TRUE(out.finish(error)) << error;
    }

    fs::path dir;
};

TEST_F(WavWriterTest, SixteenBitFilesAreLibsndfilesByteForByte)
{
    const std::vector<float> samples = testSamples();
    for (int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        writeOurs(dir / "ours.wav", samples, channels, WavWriter::Format::Pcm16);
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* theirs = sf_open((dir / "theirs.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(theirs, nullptr);
        sf_command(theirs, SFC_SET_CLIPPING, nullptr, SF_TRUE);
        sf_writef_float(theirs, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
        sf_close(theirs);
        EXPECT_TRUE(bytesOf(dir / "ours.wav") == bytesOf(dir / "theirs.wav"));
    }
    EXPECT_EQ(WavWriter::pcm16(std::nanf("")), 0);
}

TEST_F(WavWriterTest, LibsndfileReadsEveryFileBackExactly)
{
    const std::vector<float> samples = testSamples();
    for (const auto format : {WavWriter::Format::Pcm16, WavWriter::Format::Float})
        for (int channels : {1, 2}) {
            SCOPED_TRACE(channels);
            writeOurs(dir / "ours.wav", samples, channels, format);
            SF_INFO info{};
            SNDFILE* file = sf_open((dir / "ours.wav").c_str(), SFM_READ, &info);
            ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
            EXPECT_EQ(info.samplerate, 48000);
            EXPECT_EQ(info.channels, channels);
            EXPECT_EQ(info.frames, static_cast<sf_count_t>(samples.size()) / channels);
            EXPECT_EQ(info.format,
                      SF_FORMAT_WAV | (format == WavWriter::Format::Float ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16));
            std::vector<short> shorts(samples.size());
            std::vector<float> floats(samples.size());
            if (format == WavWriter::Format::Float) {
                sf_readf_float(file, floats.data(), info.frames);
                for (size_t i = 0; i < samples.size(); ++i)
                    ASSERT_EQ(floats[i], samples[i]) << "sample " << i;
            } else {
                sf_readf_short(file, shorts.data(), info.frames);
                for (size_t i = 0; i < samples.size(); ++i)
                    ASSERT_EQ(shorts[i], WavWriter::pcm16(samples[i])) << "sample " << i;
            }
            sf_close(file);
        }
}

TEST_F(WavWriterTest, AFileNotFinishedLeavesNothingBehind)
{
    {
        WavWriter out;
        std::string error;
        ASSERT_TRUE(out.open((dir / "a.wav").string(), 44100, 2, WavWriter::Format::Pcm16, error));
        const float frame[2] = {0.5f, -0.5f};
        ASSERT_TRUE(out.write(frame, 1, error));
    }
    WavWriter out;
    std::string error;
    EXPECT_FALSE(out.open((dir / "missing" / "b.wav").string(), 44100, 2, WavWriter::Format::Pcm16, error));
    EXPECT_EQ(error.rfind((dir / "missing" / "b.wav").string() + ": cannot write: ", 0), 0u) << error;
    EXPECT_FALSE(out.open((dir / "c.wav").string(), 44100, 3, WavWriter::Format::Pcm16, error));
    EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
