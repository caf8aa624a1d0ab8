// The CLAP binding: one plug-in instance as a clap_plugin, a thin adapter that
// turns CLAP's calls and events into the instrument core's. Notes arrive as
// CLAP note events or as MIDI, at their sample offsets: a note event's note
// plays as its MIDI does, and keeps its id, which a note-off or a choke may
// name. The state is the instrument's chunk, byte for byte.
#pragma once

#include "ClapEditorIdle.h"
#include "GestureRing.h"
#include "editor/Editor.h"
#include "instrument/Instrument.h"

#include <clap/events.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin.h>

#include <atomic>
#include <memory>

inline constexpr const char* kClapPluginId = "com.plinka.plinka";
// The main mix, then each channel group's own output.
inline constexpr uint32_t kClapOutputPorts = 1 + kOutputGroupCount;

class ClapPlugin final : public EditListener {
public:
    ClapPlugin(const clap_host_t* host, const clap_plugin_descriptor_t* descriptor);
    ~ClapPlugin() override;
    ClapPlugin(const ClapPlugin&) = delete;
    ClapPlugin& operator=(const ClapPlugin&) = delete;

    const clap_plugin_t* clapPlugin() const { return &plugin_; }

    // ---- user-interface thread: the editor's edits ----
    void parameterGestureBegan(uint32_t id) override;
    void parameterEdited(uint32_t id, double value) override;
    void parameterGestureEnded(uint32_t id) override;
    void stateEdited(bool namesChanged) override;
    void idleEditor();

    Instrument instrument;

private:
    static ClapPlugin& of(const clap_plugin_t* plugin) { return *static_cast<ClapPlugin*>(plugin->plugin_data); }

    // ---- audio thread (or flush, never at the same time): no locks, no allocation ----
    clap_process_status process(const clap_process_t* process);
    // Applies one input event at offset frames into the part not yet rendered.
    void applyEvent(const clap_event_header_t* event, uint32_t offset);
    // Renders the block up to sample end (from where it was rendered to).
    void renderTo(uint32_t end);
    void emitGestures(const clap_output_events_t* out);
    // Asks the host for a flush, through the main thread: request_flush is
    // not for the audio thread.
    void requestFlush();
    // ---- main thread ----
    // Asks the host for a flush of the gestures unless a block will take them.
    void flushIfIdle();

    // ---- main thread ----
    bool saveState(const clap_ostream_t* stream);
    bool loadState(const clap_istream_t* stream);
    bool openEditor(const clap_window_t* window);
    void closeEditor();
    void onMainThread();
    static void editorProgramChanged(void* self);

    static const void* getExtension(const clap_plugin_t* plugin, const char* id);

    static const clap_plugin_note_ports_t kNotePorts;
    static const clap_plugin_audio_ports_t kAudioPorts;
    static const clap_plugin_params_t kParams;
    static const clap_plugin_state_t kState;
    static const clap_plugin_gui_t kGui;
    static const clap_plugin_timer_support_t kTimerSupport;

    clap_plugin_t plugin_;
    const clap_host_t* host_;
    const clap_host_params_t* hostParams_ = nullptr;
    const clap_host_state_t* hostState_ = nullptr;
    float sampleRate_ = 44100.0f;
    std::atomic<bool> active_{false};
    std::atomic<bool> processing_{false};
    // Set by the audio thread when a program change should reach the host.
    std::atomic<bool> programsChanged_{false};
    // Set when gestures wait and the main thread should ask for a flush;
    // and while a flush asked for has not come.
    std::atomic<bool> flushWanted_{false};
    std::atomic<bool> flushAsked_{false};
    GestureRing gestures_;
    std::unique_ptr<Editor> editor_;
    ClapEditorIdle editorIdle_;
    // The block's outputs the host gave, and the part rendered so far.
    EngineOutputs outputs_;
    uint32_t portsSet_ = 0;  // the ports whose pairs outputs_ may hold
    uint32_t rendered_ = 0;
};
