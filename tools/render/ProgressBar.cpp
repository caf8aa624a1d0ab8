#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

void formatTime(char (&text)[16], double seconds)
{
    // Up to 99999 minutes: no render takes longer, and the text stays short.
    const int total = static_cast<int>(std::clamp(seconds, 0.0, 5999999.0) + 0.5);
    std::snprintf(text, sizeof text, "%d:%02d", total / 60 % 100000, total % 60);
}

}  // namespace

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled), start_(std::chrono::steady_clock::now()), lastDraw_(start_)
{
}

void ProgressBar::update(double fraction)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < kRedrawInterval)
        return;
    lastDraw_ = now;
    draw(fraction);
}

void ProgressBar::draw(double fraction)
{
    fraction = std::clamp(fraction, 0.0, 1.0);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char elapsedText[16];
    char leftText[16] = "?:??";
    formatTime(elapsedText, elapsed);
    if (fraction > 0.0)
        formatTime(leftText, elapsed * (1.0 - fraction) / fraction);
    char bar[kBarWidth + 1];
    const int filled = static_cast<int>(fraction * kBarWidth);
    for (int i = 0; i < kBarWidth; ++i)
        bar[i] = i < filled ? '=' : (i == filled ? '>' : ' ');
    bar[kBarWidth] = 0;
    std::fprintf(stderr, "\r  [%s] %3d%%  %s elapsed  %s left ", bar, static_cast<int>(fraction * 100.0), elapsedText,
                 leftText);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::finish()
{
    if (enabled_ && drawn_) {
        std::fprintf(stderr, "\r%70s\r", "");
        std::fflush(stderr);
    }
    drawn_ = false;
}
