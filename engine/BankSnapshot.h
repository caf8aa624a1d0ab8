// What the audio thread needs of the bank, copied out of it as one piece: each
// program's channel type, Multi flag, compiled envelopes and key map, and the
// bytes of the bank's samples. A snapshot is
// built off the audio thread and never changes while the audio thread uses it.
// Its steps take the room the bank's envelopes need, not the most they could:
// the storage grows (off the audio thread) and is reused, never shrunk.
#pragma once

#include "KeyMap.h"
#include "Program.h"
#include "SampleBank.h"
#include "SharedSettings.h"
#include "WaveCompiler.h"

#include <cstdint>
#include <vector>

struct EnvelopeSteps {
    const int32_t* values;
    int32_t length;        // at least 1
    int32_t loopIndex;     // 0..heldLength()-1
    int32_t releaseIndex;  // 1..length-1, the first release step; -1: no release part
    bool hasLoop;

    // The steps that play while the key is held.
    int32_t heldLength() const { return releaseIndex > 0 ? releaseIndex : length; }
};

// A sample's bytes in the snapshot's storage.
struct SampleData {
    const uint8_t* bytes;
    int32_t length;      // legal, or 0 for an index that holds no sample
    int32_t startLevel;  // as DpcmSample's
};

struct ProgramSound {
    int32_t channelType;
    int32_t multi;
    EnvelopeSteps envelope[kEnvelopeKindCount];
    KeyMap keyMap;              // compiled for Sample programs only; silent for the others
    const SampleData* samples;  // the snapshot's kMaxSamples, which keyMap's entries index
    bool arpMovesKey;           // an Arp step other than 0: a key the map leaves out may still sound
    const WaveProgram* wave;    // an FDS, N163 or VRC7 program's compiled chip text; null for the others
    int32_t mono;               // a MonoMode
    int32_t glide;              // milliseconds, 0..kMaxGlideMs
    int32_t tempoSteps;         // 0..kMaxTempoSteps
};

struct BankSnapshot {
    BankSnapshot() = default;
    BankSnapshot(const BankSnapshot&) = delete;  // its envelopes point into its own storage
    BankSnapshot& operator=(const BankSnapshot&) = delete;

    // Copies the compiled bank and the samples (none: an empty sample bank),
    // compiling the Sample programs' key maps against them; carries no chunk
    // settings. Answers false, leaving the snapshot as it was, when no memory
    // could be had for it.
    bool capture(const ProgramBank& bank, const SampleBank* samples = nullptr);

    ProgramSound programs[kProgramCount];
    SampleData samples[kMaxSamples] = {};

    // Set when the snapshot comes from a chunk load: that load's serial (never
    // 0) and the settings it loaded, so that they are heard together with it.
    uint32_t loadSerial = 0;
    // The newest load at the time of publishing (this one, or the load the
    // edits since started from): settings of a later load are not this bank's.
    uint32_t baseLoadSerial = 0;
    int32_t loadChannelProgram[kMidiChannelCount] = {};
    int32_t loadNtsc = 1;
    int32_t loadGain = kDefaultGain;
    int32_t loadMidiControllers = 1;
    int32_t loadConsole = 0;
    int32_t loadN163Channels = kDefaultN163Channels;
    int32_t loadMpe = MpeOff;

private:
    std::vector<int32_t> steps_;
    std::vector<uint8_t> sampleBytes_;
    std::vector<WaveProgram> waves_;  // the wave programs', in program order
};
