// The instrument itself, apart from any plug-in format or window system: the
// bank and the instrument-wide settings, the state chunk, the edits the
// editor makes, and the engine that plays the bank. Each plug-in format is a
// thin adapter over one Instrument; the editor's model works on it too.
//
// Who may touch what. The audio thread (queueMidi, render) never locks and
// never allocates. It reads the bank only as a snapshot published through
// bankExchange, and the settings only as atomics. Every other thread (the
// host's, the editor's) edits the master bank while holding the bank mutex,
// recompiles it, and publishes a new snapshot, which the audio thread takes
// at its next block: a sounding voice moves to the new steps at a frame
// boundary, and a chunk load (whose settings travel in its snapshot) is
// heard as a whole.
#pragma once

#include "Chunk.h"
#include "EditListener.h"
#include "Parameters.h"
#include "engine/BankExchange.h"
#include "engine/Engine.h"
#include "engine/Program.h"
#include "engine/SampleBank.h"
#include "engine/SharedSettings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

class Instrument {
public:
    Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // ---- audio thread: no locks, no allocation ----
    // One MIDI message, to act at the given sample of the next block.
    void queueMidi(int32_t deltaFrames, const uint8_t message[3]) { engine.queueMidi(deltaFrames, message); }
    // Notes as formats with note ids send them (CLAP): a note-on keeps its
    // id; a note-off or a choke acts on the notes a NoteMatch names (-1:
    // any channel, key or id), a choke without their release parts.
    void queueNoteOn(int32_t deltaFrames, int32_t channel, int32_t key, int32_t velocity, int32_t noteId)
    {
        engine.queueNoteOn(deltaFrames, channel, key, velocity, noteId);
    }
    void queueNoteOff(int32_t deltaFrames, const NoteMatch& match) { engine.queueNoteOff(deltaFrames, match); }
    void queueChoke(int32_t deltaFrames, const NoteMatch& match) { engine.queueChoke(deltaFrames, match); }
    void queueNoteExpression(int32_t deltaFrames, const NoteMatch& match, int32_t kind, double value)
    {
        engine.queueNoteExpression(deltaFrames, match, kind, value);
    }
    // Silence from the next block on: every voice stops, release parts and
    // the chips' buffered samples too (a host's reset of its processing).
    void cutAllSound() { engine.cutAllSound(); }
    // Renders one block (either output may be null), then checks for program
    // changes; answers whether the host should be told of one.
    bool render(float* left, float* right, int32_t frames, float hostRate);
    // The same into the main output and the channel groups' own (any null).
    bool render(const EngineOutputs& outputs, int32_t frames, float hostRate);

    // ---- host threads (activation, a new sample rate): never the audio thread ----
    // Gets voice chips whose buffers could not be had earlier new ones, which
    // the audio thread takes up at its next block.
    void prepare(float hostRate) { engine.prepare(hostRate); }

    // ---- any thread: touches only atomics ----
    // Compares every channel's program with the last check and takes the
    // "bank changed" flag; when either changed, counts one more program
    // change and answers true, once, so the caller can tell its host.
    bool checkProgramChange();
    // How many program changes checkProgramChange has counted. A user
    // interface compares it with the count it last showed: unlike a flag that
    // two threads write, a change can never be lost between them.
    uint32_t programChangeCount() const { return programChangeCount_.load(std::memory_order_acquire); }
    // Asks the next checkProgramChange to report a change.
    void markProgramsChanged() { settings.programsChanged.store(true, std::memory_order_release); }

    // The MIDI channel (0..15) whose program the host and the editor address.
    int32_t editedChannel() const { return editedChannel_.load(std::memory_order_relaxed); }
    void setEditedChannel(int32_t channel);
    // The program of the edited channel.
    int32_t currentProgram() const;
    // Sets the edited channel's program: clamped to the bank from above, a
    // negative number refused.
    void setCurrentProgram(int32_t program);

    int32_t ntsc() const { return settings.ntsc.load(std::memory_order_relaxed); }
    int32_t gain() const { return settings.gain.load(std::memory_order_relaxed); }
    int32_t polyphony() const { return settings.polyphony.load(std::memory_order_relaxed); }
    // Whether sustain, volume, expression, the mod wheel and the controller
    // resets are played (songs from before they were are loaded without).
    bool midiControllers() const { return settings.midiControllers.load(std::memory_order_relaxed) != 0; }
    void setMidiControllers(bool on);
    // The console mode, a ConsoleMode (songs from before it load it off).
    int32_t console() const { return settings.console.load(std::memory_order_relaxed); }
    // A mode outside ConsoleMode is refused: nothing changes.
    void setConsole(int32_t mode);
    // The channels the console's 163 has on, 1..8.
    int32_t n163Channels() const { return settings.n163Channels.load(std::memory_order_relaxed); }
    // A count outside 1..8 is refused: nothing changes.
    void setN163Channels(int32_t channels);
    // MPE, an MpeMode (songs from before it load it off). A controller's MPE
    // Configuration Message changes it too, from the audio thread.
    int32_t mpe() const { return settings.mpe.load(std::memory_order_relaxed); }
    // A mode outside MpeMode is refused: nothing changes.
    void setMpe(int32_t mode);
    // NTSC (true) or PAL; always sets the chips up anew, even when it stays.
    void setNtsc(bool ntsc);
    void setGain(int32_t gain);
    // 1..8 voices; other values are clamped.
    void setPolyphony(int32_t voices);

    // ---- parameters, for formats that have them; any thread: atomics only ----
    // The plain value of a parameter (0 for an unknown id).
    double parameterValue(uint32_t id) const;
    // Sets a parameter from the host (automation): clamped and rounded to its
    // range; unknown ids and values that are no numbers change nothing.
    void setParameterValue(uint32_t id, double value);
    // ---- the editor's edits: the user-interface thread ----
    // The adapter that tells its host of the user's edits (or null). Set
    // before the editor opens.
    void setEditListener(EditListener* listener) { editListener_ = listener; }
    // A gesture on a parameter begins (the user takes the gain slider): the
    // values edited until endParameterEdit belong to it.
    void beginParameterEdit(uint32_t id);
    // The editor changed a parameter: set it and tell the listener; outside
    // a gesture, as a gesture of its own.
    void editParameter(uint32_t id, double value);
    void endParameterEdit(uint32_t id);
    // An edit changed the saved state: the listener hears of it, once.
    void noteStateEdited(bool namesChanged = false);

    // ---- host and user-interface threads: may take the bank mutex ----
    // A program's name, cut to fit size bytes with its terminator.
    void programName(int32_t program, char* out, size_t size) const;
    void setProgramName(int32_t program, const char* name);
    // The five envelope texts of a program.
    void envelopeTexts(int32_t program, char (&texts)[kEnvelopeKindCount][kEnvelopeTextSize]) const;
    int32_t channelType(int32_t program) const;
    bool isMulti(int32_t program) const;
    // Whether an envelope yielded no values (blank, or it failed to compile).
    bool envelopeIsEmpty(int32_t program, int kind) const;

    // Stores one envelope text (at most 1023 characters) and compiles the
    // whole bank; answers the first error in the bank, or null.
    const char* setEnvelopeText(int32_t program, int kind, const char* text);
    void setChannelType(int32_t program, int32_t type);
    void toggleMulti(int32_t program);

    // A Sample program's key map text.
    void keyMapText(int32_t program, char (&text)[kEnvelopeTextSize]) const;
    // How many keys a program's key map sounds against the bank's samples (0
    // for a blank map or one in error).
    int32_t keyMapEntryCount(int32_t program) const;
    // Stores a key map text (at most 1023 characters) and publishes the bank;
    // answers the map's compile error against the bank's samples, or null.
    const char* setKeyMapText(int32_t program, const char* text);
    // An FDS or N163 program's wave text (WaveCompiler.h).
    void waveText(int32_t program, char (&text)[kEnvelopeTextSize]) const;
    // Stores a wave text (at most 1023 characters) and publishes the bank;
    // answers its compile error for the program's channel type, or null.
    const char* setWaveText(int32_t program, const char* text);
    // How a program is played: its MonoMode, glide and tempo steps.
    struct Playing {
        int32_t mono = MonoOff;
        int32_t glide = 0;
        int32_t tempoSteps = 0;
        bool operator==(const Playing&) const = default;
    };
    Playing playing(int32_t program) const;
    // Stores them and publishes the bank; a value out of range stores
    // nothing and answers its one line (Program.h's kError...), else null.
    const char* setPlaying(int32_t program, const Playing& playing);
    // Adds a sample to the bank, or replaces the one of its name, and
    // publishes the bank; answers null or one line, and then nothing changed.
    const char* putSample(std::string_view name, const uint8_t* bytes, int32_t length,
                          int32_t startLevel = kNoStartLevel);
    // Runs f(const SampleBank&) under the bank mutex.
    template <class F> decltype(auto) readSamples(F&& f) const
    {
        std::lock_guard<std::mutex> lock(bankMutex_);
        return f(static_cast<const SampleBank&>(*samples_));
    }

    // The whole state as a chunk. The bytes stay valid until the next call;
    // answers 0 bytes (and null) when no memory could be had for them.
    size_t saveState(const unsigned char** data);
    // Loads a chunk over the bank and the settings; anything the chunk does
    // not mention keeps its value. Answers false, changing nothing, for a
    // size beyond the largest chunk accepted or missing bytes.
    bool loadState(const void* data, size_t size);

    // Runs f(const ProgramBank&) under the bank mutex.
    template <class F> decltype(auto) readBank(F&& f) const
    {
        std::lock_guard<std::mutex> lock(bankMutex_);
        return f(static_cast<const ProgramBank&>(programs_));
    }
    // Runs f(ProgramBank&) under the bank mutex, then compiles the bank and
    // publishes it; answers the first compile error, or null.
    template <class F> const char* editBank(F&& f)
    {
        std::lock_guard<std::mutex> lock(bankMutex_);
        f(programs_);
        const char* error = compileAllEnvelopes(programs_);
        publishBank();
        return error;
    }

    // ---- the engine and its settings, open to adapters and tests ----
    SharedSettings settings;  // channel programs, clock standard, polyphony, gain
    BankExchange bankExchange;
    Engine engine{settings, bankExchange};

private:
    static const char* compileAllEnvelopes(ProgramBank& programs);
    // Hands the compiled bank to the audio thread, which hears it from its
    // next block on; with the settings of a chunk load, those come with it.
    // Caller holds the bank mutex.
    void publishBank(const chunk::Settings* loaded = nullptr);
    chunk::Settings chunkSettings() const;
    int32_t checkedProgram(int32_t program) const;

    std::atomic<int32_t> editedChannel_{0};
    std::atomic<int32_t> lastChannelProgram_[kMidiChannelCount] = {};
    // The settings' change count when lastChannelProgram_ was last brought up to date.
    std::atomic<uint32_t> comparedChanges_{~0u};
    std::atomic<uint32_t> programChangeCount_{0};
    // Whether the chunk carries the controller setting: not when it came from
    // a chunk without it and nobody has switched it since.
    std::atomic<bool> controllersInChunk_{true};
    // The user-interface thread's: the listener, and the gestures under way.
    EditListener* editListener_ = nullptr;
    bool gestureOpen_[kParameterCount] = {};

    mutable std::mutex bankMutex_;
    ProgramBank programs_;                   // guarded by bankMutex_
    std::unique_ptr<SampleBank> samples_;    // guarded by bankMutex_; never null
    std::vector<unsigned char> chunkBytes_;  // guarded by bankMutex_; what saveState handed out
    uint32_t lastLoadSerial_ = 0;            // guarded by bankMutex_
};
