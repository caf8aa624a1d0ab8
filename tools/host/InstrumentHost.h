// A host for an instrument plug-in of any format, as the command-line tools
// and the cross-format tests drive one: load, start, play blocks with MIDI at
// sample offsets, save and restore state. PluginHost is the VST 2 host; each
// other format has its own class behind this interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A block's MIDI: each message with its sample offset in the block.
using BlockMidi = std::vector<std::pair<int32_t, std::vector<uint8_t>>>;
// A stereo output's left and right buffers; a null one is not listened to.
using OutputPair = std::array<float*, 2>;

// What VST 2 bank files (.fxb, .fxp) of an instrument carry. Plinka's state is
// the same chunk in every format, so its banks load in every format too.
struct FxIdentity {
    int32_t id = 0;  // 0: the instrument has no such bank files
    int32_t version = 0;
    int32_t numPrograms = 0;
    int32_t numParams = 0;
    std::string programName;
};
// Plinka's, as its VST 2 build reports it.
FxIdentity plinkaFxIdentity();

class InstrumentHost {
public:
    virtual ~InstrumentHost() = default;

    // Loads the binary and makes one instance. On failure answers false and
    // error() says why.
    virtual bool load(const std::string& path) = 0;
    virtual const std::string& error() const = 0;

    // Activates the instance at a sample rate, for blocks of at most
    // maxBlock frames, and starts processing; offline for a rendering.
    virtual void start(double sampleRate, int32_t maxBlock, bool offline) = 0;
    // Stops processing and deactivates (before state is saved or the
    // instance goes away).
    virtual void stop() = 0;

    virtual std::string name() = 0;
    virtual std::string vendor() = 0;
    // Output channels of the main output: 1 or 2.
    virtual int outputChannels() = 0;
    // The plug-in's identifier where its format names one (LV2's URI); empty
    // for the others.
    virtual std::string uri() { return {}; }

    // Renders one block: the messages act at their offsets; the main output's
    // first two channels land in left and right (a mono one in both).
    virtual void process(const BlockMidi& midi, float* left, float* right, int32_t frames) = 0;

    // The names of the stereo outputs the plug-in offers beside the main one
    // (Plinka's channel groups), in its order, where this host can render
    // them; empty for the formats that have none.
    virtual std::vector<std::string> extraOutputs() { return {}; }
    // Renders one block as process does, and the first extra outputs into
    // extra, one pair each; the host hands the plug-in only the main output
    // and as many extra ones as given.
    virtual void processExtra(const BlockMidi& midi, float* left, float* right, const std::vector<OutputPair>& extra,
                              int32_t frames)
    {
        (void)extra;
        process(midi, left, right, frames);
    }

    // The instance's state as the format saves it in a song, and back. A
    // failed load says why in error().
    virtual bool saveState(std::vector<uint8_t>& state) = 0;
    virtual bool loadState(const std::vector<uint8_t>& state) = 0;

    // The song's tempo, in beats a minute, as the transport tells the
    // plug-in from the next block on (120 until set).
    virtual void setTempo(double beatsPerMinute) { tempo_ = beatsPerMinute; }
    double tempo() const { return tempo_; }

    // Bank files of this instrument; fxp says a program file is meant.
    virtual FxIdentity fxIdentity() = 0;

    // A control input of that name (LV2's ports), for the next blocks; false
    // where the format or the plug-in has none.
    virtual bool setControl(const std::string& symbol, float value)
    {
        (void)symbol;
        (void)value;
        return false;
    }

protected:
    double tempo_ = 120.0;
};

// A host for the plug-in at path, chosen by its name: ".clap" and ".vst3"
// (a bundle folder or the binary inside one) for those formats, ".lv2" (a
// bundle folder or a file inside one) or a URI for LV2, anything else VST 2.
// Null where this build has no host for that format.
std::unique_ptr<InstrumentHost> makeInstrumentHost(const std::string& path);
// The LV2 host, or null in builds without one (Windows).
std::unique_ptr<InstrumentHost> makeLv2Host();
