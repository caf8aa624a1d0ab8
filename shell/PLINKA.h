// The instrument: one object per plug-in instance that owns the program bank,
// the channel programs, the settings, and (as they join) the voices, their
// chips and the editor.
#pragma once

#include "../editor/EditorModel.h"
#include "../engine/BankExchange.h"
#include "../engine/Engine.h"
#include "../engine/Program.h"
#include "../engine/SharedSettings.h"
#include "AudioEffectX.h"
#include "Chunk.h"

#include <atomic>
#include <cstdint>
#include <mutex>

constexpr VstInt32 kPlinkaUniqueId = vstFourCC('p', 'l', 'n', 'k');
inline constexpr const char* kPlinkaEffectName = "Plinka";
inline constexpr const char* kPlinkaVendorString = "v0.1 06.05.19 Tovak";
constexpr VstInt32 kPlinkaVendorVersion = 1000;

class PLINKA final : public AudioEffectX {
public:
    explicit PLINKA(audioMasterCallback audioMaster);
    ~PLINKA() override;

    // ---- audio thread: no locks, no allocation ----
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;
    VstInt32 processEvents(VstEvents* events) override;

    // ---- host requests (usually the user-interface thread); may take bankMutex ----
    VstInt32 getProgram() override;
    void setProgram(VstInt32 program) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    void getParameterLabel(VstInt32 index, char* label) override;
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    VstInt32 getChunk(void** data, bool isPreset) override;
    VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset) override;
    VstInt32 getNumMidiInputChannels() override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    VstInt32 getVendorVersion() override;
    VstInt32 canDo(char* text) override;

    // Tells the editor and the host when a channel's program or the bank has
    // changed since the last check. Called from the audio thread at the end of
    // every block and from the user-interface thread; touches only atomics.
    void checkProgramChange();

    // Compiles the whole bank; answers null or the first error message.
    // Caller holds bankMutex (or is the constructor).
    const char* compileAllEnvelopes();
    // Hands the compiled bank to the audio thread, which hears it from its
    // next block on; with the settings of a chunk load, those come with it.
    // Caller holds bankMutex.
    void publishBank(const chunk::Settings* loaded = nullptr);

    // ---- the instrument's state ----
    //
    // Who may touch what. The audio thread (processEvents, processReplacing)
    // never locks and never allocates. It reads the bank only as a snapshot
    // published through bankExchange, and the settings only as atomics. Every
    // other thread (the host's, the editor's) edits the master bank below
    // while holding bankMutex, recompiles it, and publishes a new snapshot,
    // which the audio thread takes at its next block: a sounding voice moves
    // to the new steps at a frame boundary, and a chunk load (whose settings
    // travel in its snapshot) is heard as a whole.
    std::atomic<int32_t> midiChannel{0};  // 0..15: whose program the host and the editor address
    SharedSettings settings;              // channel programs, clock standard, polyphony, gain
    std::atomic<int32_t> lastChannelProgram[kMidiChannelCount] = {};

    // The bank. Threads other than the audio thread read and write it only
    // while holding bankMutex; the audio thread never touches it.
    std::mutex bankMutex;
    ProgramBank programs;
    // Filled by getChunk and handed to the host; valid until the next getChunk.
    // Guarded by bankMutex.
    unsigned char chunkBuffer[chunk::kMaxWrittenBytes];

    // How the bank reaches the audio thread, and the engine that plays it.
    BankExchange bankExchange;
    Engine engine{settings, bankExchange};

    // What the editor shows and does; the editor window itself, where the
    // platform has one, is the base's `editor`.
    EditorModel editorModel{*this};

private:
    int32_t currentProgramNumber() const;
    chunk::Settings chunkSettings() const;

    uint32_t lastLoadSerial_ = 0;  // guarded by bankMutex
};
