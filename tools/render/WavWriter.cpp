#include "WavWriter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace {

// The RIFF header: "RIFF" size "WAVE", then "fmt " (16 bytes), for float
// files "fact" (the frame count, which non-PCM formats must carry), then the
// samples' "data" chunk.
constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint32_t kFmtBytes = 16;
constexpr uint32_t kFactBytes = 4;
constexpr uint64_t kLargestHeaderBytes = 56;
constexpr uint64_t kMaxRiffBytes = 0xFFFFFFFFu;

void put16(std::vector<unsigned char>& out, uint32_t value)
{
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void put32(std::vector<unsigned char>& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void putTag(std::vector<unsigned char>& out, const char (&tag)[5])
{
    out.insert(out.end(), tag, tag + 4);
}

std::string reason(int savedErrno, const char* fallback)
{
    return savedErrno != 0 ? std::strerror(savedErrno) : fallback;
}

// A hidden name beside path; the random part keeps two renders of the same
// target apart.
std::string temporaryBeside(const std::string& path)
{
    static std::random_device entropy;
    const std::filesystem::path target(path);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".partial-%08x", static_cast<unsigned>(entropy()));
    std::string name = ".";
    name += target.filename().string();
    name += suffix;
    return (target.parent_path() / name).string();
}

}  // namespace

WavWriter::~WavWriter()
{
    abandon();
}

int16_t WavWriter::pcm16(float sample)
{
    const float scaled = sample * 2147483648.0f;
    if (scaled >= 2147483647.0f)
        return INT16_MAX;
    if (scaled <= -2147483648.0f)
        return INT16_MIN;
    if (std::isnan(scaled))
        return 0;
    return static_cast<int16_t>(static_cast<int32_t>(std::lrintf(scaled)) >> 16);
}

bool WavWriter::open(const std::string& path, int sampleRate, int channels, Format format, std::string& error)
{
    abandon();
    path_ = path;
    if (channels < 1 || channels > 2 || sampleRate <= 0) {
        error = path + ": cannot write " + std::to_string(channels) + " channels at " + std::to_string(sampleRate) +
                " Hz (mono or stereo only)";
        return false;
    }
    sampleRate_ = sampleRate;
    channels_ = channels;
    format_ = format;
    frames_ = 0;
    temporaryPath_ = temporaryBeside(path);
    errno = 0;
    file_ = std::fopen(temporaryPath_.c_str(), "wb");
    if (!file_) {
        error = path + ": cannot write: " + reason(errno, "cannot create the file");
        temporaryPath_.clear();
        return false;
    }
    if (!writeHeader(error)) {
        abandon();
        return false;
    }
    return true;
}

bool WavWriter::writeHeader(std::string& error)
{
    const uint32_t sampleBytes = format_ == Format::Float ? 4 : 2;
    const uint32_t frameBytes = sampleBytes * static_cast<uint32_t>(channels_);
    const uint64_t dataBytes = frames_ * frameBytes;
    std::vector<unsigned char> header;
    putTag(header, "WAVE");
    putTag(header, "fmt ");
    put32(header, kFmtBytes);
    put16(header, format_ == Format::Float ? kFormatFloat : kFormatPcm);
    put16(header, static_cast<uint32_t>(channels_));
    put32(header, static_cast<uint32_t>(sampleRate_));
    put32(header, static_cast<uint32_t>(sampleRate_) * frameBytes);
    put16(header, frameBytes);
    put16(header, sampleBytes * 8);
    if (format_ == Format::Float) {
        putTag(header, "fact");
        put32(header, kFactBytes);
        put32(header, static_cast<uint32_t>(frames_));
    }
    putTag(header, "data");
    put32(header, static_cast<uint32_t>(dataBytes));
    std::vector<unsigned char> riff;
    putTag(riff, "RIFF");
    put32(riff, static_cast<uint32_t>(header.size() + dataBytes));
    header.insert(header.begin(), riff.begin(), riff.end());
    errno = 0;
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        error = path_ + ": cannot write: " + reason(errno, "write error");
        return false;
    }
    return true;
}

bool WavWriter::write(const float* interleaved, long frames, std::string& error)
{
    if (!file_) {
        error = path_ + ": not open";
        return false;
    }
    const uint64_t frameBytes = (format_ == Format::Float ? 4u : 2u) * static_cast<unsigned>(channels_);
    if ((frames_ + static_cast<uint64_t>(frames)) * frameBytes + kLargestHeaderBytes > kMaxRiffBytes) {
        error = path_ + ": too long for a WAV file (4 GB at most)";
        return false;
    }
    const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    bytes_.clear();
    for (size_t i = 0; i < samples; ++i) {
        if (format_ == Format::Float) {
            uint32_t bits;
            std::memcpy(&bits, &interleaved[i], sizeof bits);
            put32(bytes_, bits);
        } else {
            put16(bytes_, static_cast<uint16_t>(pcm16(interleaved[i])));
        }
    }
    errno = 0;
    if (std::fwrite(bytes_.data(), 1, bytes_.size(), file_) != bytes_.size()) {
        error = path_ + ": cannot write: " + reason(errno, "write error");
        return false;
    }
    frames_ += static_cast<uint64_t>(frames);
    return true;
}

bool WavWriter::finish(std::string& error)
{
    if (!file_) {
        error = path_ + ": not open";
        return false;
    }
    bool written = writeHeader(error);
    errno = 0;
    if (std::fclose(file_) != 0 && written) {
        error = path_ + ": cannot write: " + reason(errno, "write error");
        written = false;
    }
    file_ = nullptr;
    if (!written) {
        abandon();
        return false;
    }
    std::error_code code;
    std::filesystem::rename(temporaryPath_, path_, code);
    if (code) {
        error = path_ + ": cannot write: " + code.message();
        abandon();
        return false;
    }
    temporaryPath_.clear();
    return true;
}

void WavWriter::abandon()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    if (!temporaryPath_.empty())
        std::remove(temporaryPath_.c_str());
    temporaryPath_.clear();
}
