// Any text a user types or pastes, in any envelope, compiles to a usable
// envelope or to one of the messages, and never reads or writes out of bounds.
#include "FuzzCheck.h"
#include "engine/EnvelopeCompiler.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bool isKnownMessage(const char* message)
{
    for (const char* known :
         {kErrorPrefix, kErrorLoopRedefinition, kErrorLoopSpacing, kErrorUnexpectedInString, kErrorUnexpectedInNumber,
          kErrorTooLong, kErrorReleaseRedefinition, kErrorReleaseSpacing, kErrorReleaseNeedsValues,
          kErrorLoopAfterRelease, kErrorFixedNoteOutsideArp, kErrorFixedNoteRange})
        if (message == known)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);  // stops at an embedded NUL when compiled
    static auto envelope = std::make_unique<Envelope>();
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
        const char* message = compileEnvelopeOfKind(text.c_str(), *envelope, kind);
        check(envelope->length >= 1 && envelope->length <= kEnvelopeMaxSteps);
        const bool released = envelope->releaseIndex != -1;
        check(!released || (envelope->releaseIndex >= 1 && envelope->releaseIndex < envelope->length));
        const int32_t held = released ? envelope->releaseIndex : envelope->length;
        check(envelope->loopIndex >= 0 && envelope->loopIndex < held);
        for (int32_t i = 0; i < envelope->length; ++i) {
            const int32_t value = envelope->values[i];
            const bool fixedNote = kind == Arp && value >= kFixedNoteBase && value <= kFixedNoteBase + kMaxFixedNote;
            check(fixedNote || (value >= kEnvelopeValueMin && value <= kEnvelopeValueMax));
        }
        if (message) {
            check(isKnownMessage(message));
            check(envelope->isEmpty && envelope->length == 1 && envelope->values[0] == 0 && !envelope->hasLoop &&
                  !released);
        }
        check(!envelope->hasLoop || !envelope->isEmpty);
    }
    return 0;
}
