// The delta-modulation part of a voice's frame: a voice that plays a Sample
// program looks up its key (moved by the Arp) in the program's key map and,
// when the entry differs from the one playing, loads the entry's sample into
// its chip's sample memory and starts the channel with it. The channel has
// no volume: velocity, the Volume level and the controllers leave it as it
// is; a Volume of 0 ends the note, as does the end of a one-shot sample.
#pragma once

#include "ApuFrame.h"
#include "BankSnapshot.h"
#include "FrameInputs.h"
#include "KeyMap.h"
#include "SampleBank.h"
#include "Voice.h"
#include "Vrc6Frame.h"

#include <cstdint>

constexpr int kSampleEnableBit = 0x10;  // $4015 bit 4
constexpr int kSampleLoopBit = 0x40;    // $4010 bit 6

// Writes one frame of a Sample voice from write_time on, after its envelopes
// have stepped. Ends the note where the rules say so; the caller still ends
// the frame.
template <class Chip> void writeSampleFrame(Voice& voice, Chip& chip, const FrameInputs& in)
{
    // A Sample program without a key map plays as it did before samples
    // existed: silently.
    if (in.program.keyMap.entryCount == 0) {
        writeNoChannelFrame(voice, chip, in);
        return;
    }
    const ProgramSound& program = in.program;
    const int32_t key = in.note + in.arp;
    auto write = [&chip](unsigned address, int data) {
        chip.write_time += 4;
        chip.chip.write_register(chip.write_time, address, data);
    };
    leaveOtherExpansions(voice, chip, SoundChip::Apu);  // once, before any write of this one
    voice.lastPeriodHigh = -1;  // $4015 leaves the pulse's length counter at 0
    const auto stop = [&] {
        write(0x4015, 0x00);
        voice.sampleStarted = false;
        voice.sampleEntry = KeyEntry{};
    };
    // A release that played out has freed the voice already.
    if (voice.isFree() || voice.volumeValue == 0) {
        stop();
        voice.note = -1;
        return;
    }
    KeyEntry entry = program.keyMap.at(key);
    const SampleData* sample = entry.sounds() && program.samples ? &program.samples[entry.sample] : nullptr;
    if (!sample || sample->length <= 0) {
        if (voice.sampleStarted)
            stop();  // the Arp moved onto a silent key: the voice waits, silent
        return;
    }
    if (voice.sampleStarted && entry == voice.sampleEntry) {
        if (!chip.sample_playing()) {
            stop();  // a one-shot has played out
            voice.note = -1;
        }
        return;
    }
    // $4015 off and on again restarts the channel from $4012 and $4013; the
    // byte it holds and the bits in its shifter play first, as on the console.
    write(0x4015, 0x00);
    chip.load_sample(sample->bytes, sample->length);
    // $4010: IL-- RRRR  interrupt off, loop, rate index
    write(0x4010, (entry.loop ? kSampleLoopBit : 0) | entry.rate);
    // $4011: -DDD DDDD  the level to start from: the key's, else the one its
    // encoding started from; a sample without either plays on from the level
    // the channel is at.
    if (const int32_t level = entry.startLevel != kNoStartLevel ? entry.startLevel : sample->startLevel;
        level != kNoStartLevel)
        write(0x4011, level);
    write(0x4012, 0x00);                  // $4012: the sample memory at $C000
    write(0x4013, sampleLengthRegister(sample->length));
    write(0x4015, kSampleEnableBit);
    voice.sampleStarted = true;
    voice.sampleEntry = entry;
}
