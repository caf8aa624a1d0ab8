// Any text either fails with line-numbered messages or parses into a state
// that, through the chunk and back to text, parses to the same state.
#include "FuzzCheck.h"
#include "tools/bank/TextBank.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One state each, reused: a state is megabytes.
    static textbank::State* const parsed = textbank::makeDefault().release();
    static textbank::State* const reparsed = textbank::makeDefault().release();
    textbank::resetToDefault(*parsed);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> errors;
    if (!textbank::parse(text, "fuzz.txt", *parsed, errors)) {
        check(!errors.empty());
        for (const std::string& line : errors)
            check(line.rfind("fuzz.txt:", 0) == 0 && line.find('\n') == std::string::npos);
        return 0;
    }
    check(errors.empty());
    const std::vector<unsigned char> chunk = textbank::toChunk(*parsed);
    textbank::resetToDefault(*reparsed);
    textbank::loadChunk(chunk.data(), chunk.size(), *reparsed);
    const std::string written = textbank::write(*reparsed);
    textbank::resetToDefault(*reparsed);
    check(textbank::parse(written, "fuzz.txt", *reparsed, errors));
    check(textbank::toChunk(*reparsed) == chunk);
    textbank::checkEnvelopes(*reparsed);
    return 0;
}
