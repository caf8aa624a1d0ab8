// The trackers' text export of a module ("Export text"): lines of words
// separated by spaces, names in double quotes ("" standing for a quote), '#'
// starting a comment. What instruments need is read: EXPANSION and
// N163CHANNELS (checked, nothing else), the four sequence pools (MACRO,
// MACROVRC6, MACRON163, MACROS5B), the DPCM samples (DPCMDEF, then DPCM lines
// of hex bytes), and each instrument's line with the lines that follow it
// (KEYDPCM, FDSWAVE, FDSMOD, FDSMACRO, N163WAVE). The songs' TRACK, COLUMNS,
// PATTERN and ROW lines count where each instrument is played, on the 2A03's
// channels (0 to 4) and, when EXPANSION has the VRC6, the VRC6's (5 to 7); a
// song line that cannot be read drops those counts with one warning and fails
// nothing. Every other line is skipped.
//
// It comes out as the same ftm::Module a binary module of the same instruments
// gives. Where the text differs from the binary: its KEYDPCM sample numbers
// count from 0 (the binary's from 1); it keeps a key's loop offset and an FDS
// instrument's modulation switch, which the binary drops (and Plinka cannot
// play an offset: said in a note; a switched-off modulation comes in as none).
//
// A line that cannot be read fails the whole text with one line naming its
// number. A value out of range in an instrument's own lines leaves that
// instrument alone out (Instrument::problem, naming the line), as the binary
// reader does with a sequence index out of range.
#pragma once

#include "ModuleFile.h"

#include <cstddef>
#include <string>

namespace ftm {

// Whether bytes are a text export: their first line that is not blank (after
// a UTF-8 byte order mark, if any) starts with '#'.
bool isTextExport(const unsigned char* data, size_t size);

// Reads a whole text export from memory, as read() reads a binary module.
bool readText(const unsigned char* data, size_t size, Module& module, std::string& error);

}  // namespace ftm
