// The envelope language: numbers separated by spaces, with an optional loop
// marker "|". Compiling never leaves an envelope unusable: on any error it
// becomes the single step 0 and the message is returned.
#pragma once

#include "Envelope.h"
#include "Program.h"

// The six messages, exactly as the editor shows them. Arrays, so that each has
// one address in the whole program and callers may compare pointers.
inline constexpr char kErrorPrefix[] = "Error Prefix is not followed by a number";
inline constexpr char kErrorLoopRedefinition[] = "Error: Loop point redefinition";
inline constexpr char kErrorLoopSpacing[] = "Error: Loop marker should be preceded and followed with spacing";
inline constexpr char kErrorUnexpectedInString[] = "Error: Unexpected character while parsing string";
inline constexpr char kErrorUnexpectedInNumber[] = "Error: Unexpected character while parsing a number";
inline constexpr char kErrorTooLong[] = "Error: Compiled envelope data is too long";

constexpr int32_t kEnvelopeValueMin = -32768;
constexpr int32_t kEnvelopeValueMax = 32768;

// Whether a kind holds its last step (absolute kinds) or gets a final 0
// appended (relative kinds, so that they stop changing the pitch).
constexpr bool envelopeHoldsLast(int kind)
{
    return kind != Pitch && kind != HiPitch;
}

// Compiles a NUL-terminated text into `envelope`, overwriting it.
// Answers null on success (a blank text too) or one of the six messages.
const char* compileEnvelope(const char* text, Envelope& envelope, bool holdLast);

// Compiles all 640 texts of a bank in bank order (each program Volume, Arp,
// Pitch, Hi-Pitch, Duty) and stops at the first failure, whose message it
// answers; the envelopes after it keep their previous contents.
const char* compileAllEnvelopes(ProgramBank& programs);
