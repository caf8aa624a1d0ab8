// A one-line progress bar with elapsed and remaining time, redrawn in place on
// a terminal. Disabled, it prints nothing.
#pragma once

#include <chrono>

class ProgressBar {
public:
    explicit ProgressBar(bool enabled);
    // fraction 0..1 of the work done; redraws at most ten times a second.
    void update(double fraction);
    // Clears the line.
    void finish();

private:
    void draw(double fraction);

    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    bool drawn_ = false;
};
