// Any bytes read as an .fti file either fail with one line, or import into
// envelope texts that compile, export to a file that reads back as written,
// and import again to the same texts, but for the kinds whose export said it
// moved values into the tracker's ranges. A DPCM part imports into a key map
// that compiles against the bank's legal samples, or fails with one line and
// leaves the bank as it was; exported and imported again into an empty bank
// it gives the same key map over the same sample bytes. An FDS, N163 or VRC7
// instrument imports into a wave text that compiles and comes back the same
// from its export, but where the export said it left something out.
#include "FuzzCheck.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/WaveCompiler.h"
#include "instrument/BankText.h"
#include "instrument/FtiConversion.h"
#include "instrument/FtiFile.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The bank before the import, by the input: empty, holding a "kick" the file
// may also bring, or two short of full.
void prefill(SampleBank& bank, size_t size)
{
    bank.count = 0;
    static const uint8_t bytes[17] = {0x55};
    const int count = (size / 5) % 3 == 0 ? 0 : (size / 5) % 3 == 1 ? 1 : kMaxSamples - 2;
    for (int i = 0; i < count; ++i)
        check(bank.put(i == 0 ? std::string("kick") : "s" + std::to_string(i), bytes, 17) == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Program* const first = new Program{};
    static Program* const again = new Program{};
    static Envelope* const envelope = new Envelope{};
    static SampleBank* const bank = new SampleBank{};
    static SampleBank* const before = new SampleBank{};
    static SampleBank* const fresh = new SampleBank{};
    static KeyMap* const map = new KeyMap{};
    static KeyMap* const freshMap = new KeyMap{};
    static WaveProgram* const wave = new WaveProgram{};
    fti::Instrument instrument;
    std::string error;
    if (!fti::read(data, size, instrument, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    check(instrument.name.size() <= static_cast<size_t>(fti::kMaxNameBytes));
    for (const fti::DpcmSample& sample : instrument.dpcmSamples)
        check(sample.name.size() <= static_cast<size_t>(fti::kMaxDpcmNameBytes));
    std::vector<std::string> notes;
    // The channel depends on the input too: the VRC6's take other ranges.
    const int32_t channel = fticonversion::channelFor(instrument, kChannelKinds[size % kChannelTypeCount].type);
    *first = Program{};
    prefill(*bank, size);
    *before = *bank;
    if (!fticonversion::toProgram(instrument, channel, *first, *bank, notes, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        check(std::memcmp(bank, before, sizeof(SampleBank)) == 0);
        return 0;
    }
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        check(compileEnvelopeOfKind(first->envelopeText[kind], *envelope, kind) == nullptr);
    check(bank->count <= kMaxSamples);
    for (int i = 0; i < bank->count; ++i)
        check(isSampleName(bank->samples[i].name) && isLegalSampleLength(bank->samples[i].length));
    check(compileKeyMap(first->keyMapText, *bank, *map) == nullptr);
    check(compileWave(first->waveText, first->channelType, *wave) == nullptr);
    check(hasChipText(first->channelType) || first->waveText[0] == 0);

    fti::Instrument exported;
    notes.clear();
    check(fticonversion::fromProgram(*first, *bank, exported, notes, error));
    bool moved[kEnvelopeKindCount] = {};
    bool waveMoved = false;
    for (const std::string& note : notes) {
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            moved[kind] = moved[kind] || note.rfind(std::string(banktext::kEnvelopeKindName[kind]) + ":", 0) == 0;
        waveMoved = waveMoved || note.rfind("Wave:", 0) == 0 || note.rfind("Patch:", 0) == 0;
    }
    const std::vector<unsigned char> bytes = fti::write(exported);
    fti::Instrument reread;
    check(fti::read(bytes.data(), bytes.size(), reread, error));
    check(reread == exported);
    *again = Program{};
    fresh->count = 0;
    check(fticonversion::toProgram(reread, first->channelType, *again, *fresh, notes, error));
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        check(moved[kind] || std::strcmp(again->envelopeText[kind], first->envelopeText[kind]) == 0);
    check(std::strcmp(again->name, first->name) == 0);
    check(waveMoved || std::strcmp(again->waveText, first->waveText) == 0);
    check(std::strcmp(again->keyMapText, first->keyMapText) == 0);
    check(compileKeyMap(again->keyMapText, *fresh, *freshMap) == nullptr);
    for (int key = 0; key < kKeyCount; ++key) {
        const KeyEntry& was = map->keys[key];
        const KeyEntry& is = freshMap->keys[key];
        check(was.sounds() == is.sounds());
        if (!was.sounds())
            continue;
        const DpcmSample& a = bank->samples[was.sample];
        const DpcmSample& b = fresh->samples[is.sample];
        check(was.rate == is.rate && was.loop == is.loop && was.startLevel == is.startLevel);
        check(a.length == b.length && std::memcmp(a.bytes, b.bytes, static_cast<size_t>(a.length)) == 0);
    }
    return 0;
}
