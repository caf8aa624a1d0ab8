// The instrument-wide settings that plug-in formats with parameters (CLAP,
// VST3) show to their hosts for automation. Values are plain: gain in percent,
// the clock 1 NTSC or 0 PAL, polyphony in voices. The ids are saved in songs'
// automation: they never change.
#pragma once

#include <cstddef>
#include <cstdint>

enum ParameterId : uint32_t { kParamGain = 0, kParamClock = 1, kParamPolyphony = 2, kParameterCount = 3 };

struct ParameterInfo {
    const char* name;
    double minimum;
    double maximum;
    double defaultValue;
    bool stepped;  // whole numbers only
};

inline constexpr ParameterInfo kParameterInfo[kParameterCount] = {
    {"Gain", 0.0, 200.0, 50.0, true},  // a new instance's gain
    {"Clock", 0.0, 1.0, 1.0, true},
    {"Polyphony", 1.0, 8.0, 8.0, true},
};

// "100 %", "NTSC" or "PAL", "8 voices": what a host shows for a plain value.
void parameterText(uint32_t id, double value, char* text, size_t size);
// The plain value of such a text (a bare number too); false if it names none.
bool parameterFromText(uint32_t id, const char* text, double& value);
