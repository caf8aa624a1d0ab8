// One program (patch) of the bank, and the fixed sizes of the bank.
#pragma once

#include "ChannelKinds.h"
#include "Envelope.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr int kProgramCount = 128;
constexpr int kMidiChannelCount = 16;
constexpr size_t kProgramNameSize = 32;     // 31 characters and the terminator
constexpr size_t kEnvelopeTextSize = 1024;  // 1023 characters and the terminator

// Envelope kinds, in the order used by texts, compiled envelopes, voices,
// editor controls and chunk tags.
enum EnvelopeKind : int { Volume = 0, Arp, Pitch, HiPitch, Duty, kEnvelopeKindCount };

struct Program {
    char name[kProgramNameSize];
    int32_t channelType;  // a ChannelType (ChannelKinds.h); other values are possible from a loaded chunk
    int32_t multi;        // 1: a key-split set of the twelve programs from this one
    char envelopeText[kEnvelopeKindCount][kEnvelopeTextSize];
    ProgramEnvelope envelope[kEnvelopeKindCount];
    // A Sample program's key map as typed (KeyMapCompiler.h); it names the
    // bank's samples, so it is compiled with them, into each snapshot.
    char keyMapText[kEnvelopeTextSize];
    // An FDS or N163 program's waves (and the FDS's modulator) as typed
    // (WaveCompiler.h); compiled into each snapshot, as the key maps are.
    char waveText[kEnvelopeTextSize];
};

using ProgramBank = Program[kProgramCount];

// Copies at most N-1 characters of text into a fixed field, zero-fills the rest
// and always leaves the last byte zero.
template <size_t N> void copyTextField(char (&field)[N], const char* text)
{
    size_t length = 0;
    if (text)
        while (length < N - 1 && text[length] != 0)
            ++length;
    std::memcpy(field, text ? text : "", length);
    std::memset(field + length, 0, N - length);
}
