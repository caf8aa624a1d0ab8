// The channel groups the instrument can send to outputs of their own, beside
// the main output that always holds the whole mix. In console mode each
// group is its console channel (or an expansion chip's channels) alone; in the normal
// mode a voice goes to the group of its program's channel type, every pulse
// voice to Pulse 1.
#pragma once

#include <cstdint>

enum OutputGroup : int32_t {
    PulseOneGroup = 0,
    PulseTwoGroup,
    TriangleGroup,
    NoiseGroup,
    SampleGroup,
    Vrc6Group,
    S5bGroup,
    Mmc5Group,
    FdsGroup,
    N163Group,
    Vrc7Group,
    kOutputGroupCount
};

// The outputs' names, as hosts show them.
inline constexpr const char* kOutputGroupNames[kOutputGroupCount] = {
    "Pulse 1", "Pulse 2", "Triangle", "Noise", "Samples", "VRC6", "5B", "MMC5", "FDS", "N163", "VRC7"};

// The buffers of one block: the main stereo pair and each group's. A null
// pointer is an output nobody listens to; the engine skips it.
struct EngineOutputs {
    float* main[2] = {};
    float* group[kOutputGroupCount][2] = {};

    bool wantsGroups() const
    {
        for (const auto& pair : group)
            if (pair[0] || pair[1])
                return true;
        return false;
    }
    // The same outputs from the given sample on: for a block rendered in parts.
    EngineOutputs advancedBy(int32_t frames) const
    {
        EngineOutputs later;
        for (int c = 0; c < 2; ++c) {
            later.main[c] = main[c] ? main[c] + frames : nullptr;
            for (int g = 0; g < kOutputGroupCount; ++g)
                later.group[g][c] = group[g][c] ? group[g][c] + frames : nullptr;
        }
        return later;
    }
};
