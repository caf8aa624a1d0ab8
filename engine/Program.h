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

// How a program's notes follow the keys of one MIDI channel: each key its
// own note, one note that a new key takes over (its envelopes started again),
// or one note whose envelopes go on while a key is held (legato).
enum MonoMode : int32_t { MonoOff = 0, MonoOn = 1, MonoLegato = 2, kMonoModeCount };
constexpr int32_t kMaxGlideMs = 10000;
constexpr int32_t kMaxTempoSteps = 96;
inline constexpr char kErrorMonoMode[] = "Error: mono is off, on or legato";
inline constexpr char kErrorGlide[] = "Error: glide is 0 to 10000 milliseconds";
inline constexpr char kErrorTempoSteps[] = "Error: tempo-steps is off or 1 to 96 steps a quarter note";

// The message for a value out of its range, or null.
constexpr const char* playingError(int32_t mono, int32_t glide, int32_t tempoSteps)
{
    if (mono < MonoOff || mono >= kMonoModeCount)
        return kErrorMonoMode;
    if (glide < 0 || glide > kMaxGlideMs)
        return kErrorGlide;
    if (tempoSteps < 0 || tempoSteps > kMaxTempoSteps)
        return kErrorTempoSteps;
    return nullptr;
}

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
    // How it is played; all 0 (off) in a song saved before they existed.
    int32_t mono;        // a MonoMode
    int32_t glide;       // milliseconds from the last note's pitch to the new one's, 0..kMaxGlideMs; 0: none
    int32_t tempoSteps;  // envelope steps per quarter note of the song, 1..kMaxTempoSteps; 0: one a chip frame
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
