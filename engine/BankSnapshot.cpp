#include "BankSnapshot.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Bounded even if an envelope were longer than any text can make it.
int32_t stepCount(const ProgramEnvelope& envelope)
{
    return std::clamp(envelope.length, 1, kMaxStepsPerText);
}

}  // namespace

bool BankSnapshot::capture(const ProgramBank& bank)
{
    size_t needed = 0;
    for (const Program& program : bank)
        for (const ProgramEnvelope& envelope : program.envelope)
            needed += static_cast<size_t>(stepCount(envelope));
    try {
        if (steps_.size() < needed)
            steps_.resize(needed);
    } catch (const std::bad_alloc&) {
        return false;
    }

    int32_t* free = steps_.data();
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = bank[number];
        ProgramSound& sound = programs[number];
        sound.channelType = program.channelType;
        sound.multi = program.multi;
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const ProgramEnvelope& envelope = program.envelope[kind];
            const int32_t length = stepCount(envelope);
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
            free += length;
        }
    }
    loadSerial = 0;
    return true;
}
