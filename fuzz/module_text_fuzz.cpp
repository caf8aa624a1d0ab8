// Any text read as a tracker module's text export keeps what ModuleCheck.h
// checks. Bytes that do not start as an export get a comment line put first,
// so that every input reaches the text reader.
#include "ModuleCheck.h"
#include "instrument/ModuleText.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftm::isTextExport(data, size)) {
        checkModuleRead(data, size);
        return 0;
    }
    std::vector<uint8_t> text = {'#', '\n'};
    text.insert(text.end(), data, data + size);
    checkModuleRead(text.data(), text.size());
    return 0;
}
