// A small VST 2.4 host: loads a plug-in binary through its exported entry
// point, answers the host callbacks as a real host does and records each one,
// and drives the plug-in with MIDI, audio blocks and chunks. Used by the tests
// and by the command-line tools.
#pragma once

#include "plugin/vst2/vst2.h"
#include "DynamicLibrary.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One callback the plug-in made into the host.
struct HostCall {
    bool withEffect;  // the plug-in passed its AEffect (every call but the version query)
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    float opt;
};

// A MIDI message at an absolute sample position of a rendering.
struct TimedMidi {
    int64_t frame;
    uint8_t bytes[3];
};

struct StereoBuffer {
    std::vector<float> left;
    std::vector<float> right;
};

class PluginHost {
public:
    PluginHost() = default;
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Loads the binary and calls its entry point. On failure answers false and
    // error() says why.
    bool load(const std::string& path);
    const std::string& error() const { return error_; }
    AEffect* effect() const { return effect_; }

    // effClose (which destroys the instance) and unloading of the binary.
    void close();

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f);

    // effOpen, sample rate, block size, then processing switched on.
    void start(float sampleRate = 44100.0f, VstInt32 blockSize = 512);

    // ---- what the host answers; tests may change these at any time ----
    std::atomic<VstIntPtr> versionAnswer{kVstVersion};
    std::atomic<VstIntPtr> sampleRateAnswer{44100};
    std::atomic<VstIntPtr> blockSizeAnswer{512};
    std::atomic<VstIntPtr> processLevelAnswer{kVstProcessLevelRealtime};
    // The transport as audioMasterGetTime reports it: playing from sample 0,
    // advanced by every process call.
    void setTempo(double beatsPerMinute) { timeInfo_.tempo = beatsPerMinute; }

    // ---- the callbacks received so far (unless recording is off) ----
    std::atomic<bool> recordCalls{true};
    std::vector<HostCall> calls() const;
    size_t countCalls(VstInt32 opcode) const;
    void clearCalls();

    // ---- conveniences over the dispatcher ----
    std::string effectName();
    std::string vendorString();
    std::string programName();  // of the current program
    std::vector<uint8_t> getChunk(bool isPreset = false);
    VstIntPtr setChunk(const std::vector<uint8_t>& data, bool isPreset = false);

    // Hands the plug-in one block's MIDI; each message's deltaFrames as given.
    void sendMidi(const std::vector<std::pair<VstInt32, std::vector<uint8_t>>>& messages);
    // One processReplacing call. The plug-in's first two outputs land in left
    // and right (a mono plug-in's one output in both); more outputs are
    // rendered and dropped, and its inputs get silence.
    void process(float* left, float* right, VstInt32 frames);
    // Renders frames samples in blocks of blockSize, delivering each message in
    // the block that holds its frame with the exact offset.
    StereoBuffer render(int64_t frames, VstInt32 blockSize, const std::vector<TimedMidi>& midi = {});

private:
    static VstIntPtr VSTCALLBACK hostCallback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                              void* ptr, float opt);
    VstIntPtr answer(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

    DynamicLibrary library_;
    AEffect* effect_ = nullptr;
    VstTimeInfo timeInfo_{};
    std::vector<std::vector<float>> spareInputs_;
    std::vector<std::vector<float>> spareOutputs_;
    std::vector<float*> inputPointers_;
    std::vector<float*> outputPointers_;
    std::string error_;
    mutable std::mutex callsMutex_;
    std::vector<HostCall> calls_;
};
