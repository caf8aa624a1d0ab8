// Tracker modules (.ftm, and the .0cc and .dnm files of the trackers that
// grew from the same one; the content, not the extension, tells them apart):
// a signature, a file version (0x0200 to 0x0460 are read) and blocks of
// 16-byte name, version and size, up to "END". Only what instruments need is
// read: INSTRUMENTS, the sequence pools of the 2A03 and the VRC6 (every block
// version, the old (value, length) pairs included), of the N163 and of the
// 5B, DPCM SAMPLES and PARAMS_EMU (a set of patches that replaces the VRC7's
// built-in one). From PARAMS, HEADER and PATTERNS it counts, for each
// instrument, the notes the songs give it on each channel (PATTERNS' block
// version also says whether FDS fixed notes are two octaves low); the
// pattern layout is read only when the whole block parses to its end with
// every value in range, else the counts stay empty with one warning. Every
// other block is skipped by its size.
//
// A 2A03, VRC6, VRC7, FDS, N163 or 5B instrument comes out as the same
// fti::Instrument an .fti file gives, its sequences by value (an FDS
// instrument's its own, its old 16-step volumes doubled), its DPCM samples
// beside its keys, its waves with it, so one conversion serves both. A VRC7
// instrument naming a built-in patch in a module whose PARAMS_EMU replaces
// them comes out as the custom patch of the module's bytes for it, with one
// note for the module.
//
// A module's text export (ModuleText.h) is read too, told by its content, and
// comes out as the same Module.
#pragma once

#include "FtiFile.h"
#include "engine/ChannelKinds.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ftm {

constexpr uint32_t kMinVersion = 0x0200;  // older ones are not block based
constexpr uint32_t kMaxVersion = 0x0460;
constexpr int32_t kInstrumentSlots = 64;
constexpr int32_t kMaxNameBytes = 128;
constexpr int32_t kMaxSampleNameBytes = 255;
constexpr int32_t kSampleSlots = 64;
// What any tracker loads as one DPCM sample; the console plays 4081 bytes of
// it, and the conversion cuts it there with a note. A larger one is damage.
constexpr int32_t kMaxSampleBytes = 0x7FFF;
// Larger files are refused unread: 64 instruments, 1280 sequences of 255
// items and 64 of the largest samples take less than 3 MB.
constexpr size_t kMaxFileBytes = size_t{8} << 20;

// How often a module's songs play an instrument on each kind of channel, by
// ChannelType: the cells with a note (C to B, a noise pitch) and its number,
// or a note after it in the same pattern and channel. Counted on the 2A03's
// channels, the VRC6's and the MMC5's pulses; a module whose patterns are not
// read has all zero.
using ChannelPlays = std::array<int32_t, kChannelTypeCount>;

// Instrument types as the file numbers them.
enum class Type { None, Chip2A03, Vrc6, Vrc7, Fds, N163, S5B, Sid };
const char* typeName(Type type);

struct Instrument {
    int32_t slot = 0;  // 0..63, as the tracker shows it in hex
    Type type = Type::None;
    std::string name;
    // Of a 2A03, VRC6, VRC7, FDS, N163 or 5B instrument whose problem is empty: what it plays,
    // its DPCM samples those its keys name (index = the module's slot).
    fti::Instrument instrument;
    // One line on why this instrument alone cannot be read (a sequence
    // index out of range); the others are not affected.
    std::string problem;
    ChannelPlays played{};

    bool readable() const
    {
        return (type == Type::Chip2A03 || type == Type::Vrc6 || type == Type::Vrc7 || type == Type::Fds ||
                type == Type::N163 || type == Type::S5B) &&
               problem.empty();
    }
};

struct Module {
    uint32_t version = 0;
    std::vector<Instrument> instruments;  // in slot order
    std::vector<std::string> warnings;    // one line each: what was read but is not quite right
    std::vector<std::string> notes;       // one line each: what the module changes of its instruments
};

// Whether bytes start as a module does: with a binary module's signature, or
// as the trackers' text export of one (ModuleText.h), whatever the file's name.
bool looksLikeModule(const unsigned char* data, size_t size);

// Reads a whole file from memory, a binary module or a text export. On failure answers false with a one-line
// reason in error (without a file name); module is then unspecified.
bool read(const unsigned char* data, size_t size, Module& module, std::string& error);

}  // namespace ftm
