// The default bank: 128 "default" programs, the first nine overwritten by the
// factory presets.
#pragma once

#include "../engine/Program.h"

struct FactoryPreset {
    const char* name;
    const char* channelType;  // decimal text
    const char* multi;        // decimal text
    const char* envelopeText[kEnvelopeKindCount];
};

constexpr int kFactoryPresetCount = 9;
extern const FactoryPreset kFactoryPresets[kFactoryPresetCount];

// Fills every program: zeroed, then named and given its texts. Compiles nothing.
void buildDefaultBank(ProgramBank& programs);
