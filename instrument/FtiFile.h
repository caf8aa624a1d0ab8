// Tracker instrument files (.fti, versions 2.0 to 2.4) of the 2A03 and VRC6
// kinds: five sequences with loop and release points (a VRC6 instrument's
// fifth is the pulse width 0..7). Little-endian throughout. The DPCM key map
// and samples that may follow a 2A03 instrument are read past and only
// counted; a VRC6 instrument ends after its sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fti {

constexpr int kMinVersion = 20;  // major * 10 + minor
constexpr int kMaxVersion = 24;
constexpr int32_t kMaxNameBytes = 128;
// Volume, arpeggio, pitch, hi-pitch, duty/noise: Plinka's envelope order.
constexpr int kSequenceCount = 5;
// What the tracker plays of a sequence; longer ones are read whole.
constexpr int32_t kMaxUsedItems = 252;
constexpr int32_t kNone = -1;

// Instrument types.
constexpr int kType2A03 = 1;
constexpr int kTypeVrc6 = 2;

// Sequence settings.
constexpr int32_t kArpAbsolute = 0;
constexpr int32_t kArpFixed = 1;
constexpr int32_t kArpRelative = 2;
constexpr int32_t kPitchRelative = 0;
constexpr int32_t kPitchAbsolute = 1;
// The volume of a VRC6 instrument: 16 steps (0..15), or 64 (0..63) as some
// trackers have it for the sawtooth, whose register takes six bits.
constexpr int32_t kVolume16Steps = 0;
constexpr int32_t kVolume64Steps = 1;

struct Sequence {
    bool enabled = false;
    int32_t loop = kNone;     // first looped item
    int32_t release = kNone;  // last item played while the key is held
    int32_t setting = 0;
    std::vector<int8_t> items;

    bool operator==(const Sequence&) const = default;
};

struct Instrument {
    int version = kMaxVersion;
    int type = kType2A03;  // or kTypeVrc6; a file's type 0 reads as 2A03
    std::string name;      // at most kMaxNameBytes
    Sequence sequences[kSequenceCount];
    int32_t dpcmKeyCount = 0;  // of a 2A03 instrument: read past, never written
    int32_t dpcmSampleCount = 0;

    bool operator==(const Instrument&) const = default;
};

// Reads a whole file from memory. On failure answers false with a one-line
// reason in error (without a file name); instrument is then unspecified.
bool read(const unsigned char* data, size_t size, Instrument& instrument, std::string& error);

// A version 2.4 file of the instrument's type, a 2A03 one with an empty DPCM
// map. Every sequence is written, sequences past the fifth are not; names are
// cut to 128 bytes.
std::vector<unsigned char> write(const Instrument& instrument);

}  // namespace fti
