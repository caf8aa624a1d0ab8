// The LV2 binding: one plug-in instance as an LV2 instance, a thin adapter
// that turns LV2's ports and extensions into the instrument core's calls.
// MIDI arrives as an atom sequence and goes to the engine at each event's
// frame; the three automatable settings are control ports; the bank is the
// state extension's one property, the VST 2 chunk byte for byte. The editor
// (Lv2Ui) reaches this instance through the host's instance-access feature.
#pragma once

#include "instrument/Instrument.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <atomic>
#include <cstdint>

inline constexpr const char* kLv2PluginUri = "https://plinka.invalid/plinka";
inline constexpr const char* kLv2UiUri = "https://plinka.invalid/plinka#ui";
// The state property that holds the chunk.
inline constexpr const char* kLv2BankUri = "https://plinka.invalid/plinka#bank";

// The port indices of plinka.ttl; songs connect them by symbol, hosts by index.
enum Lv2Port : uint32_t {
    kPortMidiIn = 0,
    kPortLeft = 1,
    kPortRight = 2,
    kPortGain = 3,  // then clock and polyphony: the parameters in their order
    kPortClock = 4,
    kPortPolyphony = 5,
    kPortNotify = 6,
    kPortCount = 7
};
static_assert(kPortClock - kPortGain == kParamClock && kPortPolyphony - kPortGain == kParamPolyphony);

class Lv2Plugin {
public:
    // Null without the host's URID map, which every host offers.
    static Lv2Plugin* create(double sampleRate, const LV2_Feature* const* features);
    Lv2Plugin(const Lv2Plugin&) = delete;
    Lv2Plugin& operator=(const Lv2Plugin&) = delete;

    // ---- audio thread: no locks, no allocation ----
    void connectPort(uint32_t port, void* data);
    void run(uint32_t frames);

    // ---- instantiation thread ----
    void activate();

    // ---- any thread but the audio thread: may take the bank mutex ----
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
    // Refuses (and changes nothing) a property of another type or a chunk
    // longer than the largest accepted; safe beside run(), as a chunk load
    // reaches the audio thread as one published bank. The control ports
    // decide over the chunk's gain and clock from the next block on, so
    // that a port never shows a value that does not play.
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

    // ---- user-interface thread ----
    // The editor changed what a saved state would hold: the host hears of it
    // at the next block.
    void markStateChanged() { stateChanged_.store(true, std::memory_order_release); }
    // A host may open several editor windows (UIs) on one instance, which
    // all edit the one instrument. The first still open hears its edits for
    // them all and tells the host; when it closes it hands over to the next.
    // False, adding nothing, when kMaxUis are open.
    bool attachUi(EditListener& ui);
    void detachUi(EditListener& ui);

    Instrument instrument;

private:
    Lv2Plugin(double sampleRate, LV2_URID_Map* map);

    // Control ports act when the host changes them, at the start of the
    // block, and all of them after a restore.
    void applyControls();
    void readMidi();
    void notifyStateChanged();
    // A time:Position object from the host: its tempo, if it gives one.
    void readPosition(const LV2_Atom_Object* object);

    float sampleRate_;
    struct Urids {
        LV2_URID atomSequence, atomChunk, atomObject, atomBlank, atomFloat, atomDouble, atomInt, atomLong, midiEvent,
            bank, stateChanged, timePosition, timeBeatsPerMinute;
    } urids_;

    const LV2_Atom_Sequence* midiIn_ = nullptr;
    LV2_Atom_Sequence* notify_ = nullptr;
    float* left_ = nullptr;
    float* right_ = nullptr;
    const float* controls_[kParameterCount] = {};
    // What each control port held when it last acted: the ports' defaults
    // at first, which are the instrument's.
    float lastControls_[kParameterCount];
    // Set (release) by a restore, taken (acquire) by the next block: the
    // restored settings are in the atomics by then, and the ports overwrite them.
    std::atomic<bool> restored_{false};
    uint32_t frames_ = 0;  // of the block being run
    // The open UIs in the order they opened (the user-interface thread's).
    static constexpr size_t kMaxUis = 8;
    EditListener* uis_[kMaxUis] = {};
    size_t uiCount_ = 0;
    std::atomic<bool> stateChanged_{false};
};
