// Tracker instrument files (.fti, versions 2.0 to 2.5) of the 2A03, VRC6,
// VRC7, FDS, N163 and 5B kinds: five sequences with loop and release points (a VRC6
// instrument's fifth is the pulse width 0..7, an N163 instrument's the wave it
// plays, a 5B instrument's a bit field of what sounds). Little-endian
// throughout. A 2A03 instrument ends with its DPCM key map and the samples it
// names; an N163 instrument with its waves; VRC6 and 5B instruments end after
// their sequences. An FDS instrument is its own layout: its wave, its
// modulator and three sequences (volume, arpeggio, pitch) of its own. A VRC7
// instrument has no sequences: its patch and the custom patch's bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fti {

constexpr int kMinVersion = 20;  // major * 10 + minor
constexpr int kMaxVersion = 25;
// What write() lays down. 2.5 adds nothing but the N163 auto wave position,
// and most trackers refuse it: one reads 2.4 at most, another takes a 2.5
// N163 file as 2.4 and would read the flag as the wave count.
constexpr int kWrittenVersion = 24;
constexpr int32_t kMaxNameBytes = 128;
// Volume, arpeggio, pitch, hi-pitch, duty/noise: Plinka's envelope order.
constexpr int kSequenceCount = 5;
// What the tracker plays of a sequence; longer ones are read whole.
constexpr int32_t kMaxUsedItems = 252;
constexpr int32_t kNone = -1;

// Instrument types.
constexpr int kType2A03 = 1;
constexpr int kTypeVrc6 = 2;
constexpr int kTypeVrc7 = 3;
constexpr int kTypeFds = 4;
constexpr int kTypeN163 = 5;
constexpr int kTypeS5b = 6;

// An FDS instrument: a wave of 64 steps (0..63), the modulator's 32 step
// codes (0..7) and its speed, depth and delay (frames), as the file holds
// them, and three sequences: volume (0..31), arpeggio and pitch.
constexpr int32_t kFdsWaveBytes = 64;
constexpr int32_t kFdsModBytes = 32;
constexpr int kFdsSequenceCount = 3;
constexpr int32_t kFdsMaxVolume = 31;
// Files before 2.3 count an FDS volume in 16 steps: read, it is doubled.
constexpr int kFirstFdsVolume32Version = 23;

// An N163 instrument's waves: count waves of size samples (0..15), one byte
// each. What the newer trackers hold: 64 waves of up to 240 samples.
constexpr int32_t kN163MinWaveSize = 4;
constexpr int32_t kN163MaxWaveSize = 240;
constexpr int32_t kN163WaveSizeStep = 4;
constexpr int32_t kN163MaxWaves = 64;
constexpr uint8_t kN163SampleMask = 0x0F;

// A 5B instrument's fifth sequence: each item says what sounds.
// bit 7 noise on, bit 6 tone on, bit 5 the chip's envelope on, bits 0-4 the
// noise period (the chip's three channels share it).
constexpr uint8_t kS5bNoiseBit = 0x80;
constexpr uint8_t kS5bToneBit = 0x40;
constexpr uint8_t kS5bEnvelopeBit = 0x20;
constexpr uint8_t kS5bNoisePeriodMask = 0x1F;

// Sequence settings.
constexpr int32_t kArpAbsolute = 0;
constexpr int32_t kArpFixed = 1;
constexpr int32_t kArpRelative = 2;
// Newer trackers' arpeggio "scheme": each item an offset in its low six bits
// (kArpSchemeMaxOffset and above wrapping to the negatives) and in its top two
// bits which of the chord's arguments adds to it (none, +x, +y or -y).
constexpr int32_t kArpScheme = 3;
constexpr int32_t kArpSchemeOffsetBits = 0x3F;
constexpr int32_t kArpSchemeMaxOffset = 36;
constexpr int32_t kPitchRelative = 0;
constexpr int32_t kPitchAbsolute = 1;
// The volume of a VRC6 instrument: 16 steps (0..15), or 64 (0..63) as some
// trackers have it for the sawtooth, whose register takes six bits.
constexpr int32_t kVolume16Steps = 0;
constexpr int32_t kVolume64Steps = 1;

// A VRC7 instrument: its patch (0 the custom one, 1..15 the chip's own) and
// the custom patch's bytes, the chip's $00-$07, which the file holds whatever
// the patch. A new instrument's are the trackers' kVrc7DefaultCustom.
constexpr int32_t kVrc7MaxPatch = 15;
constexpr int kVrc7CustomBytes = 8;
constexpr std::array<uint8_t, kVrc7CustomBytes> kVrc7DefaultCustom = {0x01, 0x21, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x0F};

struct Sequence {
    bool enabled = false;
    int32_t loop = kNone;     // first looped item
    int32_t release = kNone;  // last item played while the key is held
    int32_t setting = 0;
    std::vector<int8_t> items;

    bool operator==(const Sequence&) const = default;
};

// The DPCM part of a 2A03 instrument, its bytes as the file holds them.
// Key map entry: note (octave * 12 + note, the tracker's C-0 being 0); sample
// (1 + a sample's index, 0 for none); pitch (rate index in bits 0-3, loop in
// bit 7); from version 2.4 the delta level written before the sample starts
// (0..127; bit 7 set: none, the level goes on from where it is).
constexpr int32_t kDpcmNotes = 96;  // C-0 to B-7
constexpr uint8_t kDpcmRateMask = 0x0F;
constexpr uint8_t kDpcmLoopBit = 0x80;
constexpr uint8_t kDpcmNoDelta = 0xFF;
constexpr uint8_t kDpcmDeltaUnsetBit = 0x80;
constexpr int32_t kMaxDpcmNameBytes = 256;
// What the tracker keeps of an instrument's DPCM part: a key map entry for
// each of its notes at most, and 64 samples. A file that counts more is no
// tracker's and is refused before anything is made of it.
constexpr int32_t kMaxDpcmKeys = kDpcmNotes;
constexpr int32_t kMaxDpcmSamples = 64;
// Larger files are refused unread: 64 samples of the longest (4081 bytes),
// five sequences of 252 items and every key take less than 300 KB.
constexpr size_t kMaxFileBytes = size_t{1} << 20;

struct DpcmKey {
    uint8_t note = 0;
    uint8_t sample = 0;
    uint8_t pitch = 0;
    uint8_t delta = kDpcmNoDelta;  // files before 2.4 have none

    bool operator==(const DpcmKey&) const = default;
};

struct DpcmSample {
    int32_t index = 0;  // what key entries name, less one
    std::string name;   // at most kMaxDpcmNameBytes, any bytes
    std::vector<uint8_t> bytes;

    bool operator==(const DpcmSample&) const = default;
};

struct FdsPart {
    uint8_t wave[kFdsWaveBytes] = {};  // each 0..63
    uint8_t mod[kFdsModBytes] = {};    // each 0..7
    int32_t modSpeed = 0;
    int32_t modDepth = 0;
    int32_t modDelay = 0;

    bool operator==(const FdsPart&) const = default;
};

struct N163Part {
    int32_t waveSize = 0;        // a multiple of 4 from 4 to 240
    int32_t wavePosition = 0;    // where the tracker puts the wave in the chip's RAM, in samples
    int32_t waveCount = 0;       // 1..64
    std::vector<uint8_t> waves;  // waveCount × waveSize samples, each 0..15
    // From 2.5 (and in a module's records from INSTRUMENTS 8): the tracker
    // finds the wave a place in RAM itself and wavePosition says nothing.
    bool autoWavePosition = false;

    bool operator==(const N163Part&) const = default;
};

struct Vrc7Part {
    int32_t patch = 0;  // 0..kVrc7MaxPatch
    std::array<uint8_t, kVrc7CustomBytes> custom = kVrc7DefaultCustom;

    bool operator==(const Vrc7Part&) const = default;
};

struct Instrument {
    int version = kWrittenVersion;
    int type = kType2A03;  // or kTypeVrc6, kTypeVrc7, kTypeFds, kTypeN163, kTypeS5b; a file's type 0 reads as 2A03
    std::string name;      // at most kMaxNameBytes
    // A 5B or VRC7 file that stops right after its name, as one tracker saves
    // every 5B instrument (and an early one would have saved a VRC7 one): read
    // as a new instrument of the type, all sequences off, a VRC7 one's patch
    // the custom one with its default bytes.
    bool nameOnly = false;
    // An FDS instrument's volume, arpeggio and pitch are the first three,
    // its volume items 0..31 (doubled from a file before 2.3).
    Sequence sequences[kSequenceCount];
    FdsPart fds;                    // of an FDS instrument
    N163Part n163;                  // of an N163 instrument
    Vrc7Part vrc7;                  // of a VRC7 instrument
    std::vector<DpcmKey> dpcmKeys;  // of a 2A03 instrument, in the file's order
    std::vector<DpcmSample> dpcmSamples;

    bool operator==(const Instrument&) const = default;
};

// Whether an N163 instrument's waves are ones Plinka can hold: a size that
// is a multiple of 4 from 4 to 240, a count from 1 to 64. Else false with
// one line in error. A tracker module's reader asks the same.
bool validN163Waves(int32_t waveSize, int32_t waveCount, std::string& error);

// Reads a whole file from memory. On failure answers false with a one-line
// reason in error (without a file name); instrument is then unspecified. N163
// waves that are not valid (above) are such a failure, and so is a VRC7 patch
// outside 0..15. A 2.5 file is a 2.4 one but for an N163 instrument, which
// may hold the auto wave position flag after its position: whether it does
// is told by the file's length.
bool read(const unsigned char* data, size_t size, Instrument& instrument, std::string& error);

// A version 2.4 file of the instrument's type (whatever version it was read
// from), a 2A03 one with its DPCM keys and samples as given, an FDS one with
// its part (a sequence that is not enabled goes out as 0 items, no loop, no
// release, setting 0), an N163 one with its waves and position (2.4 has no
// place for the auto wave position flag: it is not written), a VRC7 one with
// its patch and custom bytes and no sequences (VRC6 and 5B ones have none;
// nameOnly is not written: the sequences, or the patch, always are). Every
// sequence is written, sequences past the fifth are not; names are cut to
// 128 bytes, sample names to 256.
std::vector<unsigned char> write(const Instrument& instrument);

}  // namespace fti
