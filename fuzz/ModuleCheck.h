// What a module read from any bytes must keep, shared by the binary and the
// text export targets: it fails with one line, or gives instruments whose
// names and samples keep the module's limits, whose keys name samples they
// carry, and which import into envelope texts and a key map that compile (or
// fail with one line and leave the bank as it was), and wave texts that compile.
#pragma once

#include "FuzzCheck.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/WaveCompiler.h"
#include "instrument/FtiConversion.h"
#include "instrument/ModuleFile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

inline bool oneLine(const std::string& line)
{
    return !line.empty() && line.find('\n') == std::string::npos;
}

inline void checkModuleRead(const uint8_t* data, size_t size)
{
    static Program* const program = new Program{};
    static Envelope* const envelope = new Envelope{};
    static SampleBank* const bank = new SampleBank{};
    static SampleBank* const before = new SampleBank{};
    static KeyMap* const map = new KeyMap{};
    static WaveProgram* const wave = new WaveProgram{};
    ftm::Module module;
    std::string error;
    if (!ftm::read(data, size, module, error)) {
        check(oneLine(error));
        return;
    }
    for (const std::string& warning : module.warnings)
        check(oneLine(warning));
    for (const std::string& note : module.notes)
        check(oneLine(note));
    check(module.instruments.size() <= static_cast<size_t>(ftm::kInstrumentSlots));
    bank->count = 0;
    int32_t lastSlot = -1;
    for (const ftm::Instrument& instrument : module.instruments) {
        check(instrument.slot > lastSlot && instrument.slot < ftm::kInstrumentSlots);
        lastSlot = instrument.slot;
        check(instrument.name.size() <= static_cast<size_t>(ftm::kMaxNameBytes));
        check(instrument.name.find('\0') == std::string::npos);
        check(instrument.problem.empty() || oneLine(instrument.problem));
        if (!instrument.readable())
            continue;
        const fti::Instrument& imported = instrument.instrument;
        check(imported.type != fti::kTypeVrc7 ||
              (imported.vrc7.patch >= 0 && imported.vrc7.patch <= fti::kVrc7MaxPatch));
        for (const fti::DpcmKey& key : imported.dpcmKeys)
            check(std::any_of(imported.dpcmSamples.begin(), imported.dpcmSamples.end(),
                              [&](const fti::DpcmSample& sample) { return sample.index + 1 == key.sample; }));
        for (const fti::DpcmSample& sample : imported.dpcmSamples)
            check(!sample.bytes.empty() && sample.bytes.size() <= static_cast<size_t>(ftm::kMaxSampleBytes) &&
                  sample.name.size() <= static_cast<size_t>(ftm::kMaxSampleNameBytes));
        *program = Program{};
        *before = *bank;
        std::vector<std::string> notes;
        check(std::all_of(instrument.played.begin(), instrument.played.end(), [](int32_t n) { return n >= 0; }));
        const int32_t channel = fticonversion::chooseChannel(imported, instrument.played).channelType;
        check(isChannelType(channel));
        if (!fticonversion::toProgram(imported, channel, *program, *bank, notes, error)) {
            check(oneLine(error));
            check(std::memcmp(bank, before, sizeof(SampleBank)) == 0);
            continue;
        }
        for (const std::string& note : notes)
            check(oneLine(note));
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            check(compileEnvelopeOfKind(program->envelopeText[kind], *envelope, kind) == nullptr);
        check(compileKeyMap(program->keyMapText, *bank, *map) == nullptr);
        check(compileWave(program->waveText, program->channelType, *wave) == nullptr);
    }
}
