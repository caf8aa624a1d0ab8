// The eight voices and the held keys: what note on and note off do to them.
// Every channel plays its own current program; all channels share the voices.
#pragma once

#include "BankSnapshot.h"
#include "Voice.h"

#include <cstdint>

// What the voice rules read of the instrument's settings, fixed for a block.
struct VoiceContext {
    const BankSnapshot& bank;
    const int32_t* channelProgram;  // 16 entries, each 0..127
    int32_t polyphony;              // 1..8
};

struct VoicePool {
    Voice voices[kVoiceCount];
    uint8_t keyDown[128] = {};  // one table for all channels

    // A key went down: the same channel and note restarts its voice, else the
    // first free voice below the polyphony takes it, else it is dropped.
    void noteOn(const VoiceContext& context, int32_t channel, int32_t key, int32_t velocity);
    // A key went up (key -1: all notes off, every channel).
    void noteOff(const VoiceContext& context, int32_t channel, int32_t key);

    // Points a voice at a key of a channel; a negative velocity re-points a
    // sounding voice without restarting its envelopes (legato).
    void startVoice(const VoiceContext& context, int index, int32_t key, int32_t channel, int32_t velocity);
    // Frees every voice of the channel that sounds the key.
    void releaseKey(int32_t key, int32_t channel);
};
