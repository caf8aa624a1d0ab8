// Whatever bytes a host hands to setChunk load without harm, and what the
// instrument then writes is a fixed point: loading it and writing again gives
// the same bytes.
#include "FuzzCheck.h"
#include "plugin/vst2/PLINKA.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> save(PLINKA& plinka)
{
    void* data = nullptr;
    const VstInt32 size = plinka.getChunk(&data, false);
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PLINKA* plinka = new PLINKA(nullptr);
    std::vector<unsigned char> input(data, data + size);
    plinka->setChunk(input.empty() ? nullptr : input.data(), static_cast<VstInt32>(size), false);

    for (const auto& program : plinka->instrument.settings.channelProgram)
        check(program.load() >= 0 && program.load() < kProgramCount);
    check(plinka->instrument.console() >= ConsoleOff && plinka->instrument.console() < kConsoleModeCount);
    plinka->instrument.readBank([](const ProgramBank& programs) {
        for (const Program& program : programs) {
            check(program.name[kProgramNameSize - 1] == 0);
            for (const auto& text : program.envelopeText)
                check(text[kEnvelopeTextSize - 1] == 0);
        }
    });

    std::vector<unsigned char> first = save(*plinka);
    plinka->setChunk(first.data(), static_cast<VstInt32>(first.size()), false);
    check(save(*plinka) == first);
    return 0;
}
