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
// characters and bytes 128..255 (all at most 32 as signed bytes), the loop
// marker, and "L" and "*", which the next token then refuses.
bool endsNumber(char c)
{
    return static_cast<signed char>(c) <= 32 || c == '|' || c == 'L' || c == '*';
}

const char* failWith(Envelope& envelope, const char* message)
{
    envelope.values[0] = 0;
    envelope.length = 1;
    envelope.loopIndex = 0;
    envelope.hasLoop = false;
    envelope.isEmpty = true;
    return message;
}

const char* compileText(const char* text, size_t size, Envelope& envelope, bool holdLast)
{
    envelope.length = 0;
    envelope.loopIndex = 0;
    envelope.hasLoop = false;
    envelope.isEmpty = true;

    bool markerSeen = false;
    int32_t markerPosition = 0;
    const char* pendingError = nullptr;

    size_t i = 0;
    while (i < size) {
        while (i < size && text[i] == ' ')
            ++i;
        if (i >= size)
            break;

        bool negative = false;
        const char first = upperCase(text[i]);
        if (first == '-') {
            if (i + 1 >= size || !isDigit(text[i + 1]))
                return failWith(envelope, kErrorPrefix);
            negative = true;
            ++i;
        } else if (first == '|') {
            if (markerSeen)
                return failWith(envelope, kErrorLoopRedefinition);
            markerSeen = true;
            markerPosition = envelope.length;
            const bool spaceAfter = i + 1 >= size || text[i + 1] == ' ';
            const bool spaceBefore = i == 0 || text[i - 1] == ' ';
            if (!spaceAfter || !spaceBefore)
                return failWith(envelope, kErrorLoopSpacing);
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
        if (negative)
            value = -value;
        value = std::clamp(value, kEnvelopeValueMin, kEnvelopeValueMax);

        if (envelope.length >= kEnvelopeMaxSteps)
            return failWith(envelope, kErrorTooLong);
        envelope.values[envelope.length++] = value;
    }

    if (pendingError)
        return failWith(envelope, pendingError);
    if (envelope.length == 0) {
        failWith(envelope, nullptr);  // the default envelope, without an error
        return nullptr;
    }

    envelope.isEmpty = false;
    if (markerSeen) {
        envelope.hasLoop = true;
        envelope.loopIndex = markerPosition;
    } else if (!holdLast) {
        if (envelope.length >= kEnvelopeMaxSteps)
            return failWith(envelope, kErrorTooLong);
        envelope.values[envelope.length++] = 0;
        envelope.loopIndex = envelope.length - 1;
    } else {
        envelope.loopIndex = envelope.length - 1;
    }
    // A marker at the very end loops on the last value.
    envelope.loopIndex = std::clamp(envelope.loopIndex, 0, envelope.length - 1);
    return nullptr;
}

}  // namespace

const char* compileEnvelope(const char* text, Envelope& envelope, bool holdLast)
{
    return compileText(text ? text : "", text ? std::strlen(text) : 0, envelope, holdLast);
}

const char* compileAllEnvelopes(ProgramBank& programs)
{
    for (Program& program : programs) {
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const char* text = program.envelopeText[kind];
            // The field is always terminated, but never read past its end.
            const void* end = std::memchr(text, 0, kEnvelopeTextSize);
            const size_t size = end ? static_cast<size_t>(static_cast<const char*>(end) - text) : kEnvelopeTextSize;
            if (const char* message = compileText(text, size, program.envelope[kind], envelopeHoldsLast(kind)))
                return message;
        }
    }
    return nullptr;
}
