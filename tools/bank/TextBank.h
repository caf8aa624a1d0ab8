// The text bank: the whole state the instrument's chunk holds (every program,
// the MIDI channels' programs, the clock standard and the gain) as a text file
// a musician edits. The format is described in README-text-bank.md.
//
// Conversions to and from chunk bytes go through the instrument's own chunk
// code, so a text bank means exactly what the instrument would load.
#pragma once

#include "engine/Program.h"
#include "engine/SampleBank.h"
#include "instrument/BankText.h"
#include "instrument/Chunk.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace textbank {

// What one chunk holds. Large (it carries the compiled envelopes of every
// program too): keep it on the heap.
struct State {
    ProgramBank programs;
    chunk::Settings settings;
    SampleBank samples;
};

// A new instance's state: the default bank, every channel on program 1, NTSC, gain 100.
void resetToDefault(State& state);
std::unique_ptr<State> makeDefault();

std::vector<unsigned char> toChunk(const State& state);
// Loads chunk bytes over state as it is (reset it first for a file's meaning).
void loadChunk(const unsigned char* data, size_t size, State& state);
// Whether bytes begin with the header cell and end with the end cell, as every
// chunk the instrument writes does. The instrument loads any bytes; these tell
// a damaged chunk or another plug-in's from its own.
bool startsLikeAChunk(const unsigned char* data, size_t size);
bool endsLikeAChunk(const unsigned char* data, size_t size);
// The programs a text bank leaves out, in order: past the factory slots and
// as the default bank has them. Instruments brought into a bank fill these.
std::vector<int> freePrograms(const State& state);

// Whether two states would write the same chunk.
bool sameContent(const State& a, const State& b);

// The names the text and the messages use, in EnvelopeKind order.
using banktext::kEnvelopeKindName;
inline constexpr const char* kEnvelopeKey[kEnvelopeKindCount] = {"volume", "arp", "pitch", "hi-pitch", "duty"};
inline constexpr const char* kKeyMapKey = "keys";

// The line each envelope text (and key map) of a parsed file stood on; 0 for
// texts the file did not mention.
struct SourceLines {
    int envelope[kProgramCount][kEnvelopeKindCount] = {};
    int keys[kProgramCount] = {};
    int wave[kProgramCount] = {};  // the first of its wave and mod keys
};

// Reads a text bank over state (reset it first: what the text leaves out keeps
// the value state has). On failure answers false and appends to errors one
// line per problem, "fileName:line: message"; state is then partly loaded.
bool parse(std::string_view text, const std::string& fileName, State& state, std::vector<std::string>& errors,
           SourceLines* lines = nullptr);

struct WriteOptions {
    bool allPrograms = false;  // otherwise only the factory slots and programs that differ from the default bank
};
std::string write(const State& state, const WriteOptions& options = {});

// A value in the form the text uses for values that need quoting: in double
// quotes, with \\, \" and \xHH for control bytes and bytes from 0x80 on.
using banktext::quoted;

// Every envelope text that the instrument's compiler rejects, each compiled on
// its own, in bank order; after each program's five, its key map, compiled
// against the bank's samples. Both are kept as typed, as the instrument keeps
// them (a key map may name a sample the song gets later).
inline constexpr int kKeyMapKind = kEnvelopeKindCount;  // an EnvelopeError's kind for the key map
inline constexpr int kWaveKind = kEnvelopeKindCount + 1;  // and for the wave text
struct EnvelopeError {
    int program;  // 0-based
    int kind;     // an EnvelopeKind, kKeyMapKind or kWaveKind
    const char* message;  // the compiler's own
};
std::vector<EnvelopeError> checkEnvelopes(const State& state);
// "program 12 \"Lead\", Arp: Error: ..." (numbered from 1 as the instrument
// shows them; "Keys" for a key map).
std::string describe(const State& state, const EnvelopeError& error);

}  // namespace textbank
