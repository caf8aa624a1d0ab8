#include "Parameters.h"

#include "engine/SharedSettings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

static_assert(kParameterInfo[kParamGain].defaultValue == kDefaultGain && kParameterInfo[kParamGain].maximum == kMaxGain,
              "the Gain parameter is the instrument's gain");

void parameterText(uint32_t id, double value, char* text, size_t size)
{
    if (!text || size == 0)
        return;
    const long whole = std::isfinite(value) ? std::lround(value) : 0;
    switch (id) {
    case kParamGain:
        std::snprintf(text, size, "%ld %%", whole);
        break;
    case kParamClock:
        std::snprintf(text, size, "%s", whole >= 1 ? "NTSC" : "PAL");
        break;
    case kParamPolyphony:
        std::snprintf(text, size, "%ld %s", whole, whole == 1 ? "voice" : "voices");
        break;
    default:
        text[0] = 0;
    }
}

bool parameterFromText(uint32_t id, const char* text, double& value)
{
    if (!text || id >= kParameterCount)
        return false;
    if (id == kParamClock) {
        if (strncasecmp(text, "NTSC", 4) == 0 || std::strcmp(text, "1") == 0)
            value = 1.0;
        else if (strncasecmp(text, "PAL", 3) == 0 || std::strcmp(text, "0") == 0)
            value = 0.0;
        else
            return false;
        return true;
    }
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || !std::isfinite(number))
        return false;
    const ParameterInfo& info = kParameterInfo[id];
    value = std::fmin(std::fmax(std::round(number), info.minimum), info.maximum);
    return true;
}
