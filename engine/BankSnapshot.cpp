#include "BankSnapshot.h"

#include <algorithm>
#include <cstring>

void BankSnapshot::capture(const ProgramBank& bank)
{
    int32_t* free = steps_;
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = bank[number];
        ProgramSound& sound = programs[number];
        sound.channelType = program.channelType;
        sound.multi = program.multi;
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const Envelope& envelope = program.envelope[kind];
            // Bounded even if an envelope were longer than any text can make it.
            const int32_t length = std::clamp(envelope.length, 1, kMaxStepsPerText);
            if (envelope.length >= 1)
                std::memcpy(free, envelope.values, sizeof(int32_t) * static_cast<size_t>(length));
            else
                free[0] = 0;
            // A release part needs a held step before it and one of its own.
            const int32_t release =
                envelope.releaseIndex >= 1 && envelope.releaseIndex < length ? envelope.releaseIndex : -1;
            const int32_t held = release > 0 ? release : length;
            sound.envelope[kind] = {free, length, std::clamp(envelope.loopIndex, 0, held - 1), release,
                                    envelope.hasLoop};
            free += kMaxStepsPerText;
        }
    }
    loadSerial = 0;
}
