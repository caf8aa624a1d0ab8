#include "WavImport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace wavimport {

namespace {

// "RIFF" size "WAVE", then chunks: a four-byte name, a 32-bit size and the
// body, padded to an even length. "fmt " says how "data" holds its frames.
constexpr size_t kHeaderBytes = 12;
constexpr size_t kChunkHeaderBytes = 8;
constexpr uint32_t kFmtBytes = 16;
// The extensible format's extra fields: valid bits, channel mask and the
// subformat, a GUID whose first two bytes are the plain format's number.
constexpr uint32_t kExtensibleFmtBytes = 40;
constexpr size_t kSubformatAt = 24;
constexpr unsigned char kSubformatGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr unsigned kFormatPcm = 1;
constexpr unsigned kFormatFloat = 3;
constexpr unsigned kFormatExtensible = 0xFFFE;
constexpr const char* kUseInstead = ": use PCM 8, 16 or 24 bits or 32-bit float";

uint32_t get16(const unsigned char* at)
{
    return static_cast<uint32_t>(at[0] | at[1] << 8);
}

uint32_t get32(const unsigned char* at)
{
    return get16(at) | get16(at + 2) << 16;
}

bool tagIs(const unsigned char* at, const char (&tag)[5])
{
    return std::memcmp(at, tag, 4) == 0;
}

bool fail(std::string& error, std::string message)
{
    error = std::move(message);
    return false;
}

// A chunk's name as the message shows it: bytes that are not printable as '?'.
std::string chunkName(const unsigned char* at)
{
    std::string name;
    for (int i = 0; i < 4; ++i)
        name += at[i] >= 0x20 && at[i] < 0x7F ? static_cast<char>(at[i]) : '?';
    return name;
}

struct Format {
    unsigned code = 0;  // kFormatPcm or kFormatFloat
    unsigned channels = 0;
    unsigned sampleBytes = 0;
    uint32_t sampleRate = 0;
};

bool readFormat(const unsigned char* body, uint32_t size, Format& format, std::string& error)
{
    if (size < kFmtBytes)
        return fail(error, "the WAV file's format chunk is too short (" + std::to_string(size) + " bytes)");
    format.code = get16(body);
    format.channels = get16(body + 2);
    format.sampleRate = get32(body + 4);
    const unsigned bits = get16(body + 14);
    if (format.code == kFormatExtensible) {
        if (size < kExtensibleFmtBytes)
            return fail(error,
                        "the WAV file's extensible format chunk is too short (" + std::to_string(size) + " bytes)");
        if (std::memcmp(body + kSubformatAt + 2, kSubformatGuidTail, sizeof kSubformatGuidTail) != 0)
            return fail(error, std::string("the WAV file's extensible format names a subformat that is not supported") +
                                   kUseInstead);
        format.code = get16(body + kSubformatAt);
    }
    if (format.code != kFormatPcm && format.code != kFormatFloat)
        return fail(error, "WAV format " + std::to_string(format.code) + " is not supported" + kUseInstead);
    const bool pcm = format.code == kFormatPcm;
    if (pcm ? bits != 8 && bits != 16 && bits != 24 && bits != 32 : bits != 32)
        return fail(error, std::to_string(bits) + "-bit " + (pcm ? "PCM" : "float") + " WAV files are not supported" +
                               kUseInstead);
    format.sampleBytes = bits / 8;
    if (format.channels == 0)
        return fail(error, "the WAV file has no channels");
    if (format.sampleRate == 0)
        return fail(error, "the WAV file's sample rate of 0 Hz is not usable");
    if (format.sampleRate > kMaxSampleRate)
        return fail(error, "the WAV file's sample rate of " + std::to_string(format.sampleRate) +
                               " Hz is above the highest taken, " + std::to_string(kMaxSampleRate) + " Hz");
    return true;
}

// One sample as -1..1: integers scaled by their full range (8-bit ones are
// unsigned about 128), floats clipped, and a float that is not a number
// taken as silence.
double sampleAt(const unsigned char* at, const Format& format)
{
    if (format.code == kFormatFloat) {
        const uint32_t bits = get32(at);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isnan(value))
            return 0.0;
        return value > 1.0f ? 1.0 : value < -1.0f ? -1.0 : value;
    }
    switch (format.sampleBytes) {
    case 1:
        return (at[0] - 128) / 128.0;
    case 2:
        return static_cast<int16_t>(get16(at)) / 32768.0;
    case 3:
        // The 24 bits moved to the top of 32, so the sign comes along.
        return static_cast<int32_t>(get16(at) << 8 | static_cast<uint32_t>(at[2]) << 24) / 2147483648.0;
    default:
        return static_cast<int32_t>(get32(at)) / 2147483648.0;
    }
}

}  // namespace

bool read(const unsigned char* data, size_t size, Sound& sound, std::string& error, double keepSeconds,
          size_t keepFramesBeyond)
{
    sound.samples.clear();
    sound.fileFrames = 0;
    // A file cut inside its first twelve bytes still says what it is.
    const auto startsWith = [&](size_t from, const char(&tag)[5]) {
        return size <= from || std::memcmp(data + from, tag, size - from < 4 ? size - from : 4) == 0;
    };
    if (size == 0 || !startsWith(0, "RIFF") || !startsWith(8, "WAVE"))
        return fail(error, "not a WAV file (it does not start with 'RIFF' and 'WAVE')");
    if (size < kHeaderBytes)
        return fail(error, "the WAV file is cut short in its header");

    Format format;
    bool haveFormat = false;
    const unsigned char* samples = nullptr;
    size_t dataBytes = 0;
    size_t at = kHeaderBytes;
    while (!haveFormat || !samples) {
        if (size - at < kChunkHeaderBytes)
            return fail(error, std::string("the WAV file is cut short before its ") + (haveFormat ? "data" : "format") +
                                   " chunk");
        const unsigned char* name = data + at;
        const uint32_t chunkBytes = get32(data + at + 4);
        const unsigned char* body = name + kChunkHeaderBytes;
        const size_t left = size - at - kChunkHeaderBytes;
        if (chunkBytes > left) {
            if (tagIs(name, "data"))
                return fail(error, "the WAV file is cut short: its data chunk counts " + std::to_string(chunkBytes) +
                                       " bytes, the file holds " + std::to_string(left) + " more");
            return fail(error, "the WAV file is cut short in its '" + chunkName(name) + "' chunk");
        }
        if (tagIs(name, "fmt ") && !haveFormat) {
            if (!readFormat(body, chunkBytes, format, error))
                return false;
            haveFormat = true;
        } else if (tagIs(name, "data") && !samples) {
            samples = body;
            dataBytes = chunkBytes;
        }
        const size_t padded = static_cast<size_t>(chunkBytes) + (chunkBytes & 1u);
        at += kChunkHeaderBytes + (padded < left ? padded : left);
    }

    const size_t frameBytes = static_cast<size_t>(format.channels) * format.sampleBytes;
    const size_t frames = dataBytes / frameBytes;
    if (frames == 0)
        return fail(error, "the WAV file holds no sound (its data chunk has no whole frame)");
    sound.sampleRate = static_cast<int>(format.sampleRate);
    sound.fileFrames = frames;
    const double keptSeconds = std::ceil(std::max(keepSeconds, 0.0) * format.sampleRate);
    const size_t kept = keptSeconds < static_cast<double>(frames)
                            ? std::min(frames, static_cast<size_t>(keptSeconds) + keepFramesBeyond)
                            : frames;
    sound.samples.resize(kept);
    for (size_t frame = 0; frame < kept; ++frame) {
        const unsigned char* first = samples + frame * frameBytes;
        double sum = 0.0;
        for (unsigned channel = 0; channel < format.channels; ++channel)
            sum += sampleAt(first + channel * format.sampleBytes, format);
        sound.samples[frame] = static_cast<float>(sum / format.channels);
    }
    return true;
}

}  // namespace wavimport
