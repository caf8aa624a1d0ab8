#include "ChannelControllers.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t kFullScale = int64_t{kControllerMax} * kControllerMax * kControllerMax * kControllerMax;
constexpr double kVibratoHz = 6.0;
constexpr double kVibratoDepthSemitones = 0.5;
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

int32_t scaleChipVolume(int32_t chipVolume, const ChannelControllers& controllers)
{
    const int64_t volume = std::clamp(controllers.volume, 0, kControllerMax);
    const int64_t expression = std::clamp(controllers.expression, 0, kControllerMax);
    const int64_t scaled = chipVolume * volume * volume * expression * expression;
    return static_cast<int32_t>((scaled + kFullScale / 2) / kFullScale);
}

float wheelVibrato(const ChannelControllers& controllers, int32_t frame, int32_t frameRate)
{
    if (controllers.wheel <= 0 || frameRate <= 0)
        return 0.0f;
    const double depth = kVibratoDepthSemitones * std::min(controllers.wheel, kControllerMax) / kControllerMax;
    return static_cast<float>(depth * std::sin(kTwoPi * kVibratoHz * frame / frameRate));
}
