// A small CLAP host: loads a .clap module through clap_entry, makes one
// instance and drives it with events, audio blocks and state streams, as a
// host does. It offers the host extensions the plug-in asks for (params,
// state, timer-support) and records each request. Used by the tests.
#pragma once

#include "DynamicLibrary.h"
#include "InstrumentHost.h"

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/host.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One CLAP event of the kinds this host sends and receives.
union ClapEvent {
    clap_event_header_t header;
    clap_event_note_t note;
    clap_event_midi_t midi;
    clap_event_param_value_t paramValue;
    clap_event_param_gesture_t gesture;
    clap_event_note_expression_t expression;

    static ClapEvent midiMessage(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2);
    // A CLAP_NOTE_EXPRESSION_... for the notes the id, port, channel and key name (-1: any).
    static ClapEvent noteExpression(uint32_t time, clap_note_expression id, int32_t noteId, int16_t port,
                                    int16_t channel, int16_t key, double value);
    // CLAP_EVENT_NOTE_ON, _OFF or _CHOKE.
    static ClapEvent noteEvent(uint16_t type, uint32_t time, int16_t channel, int16_t key, double velocity);
    static ClapEvent parameter(uint32_t time, clap_id id, double value);
};

class ClapHost final : public InstrumentHost {
public:
    ClapHost();
    ~ClapHost() override;
    ClapHost(const ClapHost&) = delete;
    ClapHost& operator=(const ClapHost&) = delete;

    bool load(const std::string& path) override;
    const std::string& error() const override { return error_; }
    // Destroys the instance and unloads the module.
    void close();

    void start(double sampleRate, int32_t maxBlock, bool offline) override;
    void stop() override;

    std::string name() override;
    std::string vendor() override;
    int outputChannels() override;

    void process(const BlockMidi& midi, float* left, float* right, int32_t frames) override;
    std::vector<std::string> extraOutputs() override;
    void processExtra(const BlockMidi& midi, float* left, float* right, const std::vector<OutputPair>& extra,
                      int32_t frames) override;
    bool saveState(std::vector<uint8_t>& state) override;
    bool loadState(const std::vector<uint8_t>& state) override;
    FxIdentity fxIdentity() override;

    // ---- CLAP itself ----
    const clap_plugin_descriptor_t* descriptor() const { return descriptor_; }
    const clap_plugin_t* plugin() const { return plugin_; }
    const void* extension(const char* id) const;
    const clap_plugin_params_t* params() const
    {
        return static_cast<const clap_plugin_params_t*>(extension(CLAP_EXT_PARAMS));
    }
    // One process call with these events (in the order given); what the
    // plug-in sends back lands in outputEvents.
    clap_process_status processEvents(const std::vector<ClapEvent>& events, float* left, float* right, uint32_t frames);
    // The same with an output port for each pair: the main one first.
    clap_process_status processEvents(const std::vector<ClapEvent>& events, const std::vector<OutputPair>& ports,
                                      uint32_t frames);
    // The same with the ports exactly as given, for feeding odd ones.
    clap_process_status processPorts(const std::vector<ClapEvent>& events, clap_audio_buffer_t* ports,
                                     uint32_t portCount, uint32_t frames);
    // The params extension's flush with these events.
    void flushParams(const std::vector<ClapEvent>& events);
    std::vector<ClapEvent> outputEvents;
    // The plug-in's reset, an audio-thread call like process.
    void reset();
    // Calls the plug-in's on_timer for every timer it has registered.
    void fireTimers();
    // The host's main loop: calls the plug-in's on_main_thread if it asked
    // for a callback since the last call. (Requests made while it runs wait
    // for the next call.)
    void runMainThreadCallback();
    // Whether the host offers the timer-support extension; tests may switch
    // it off before load, as some hosts have none.
    bool offersTimerSupport = true;
    // The gui extension: the editor embedded in parent (an X11 window id, an
    // HWND) and shown; it idles on fireTimers or, on Windows, the thread's
    // messages. False where the plug-in has no editor for this platform.
    bool openEditor(void* parent);
    void closeEditor();
    // The size the editor asked for when it was opened (get_size), as hosts
    // size the window they embed it in.
    uint32_t editorWidth = 0, editorHeight = 0;

    // ---- how the state streams behave; tests may change these ----
    // Bytes handed over per read or write call (0: as many as asked for).
    size_t streamStep = 0;
    // The stream fails (answers -1) once this many bytes went through (-1: never).
    int64_t streamFailAt = -1;

    // ---- the plug-in's requests so far ----
    // flushOnAudioThread: request_flush calls made from inside an audio-thread
    // call (process, start and stop_processing, reset), where CLAP forbids them.
    struct Requests {
        std::atomic<int> restart{0}, process{0}, callback{0}, flush{0}, markDirty{0}, rescan{0}, flushOnAudioThread{0};
    } requests;
    std::vector<uint32_t> timerPeriods() const;  // of the timers registered now

private:
    static ClapHost& of(const clap_host_t* host) { return *static_cast<ClapHost*>(host->host_data); }
    static const void* hostExtension(const clap_host_t* host, const char* id);

    static const clap_host_params_t kParams;
    static const clap_host_state_t kState;
    static const clap_host_timer_support_t kTimerSupport;

    clap_host_t host_;
    DynamicLibrary library_;
    const clap_plugin_entry_t* entry_ = nullptr;
    const clap_plugin_descriptor_t* descriptor_ = nullptr;
    const clap_plugin_t* plugin_ = nullptr;
    bool active_ = false;
    bool processing_ = false;
    bool editorOpen_ = false;
    std::atomic<bool> inAudioCall_{false};
    int64_t steadyTime_ = 0;
    int callbacksRun_ = 0;  // the callback requests answered so far
    std::string error_;
    struct Timer {
        clap_id id;
        uint32_t period;
    };
    mutable std::mutex timersMutex_;
    std::vector<Timer> timers_;
    clap_id nextTimer_ = 1;
};
