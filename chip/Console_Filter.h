// The analogue filters between a console's mixer and its output jack, for one
// output channel, in float: the NES's two first-order high-passes (90 Hz, then
// 440 Hz) and first-order low-pass (14 kHz); the Famicom's single first-order
// high-pass (37 Hz); or none. Each stage is the bilinear transform of its
// analogue first-order section, prewarped so that its corner falls exactly at
// the analogue corner.
#pragma once

#include <cstdint>

class Console_Filter {
public:
    enum class Kind { none, nes, famicom };

    // Chooses the filters and their coefficients for the rate, and resets.
    void setup(Kind kind, double sample_rate);
    // Back to rest: a silent input gives silence at once.
    void reset();
    // Audio thread: filters `count` samples in place; never allocates.
    void process(float* samples, int32_t count);

    Kind kind() const { return kind_; }

private:
    // y[i] = b0 * x[i] + b1 * x[i-1] - a1 * y[i-1]
    struct Stage {
        float b0 = 1.0f, b1 = 0.0f, a1 = 0.0f;
        float x1 = 0.0f, y1 = 0.0f;

        // Prewarped corner; a low-pass at or above the Nyquist frequency
        // passes everything, as it would for every frequency the rate holds.
        void high_pass(double corner_hz, double sample_rate);
        void low_pass(double corner_hz, double sample_rate);
        void process(float* samples, int32_t count);
        // States too small to hear go to zero before they decay into denormals.
        void flush();
    };
    static constexpr int max_stages = 3;
    // Samples between flushes: too few for a state above the threshold to decay into denormals.
    static constexpr int32_t flush_interval = 1024;

    void process_three(float* samples, int32_t count);

    Kind kind_ = Kind::none;
    int stage_count_ = 0;
    // Samples to the next flush, counted through the whole stream, so that
    // the flushes fall on the same samples however it is cut into blocks.
    int32_t until_flush_ = flush_interval;
    Stage stages_[max_stages];
};
