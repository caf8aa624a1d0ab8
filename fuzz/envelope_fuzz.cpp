// Any text a user types or pastes compiles to a usable envelope or to one of
// the six messages, and never reads or writes out of bounds.
#include "FuzzCheck.h"
#include "engine/EnvelopeCompiler.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bool isKnownMessage(const char* message)
{
    for (const char* known : {kErrorPrefix, kErrorLoopRedefinition, kErrorLoopSpacing, kErrorUnexpectedInString,
                              kErrorUnexpectedInNumber, kErrorTooLong})
        if (message == known)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded NUL when compiled
    static auto envelope = std::make_unique<Envelope>();
    for (bool holdLast : {true, false}) {
        const char* message = compileEnvelope(text.c_str(), *envelope, holdLast);
        check(envelope->length >= 1 && envelope->length <= kEnvelopeMaxSteps);
        check(envelope->loopIndex >= 0 && envelope->loopIndex < envelope->length);
        for (int32_t i = 0; i < envelope->length; ++i)
            check(envelope->values[i] >= kEnvelopeValueMin && envelope->values[i] <= kEnvelopeValueMax);
        if (message) {
            check(isKnownMessage(message));
            check(envelope->isEmpty && envelope->length == 1 && envelope->values[0] == 0 && !envelope->hasLoop);
        }
        check(!envelope->hasLoop || !envelope->isEmpty);
    }
    return 0;
}
