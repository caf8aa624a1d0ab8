#include "ChannelControllers.h"

#include "ChannelKinds.h"

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
    if (controllers.pressure >= kControllerMax)
        return static_cast<int32_t>((scaled + kFullScale / 2) / kFullScale);
    // Rounded once, from the whole product: the four-factor path above
    // stays exactly as songs from before MPE were rendered.
    const int64_t pressure = std::clamp(controllers.pressure, 0, kControllerMax);
    const int64_t fullScale = kFullScale * kControllerMax * kControllerMax;
    return static_cast<int32_t>((scaled * pressure * pressure + fullScale / 2) / fullScale);
}

float wheelVibrato(const ChannelControllers& controllers, int32_t frame, int32_t frameRate)
{
    if (controllers.wheel <= 0 || frameRate <= 0)
        return 0.0f;
    const double depth = kVibratoDepthSemitones * std::min(controllers.wheel, kControllerMax) / kControllerMax;
    return static_cast<float>(depth * std::sin(kTwoPi * kVibratoHz * frame / frameRate));
}

int32_t shiftDuty(int32_t dutyValue, int32_t channelType, int32_t timbre)
{
    if (!isChannelType(channelType) || channelKind(channelType).maxDuty == 0)
        return dutyValue;
    const int32_t duties = channelKind(channelType).maxDuty + 1;
    timbre = std::clamp(timbre, 0, kControllerMax);
    const int32_t steps = (timbre - kTimbreCentre) * duties / kTimbreCentre;  // towards 0
    return steps == 0 ? dutyValue : std::clamp(dutyValue + steps, 0, duties - 1);
}
