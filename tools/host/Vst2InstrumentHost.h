// The VST 2 host behind the format-neutral interface, for the tools.
#pragma once

#include "InstrumentHost.h"
#include "PluginHost.h"

class Vst2InstrumentHost final : public InstrumentHost {
public:
    bool load(const std::string& path) override;
    const std::string& error() const override { return error_.empty() ? host.error() : error_; }
    void start(double sampleRate, int32_t maxBlock, bool offline) override;
    void stop() override;
    std::string name() override { return host.effectName(); }
    std::string vendor() override { return host.vendorString(); }
    int outputChannels() override { return host.effect()->numOutputs == 1 ? 1 : 2; }
    void process(const BlockMidi& midi, float* left, float* right, int32_t frames) override;
    void setTempo(double beatsPerMinute) override
    {
        InstrumentHost::setTempo(beatsPerMinute);
        host.setTempo(beatsPerMinute);
    }
    bool saveState(std::vector<uint8_t>& state) override;
    bool loadState(const std::vector<uint8_t>& state) override;
    FxIdentity fxIdentity() override;

    // A program file's chunk is asked for and handed over as such.
    bool programFile = false;
    PluginHost host;

private:
    std::string path_;
    std::string error_;
};
