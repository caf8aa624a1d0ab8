#include "DpcmEncoder.h"

#include "chip/apu/Chip_Oscs.h"
#include "engine/EnvelopeSequencer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace dpcm {

namespace {

constexpr size_t kMaxBits = kMaxBytes * 8;
constexpr int kLevelStep = 2;
constexpr double kLevelsPerUnit = 64.0;  // sound 1.0 is 64 levels above the middle
constexpr double kMiddleLevel = 64.0;

// The resampler's low-pass kernel: sinc under a Blackman window reaching
// kZeroCrossings zero crossings each way, tabulated at kTableSteps points a
// crossing and read with linear interpolation.
constexpr int kZeroCrossings = 8;
constexpr int kTableSteps = 512;
constexpr int kTableSize = kZeroCrossings * kTableSteps + 2;
constexpr double kPi = 3.14159265358979323846;

const std::array<float, kTableSize>& kernelTable()
{
    static const std::array<float, kTableSize> table = [] {
        std::array<float, kTableSize> values{};
        for (int i = 0; i < kTableSize; ++i) {
            const double x = static_cast<double>(i) / kTableSteps;
            if (x >= kZeroCrossings)
                continue;
            const double sinc = i == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
            const double phase = kPi * (x / kZeroCrossings + 1.0);  // the window's right half
            const double window = 0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2.0 * phase);
            values[static_cast<size_t>(i)] = static_cast<float>(sinc * window);
        }
        return values;
    }();
    return table;
}

// x >= 0, in zero crossings.
double kernel(double x)
{
    const double at = x * kTableSteps;
    if (at >= kZeroCrossings * kTableSteps)
        return 0.0;
    const auto i = static_cast<size_t>(at);
    const double fraction = at - static_cast<double>(i);
    const auto& table = kernelTable();
    return table[i] + (table[i + 1] - table[i]) * fraction;
}

// The first `outputs` samples of the sound at outRate. Each is the kernel's
// weighted mean of the input samples around it, so a steady sound stays
// exactly steady, also at both ends, where the kernel is cut.
std::vector<float> resample(const float* samples, size_t count, double inRate, double outRate, size_t outputs)
{
    std::vector<float> out(outputs);
    const double step = inRate / outRate;
    const double cutoff = std::min(1.0, outRate / inRate);  // of the input's band
    const double reach = kZeroCrossings / cutoff;
    const auto last = static_cast<double>(count - 1);
    for (size_t n = 0; n < outputs; ++n) {
        const double at = static_cast<double>(n) * step;
        const auto first = static_cast<size_t>(std::max(0.0, std::ceil(at - reach)));
        const auto end = static_cast<size_t>(std::min(last, std::floor(at + reach))) + 1;
        double sum = 0.0;
        double weights = 0.0;
        for (size_t k = first; k < end; ++k) {
            const double weight = kernel(std::fabs(static_cast<double>(k) - at) * cutoff);
            sum += weight * samples[k];
            weights += weight;
        }
        const double nearest = samples[std::min(count - 1, static_cast<size_t>(at + 0.5))];
        out[n] = static_cast<float>(weights > 1e-6 ? sum / weights : nearest);
    }
    return out;
}

int stepped(int level, bool up)
{
    const int next = up ? level + kLevelStep : level - kLevelStep;
    return next < 0 || next > kMaxLevel ? level : next;
}

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

}  // namespace

double bitRate(int rateIndex)
{
    return static_cast<double>(kNtscClockRate) / dmc_period_table[std::clamp(rateIndex, 0, kRateCount - 1)];
}

bool isLegalLength(size_t bytes)
{
    return bytes >= 1 && bytes <= kMaxBytes && (bytes - 1) % kLengthUnit == 0;
}

void padToLegalLength(std::vector<uint8_t>& bytes)
{
    if (bytes.size() > kMaxBytes)
        return;
    const size_t units = bytes.empty() ? 0 : (bytes.size() - 1 + kLengthUnit - 1) / kLengthUnit;
    bytes.resize(units * kLengthUnit + 1, kSteadyByte);
}

double secondsUsed(int rateIndex)
{
    static_assert(kFramesUsedBeyond >= 2 * kZeroCrossings);
    return static_cast<double>(kMaxBits + kFramesUsedBeyond) / bitRate(rateIndex);
}

std::vector<uint8_t> encode(const float* samples, size_t count, int sampleRate, int rateIndex, int startLevel,
                            std::string& note, size_t soundFrames)
{
    note.clear();
    soundFrames = std::max(soundFrames, count);
    rateIndex = std::clamp(rateIndex, 0, kRateCount - 1);
    const double inRate = std::max(sampleRate, 1);
    const double outRate = bitRate(rateIndex);
    // A WAV file cannot hold the bit rate's fraction of a hertz.
    const bool asIs = std::fabs(inRate - outRate) < 0.5;
    const double wanted =
        asIs ? static_cast<double>(soundFrames) : std::round(static_cast<double>(soundFrames) * outRate / inRate);
    const size_t bits = count == 0 ? 0 : static_cast<size_t>(std::clamp(wanted, 1.0, static_cast<double>(kMaxBits)));
    if (wanted > static_cast<double>(kMaxBits))
        note = "the sound lasts " + seconds(static_cast<double>(soundFrames) / inRate) + "; a sample at rate " +
               std::to_string(rateIndex) + " holds " + seconds(static_cast<double>(kMaxBits) / outRate) +
               " (4081 bytes): the rest is cut";
    const std::vector<float> targets =
        asIs ? std::vector<float>(samples, samples + bits) : resample(samples, count, inRate, outRate, bits);

    std::vector<uint8_t> bytes((bits + 7) / 8);
    int level = std::clamp(startLevel, 0, kMaxLevel);
    bool lastUp = false;
    for (size_t i = 0; i < bits; ++i) {
        const double wantedLevel =
            kMiddleLevel + kLevelsPerUnit * std::clamp(static_cast<double>(targets[i]), -1.0, 1.0);
        const double upMiss = std::fabs(stepped(level, true) - wantedLevel);
        const double downMiss = std::fabs(stepped(level, false) - wantedLevel);
        // On a tie (the sound sits at the level) go back the other way.
        const bool up = upMiss < downMiss || (upMiss == downMiss && !lastUp);
        level = stepped(level, up);
        lastUp = up;
        if (up)
            bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | 1u << (i % 8));
    }
    // The last byte's unused bits step as the steady padding that follows.
    for (size_t i = bits; i < bytes.size() * 8; ++i)
        if (i % 2 == 0)
            bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | 1u << (i % 8));
    padToLegalLength(bytes);
    return bytes;
}

std::vector<uint8_t> decode(const uint8_t* bytes, size_t size, int startLevel)
{
    std::vector<uint8_t> levels(size * 8);
    int level = std::clamp(startLevel, 0, kMaxLevel);
    for (size_t i = 0; i < levels.size(); ++i) {
        level = stepped(level, (bytes[i / 8] >> (i % 8) & 1) != 0);
        levels[i] = static_cast<uint8_t>(level);
    }
    return levels;
}

std::vector<float> toSound(const uint8_t* bytes, size_t size, int startLevel)
{
    const std::vector<uint8_t> levels = decode(bytes, size, startLevel);
    std::vector<float> sound(levels.size());
    for (size_t i = 0; i < levels.size(); ++i)
        sound[i] = static_cast<float>((levels[i] - kMiddleLevel) / kLevelsPerUnit);
    return sound;
}

}  // namespace dpcm
