// The instrument's sound engine: MIDI in, audio out. It owns the event queue,
// the voices and their eight chips, and renders blocks. It reads the bank
// through published snapshots and the settings through atomics, so nothing it
// uses is ever half-written by another thread. Its audio thread never
// allocates, never locks and never does I/O: what it needs is allocated at
// construction, or retried by prepare() on a host thread.
#pragma once

#include "BankExchange.h"
#include "ChannelControllers.h"
#include "ConsolePort.h"
#include "EnvelopeSequencer.h"
#include "EventQueue.h"
#include "MidiIntake.h"
#include "MpeZone.h"
#include "N163Memory.h"
#include "NoteMatch.h"
#include "OutputGroup.h"
#include "SharedSettings.h"
#include "VoicePool.h"
#include "chip/ConsoleChip.h"
#include "chip/Console_Filter.h"
#include "chip/VoiceChip.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

// Host rates the chips can serve: a frame must fit their buffers with room to
// spare (above about 3 MHz it would not), and a buffer must fill at all.
constexpr float kMinSampleRate = 1000.0f;
constexpr float kMaxSampleRate = 768000.0f;
constexpr double kMaxHostTempo = 10000.0;  // beats a minute; past it no song is meant

class Engine {
public:
    Engine(SharedSettings& settings, BankExchange& bank);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // ---- host threads (sample-rate change, resume): may allocate ----
    // Allocates anew, off the audio thread, the buffers of the voice chips
    // that have none because memory was short; the first block at a usable
    // rate takes them up. Nothing is done for a rate that cannot play.
    void prepare(float hostRate);

    // ---- audio thread: no locks, no allocation ----
    // Queues one MIDI message to act at the given sample of the next block.
    void queueMidi(int32_t deltaFrames, const uint8_t message[3]);
    // Renders one block into the outputs given (any may be null), acting on
    // the queued events at their samples, then empties the queue. A block of
    // no samples renders nothing and keeps the events for the next block,
    // where they act at its first sample.
    void render(const EngineOutputs& outputs, int32_t frames, float hostRate);
    // The same with the main output only.
    void render(float* left, float* right, int32_t frames, float hostRate)
    {
        float* const main[2] = {left, right};
        renderBlock(main, nullptr, frames, hostRate);
    }
    // Queues a note-on that carries the host's id for the note (CLAP); it
    // plays as MIDI's note-on of the key and velocity (1..127) does.
    void queueNoteOn(int32_t deltaFrames, int32_t channel, int32_t key, int32_t velocity, int32_t noteId);
    // Queues a note-off of the notes the match names: each goes up as its
    // key's MIDI note-off would have it (release part, pedal, mono legato).
    void queueNoteOff(int32_t deltaFrames, const NoteMatch& match);
    // Queues a choke: at that sample the notes the match names stop without
    // their release parts.
    void queueChoke(int32_t deltaFrames, const NoteMatch& match);
    // A host's note expression (a NoteExpressionKind) for the notes `match`
    // names; clamped to the kind's range, a NaN or unknown kind ignored.
    void queueNoteExpression(int32_t deltaFrames, const NoteMatch& match, int32_t kind, double value);
    // The song's tempo from the host's transport, for the programs whose
    // envelopes step in time with it; anything but a positive number (a
    // host with no tempo) leaves the last one, at first 120.
    void setHostTempo(double beatsPerMinute)
    {
        if (beatsPerMinute > 0.0 && beatsPerMinute <= kMaxHostTempo)
            tempo_ = beatsPerMinute;
    }
    double hostTempo() const { return tempo_; }
    // Every voice stops and every chip starts afresh, its buffered samples
    // dropped: the next block begins in silence, as after construction.
    void cutAllSound();
    // Console mode's notes whose N163 waves found no room in the chip's
    // memory, counted since the engine began, and the program of the last.
    uint32_t n163WaveMisses() const { return n163Misses_.load(std::memory_order_relaxed); }
    int32_t n163MissedProgram() const { return n163MissedProgram_.load(std::memory_order_relaxed); }

    // The engine's state, open to inspection.
    MidiIntake intake;
    EventQueue eventQueue;
    VoicePool voicePool;
    float channelBend[kMidiChannelCount] = {};  // semitones
    // A channel's bend, an MPE member's with its manager's added: the
    // manager bends the whole zone.
    float bendOf(int32_t channel) const
    {
        return isMpeMember(block_.mpe, channel) ? channelBend[channel] + channelBend[mpeManager(block_.mpe)]
                                                : channelBend[channel];
    }
    ChannelControllers controllers[kMidiChannelCount];
    VoiceChip voiceChips[kVoiceCount];
    bool chipReady[kVoiceCount] = {};  // its buffer exists: set-up succeeded
    // Console mode's one chip, whose channels are the voices.
    ConsoleChip consoleChip;
    bool consoleReady = false;  // its buffers exist: set-up succeeded
    int32_t clockRate = kNtscClockRate;
    int32_t frameRate = kNtscFrameRate;

private:
    // What the settings were read from: the bank snapshot, the settings'
    // change count, and the chunk loads' sequence and serial.
    struct SettingsSource {
        const BankSnapshot* bank;
        uint32_t changes;
        uint32_t loadSequence;
        uint32_t appliedLoadSerial;
    };
    // The settings as this block sees them.
    struct BlockSettings {
        int32_t channelProgram[kMidiChannelCount];
        int32_t ntsc;
        int32_t gain;
        int32_t polyphony;
        int32_t midiControllers;
        int32_t console;  // 0..3, as SharedSettings::console
        int32_t n163Channels;  // 1..8
        int32_t mpe;           // an MpeMode
    };

    // A note-off or choke of the notes the match names, if it names any.
    void queueMatch(EventType type, int32_t deltaFrames, const NoteMatch& match);
    // render's work, with the groups' outputs only when some is listened to.
    void renderBlock(float* const (&main)[2], float* const (*groupOutputs)[2], int32_t frames, float hostRate);
    // The mixing and the events of a block that has some.
    void mixBlock(const BankSnapshot& bank, float* const (&main)[2], float* const (*groupOutputs)[2], int32_t frames,
                  bool playing);
    // Reads the settings the block plays with, unless they are those read
    // already.
    void readSettings(const BankSnapshot& bank);
    void readChangedSettings(const BankSnapshot& bank, const SettingsSource& source);
    // Whether mixVoices would find every voice free and every chip empty.
    bool nothingToMix() const;
    void adoptPreparedCells(float hostRate);
    // Sets every chip up for the rate and the clock; setUpRate is what the
    // settings held when the block found them set up for another.
    void setUpChips(float hostRate, float setUpRate);
    void act(const EngineEvent& event, const BankSnapshot& bank);
    // The program each channel's notes play: its own, or with MPE on, a
    // member's its manager's.
    const int32_t* playedPrograms();
    // The MPE mode the block plays with, from the setting or a configuration
    // message: its members' pressure and timbre start at their defaults.
    void takeMpeMode(int32_t mode);
    void actOnController(const EngineEvent& event, const VoiceContext& context);
    // With controller handling off, every channel's controllers go back to
    // their defaults and the pedal lets its notes go.
    void resetControllersIfOff(const BankSnapshot& bank);
    // Mixes count samples of every voice into mix_, from the start of mix_,
    // and answers how many of them any voice rendered: past those, the mix
    // is zero and mix_ is left as it was. With groups, each group's voices
    // are mixed into groupMix_ too, up to groupMixed_.
    int32_t mixVoices(int32_t count, const BankSnapshot& bank, bool groups);
    // The same in console mode: every voice's frame writes its channel of
    // the console chip, whose output is the mix; each group's is its channel
    // alone. The console's filter follows.
    int32_t mixConsole(int32_t count, const BankSnapshot& bank, bool groups);
    void stepConsoleFrame(const BankSnapshot& bank);
    // The console's 163 gets the channels the setting asks for; the waves of
    // channels no note holds give up their room.
    void followN163Channels();
    // Between the modes every voice stops and the console starts afresh;
    // a new filter choice or rate sets the filters up.
    void followConsoleSetting(float hostRate);
    void resetConsole();
    // Writes samples [position, end) of one output pair from a mix of which
    // the first `mixed` samples are set (past them it is zero).
    void writeOutput(float* const (&pair)[2], const float* mix, int32_t mixed, int32_t position, int32_t end) const;

    SharedSettings& settings_;
    BankExchange& bank_;
    BlockSettings block_{};
    SettingsSource readFrom_{};  // what block_ was last read from; no bank: read it next block
    // The block before left nothing to mix, in the voices' mode, and nothing
    // has since set a chip up anew: without events, this block is silence.
    bool quiet_ = false;
    int32_t setUpClockRate_ = 0;
    // The MPE mode the members' controllers were last set for, and the
    // setting as the intake last saw it.
    int32_t mpeTaken_ = MpeOff;
    int32_t mpeSeen_ = MpeOff;
    int32_t playedProgram_[kMidiChannelCount] = {};
    // A voice chip's cells on their way from prepare() to the audio thread,
    // handed over by release and taken by acquire; and whether the chip still
    // wants cells, which only the audio thread sets.
    std::atomic<uint16_t*> preparedCells_[kVoiceCount] = {};
    std::atomic<bool> wantsCells_[kVoiceCount] = {};
    // The same for the console chip's buffers: how many still want cells.
    std::atomic<uint16_t*> preparedConsoleCells_[ConsoleChip::buffer_count] = {};
    std::atomic<int> consoleWantsCells_{0};
    // Some chip or the console may lack its buffers: each block looks for
    // prepared cells until one finds them all ready.
    bool cellsWanted_ = true;

    static constexpr int32_t kMixLength = 1024;
    float mix_[kMixLength];
    float groupMix_[kOutputGroupCount][kMixLength];
    int32_t groupMixed_[kOutputGroupCount] = {};
    // The group of the note whose frames a voice chip's buffer holds last
    // (-1: none yet).
    int32_t frameGroup_[kVoiceCount];
    float blockGain_ = 100.0f;
    double tempo_ = kDefaultTempo;

    int32_t consoleSetting_ = 0;  // the console setting the block before played
    float consoleFilterRate_ = 0.0f;
    int32_t slotExpansionEnables_[kConsoleSlotCount] = {};
    bool slotSounding_[kConsoleSlotCount] = {};
    // Where the console's 163 keeps its channels' waves, and the notes whose
    // waves found no room, for the user interface.
    N163Memory n163Memory_;
    std::atomic<uint32_t> n163Misses_{0};
    std::atomic<int32_t> n163MissedProgram_{-1};
    Console_Filter consoleFilters_[1 + kOutputGroupCount];  // the mix's, then each group's
    // Each voice chip's samples, or in console mode each of the console's
    // buffers': as many rows as the larger count.
    static constexpr int kPcmRows = std::max(kVoiceCount, ConsoleChip::buffer_count);
    short pcm_[kPcmRows][kMixLength];
};
