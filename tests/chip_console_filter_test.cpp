// Console_Filter: gains measured from rendered sine tones against the
// first-order responses, the low-pass left out where the rate cannot hold
// it, and silence reached exactly, with no denormal states, after a sound.
#include "chip/Console_Filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr double pi = 3.14159265358979323846;

// Gain of a sine of `f` through the filter, from its RMS after the filter has settled.
double measured_gain(Console_Filter::Kind kind, double rate, double f)
{
    Console_Filter filter;
    filter.setup(kind, rate);
    const int settle = static_cast<int>(rate / 2);
    const int measure = static_cast<int>(rate);
    std::vector<float> samples(static_cast<size_t>(settle + measure));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.5 * std::sin(2 * pi * f * static_cast<double>(i) / rate));
    filter.process(samples.data(), static_cast<int32_t>(samples.size()));
    double sum = 0.0;
    for (int i = settle; i < settle + measure; ++i)
        sum += static_cast<double>(samples[static_cast<size_t>(i)]) * samples[static_cast<size_t>(i)];
    return std::sqrt(2.0 * sum / measure) / 0.5;
}

// The analogue first-order gains at `f`, each corner taken as `warp` maps frequencies.
template <typename Warp> double first_order_gain(Console_Filter::Kind kind, double f, double rate, Warp warp)
{
    const auto high = [&](double fc) { return warp(f) / std::hypot(warp(f), warp(fc)); };
    const auto low = [&](double fc) { return fc >= 0.49 * rate ? 1.0 : warp(fc) / std::hypot(warp(f), warp(fc)); };
    switch (kind) {
    case Console_Filter::Kind::nes:
        return high(90) * high(440) * low(14000);
    case Console_Filter::Kind::famicom:
        return high(37);
    case Console_Filter::Kind::none:
        break;
    }
    return 1.0;
}

TEST(ConsoleFilter, SineGainsFollowTheFirstOrderResponses)
{
    using Kind = Console_Filter::Kind;
    for (const double rate : {44100.0, 48000.0, 8000.0}) {
        // The digital filters' own response: the analogue one at tan-warped frequencies.
        const auto warped = [rate](double f) { return std::tan(pi * f / rate); };
        for (const Kind kind : {Kind::none, Kind::nes, Kind::famicom}) {
            for (const double f : {20.0, 37.0, 90.0, 200.0, 440.0, 1000.0, 3000.0, 9000.0, 14000.0, 18000.0}) {
                if (f >= 0.45 * rate)
                    continue;
                const double gain = measured_gain(kind, rate, f);
                EXPECT_NEAR(gain, first_order_gain(kind, f, rate, warped), 0.002)
                    << static_cast<int>(kind) << " " << rate << " " << f;
                // Far below the corners near Nyquist the warping is negligible: the analogue formula itself.
                if (f <= 1000.0 && rate > 40000.0) {
                    EXPECT_NEAR(gain, first_order_gain(kind, f, rate, [](double x) { return x; }), 0.01)
                        << static_cast<int>(kind) << " " << rate << " " << f;
                }
            }
        }
    }
}

TEST(ConsoleFilter, SilenceAfterASoundComesToExactZeroWithoutDenormals)
{
    for (const auto kind : {Console_Filter::Kind::nes, Console_Filter::Kind::famicom}) {
        Console_Filter filter;
        filter.setup(kind, 44100);
        std::vector<float> samples(44100 * 4, 0.0f);
        for (int i = 0; i < 441; ++i)
            samples[static_cast<size_t>(i)] = 1.0f;
        filter.process(samples.data(), 1000);  // in pieces of any length
        filter.process(samples.data() + 1000, static_cast<int32_t>(samples.size()) - 1000);
        for (const float s : samples)
            ASSERT_NE(std::fpclassify(s), FP_SUBNORMAL);
        EXPECT_EQ(samples.back(), 0.0f);
        // And reset forgets the sound at once.
        samples.assign(16, 0.0f);
        samples[0] = 1.0f;
        filter.process(samples.data(), 1);
        filter.reset();
        filter.process(samples.data() + 1, 15);
        for (size_t i = 1; i < samples.size(); ++i)
            EXPECT_EQ(samples[i], 0.0f);
    }
}

}  // namespace
