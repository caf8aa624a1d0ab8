// The state chunk: the bank, the channel programs, the clock standard and the
// gain as a sequence of little-endian single-precision cells (tags, numbers,
// and strings of one cell per character). Songs saved by hosts hold these
// bytes, so every tag value and the writing order are fixed forever.
//
// Both directions work on the data they are given and on nothing else, so a
// chunk can be loaded into a copy of the bank as well as into the live one.
#pragma once

#include "../engine/Program.h"
#include "../engine/SampleBank.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace chunk {

// The tags, as the float values they are stored as.
constexpr float tagHeader = 137699520.0f;
constexpr float tagChannelPrograms = 150251600.0f;
constexpr float tagProgram = 150202704.0f;
constexpr float tagChannelType = 146025680.0f;
constexpr float tagMulti = 143910608.0f;
constexpr float tagName = 145973456.0f;
constexpr float tagVolume = 160688960.0f;  // then Arp, Pitch, Hi-Pitch, Duty: the envelope kinds in order
constexpr float tagArp = 169124032.0f;
constexpr float tagPitch = 141895744.0f;
constexpr float tagHiPitch = 177480768.0f;
constexpr float tagDuty = 188031552.0f;
constexpr float tagNtsc = 175532480.0f;
constexpr float tagGain = 164782272.0f;
constexpr float tagEnd = 145991616.0f;
// Cells added later stand after all of the above, just before the end tag, so
// an older reader skips them cell by cell: each payload is a small number,
// which no tag ever equals.
constexpr float tagMidiControllers = 181708224.0f;
// A program's key map: the program number, then the text as a string. Only
// programs with a key map have the cells.
constexpr float tagKeyMap = 139764096.0f;
// One sample of the bank, in the bank's order: its name as a string, its
// length, then its bytes three to a cell (the first in the low bits), which
// keeps every cell below 2^24 and so below every tag. Only banks with samples
// have the cells.
constexpr float tagSample = 184549376.0f;
constexpr int kSampleBytesPerCell = 3;
// The level a sample's encoding started from (0..127), right after the
// sample's bytes; only samples that have one (recordings) have the cell.
constexpr float tagSampleStartLevel = 158334976.0f;
// The console mode, 1..3, after the samples; only a chunk with the mode on
// has the cells, so a song with it off saves the bytes it saved before.
constexpr float tagConsole = 170753088.0f;
// The console's 163 channels, 1..7, after the console mode; only a chunk
// with fewer than the default 8 has the cells.
constexpr float tagN163Channels = 153420864.0f;
// A program's wave text (FDS and N163): the program number, then the text
// as a string, after the key maps' place in the order, the programs with a
// wave text only.
constexpr float tagWave = 186212544.0f;
// How a program is played: the program number, then its mono mode, glide
// (milliseconds) and tempo steps, after the wave texts; only programs with
// one of them on have the cells.
constexpr float tagPlaying = 159383552.0f;
constexpr int kPlayingNumbers = 3;
// MPE, 1 (the lower zone) or 2 (the upper), after the playing cells; only a
// chunk with MPE on has the cells.
constexpr float tagMpe = 176160768.0f;

constexpr float tagEnvelope[kEnvelopeKindCount] = {tagVolume, tagArp, tagPitch, tagHiPitch, tagDuty};

// The largest chunk accepted.
constexpr size_t kMaxBytes = 5242880;
// The largest chunk ever written: 31 cells, 128 program blocks of at most
// 5164, 128 key maps and 128 wave texts of at most 1026, 128 playing cells
// of 5 and 64 samples of at most 1397.
constexpr size_t kMaxWrittenBytes = 4 * (31 + 128 * 5164 + 2 * 128 * 1026 + 128 * 5 + 64 * 1397);
static_assert(kMaxWrittenBytes <= kMaxBytes);

constexpr int32_t kSettingAbsent = -1;

// What the chunk holds besides the bank.
struct Settings {
    int32_t channelProgram[kMidiChannelCount];
    int32_t ntsc;
    int32_t gain;
    // Controller handling, 0 off or 1 on; kSettingAbsent is not written, and
    // is what a chunk from before the setting existed loads as (handling off).
    int32_t midiControllers = kSettingAbsent;
    // Console mode, 0 off .. 3 (a ConsoleMode); other values are written as off.
    int32_t console = 0;
    // The console's 163 channels, 1..8; the default is not written.
    int32_t n163Channels = 8;
    // MPE, an MpeMode; other values are written as off.
    int32_t mpe = 0;
};

// How many bytes write lays down for this state: at most kMaxWrittenBytes,
// and for most banks tens of kilobytes.
size_t writtenBytes(const ProgramBank& programs, const SampleBank* samples, const Settings& settings);
// Writes the whole state into out, which must hold writtenBytes (or
// kMaxWrittenBytes); answers the number of bytes written. Without samples
// (null) none are written.
size_t write(const ProgramBank& programs, const Settings& settings, unsigned char* out);
size_t write(const ProgramBank& programs, const SampleBank* samples, const Settings& settings, unsigned char* out);
// The same bytes in storage of their own size: one allocation, no larger
// than the chunk.
std::vector<unsigned char> write(const ProgramBank& programs, const SampleBank* samples, const Settings& settings);

// Loads a chunk of size bytes over programs and settings. Fields the chunk does
// not mention keep their values, except midiControllers: a saved chunk (one
// with the gain) without it predates the setting and loads it as
// kSettingAbsent, the console mode and MPE, which such a chunk without them
// loads as off, and the key maps and samples: a saved chunk holds all of
// them, so the programs it gives no key map get none and, without sample
// cells, the bank has no samples. A sample whose name, length or bytes are
// unusable is left out. Nothing outside the bank, the samples or the settings
// is ever addressed, whatever the bytes say. Without samples (null) sample
// cells are skipped.
void read(const unsigned char* data, size_t size, ProgramBank& programs, Settings& settings);
void read(const unsigned char* data, size_t size, ProgramBank& programs, SampleBank* samples, Settings& settings);

}  // namespace chunk
