#include "Console_Filter.h"

#include <cmath>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double nes_high_pass_1_hz = 90.0;
constexpr double nes_high_pass_2_hz = 440.0;
constexpr double nes_low_pass_hz = 14000.0;
constexpr double famicom_high_pass_hz = 37.0;
// Below this the highest usable corner of a prewarped low-pass (tan grows without bound at Nyquist).
constexpr double max_corner_fraction = 0.49;
constexpr float denormal_threshold = 1.0e-20f;

}  // namespace

void Console_Filter::Stage::high_pass(double corner_hz, double sample_rate)
{
    // H(s) = s / (s + wc); with K = tan(pi fc / fs): b0 = 1 / (1 + K), a1 = (K - 1) / (K + 1).
    const double k = std::tan(pi * corner_hz / sample_rate);
    b0 = static_cast<float>(1.0 / (1.0 + k));
    b1 = -b0;
    a1 = static_cast<float>((k - 1.0) / (k + 1.0));
}

void Console_Filter::Stage::low_pass(double corner_hz, double sample_rate)
{
    if (!(corner_hz < max_corner_fraction * sample_rate)) {
        b0 = 1.0f;
        b1 = 0.0f;
        a1 = 0.0f;
        return;
    }
    // H(s) = wc / (s + wc): b0 = b1 = K / (1 + K), a1 = (K - 1) / (K + 1).
    const double k = std::tan(pi * corner_hz / sample_rate);
    b0 = static_cast<float>(k / (1.0 + k));
    b1 = b0;
    a1 = static_cast<float>((k - 1.0) / (k + 1.0));
}

void Console_Filter::Stage::process(float* samples, int32_t count)
{
    float x_prev = x1, y_prev = y1;
    for (int32_t i = 0; i < count; ++i) {
        const float x = samples[i];
        const float y = b0 * x + b1 * x_prev - a1 * y_prev;
        x_prev = x;
        y_prev = y;
        samples[i] = y;
    }
    x1 = x_prev;
    y1 = y_prev;
}

void Console_Filter::Stage::flush()
{
    if (std::fabs(x1) < denormal_threshold)
        x1 = 0.0f;
    if (std::fabs(y1) < denormal_threshold)
        y1 = 0.0f;
}

void Console_Filter::setup(Kind kind, double sample_rate)
{
    kind_ = kind;
    stage_count_ = 0;
    if (!(sample_rate > 0.0))
        kind_ = Kind::none;
    if (kind_ == Kind::nes) {
        stages_[0].high_pass(nes_high_pass_1_hz, sample_rate);
        stages_[1].high_pass(nes_high_pass_2_hz, sample_rate);
        stages_[2].low_pass(nes_low_pass_hz, sample_rate);
        stage_count_ = 3;
    } else if (kind_ == Kind::famicom) {
        stages_[0].high_pass(famicom_high_pass_hz, sample_rate);
        stage_count_ = 1;
    }
    reset();
}

void Console_Filter::reset()
{
    until_flush_ = flush_interval;
    for (Stage& stage : stages_) {
        stage.x1 = 0.0f;
        stage.y1 = 0.0f;
    }
}

void Console_Filter::process(float* samples, int32_t count)
{
    // In pieces, flushing every flush_interval samples of the stream, which
    // keeps long silences from decaying into denormals. Each stage's loop is
    // one dependent chain: the NES's three go through a sample together, so
    // that their chains overlap instead of following each other (the same
    // operations on the same values, so the same samples).
    for (int32_t done = 0; done < count;) {
        const int32_t n = count - done < until_flush_ ? count - done : until_flush_;
        if (stage_count_ == max_stages)
            process_three(samples + done, n);
        else
            for (int s = 0; s < stage_count_; ++s)
                stages_[s].process(samples + done, n);
        done += n;
        until_flush_ -= n;
        if (until_flush_ == 0) {
            for (int s = 0; s < stage_count_; ++s)
                stages_[s].flush();
            until_flush_ = flush_interval;
        }
    }
}

void Console_Filter::process_three(float* samples, int32_t count)
{
    static_assert(max_stages == 3);
    Stage& a = stages_[0];
    Stage& b = stages_[1];
    Stage& c = stages_[2];
    float ax = a.x1, ay = a.y1, bx = b.x1, by = b.y1, cx = c.x1, cy = c.y1;
    for (int32_t i = 0; i < count; ++i) {
        const float x = samples[i];
        const float y1 = a.b0 * x + a.b1 * ax - a.a1 * ay;
        const float y2 = b.b0 * y1 + b.b1 * bx - b.a1 * by;
        const float y3 = c.b0 * y2 + c.b1 * cx - c.a1 * cy;
        ax = x;
        ay = y1;
        bx = y1;
        by = y2;
        cx = y2;
        cy = y3;
        samples[i] = y3;
    }
    a.x1 = ax;
    a.y1 = ay;
    b.x1 = bx;
    b.y1 = by;
    c.x1 = cx;
    c.y1 = cy;
}
