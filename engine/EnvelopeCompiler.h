// The envelope language: numbers separated by spaces, with an optional loop
// marker "|" and an optional release marker "/" (values after it play once the
// key is up; a "|" may only come before it). In the Arp envelope "@N" sounds
// the fixed note N. Compiling never leaves an envelope unusable: on any error
// it becomes the single step 0 and the message is returned.
#pragma once

#include "Envelope.h"
#include "Program.h"

// The messages, exactly as the editor shows them. Arrays, so that each has
// one address in the whole program and callers may compare pointers.
inline constexpr char kErrorPrefix[] = "Error Prefix is not followed by a number";
inline constexpr char kErrorLoopRedefinition[] = "Error: Loop point redefinition";
inline constexpr char kErrorLoopSpacing[] = "Error: Loop marker should be preceded and followed with spacing";
inline constexpr char kErrorUnexpectedInString[] = "Error: Unexpected character while parsing string";
inline constexpr char kErrorUnexpectedInNumber[] = "Error: Unexpected character while parsing a number";
inline constexpr char kErrorTooLong[] = "Error: Compiled envelope data is too long";
inline constexpr char kErrorReleaseRedefinition[] = "Error: Release point redefinition";
inline constexpr char kErrorReleaseSpacing[] = "Error: Release marker should be preceded and followed with spacing";
inline constexpr char kErrorReleaseNeedsValues[] = "Error: Release marker needs values before and after it";
inline constexpr char kErrorLoopAfterRelease[] = "Error: Loop marker must come before the release marker";
inline constexpr char kErrorFixedNoteOutsideArp[] = "Error: Fixed notes (@) belong in the Arp envelope only";
inline constexpr char kErrorFixedNoteRange[] = "Error: Fixed note must lie between @0 and @127";

constexpr int32_t kEnvelopeValueMin = -32768;
constexpr int32_t kEnvelopeValueMax = 32768;

// An Arp step "@N" is stored as kFixedNoteBase + N, far outside the range of
// the relative steps, so that snapshots and voices carry it as a plain value.
constexpr int32_t kFixedNoteBase = 1 << 24;
constexpr int32_t kMaxFixedNote = 127;

constexpr bool isFixedNote(int32_t arpStep)
{
    return arpStep >= kFixedNoteBase;
}

// Whether a kind holds its last step (absolute kinds) or gets a final 0
// appended (relative kinds, so that they stop changing the pitch).
constexpr bool envelopeHoldsLast(int kind)
{
    return kind != Pitch && kind != HiPitch;
}

// Compiles a NUL-terminated text into `envelope`, overwriting it.
// Answers null on success (a blank text too) or one of the messages. Fixed
// notes are refused here; compileEnvelopeOfKind allows them in Arp.
const char* compileEnvelope(const char* text, Envelope& envelope, bool holdLast);
const char* compileEnvelopeOfKind(const char* text, Envelope& envelope, int kind);

// Compiles all 640 texts of a bank in bank order (each program Volume, Arp,
// Pitch, Hi-Pitch, Duty) and stops at the first failure, whose message it
// answers; the envelopes after it keep their previous contents.
const char* compileAllEnvelopes(ProgramBank& programs);
