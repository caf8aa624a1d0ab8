#include "Console_Mixer.h"

#include <cmath>

namespace {

constexpr int max_pulse_volume = 15;
constexpr double s5b_below_pulse_db = -2.5;

}  // namespace

Console_Mixer::Console_Mixer() : vrc6_step_(static_cast<float>(pulse_out(max_pulse_volume) / max_pulse_volume))
{
    for (int sum = 0; sum < pulse_entries; ++sum)
        pulse_[sum] = static_cast<float>(pulse_out(sum));
    for (int t = 0; t < 16; ++t)
        for (int n = 0; n < 16; ++n)
            for (int d = 0; d < 128; ++d)
                tnd_[(t * 16 + n) * 128 + d] = static_cast<float>(tnd_out(t, n, d));
    for (int level = 0; level < s5b_levels; ++level)
        s5b_[level] = static_cast<float>(s5b_out(level));
}

double Console_Mixer::s5b_out(int level)
{
    if (level <= 0)
        return 0.0;
    const double full = pulse_out(max_pulse_volume) * std::pow(10.0, s5b_below_pulse_db / 20.0);
    return full * std::pow(2.0, (level - 31) / 4.0);
}

double Console_Mixer::pulse_out(int pulse_sum)
{
    return pulse_sum == 0 ? 0.0 : 95.88 / (8128.0 / pulse_sum + 100.0);
}

double Console_Mixer::tnd_out(int triangle, int noise, int dmc)
{
    const double weighted = triangle / 8227.0 + noise / 12241.0 + dmc / 22638.0;
    return weighted == 0.0 ? 0.0 : 159.79 / (1.0 / weighted + 100.0);
}
