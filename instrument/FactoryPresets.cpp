#include "FactoryPresets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const FactoryPreset kFactoryPresets[kFactoryPresetCount] = {
    {"Plain Pulse 12.5%", "0", "0", {"15", "0", "0", "0", "0"}},
    {"Plain Pulse 25.0%", "0", "0", {"15", "0", "0", "0", "1"}},
    {"Plain Pulse 50.0%", "0", "0", {"15", "0", "0", "0", "2"}},
    {"Plain Triangle", "1", "0", {"15", "0", "0", "0", "0"}},
    {"Plain White Noise", "2", "0", {"15", "0", "0", "0", "0"}},
    {"Plain Periodic Noise", "2", "0", {"15", "0", "0", "0", "1"}},
    {"Pulse Solo", "0", "0", {"15", "12 0", "0 0 0 0 0 0 0 | 2 2 2 2 -2 -2 -2 -2", "0", "2"}},
    {"Tri Kick", "1", "0", {"15 15 15 15 0", "0", "| 200", "0", "0"}},
    {"Noise Snare", "2", "0", {"15 14 12 12 10 10 8 8 8 8 0", "4 0 0 -4 -4 -4 -4 -1", "0", "0", "0"}},
};

void buildDefaultBank(ProgramBank& programs)
{
    std::memset(programs, 0, sizeof(ProgramBank));
    for (int n = 1; n <= kProgramCount; ++n) {
        Program& program = programs[n - 1];
        std::snprintf(program.name, sizeof program.name, "%3.3i default", n);
        copyTextField(program.envelopeText[Volume], "15");
        for (int kind = Arp; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program.envelopeText[kind], "0");
    }
    for (int row = 1; row <= kFactoryPresetCount; ++row) {
        const FactoryPreset& preset = kFactoryPresets[row - 1];
        Program& program = programs[row - 1];
        std::snprintf(program.name, sizeof program.name, "%3.3i %s", row, preset.name);
        program.channelType = std::atoi(preset.channelType);
        program.multi = std::atoi(preset.multi);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program.envelopeText[kind], preset.envelopeText[kind]);
    }
}
