// A tracker instrument (.fti) as a Plinka program and back. The five
// sequences become the five envelope texts, loop and release points the "|"
// and "/" markers. What cannot be carried over exactly is made as close as
// the envelopes allow and described in one note per case, each starting with
// the sequence's envelope name ("Arp: ...").
#pragma once

#include "FtiFile.h"
#include "engine/Program.h"

#include <string>
#include <vector>

namespace fticonversion {

// The channel a tracker instrument plays when none is asked for, in a program
// that plays `current` (any value): a 2A03 instrument keeps a channel type
// (pulse for none), a VRC6 instrument keeps a VRC6 channel (VRC6 Pulse for
// any other).
int32_t channelFor(const fti::Instrument& instrument, int32_t current);

// Sets the program's name, channel (a ChannelType), multi (off) and texts;
// its compiled envelopes are left as they were. The Duty values a channel
// takes (0..3, 0..7 for the VRC6) and the saw's rates 0..63 from the
// tracker's volume decide what is carried over exactly.
void toProgram(const fti::Instrument& instrument, int32_t channelType, Program& program,
               std::vector<std::string>& notes);

// The program's texts as a version 2.4 instrument, a VRC6 one for the VRC6
// channels. Fails with the compiler's message, prefixed by the envelope's
// name, on a text that does not compile.
bool fromProgram(const Program& program, fti::Instrument& instrument, std::vector<std::string>& notes,
                 std::string& error);

}  // namespace fticonversion
