// A sample file as the user brings it, to the bytes a bank sample holds: a
// .dmc file as it is, a WAV file encoded at a rate index. One reader for the
// editor's drop and for plinka-bank, so both take the same files alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace samplefile {

enum class Kind { None, Dmc, Wav };

// The rate WAV files are encoded at when the user names none: the fastest,
// the clearest sound (a sample then lasts up to about a second).
constexpr int kDefaultRate = 15;
// Larger WAV files are refused before they are read: minutes of sound, of
// which a sample keeps seconds at most (and only those are decoded).
constexpr uintmax_t kMaxFileBytes = uintmax_t{64} << 20;
// A .dmc file holds a sample as it is, at most 4081 bytes; one far larger is
// refused unread (no sample was ever that long), one a little larger is cut.
constexpr uintmax_t kMaxDmcFileBytes = uintmax_t{1} << 20;

// The largest file of a kind read at all (0 for none).
uintmax_t maxFileBytes(Kind kind);

// By the file name's extension, in any case.
Kind kindOf(const std::string& fileName);

// The level a sample read from a file of that kind starts from, which the
// bank keeps with it: a WAV file's encoding starts at level 64, so it must
// play from there; a .dmc file says nothing of it (kNoStartLevel).
int32_t startLevelOf(Kind kind);

// The sample's bytes, of a length the console plays, from a whole file's
// bytes. A WAV file is mixed to mono and encoded at rateIndex (0..15) from
// level 64. note says what was changed on the way (a sample cut or padded),
// else it is emptied. On failure answers false with a one-line reason in
// error (without a file name).
bool read(Kind kind, const unsigned char* data, size_t size, int rateIndex, std::vector<uint8_t>& bytes,
          std::string& note, std::string& error);

}  // namespace samplefile
