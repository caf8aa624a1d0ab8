// Tracker instrument files (.fti) and modules (.ftm, .0cc, .dnm, and their
// text exports whatever their names) dropped on the editor: read whole on the
// user-interface thread, converted as plinka-bank's from-fti and from-module
// convert them (an instrument dropped alone keeps the program's channel where
// it allows; a module's take the channel its songs play them on most, or that
// they say when the songs do not play them), and stored in
// consecutive programs as one edit of the instrument, which compiles the bank
// and publishes it to the audio thread as a typed edit does. What happened is
// told in one status line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class Instrument;

namespace ftidrop {

// What the status line shows in full: a longer problem is cut, ending in "...".
constexpr size_t kMaxStatusBytes = 90;

struct Outcome {
    std::string status;                  // empty when nothing was dropped
    int32_t loaded = 0;                  // instruments stored
    const char* compileError = nullptr;  // the bank's first error after the edit, or null
};

// Puts the tracker instruments among the files at paths (UTF-8) into programs
// first, first + 1, ... as far as the last program; the DPCM samples of
// those that become Sample programs go into the bank. A file that cannot be
// read, is no instrument of a type Plinka reads or brings more samples than
// the bank has room for takes no program and changes nothing.
Outcome load(Instrument& instrument, int32_t first, const std::vector<std::string>& paths);

}  // namespace ftidrop
