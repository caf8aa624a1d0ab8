#include "BankSnapshot.h"

#include "KeyMapCompiler.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Bounded even if an envelope were longer than any text can make it.
int32_t stepCount(const ProgramEnvelope& envelope)
{
    return std::clamp(envelope.length, 1, kMaxStepsPerText);
}

// A text field up to its terminator, or whole if it has none.
template <size_t N> std::string_view boundedText(const char (&field)[N])
{
    return std::string_view(field, static_cast<size_t>(std::find(field, field + N, '\0') - field));
}

}  // namespace

bool BankSnapshot::capture(const ProgramBank& bank, const SampleBank* sampleBank)
{
    static const SampleBank noSamples{};
    const SampleBank& from = sampleBank ? *sampleBank : noSamples;
    const int sampleCount = std::clamp(from.count, 0, kMaxSamples);
    size_t needed = 0;
    for (const Program& program : bank)
        for (const ProgramEnvelope& envelope : program.envelope)
            needed += static_cast<size_t>(stepCount(envelope));
    size_t wavesNeeded = 0;
    for (const Program& program : bank)
        wavesNeeded += hasChipText(program.channelType);
    size_t bytesNeeded = 0;
    for (int i = 0; i < sampleCount; ++i)
        bytesNeeded += static_cast<size_t>(std::clamp(from.samples[i].length, 0, kMaxSampleBytes));
    try {
        if (steps_.size() < needed)
            steps_.resize(needed);
        if (sampleBytes_.size() < bytesNeeded)
            sampleBytes_.resize(bytesNeeded);
        if (waves_.size() < wavesNeeded)
            waves_.resize(wavesNeeded);
    } catch (const std::bad_alloc&) {
        return false;
    }

    uint8_t* freeBytes = sampleBytes_.data();
    for (int i = 0; i < kMaxSamples; ++i) {
        const int32_t length = i < sampleCount ? std::clamp(from.samples[i].length, 0, kMaxSampleBytes) : 0;
        if (length > 0)
            std::memcpy(freeBytes, from.samples[i].bytes, static_cast<size_t>(length));
        const int32_t level = i < sampleCount ? from.samples[i].startLevel : kNoStartLevel;
        samples[i] = {length > 0 ? freeBytes : nullptr, length,
                      level >= 0 && level <= kMaxStartLevel ? level : kNoStartLevel};
        freeBytes += length;
    }

    int32_t* free = steps_.data();
    WaveProgram* freeWave = waves_.data();
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = bank[number];
        ProgramSound& sound = programs[number];
        sound.channelType = program.channelType;
        sound.multi = program.multi;
        // Values no editor makes (a damaged chunk's) play as off.
        sound.mono = program.mono > MonoOff && program.mono < kMonoModeCount ? program.mono : MonoOff;
        sound.glide = program.glide > 0 && program.glide <= kMaxGlideMs ? program.glide : 0;
        sound.tempoSteps = program.tempoSteps > 0 && program.tempoSteps <= kMaxTempoSteps ? program.tempoSteps : 0;
        sound.samples = samples;
        if (program.channelType == Sample)
            compileKeyMap(boundedText(program.keyMapText), from, sound.keyMap);  // a text in error maps nothing
        else
            sound.keyMap = KeyMap{};
        sound.wave = nullptr;
        if (hasChipText(program.channelType)) {
            compileWave(boundedText(program.waveText), program.channelType, *freeWave);  // in error: a sine
            sound.wave = freeWave++;
        }
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
            if (kind == Arp)
                sound.arpMovesKey = std::any_of(free, free + length, [](int32_t step) { return step != 0; });
            free += length;
        }
    }
    loadSerial = 0;
    return true;
}
