// A tracker instrument (.fti) as a Plinka program and back. The five
// sequences become the five envelope texts, loop and release points the "|"
// and "/" markers. What cannot be carried over exactly is made as close as
// the envelopes allow and described in one note per case, each starting with
// the sequence's envelope name ("Arp: ...").
#pragma once

#include "FtiFile.h"
#include "engine/Program.h"
#include "engine/SampleBank.h"

#include <array>
#include <string>
#include <vector>

namespace fticonversion {

// The channel a tracker instrument plays when none is asked for: tracker
// instruments do not store theirs, so it is told from what the instrument
// says. The rule, in order (the manual gives it too):
//   1. a VRC6 instrument plays VRC6 Pulse, a 5B instrument 5B, an FDS one
//      FDS, an N163 one N163, a VRC7 one VRC7;
//   2. a 2A03 instrument with DPCM keys plays Sample;
//   3. a 2A03 instrument plays Noise when its name holds a word of the noise's
//      drums ("noise", "hat", "snare", "cymbal", ... as a word of its own), or
//      when its Arp is fixed and every note lies below the pulse's lowest
//      note (the tracker's A-1), where only the noise sounds;
//   4. any other plays Pulse.
// A Duty sequence of noise modes alone decides nothing: 0 and 1 are the
// pulse's 12.5 % and 25 % as well. reason says why, for the import's note.
struct ChannelChoice {
    int32_t channelType;
    std::string reason;
    bool fromSongs = false;  // told by where a module's songs play it
};
ChannelChoice chooseChannel(const fti::Instrument& instrument);

// The channel a module's instrument plays, from how often its songs play it
// on each channel (played, by ChannelType; ModuleFile.h counts it): the one
// it is played on most, ties to the first in the tracker's channel order. A
// 2A03 instrument takes that channel (Sample on the DPCM channel, whatever
// its keys), a VRC6 instrument VRC6 Saw on the saw and VRC6 Pulse on any
// other. One played nowhere, or of another chip, is chooseChannel's. The
// reason lists the counts ("played on noise 40 times, pulse 2 times").
ChannelChoice chooseChannel(const fti::Instrument& instrument, const std::array<int32_t, kChannelTypeCount>& played);

// The channel a tracker instrument plays in a program that plays `current`
// (any value): a 2A03 instrument with DPCM keys plays Sample, another 2A03
// instrument keeps a channel type that plays no wave (chooseChannel's for
// none or FDS or N163; MMC5 Pulse as well as the 2A03's), a VRC6 instrument
// keeps a VRC6 channel (VRC6 Pulse for any other), a 5B instrument plays 5B,
// an FDS one FDS, an N163 one N163, a VRC7 one VRC7.
int32_t channelFor(const fti::Instrument& instrument, int32_t current);

// Sets the program's name, channel (a ChannelType), multi (off) and texts,
// the wave text included (blank but for FDS, N163 and VRC7 programs); its compiled
// envelopes are left as they were. An FDS instrument's volume (0..31) is the
// FDS Volume as it is (Plinka's goes to 32); its wave, modulation table,
// speed (mod-rate), depth and delay make the wave text (a table of codes 0,
// which bends nothing, as no "mod"). An N163 instrument's waves make the
// wave text, as many whole ones as it holds (a note says how many are left
// out), its wave sequence the Duty; its wave position is left out with a
// note, as Plinka places each wave itself (no note when the tracker's auto
// wave position is on: the tracker then places it itself as well). The Duty
// values a channel takes (0..3, 0..7 for the VRC6, the 5B's modes 0..4) and
// the saw's rates 0..63 from the tracker's volume decide what is carried over
// exactly. A 5B instrument's duty bit field becomes the modes: tone and noise
// 2, tone 0, noise 1, the envelope bit 3 (the saw buzz), nothing on 0 (the
// tone, with a note: no Duty step is silent); the noise periods it fixes are
// left out with a note. A VRC7 instrument's patch and custom bytes make the wave text
// (sustain off: the file has no place for it; the custom bytes of a built-in
// patch only when they are not a new instrument's); having no sequences, it
// leaves the envelopes as a new program has them. Another instrument on a
// VRC7 program plays patch 1, a VRC7 one elsewhere loses its patch, each
// with a note. A 5B or VRC7 file that stops after its name gives the
// defaults and a note. DPCM keys and
// samples are left out with a note: there is no bank to put samples in.
void toProgram(const fti::Instrument& instrument, int32_t channelType, Program& program,
               std::vector<std::string>& notes);

// As above; a Sample program also takes the DPCM key map as its key map text
// (the tracker's note n is key n + 12, as for fixed Arp notes) and its samples
// go into the bank: an identical one of the same name is reused, a different
// one gets a numbered name, a length the console cannot play is padded (or
// cut at 4081 bytes). Fails, changing nothing, with one line when the samples
// would not fit the bank.
bool toProgram(const fti::Instrument& instrument, int32_t channelType, Program& program, SampleBank& samples,
               std::vector<std::string>& notes, std::string& error);

// The program's texts as a version 2.4 instrument (not 2.5, whose auto wave
// position would say how Plinka places its waves: most trackers refuse 2.5,
// and position 0, where a lone wave starts, plays the same), a VRC6 one for
// the VRC6 channels, a 5B one for the 5B (its modes as the bit field: 0 tone,
// 1 noise, 2 both, 3 and 4 the envelope bit with a note, noise period 0), an
// FDS one for FDS (Volume 32 as 31 with a note; Hi-Pitch and Duty, which it
// has no place for, left out with a note; mod-delay cut at 255 frames), an N163 one
// for N163 (its waves, at most 64, wave position 0; Duty steps past the last
// wave written as the last), a VRC7 one for VRC7 (its patch and the custom
// bytes, the text's or a new instrument's; an envelope that is not a new
// program's and sustain on left out with a note each), a 2A03 one for the
// others, MMC5 Pulse included. Fails with the compiler's message, prefixed by
// the envelope's name ("Wave" for the wave text, "Patch" for a VRC7 one's),
// on a text that does not compile.
bool fromProgram(const Program& program, fti::Instrument& instrument, std::vector<std::string>& notes,
                 std::string& error);

// As above; a Sample program also writes its key map, as compiled against the
// bank's samples, and the samples it plays. Keys outside the tracker's notes
// are left out with a note ("Keys: ..."); a key map that does not compile
// fails with its message.
bool fromProgram(const Program& program, const SampleBank& samples, fti::Instrument& instrument,
                 std::vector<std::string>& notes, std::string& error);

}  // namespace fticonversion
