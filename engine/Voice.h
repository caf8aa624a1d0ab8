// The note state of one voice. Voice i plays through voice chip i, or in
// console mode its console channel of the shared chip.
#pragma once

#include "ChannelKinds.h"
#include "KeyMap.h"
#include "Program.h"

#include <cstdint>
#include <limits>
#include <optional>

constexpr int kVoiceCount = 8;
constexpr int32_t kMaxNoteFrames = 1 << 20;

// The power of two behind a voice's last period: a held note asks for the
// same one frame after frame, and working it out costs more than the rest.
struct PitchPower {
    float exponent = std::numeric_limits<float>::quiet_NaN();  // none yet: a NaN equals nothing
    double power = 0.0;
};

struct Voice {
    int32_t channel = 0;                        // MIDI channel that started the note
    int32_t channelType = 0;                    // of the program chosen when the note started
    int32_t key = 0;                            // note number as received
    int32_t noteId = -1;                        // the host's id for the note (CLAP), -1 for none
    int32_t consoleSlot = -1;                   // console mode: the console channel (ConsoleSlot) it plays
    int32_t note = -1;                          // note number sounded (60 for a Multi program); -1: the voice is free
    int32_t velocity = 0;                       // 0..100
    int32_t program = 0;                        // whose five envelopes it steps, looked up at every frame
    int32_t position[kEnvelopeKindCount] = {};  // next step of each envelope
    int32_t arpValue = 0;
    int32_t volumeValue = 0;
    int32_t dutyValue = 0;
    int32_t pitchOffset = 0;      // accumulated Pitch and Hi-Pitch steps, in period units
    int32_t lastPeriodHigh = -1;  // bits 8..10 of the last pulse period written to $4003 or $5003 (the 5B:
                                  // the envelope shape written to $0D); -1: none
    int32_t vibratoFrame = 0;     // frames since the note started, for the wheel's vibrato
    int32_t noteFrames = 0;       // frames since the note started (not counting legato), up to kMaxNoteFrames
    bool releasing = false;       // the key is up and the envelopes play their release parts
    bool sustained = false;       // the key is up but the sustain pedal holds the note
    bool playingOut = false;      // the key is up but its one-shot sample plays to its end
    bool sampleStarted = false;   // a Sample voice has started its channel with sampleEntry
    bool mono = false;            // its program plays one note on its channel (MonoOn or MonoLegato)
    // A glide from another note's pitch: glideFrom semitones off the note at
    // its start, evenly to none over glideMs; glideFrames counts its frames.
    float glideFrom = 0.0f;
    int32_t glideMs = 0;
    int32_t glideFrames = 0;
    // Envelope steps owed by the song's time (a program with tempo steps);
    // negative: the note's first frame, which takes its first step.
    double tempoPhase = -1.0;
    // The host's note expressions for this note alone (CLAP, VST3).
    float expressionBend = 0.0f;  // semitones
    float expressionGain = 1.0f;  // amplitude, at most 1 reaching the chip
    int32_t expressionTimbre = -1;  // 0..127 in place of the channel's controller 74; -1: the channel's
    KeyEntry sampleEntry;         // the key map entry its channel plays
    uint64_t releaseOrder = 0;    // when it began releasing, or the pedal began holding it: lower is longer ago
    uint64_t startOrder = 0;      // when its note began (not counting legato): lower is longer ago
    PitchPower pitchPower;
    // The chip whose channels its last frame wrote, which a frame of another
    // chip's kind silences once; none where its chip may hold anything (a new
    // voice, a change of mode), and the next frame silences every other chip.
    std::optional<SoundChip> lastChip;

    bool isFree() const { return note < 0; }

    // The glide's offset from the note, in semitones, at the next frame.
    float glideOffset(int32_t frameRate) const
    {
        if (glideFrom == 0.0f || glideMs <= 0 || frameRate <= 0)
            return 0.0f;
        const double done = static_cast<double>(glideFrames) * 1000.0 / (static_cast<double>(frameRate) * glideMs);
        return done >= 1.0 ? 0.0f : static_cast<float>(glideFrom * (1.0 - done));
    }
    // Where the note sounds now, glide included, Arp and bends not: where a
    // glide to the next note starts. NaN for a free voice.
    float pitch(int32_t frameRate) const
    {
        return isFree() ? std::numeric_limits<float>::quiet_NaN() : static_cast<float>(note) + glideOffset(frameRate);
    }
};
