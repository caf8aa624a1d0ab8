#include "EnvelopeCompiler.h"

#include <algorithm>
#include <cstring>

namespace {

// Past this the value is limited to the range anyway; stopping the
// accumulator here keeps very long digit runs from overflowing.
constexpr int32_t kAccumulatorCeiling = 1000000;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

char upperCase(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Characters that end a number without being consumed: the space, control
// characters and bytes 128..255 (all at most 32 as signed bytes), the two
// markers, and "L" and "*", which the next token then refuses.
bool endsNumber(char c)
{
    return static_cast<signed char>(c) <= 32 || c == '|' || c == '/' || c == 'L' || c == '*';
}

// A marker stands alone between spaces (or the ends of the text).
bool spacedMarker(const char* text, size_t size, size_t i)
{
    return (i == 0 || text[i - 1] == ' ') && (i + 1 >= size || text[i + 1] == ' ');
}

const char* failWith(Envelope& envelope, const char* message)
{
    envelope.values[0] = 0;
    envelope.length = 1;
    envelope.loopIndex = 0;
    envelope.releaseIndex = -1;
    envelope.hasLoop = false;
    envelope.isEmpty = true;
    return message;
}

// Hard failures are reported at once, in text order. A stray character inside
// a number is reported only at the end, and a release marker with nothing
// after it after that, unless a hard failure comes first.
const char* compileText(const char* text, size_t size, Envelope& envelope, bool holdLast, bool fixedNotes)
{
    envelope.length = 0;
    envelope.loopIndex = 0;
    envelope.releaseIndex = -1;
    envelope.hasLoop = false;
    envelope.isEmpty = true;

    bool markerSeen = false;
    int32_t markerPosition = 0;
    int32_t releasePosition = -1;  // values before the "/"
    const char* pendingError = nullptr;

    size_t i = 0;
    while (i < size) {
        while (i < size && text[i] == ' ')
            ++i;
        if (i >= size)
            break;

        bool negative = false;
        bool fixed = false;
        const char first = upperCase(text[i]);
        if (first == '-' || first == '@') {
            if (first == '@' && !fixedNotes)
                return failWith(envelope, kErrorFixedNoteOutsideArp);
            if (i + 1 >= size || !isDigit(text[i + 1]))
                return failWith(envelope, kErrorPrefix);
            negative = first == '-';
            fixed = first == '@';
            ++i;
        } else if (first == '|') {
            if (releasePosition >= 0)
                return failWith(envelope, kErrorLoopAfterRelease);
            if (markerSeen)
                return failWith(envelope, kErrorLoopRedefinition);
            markerSeen = true;
            markerPosition = envelope.length;
            if (!spacedMarker(text, size, i))
                return failWith(envelope, kErrorLoopSpacing);
            ++i;
            continue;
        } else if (first == '/') {
            if (releasePosition >= 0)
                return failWith(envelope, kErrorReleaseRedefinition);
            if (!spacedMarker(text, size, i))
                return failWith(envelope, kErrorReleaseSpacing);
            if (envelope.length == 0)
                return failWith(envelope, kErrorReleaseNeedsValues);
            releasePosition = envelope.length;
            ++i;
            continue;
        } else if (!isDigit(first)) {
            return failWith(envelope, kErrorUnexpectedInString);
        }

        int32_t value = 0;
        while (i < size) {
            const char c = upperCase(text[i]);
            if (endsNumber(c))
                break;
            ++i;
            if (!isDigit(c)) {
                // Reported only at the end, unless a hard failure comes first.
                pendingError = kErrorUnexpectedInNumber;
                break;
            }
            value = std::min(value * 10 + (c - '0'), kAccumulatorCeiling);
        }
        if (fixed) {
            if (value > kMaxFixedNote)
                return failWith(envelope, kErrorFixedNoteRange);
            value += kFixedNoteBase;
        } else {
            if (negative)
                value = -value;
            value = std::clamp(value, kEnvelopeValueMin, kEnvelopeValueMax);
        }

        if (envelope.length >= kEnvelopeMaxSteps)
            return failWith(envelope, kErrorTooLong);
        envelope.values[envelope.length++] = value;
    }

    if (pendingError)
        return failWith(envelope, pendingError);
    if (releasePosition >= 0 && releasePosition == envelope.length)
        return failWith(envelope, kErrorReleaseNeedsValues);
    if (envelope.length == 0) {
        failWith(envelope, nullptr);  // the default envelope, without an error
        return nullptr;
    }

    envelope.isEmpty = false;
    const int32_t held = releasePosition >= 0 ? releasePosition : envelope.length;
    int32_t heldEnd = held;
    if (markerSeen) {
        envelope.hasLoop = true;
        envelope.loopIndex = markerPosition;
    } else if (!holdLast) {
        // The appended 0 ends the held part, ahead of any release values.
        if (envelope.length >= kEnvelopeMaxSteps)
            return failWith(envelope, kErrorTooLong);
        std::copy_backward(envelope.values + held, envelope.values + envelope.length,
                           envelope.values + envelope.length + 1);
        envelope.values[held] = 0;
        ++envelope.length;
        heldEnd = held + 1;
        envelope.loopIndex = held;
    } else {
        envelope.loopIndex = held - 1;
    }
    // A marker at the end of the held part loops on its last value.
    envelope.loopIndex = std::clamp(envelope.loopIndex, 0, heldEnd - 1);
    envelope.releaseIndex = releasePosition >= 0 ? heldEnd : -1;
    return nullptr;
}

}  // namespace

const char* compileEnvelope(const char* text, Envelope& envelope, bool holdLast)
{
    return compileText(text ? text : "", text ? std::strlen(text) : 0, envelope, holdLast, false);
}

const char* compileEnvelopeOfKind(const char* text, Envelope& envelope, int kind)
{
    return compileText(text ? text : "", text ? std::strlen(text) : 0, envelope, envelopeHoldsLast(kind), kind == Arp);
}

const char* compileAllEnvelopes(ProgramBank& programs)
{
    static_assert(kEnvelopeTextSize / 2 + 1 <= kMaxStepsPerText, "a program's text always fits its envelope");
    Envelope compiled;
    for (Program& program : programs) {
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const char* text = program.envelopeText[kind];
            // The field is always terminated, but never read past its end.
            const void* end = std::memchr(text, 0, kEnvelopeTextSize);
            const size_t size = end ? static_cast<size_t>(static_cast<const char*>(end) - text) : kEnvelopeTextSize;
            const char* message = compileText(text, size, compiled, envelopeHoldsLast(kind), kind == Arp);
            program.envelope[kind].assign(compiled);
            if (message)
                return message;
        }
    }
    return nullptr;
}
