// The instrument-wide settings that cross threads. The host's threads and the
// editor change them while the audio thread reads them (and changes the channel
// programs on MIDI program changes), so each is a single atomic value; each is
// independent of the others, so relaxed ordering suffices except for the flag.
#pragma once

#include "CountedSetting.h"
#include "Program.h"

#include <atomic>
#include <cstdint>
#include <initializer_list>

constexpr int32_t kMaxPolyphony = 8;
constexpr int32_t kMaxGain = 200;
// A new instance's gain, in percent: eight full-volume pulses started
// together peak at about 0.93 (a lone one near 0.12), so a chord stays
// unclipped. Songs keep the gain they were saved with, 100 for every song
// from before this default.
constexpr int32_t kDefaultGain = 50;

// The console's 163: how many of its channels are on (its chip's N).
constexpr int32_t kMaxN163Channels = 8;
constexpr int32_t kDefaultN163Channels = 8;

// Console mode, as the setting, the chunk and the text bank store it.
enum ConsoleMode : int32_t {
    ConsoleOff = 0,
    ConsoleNes = 1,  // what switching it on chooses first
    ConsoleFamicom = 2,
    ConsoleUnfiltered = 3,
    kConsoleModeCount
};

// MPE, as the setting, the chunk and the text bank store it: off, or on with
// the lower zone (channel 1 the manager, 2..16 its members) or the upper
// (channel 16 the manager, 1..15 its members).
enum MpeMode : int32_t { MpeOff = 0, MpeLower = 1, MpeUpper = 2, kMpeModeCount };

struct SharedSettings {
    SharedSettings()
    {
        for (CountedSetting<int32_t>& program : channelProgram)
            program.countIn(changes);
        for (CountedSetting<int32_t>* setting :
             {&ntsc, &polyphony, &gain, &midiControllers, &console, &n163Channels, &mpe})
            setting->countIn(changes);
    }
    SharedSettings(const SharedSettings&) = delete;
    SharedSettings& operator=(const SharedSettings&) = delete;

    // One more with every store to a setting below; what it counts is read
    // each block, and this lets a block that finds it unchanged skip that.
    std::atomic<uint32_t> changes{0};
    CountedSetting<int32_t> channelProgram[kMidiChannelCount];  // 0..127 each
    CountedSetting<int32_t> ntsc{1};                            // 1 NTSC, anything else PAL
    CountedSetting<int32_t> polyphony{kMaxPolyphony};           // 1..8 voices in use
    CountedSetting<int32_t> gain{kDefaultGain};                 // percent, 0..200
    // Controller handling: 1 on (sustain, volume, expression, wheel, sound
    // off, reset), 0 off: those controllers are ignored.
    CountedSetting<int32_t> midiControllers{1};
    // Console mode, a ConsoleMode: off (as every song from before the setting
    // sounds), or on with the output filter of an NES, of a Famicom, or none.
    CountedSetting<int32_t> console{ConsoleOff};
    // The channels the console's 163 has on, 1..kMaxN163Channels: its N163
    // notes take that many channels, which share the chip in turn.
    CountedSetting<int32_t> n163Channels{kDefaultN163Channels};
    // MPE, an MpeMode. The audio thread stores it too, when a controller's
    // configuration message switches a zone on or off.
    CountedSetting<int32_t> mpe{MpeOff};
    // The rate the voice chips were last set up for; -1 forces a new set-up.
    std::atomic<float> chipSampleRate{-1.0f};
    // A channel's program or the bank changed and the host and the editor have
    // not been told yet. Set with release, taken with acquire.
    std::atomic<bool> programsChanged{false};
    // The chunk load whose settings the atomics above already hold; until it
    // matches the bank snapshot's load, the audio thread takes that load's
    // settings from the snapshot, so that a load is heard as a whole.
    std::atomic<uint32_t> appliedLoadSerial{0};
    // Odd while a chunk load stores its settings into the atomics above (a
    // sequence lock): the audio thread never takes half of them.
    std::atomic<uint32_t> loadSequence{0};

    // ---- the writer of a chunk load's settings (one at a time) ----
    // Between the two, the settings are stored with release order, so that a
    // reader who sees any of them sees the odd count too.
    void beginLoad()
    {
        loadSequence.store(loadSequence.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    void endLoad() { loadSequence.store(loadSequence.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
};
