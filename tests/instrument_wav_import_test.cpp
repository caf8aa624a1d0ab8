// WAV files for sample import, built byte by byte: every format read to the
// exact values its bits hold, channels mixed down, chunks the reader does not
// use skipped, and every broken file answered by one line, never read past.
#include "instrument/WavImport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& out, uint32_t value)
{
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(Bytes& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putSample(Bytes& out, int bytes, uint32_t value)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

uint32_t floatBits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

Bytes chunk(const char* name, const Bytes& body)
{
    Bytes out(name, name + 4);
    put32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        out.push_back(0);
    return out;
}

constexpr uint32_t kPcm = 1;
constexpr uint32_t kFloat = 3;
constexpr uint32_t kExtensible = 0xFFFE;

// A format chunk; an extensible one names `code` as its subformat.
Bytes fmt(uint32_t code, uint32_t channels, uint32_t rate, uint32_t bits, bool extensible = false)
{
    Bytes body;
    put16(body, extensible ? kExtensible : code);
    put16(body, channels);
    put32(body, rate);
    put32(body, rate * channels * bits / 8);
    put16(body, channels * bits / 8);
    put16(body, bits);
    if (extensible) {
        put16(body, 22);
        put16(body, bits);
        put32(body, channels == 2 ? 3 : 4);
        put16(body, code);
        for (unsigned char b : {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
            body.push_back(b);
    }
    return chunk("fmt ", body);
}

Bytes riff(const std::vector<Bytes>& chunks)
{
    Bytes body = {'W', 'A', 'V', 'E'};
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    Bytes out = {'R', 'I', 'F', 'F'};
    put32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Reads from a copy of exactly `size` bytes, so that a sanitizer build sees
// any read past the end.
bool readPrefix(const Bytes& file, size_t size, wavimport::Sound& sound, std::string& error)
{
    const Bytes copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
    return wavimport::read(copy.data(), copy.size(), sound, error);
}

struct FormatCase {
    const char* what;
    uint32_t code;
    uint32_t bits;
    std::vector<uint32_t> raw;  // the samples' bits as stored
    std::vector<float> expected;
};

std::vector<FormatCase> formatCases()
{
    return {
        {"8-bit PCM (unsigned)", kPcm, 8, {0, 128, 255, 64, 129}, {-1.0f, 0.0f, 127 / 128.0f, -0.5f, 1 / 128.0f}},
        {"16-bit PCM",
         kPcm,
         16,
         {0x8000, 0, 0x7FFF, 0x4000, 0xFFFF},
         {-1.0f, 0.0f, 32767 / 32768.0f, 0.5f, -1 / 32768.0f}},
        {"24-bit PCM",
         kPcm,
         24,
         {0x800000, 0, 0x7FFFFF, 1, 0xFFFFFF, 0xC00000},
         {-1.0f, 0.0f, 8388607 / 8388608.0f, 1 / 8388608.0f, -1 / 8388608.0f, -0.5f}},
        {"32-bit PCM", kPcm, 32, {0x80000000u, 0, 0x40000000, 0xFFFFFF00u}, {-1.0f, 0.0f, 0.5f, -256 / 2147483648.0f}},
        {"32-bit float (clipped, not-a-number silent)",
         kFloat,
         32,
         {floatBits(-1.0f), floatBits(0.25f), floatBits(-0.375f), floatBits(2.0f), floatBits(-3.0f),
          floatBits(std::nanf("")), floatBits(INFINITY)},
         {-1.0f, 0.25f, -0.375f, 1.0f, -1.0f, 0.0f, 1.0f}},
    };
}

Bytes dataOf(const FormatCase& c)
{
    Bytes data;
    for (uint32_t raw : c.raw)
        putSample(data, static_cast<int>(c.bits / 8), raw);
    return chunk("data", data);
}

}  // namespace

TEST(WavImport, EveryFormatReadsToTheExactValuesItsBitsHold)
{
    int rate = 7;
    for (const FormatCase& c : formatCases())
        for (bool extensible : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (extensible ? ", extensible" : ""));
            rate = rate * 3 + 1;  // any rate is taken as it is
            const Bytes file = riff({fmt(c.code, 1, static_cast<uint32_t>(rate), c.bits, extensible), dataOf(c)});
            wavimport::Sound sound;
            std::string error;
            ASSERT_TRUE(wavimport::read(file.data(), file.size(), sound, error)) << error;
            EXPECT_EQ(sound.sampleRate, rate);
            EXPECT_EQ(sound.samples, c.expected);
        }
}

TEST(WavImport, ChannelsMixDownToTheirMean)
{
    Bytes stereo;
    for (uint32_t value : {0x4000u, 0xE000u, 0x8000u, 0x8000u, 0x7FFFu, 0x8001u})  // 0.5 -0.25, -1 -1, max min
        put16(stereo, value);
    Bytes five;  // 24-bit: 0.5, 0.25, 0, -0.25, 1/8388608
    for (uint32_t value : {0x400000u, 0x200000u, 0u, 0xE00000u, 1u})
        putSample(five, 3, value);
    wavimport::Sound sound;
    std::string error;
    const Bytes stereoFile = riff({fmt(kPcm, 2, 44100, 16), chunk("data", stereo)});
    ASSERT_TRUE(wavimport::read(stereoFile.data(), stereoFile.size(), sound, error)) << error;
    EXPECT_EQ(sound.samples, (std::vector<float>{0.125f, -1.0f, 0.0f}));
    const Bytes fiveFile = riff({fmt(kPcm, 5, 48000, 24, true), chunk("data", five)});
    ASSERT_TRUE(wavimport::read(fiveFile.data(), fiveFile.size(), sound, error)) << error;
    ASSERT_EQ(sound.samples.size(), 1u);
    EXPECT_FLOAT_EQ(sound.samples[0], (0.5 + 0.25 - 0.25 + 1 / 8388608.0) / 5);
}

TEST(WavImport, ChunksItDoesNotUseAreSkippedWithTheirPadding)
{
    const Bytes list = chunk("LIST", {'a', 'b', 'c'});  // odd: padded
    const Bytes junk = chunk("junk", Bytes(7, 0xEE));
    const Bytes data = chunk("data", {10, 20, 250});  // odd too
    const Bytes format = fmt(kPcm, 1, 8000, 8);
    const std::vector<float> expected = {-118 / 128.0f, -108 / 128.0f, 122 / 128.0f};
    for (const auto& order : std::vector<std::vector<Bytes>>{{list, format, junk, data},
                                                             {format, data, list},
                                                             {junk, data, list, format, junk},
                                                             {format, data, data}}) {
        const Bytes file = riff(order);
        wavimport::Sound sound;
        std::string error;
        ASSERT_TRUE(wavimport::read(file.data(), file.size(), sound, error)) << error;
        EXPECT_EQ(sound.samples, expected);
    }
}

TEST(WavImport, EveryCutShortFileFailsWithOneLineAndNoReadPastTheEnd)
{
    for (const FormatCase& c : formatCases())
        for (bool chunkAfterData : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (chunkAfterData ? ", a chunk after the data" : ""));
            const Bytes data = dataOf(c);
            std::vector<Bytes> chunks = {chunk("LIST", {'x'}), fmt(c.code, 1, 22050, c.bits, c.code == kFloat), data};
            if (chunkAfterData)
                chunks.push_back(chunk("cue ", Bytes(6, 1)));
            const Bytes file = riff(chunks);
            // Where the data chunk's samples end: what comes after is not needed.
            const size_t dataEnd = 12 + chunks[0].size() + chunks[1].size() + 8 + c.raw.size() * c.bits / 8;
            for (size_t size = 0; size <= file.size(); ++size) {
                wavimport::Sound sound;
                std::string error;
                const bool read = readPrefix(file, size, sound, error);
                if (size < dataEnd) {
                    EXPECT_FALSE(read) << size << " bytes";
                    EXPECT_FALSE(error.empty());
                    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
                } else {
                    ASSERT_TRUE(read) << size << " bytes: " << error;
                    EXPECT_EQ(sound.samples, c.expected);
                }
            }
        }
}

TEST(WavImport, BrokenFilesAreNamedInOneLine)
{
    Bytes cutData = riff({fmt(kPcm, 1, 8000, 16), chunk("data", Bytes(8, 0))});
    cutData.resize(cutData.size() - 2);
    Bytes shortFmt;
    put16(shortFmt, kPcm);
    Bytes badGuid = fmt(kPcm, 1, 8000, 16, true);
    badGuid[8 + 24 + 5] = 0x11;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'},
         "not a WAV file (it does not start with 'RIFF' and 'WAVE')"},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
         "not a WAV file (it does not start with 'RIFF' and 'WAVE')"},
        {{}, "not a WAV file (it does not start with 'RIFF' and 'WAVE')"},
        {{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A'}, "the WAV file is cut short in its header"},
        {riff({}), "the WAV file is cut short before its format chunk"},
        {riff({fmt(kPcm, 1, 8000, 16)}), "the WAV file is cut short before its data chunk"},
        {cutData, "the WAV file is cut short: its data chunk counts 8 bytes, the file holds 6 more"},
        {riff({fmt(85, 2, 44100, 16), chunk("data", Bytes(4, 0))}),
         "WAV format 85 is not supported: use PCM 8, 16 or 24 bits or 32-bit float"},
        {riff({fmt(kPcm, 1, 8000, 12), chunk("data", Bytes(4, 0))}),
         "12-bit PCM WAV files are not supported: use PCM 8, 16 or 24 bits or 32-bit float"},
        {riff({fmt(kFloat, 1, 8000, 64, true), chunk("data", Bytes(8, 0))}),
         "64-bit float WAV files are not supported: use PCM 8, 16 or 24 bits or 32-bit float"},
        {riff({badGuid, chunk("data", Bytes(4, 0))}),
         "the WAV file's extensible format names a subformat that is not supported: use PCM 8, 16 or 24 bits or "
         "32-bit float"},
        {riff({chunk("fmt ", shortFmt), chunk("data", Bytes(4, 0))}),
         "the WAV file's format chunk is too short (2 bytes)"},
        {riff({fmt(kPcm, 0, 8000, 16), chunk("data", Bytes(4, 0))}), "the WAV file has no channels"},
        {riff({fmt(kPcm, 1, 0, 16), chunk("data", Bytes(4, 0))}), "the WAV file's sample rate of 0 Hz is not usable"},
        {riff({fmt(kPcm, 2, 8000, 24), chunk("data", Bytes(5, 0))}),
         "the WAV file holds no sound (its data chunk has no whole frame)"},
    };
    for (const auto& [file, expected] : cases) {
        wavimport::Sound sound;
        std::string error;
        EXPECT_FALSE(wavimport::read(file.data(), file.size(), sound, error)) << expected;
        EXPECT_EQ(error, expected);
    }
}
