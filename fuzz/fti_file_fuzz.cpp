// Any bytes read as an .fti file either fail with one line, or import into
// envelope texts that compile, export to a file that reads back as written,
// and import again to the same texts, but for the kinds whose export said it
// moved values into the tracker's ranges.
#include "FuzzCheck.h"
#include "engine/EnvelopeCompiler.h"
#include "instrument/BankText.h"
#include "instrument/FtiConversion.h"
#include "instrument/FtiFile.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Program* const first = new Program{};
    static Program* const again = new Program{};
    static Envelope* const envelope = new Envelope{};
    fti::Instrument instrument;
    std::string error;
    if (!fti::read(data, size, instrument, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    check(instrument.name.size() <= static_cast<size_t>(fti::kMaxNameBytes));
    std::vector<std::string> notes;
    // The channel depends on the input too: the VRC6's take other ranges.
    constexpr int32_t channels[] = {Pulse, Triangle, Noise, Vrc6Pulse, Vrc6Saw};
    fticonversion::toProgram(instrument, fticonversion::channelFor(instrument, channels[size % 5]), *first, notes);
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        check(compileEnvelopeOfKind(first->envelopeText[kind], *envelope, kind) == nullptr);

    fti::Instrument exported;
    notes.clear();
    check(fticonversion::fromProgram(*first, exported, notes, error));
    bool moved[kEnvelopeKindCount] = {};
    for (const std::string& note : notes)
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            moved[kind] = moved[kind] || note.rfind(std::string(banktext::kEnvelopeKindName[kind]) + ":", 0) == 0;
    const std::vector<unsigned char> bytes = fti::write(exported);
    fti::Instrument reread;
    check(fti::read(bytes.data(), bytes.size(), reread, error));
    check(reread == exported);
    fticonversion::toProgram(reread, first->channelType, *again, notes);
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        check(moved[kind] || std::strcmp(again->envelopeText[kind], first->envelopeText[kind]) == 0);
    check(std::strcmp(again->name, first->name) == 0);
    return 0;
}
