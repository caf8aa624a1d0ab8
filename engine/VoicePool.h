// The eight voices and the held keys: what note on and note off do to them.
// Every channel plays its own current program; all channels share the voices.
#pragma once

#include "BankSnapshot.h"
#include "ChannelControllers.h"
#include "NoteMatch.h"
#include "NotePeriod.h"
#include "Voice.h"

#include <cstdint>

// What the voice rules read of the instrument's settings, fixed for a block.
struct VoiceContext {
    const BankSnapshot& bank;
    const int32_t* channelProgram;                    // 16 entries, each 0..127
    int32_t polyphony;                                // 1..8
    const ChannelControllers* controllers = nullptr;  // 16 entries, for the pedals; null: no pedal
    // Console mode: a note takes a console channel (ConsoleSlot) of its
    // program's type, a voice plays it, and the polyphony does not count.
    bool console = false;
    int32_t n163Channels = 8;  // the console's 163 channels on: its notes take the first ones
    int32_t frameRate = kNtscFrameRate;  // the chips' frames a second, which glides count in
};

struct VoicePool {
    Voice voices[kVoiceCount];
    uint8_t keyDown[128] = {};  // one table for all channels
    int32_t keyNoteId[128] = {};  // while a key is down: the id its note-on carried (-1: none)
    // Each channel's keys for its mono programs: when each went down (0: it
    // is up), whether only the pedal holds it, and its velocity.
    uint64_t heldSince[kMidiChannelCount][128] = {};
    bool pedalHeld[kMidiChannelCount][128] = {};
    uint8_t heldVelocity[kMidiChannelCount][128] = {};
    uint64_t pressCount = 0;
    // The note each channel began last, where its next note glides from.
    float lastPitch[kMidiChannelCount] = {};
    bool hasLastPitch[kMidiChannelCount] = {};

    // A key went down: a key that a Sample program's key map leaves out takes
    // no voice (a drum kit's empty keys never cut a sounding drum); the same
    // channel and note restarts its voice, else the
    // first free voice below the polyphony takes it, else the voice that began
    // its release longest ago, else the pedal-held voice whose key went up
    // longest ago, else it is dropped: a key held down keeps its voice.
    // The voice keeps the host's id for the note (-1 for none), which a
    // NoteMatch may name.
    void noteOn(const VoiceContext& context, int32_t channel, int32_t key, int32_t velocity, int32_t noteId = -1);
    // Console mode's choice: the slot of the program's type already sounding
    // the channel's key, else a free one, else the one whose note began
    // longest ago; -1 for a type no console channel has.
    int chooseConsoleSlot(const VoiceContext& context, int32_t channel, int32_t key) const;
    // The voice to play a console slot: the one playing it, else the free
    // voice of the slot's number, else the first free one, else the one
    // whose note began longest ago, whose channel then falls silent.
    int consoleVoiceFor(int slot) const;
    // The busy voice playing a console slot, -1 for none.
    int voiceOnSlot(int slot) const;
    // A key went up (key -1: all notes off, every channel, release parts cut):
    // its voices play their release parts, or stop at once when their program
    // has none; while the channel's pedal is down they are held instead.
    void noteOff(const VoiceContext& context, int32_t channel, int32_t key);
    // The notes the match names go up, each as its own key's note-off would
    // end it; one key of one channel with no id is exactly noteOff. Held
    // keys that sound nothing yet (mono) are matched by key and id alone:
    // the keys are one set for all channels.
    void noteOffMatching(const VoiceContext& context, const NoteMatch& match);
    // The notes the match names stop at once, without their release parts;
    // one channel with no id is exactly chokeKey.
    void chokeMatching(const NoteMatch& match);
    // A note expression for the sounding notes `match` names, value already in range.
    void expressMatching(const NoteMatch& match, int32_t kind, float value);
    // The channel's pedal went up: the notes it held are released.
    void pedalUp(const VoiceContext& context, int32_t channel);
    // Every voice of the channel stops at once, release parts cut.
    void cutChannel(int32_t channel);
    // The channel's voices of the key (-1: every key) stop at once, without
    // their release parts; a key that was down counts as up.
    void chokeKey(int32_t channel, int32_t key);

    // Whether the channel's program for the key is a Sample program whose key
    // map has entries, but none for the key, and whose Arp cannot move it.
    bool keyIsSilent(const VoiceContext& context, int32_t channel, int32_t key) const;
    // Points a voice at a key of a channel; a negative velocity re-points a
    // sounding voice without restarting its envelopes (legato).
    void startVoice(const VoiceContext& context, int index, int32_t key, int32_t channel, int32_t velocity);
    // The busy voice a mono program plays on the channel, -1 for none.
    int monoVoiceOn(int32_t channel) const;
    // The channel's key that went down last of those still held (by the key
    // or the pedal), -1 for none.
    int32_t lastHeldKey(int32_t channel) const;
    // A key of the channel is up: it is forgotten, or, while the pedal is
    // down, held by the pedal alone.
    void forgetKey(const VoiceContext& context, int32_t channel, int32_t key);
    // The mono voice moves to the channel's most recent held key, legato or
    // restarted as its program says, gliding; with none held it is let go.
    void returnToHeldKey(const VoiceContext& context, int index);
    // A voice has begun its note (restarted or legato): it glides from the
    // pitch given (NaN: from the channel's last note), and the channel's
    // next note glides from it.
    void beginGlide(const VoiceContext& context, Voice& voice, float from);
    // Releases (or, under the pedal, holds) every voice of the channel that
    // sounds the key, except the voice numbered skip.
    void releaseKey(const VoiceContext& context, int32_t key, int32_t channel, int skip = -1);
    // A voice's key went up: it releases, or is held while its channel's pedal is down.
    void letGo(const VoiceContext& context, Voice& voice);
    // The keys held down that the match names count as up.
    void liftMatchingKeys(const NoteMatch& match);
    // The highest key held down, -1 for none: where a mono voice goes back to.
    int32_t highestKeyDown() const;
    // Starts a voice's release parts, or frees it when its program has none.
    void releaseVoice(const VoiceContext& context, Voice& voice);
    // Of the voices below the polyphony in the given state (releasing or
    // sustained), the one whose releaseOrder is lowest; -1 when there is none.
    int longestLetGo(int32_t polyphony, bool Voice::*state) const;

    uint64_t releaseCount = 0;  // releases and pedal holds begun so far, to order them
    uint64_t startCount = 0;    // notes begun so far
};
