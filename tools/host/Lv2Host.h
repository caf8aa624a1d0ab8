// A small LV2 host, through lilv: finds a plug-in by its bundle folder or
// its URI, makes one instance and plays it as a host does: MIDI as an atom
// sequence stamped in frames, control ports at their defaults unless set,
// the state through the plug-in's state extension. It offers the URID map
// and unmap, and records what the plug-in says on its atom outputs. Used by
// the tools and the tests.
#pragma once

#include "DynamicLibrary.h"
#include "InstrumentHost.h"

#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct LilvWorldImpl;
struct LilvPluginImpl;
struct LilvInstanceImpl;

class Lv2Host final : public InstrumentHost {
public:
    Lv2Host();
    ~Lv2Host() override;
    Lv2Host(const Lv2Host&) = delete;
    Lv2Host& operator=(const Lv2Host&) = delete;

    // A bundle folder (Plinka.lv2), a file inside one, or a plug-in's URI
    // (found on LV2_PATH, or where lilv looks by default).
    bool load(const std::string& path) override;
    const std::string& error() const override { return error_; }
    void close();

    // A rate other than the instance's makes a new instance, with the state
    // of the old, as hosts do.
    void start(double sampleRate, int32_t maxBlock, bool offline) override;
    void stop() override;

    std::string name() override;
    std::string vendor() override;
    int outputChannels() override;

    void process(const BlockMidi& midi, float* left, float* right, int32_t frames) override;

    // The state is the plug-in's one property of type atom:Chunk (Plinka's
    // bank); a plug-in whose state is anything else has none to give here.
    bool saveState(std::vector<uint8_t>& state) override;
    bool loadState(const std::vector<uint8_t>& state) override;
    FxIdentity fxIdentity() override;

    // ---- LV2 only ----
    std::string uri() override;
    // The control input port of that symbol, for the next blocks; false for none.
    bool setControl(const std::string& symbol, float value) override;
    // A control port's range as the description gives it; false for none.
    bool controlRange(const std::string& symbol, float& minimum, float& maximum, float& defaultValue);
    // What a save of the instance stored: each property's key, type and bytes.
    struct Property {
        std::string key;
        std::string type;
        std::vector<uint8_t> value;
        uint32_t flags;
    };
    bool saveProperties(std::vector<Property>& properties);
    // A restore offering exactly these properties; answers the plug-in's status.
    LV2_State_Status restoreProperties(const std::vector<Property>& properties);
    // Events of these types (URIs) seen on the atom outputs so far.
    std::vector<std::string> outputEvents;
    // The plug-in's instance handle (what instance-access gives a UI).
    void* instanceHandle() const;

    LV2_URID mapUri(const char* uri);
    const char* unmapUri(LV2_URID urid);

private:
    struct Port;
    // The steps of load; each says what failed in error_.
    bool findPlugin(const std::string& path);
    bool checkFeatures(const std::string& path);
    bool readPorts(const std::string& path);
    bool instantiate(double sampleRate);
    void freeInstance();

    std::string error_;
    // The plug-in's binary, held open as DynamicLibrary holds every plug-in
    // (under AddressSanitizer for good), whatever lilv does with its own handle.
    DynamicLibrary binary_;
    LilvWorldImpl* world_ = nullptr;
    const LilvPluginImpl* plugin_ = nullptr;
    LilvInstanceImpl* instance_ = nullptr;
    double sampleRate_ = 0.0;
    int32_t maxBlock_ = 0;
    bool active_ = false;
    std::vector<Port> ports_;
    std::vector<float> scratch_;  // for outputs the caller does not want

    mutable std::mutex mapMutex_;
    std::vector<std::unique_ptr<std::string>> uris_;  // URID n is uris_[n - 1]
    LV2_URID_Map map_;
    LV2_URID_Unmap unmap_;
};
