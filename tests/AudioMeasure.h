// Measures of rendered audio: pitch from zero crossings or autocorrelation,
// peaks, silence.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// The frequency of a periodic signal between two sample indexes, from its
// rising zero crossings (each placed between samples by linear
// interpolation). 0 when there are fewer than two crossings.
inline double frequencyOf(const std::vector<float>& signal, size_t from, size_t to, double rate)
{
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (size_t i = from + 1; i < to && i < signal.size(); ++i) {
        if (signal[i - 1] <= 0.0f && signal[i] > 0.0f) {
            const double where = static_cast<double>(i - 1) + signal[i - 1] / (signal[i - 1] - signal[i]);
            if (first < 0.0)
                first = where;
            last = where;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) * rate / (last - first);
}

// The frequency of a periodic signal between two sample indexes by
// autocorrelation, to a small fraction of a hertz: the best lag near one
// period of roughHz (within a quarter period), then near twice the period
// found, and so on while the lag fits half the span. Each peak is placed
// between lags by a parabola, and the error of that placement is shared by
// all the periods in the lag.
inline double autocorrelationFrequency(const std::vector<float>& signal, size_t from, size_t to, double rate,
                                       double roughHz)
{
    const size_t span = (to - from) / 2;  // every lag sums the same number of products
    const auto score = [&](long lag) {
        double sum = 0.0;
        for (size_t i = from; i < from + span; ++i)
            sum += static_cast<double>(signal[i]) * signal[i + static_cast<size_t>(lag)];
        return sum;
    };
    const auto peakNear = [&](double lag, long reach) {
        const long centre = std::lround(lag);
        long best = centre - reach;
        double bestScore = score(best);
        for (long l = best + 1; l <= centre + reach; ++l)
            if (const double s = score(l); s > bestScore) {
                best = l;
                bestScore = s;
            }
        const double left = score(best - 1), right = score(best + 1);
        const double curve = left - 2.0 * bestScore + right;
        return static_cast<double>(best) + (curve < 0.0 ? 0.5 * (left - right) / curve : 0.0);
    };
    double period = peakNear(rate / roughHz, std::lround(rate / roughHz / 4.0));
    for (int cycles = 2; cycles * period + 4.0 < static_cast<double>(span); cycles *= 2)
        period = peakNear(cycles * period, 3) / cycles;
    return rate / period;
}

// The amplitude of the signal's component at hz between two sample indexes
// (a single-bin DFT, Hann-windowed, so that a tone a few bins away adds
// next to nothing): a sine of amplitude A reads A.
inline double toneAmplitude(const std::vector<float>& signal, size_t from, size_t to, double rate, double hz)
{
    const double n = static_cast<double>(to - from);
    double re = 0.0, im = 0.0, weight = 0.0;
    for (size_t i = from; i < to; ++i) {
        const double t = static_cast<double>(i - from);
        const double hann = 0.5 - 0.5 * std::cos(6.283185307179586 * t / n);
        const double phase = 6.283185307179586 * hz * t / rate;
        re += hann * signal[i] * std::cos(phase);
        im -= hann * signal[i] * std::sin(phase);
        weight += hann;
    }
    return 2.0 * std::sqrt(re * re + im * im) / weight;
}

// The strongest tone within 0.4 % of hz, in steps of 0.02 %, as
// toneAmplitude reads it: a chip's period puts a note a little off its
// equal-tempered pitch.
struct MeasuredTone {
    double hz;
    double amplitude;
};
inline MeasuredTone strongestToneNear(const std::vector<float>& signal, size_t from, size_t to, double rate, double hz)
{
    MeasuredTone strongest{hz, 0.0};
    for (int step = -20; step <= 20; ++step) {
        const double at = hz * (1.0 + step * 0.0002);
        const double amplitude = toneAmplitude(signal, from, to, rate, at);
        if (amplitude > strongest.amplitude)
            strongest = {at, amplitude};
    }
    return strongest;
}

// Index of the last sample that is not exactly 0, or -1.
inline int64_t lastSound(const std::vector<float>& signal)
{
    for (size_t i = signal.size(); i-- > 0;)
        if (signal[i] != 0.0f)
            return static_cast<int64_t>(i);
    return -1;
}

// Index of the first sample at or after from that is not exactly 0, or -1.
inline int64_t firstSound(const std::vector<float>& signal, size_t from = 0)
{
    for (size_t i = from; i < signal.size(); ++i)
        if (signal[i] != 0.0f)
            return static_cast<int64_t>(i);
    return -1;
}

// FNV-1a over the bits of every sample: equal renders, equal hashes.
inline uint64_t renderHash(const std::vector<float>& signal)
{
    uint64_t hash = 1469598103934665603ull;
    for (float sample : signal) {
        uint32_t bits;
        std::memcpy(&bits, &sample, 4);
        for (int byte = 0; byte < 4; ++byte) {
            hash ^= (bits >> (8 * byte)) & 0xFF;
            hash *= 1099511628211ull;
        }
    }
    return hash;
}
