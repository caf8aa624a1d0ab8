#include "ClapPlugin.h"

#include "editor/EditorWindow.h"
#include "instrument/Chunk.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr double kMaxVelocity = 127.0;
// The bytes a state stream is read in; hosts may hand over fewer at a time.
constexpr size_t kStateReadStep = 4096;

void copyName(char* out, size_t size, const char* name)
{
    std::snprintf(out, size, "%s", name);
}

}  // namespace

ClapPlugin::ClapPlugin(const clap_host_t* host, const clap_plugin_descriptor_t* descriptor) : host_(host)
{
    plugin_.desc = descriptor;
    plugin_.plugin_data = this;
    plugin_.init = [](const clap_plugin_t* plugin) {
        ClapPlugin& self = of(plugin);
        const clap_host_t* owner = self.host_;
        if (owner && owner->get_extension) {
            self.hostParams_ = static_cast<const clap_host_params_t*>(owner->get_extension(owner, CLAP_EXT_PARAMS));
            self.hostState_ = static_cast<const clap_host_state_t*>(owner->get_extension(owner, CLAP_EXT_STATE));
        }
        self.instrument.setEditListener(&self);
        self.editor_ = Editor::create(self.instrument, editorProgramChanged, &self);
        return true;
    };
    plugin_.destroy = [](const clap_plugin_t* plugin) { delete &of(plugin); };
    plugin_.activate = [](const clap_plugin_t* plugin, double rate, uint32_t, uint32_t) {
        ClapPlugin& self = of(plugin);
        if (!(rate > 0.0))
            return false;
        self.sampleRate_ = static_cast<float>(rate);
        self.instrument.prepare(self.sampleRate_);
        self.active_.store(true, std::memory_order_release);
        return true;
    };
    plugin_.deactivate = [](const clap_plugin_t* plugin) {
        of(plugin).active_.store(false, std::memory_order_release);
    };
    plugin_.start_processing = [](const clap_plugin_t* plugin) {
        ClapPlugin& self = of(plugin);
        self.processing_.store(self.active_.load(std::memory_order_acquire), std::memory_order_release);
        return self.processing_.load(std::memory_order_relaxed);
    };
    plugin_.stop_processing = [](const clap_plugin_t* plugin) {
        ClapPlugin& self = of(plugin);
        self.processing_.store(false, std::memory_order_release);
        // Edits made while the last blocks ran go out through a flush now.
        if (!self.gestures_.empty())
            self.requestFlush();
    };
    plugin_.reset = [](const clap_plugin_t* plugin) { of(plugin).instrument.cutAllSound(); };
    plugin_.process = [](const clap_plugin_t* plugin, const clap_process_t* process) {
        return of(plugin).process(process);
    };
    plugin_.get_extension = getExtension;
    plugin_.on_main_thread = [](const clap_plugin_t* plugin) { of(plugin).onMainThread(); };
}

ClapPlugin::~ClapPlugin()
{
    instrument.setEditListener(nullptr);  // the host hears nothing more of an instance it destroys
    closeEditor();
    editor_.reset();
}

// ---- audio thread ----

clap_process_status ClapPlugin::process(const clap_process_t* process)
{
    if (!process || !active_.load(std::memory_order_acquire))
        return CLAP_PROCESS_ERROR;
    const uint32_t frames = process->frames_count;
    // Ports the host left out, or gave no channels, are not listened to;
    // those past this block's ports hold pairs only where the block before
    // had more.
    const uint32_t ports = process->audio_outputs ? std::min(process->audio_outputs_count, kClapOutputPorts) : 0;
    for (uint32_t port = 0; port < std::max(ports, portsSet_); ++port) {
        float** pair = port == 0 ? outputs_.main : outputs_.group[port - 1];
        pair[0] = pair[1] = nullptr;
        if (port >= ports)
            continue;
        clap_audio_buffer_t& out = process->audio_outputs[port];
        if (!out.data32)
            continue;
        pair[0] = out.channel_count > 0 ? out.data32[0] : nullptr;
        pair[1] = out.channel_count > 1 ? out.data32[1] : nullptr;
        out.constant_mask = 0;  // every channel is written, sound or not
    }
    portsSet_ = ports;
    rendered_ = 0;
    if (const clap_event_transport_t* transport = process->transport;
        transport && (transport->flags & CLAP_TRANSPORT_HAS_TEMPO))
        instrument.engine.setHostTempo(transport->tempo);
    // Events past the block act at its last sample; one out of order, where
    // the one before it acted.
    const uint32_t last = frames > 0 ? frames - 1 : 0;
    uint32_t at = 0;
    if (const clap_input_events_t* in = process->in_events; in && in->size && in->get) {
        const uint32_t count = in->size(in);
        uint32_t sampleEnd = 0;  // past the events of the sample looked at last
        for (uint32_t i = 0; i < count; ++i) {
            const clap_event_header_t* event = in->get(in, i);
            if (!event)
                continue;
            at = std::clamp(event->time, at, last);
            if (i >= sampleEnd) {
                // The first event of its sample. A parameter acts from its
                // sample on, so a parameter among this sample's events splits
                // the block here, before any of them acts: the notes queued
                // at it act after the split whatever their order.
                bool split = false;
                for (sampleEnd = i; sampleEnd < count; ++sampleEnd) {
                    const clap_event_header_t* other = in->get(in, sampleEnd);
                    if (!other)
                        continue;
                    if (std::clamp(other->time, at, last) != at)
                        break;
                    split =
                        split || (other->space_id == CLAP_CORE_EVENT_SPACE_ID && other->type == CLAP_EVENT_PARAM_VALUE);
                }
                if (split)
                    renderTo(at);
            }
            applyEvent(event, at - rendered_);
        }
    }
    renderTo(frames);
    // A mono output gets the left channel; further channels are silent.
    for (uint32_t port = 0; port < ports; ++port)
        if (const clap_audio_buffer_t& out = process->audio_outputs[port]; out.data32)
            for (uint32_t channel = 2; channel < out.channel_count; ++channel)
                if (float* extra = out.data32[channel])
                    std::fill(extra, extra + frames, 0.0f);
    emitGestures(process->out_events);
    if (programsChanged_.load(std::memory_order_relaxed) && host_ && host_->request_callback)
        host_->request_callback(host_);
    return CLAP_PROCESS_CONTINUE;
}

void ClapPlugin::renderTo(uint32_t end)
{
    if (end <= rendered_)
        return;
    // Most blocks are rendered whole, from their first sample, and most
    // hosts connect the main output only.
    const int32_t frames = static_cast<int32_t>(end - rendered_);
    const bool changed =
        rendered_ != 0  ? instrument.render(outputs_.advancedBy(static_cast<int32_t>(rendered_)), frames, sampleRate_)
        : portsSet_ > 1 ? instrument.render(outputs_, frames, sampleRate_)
                        : instrument.render(outputs_.main[0], outputs_.main[1], frames, sampleRate_);
    if (changed)
        programsChanged_.store(true, std::memory_order_release);
    rendered_ = end;
}

void ClapPlugin::applyEvent(const clap_event_header_t* event, uint32_t offset)
{
    if (event->space_id != CLAP_CORE_EVENT_SPACE_ID)
        return;
    switch (event->type) {
    case CLAP_EVENT_NOTE_ON:
    case CLAP_EVENT_NOTE_OFF:
    case CLAP_EVENT_NOTE_CHOKE: {
        if (event->size < sizeof(clap_event_note_t))
            return;
        const auto* note = reinterpret_cast<const clap_event_note_t*>(event);
        // One note port: -1 (any) or 0 name it, another names no note here.
        if (note->port_index != -1 && note->port_index != 0)
            return;
        const auto delta = static_cast<int32_t>(offset);
        if (event->type == CLAP_EVENT_NOTE_ON) {
            const double velocity = std::isfinite(note->velocity) ? std::clamp(note->velocity, 0.0, 1.0) : 0.0;
            // As quiet as MIDI allows at least: a velocity of 0 there is a note-off.
            const auto midiVelocity = std::max(static_cast<int32_t>(std::lround(velocity * kMaxVelocity)), 1);
            instrument.queueNoteOn(delta, note->channel, note->key, midiVelocity, note->note_id);
            break;
        }
        // -1 in the channel, the key or the id is CLAP's wildcard: any.
        const NoteMatch match{note->channel, note->key, note->note_id};
        if (event->type == CLAP_EVENT_NOTE_OFF)
            instrument.queueNoteOff(delta, match);
        else
            instrument.queueChoke(delta, match);
        break;
    }
    case CLAP_EVENT_NOTE_EXPRESSION: {
        if (event->size < sizeof(clap_event_note_expression_t))
            return;
        const auto* expression = reinterpret_cast<const clap_event_note_expression_t*>(event);
        if (expression->port_index != -1 && expression->port_index != 0)
            return;
        // Tuning in semitones, volume as an amplitude and brightness from 0
        // to 1 are CLAP's and the engine's alike; a chip voice has no pan of
        // its own.
        int32_t kind = -1;
        if (expression->expression_id == CLAP_NOTE_EXPRESSION_TUNING)
            kind = ExpressionTuning;
        else if (expression->expression_id == CLAP_NOTE_EXPRESSION_VOLUME)
            kind = ExpressionVolume;
        else if (expression->expression_id == CLAP_NOTE_EXPRESSION_BRIGHTNESS)
            kind = ExpressionBrightness;
        if (kind >= 0)
            instrument.queueNoteExpression(static_cast<int32_t>(offset),
                                           {expression->channel, expression->key, expression->note_id}, kind,
                                           expression->value);
        break;
    }
    case CLAP_EVENT_MIDI: {
        if (event->size < sizeof(clap_event_midi_t))
            return;
        const auto* midi = reinterpret_cast<const clap_event_midi_t*>(event);
        instrument.queueMidi(static_cast<int32_t>(offset), midi->data);
        break;
    }
    case CLAP_EVENT_PARAM_VALUE: {
        if (event->size < sizeof(clap_event_param_value_t))
            return;
        const auto* param = reinterpret_cast<const clap_event_param_value_t*>(event);
        instrument.setParameterValue(param->param_id, param->value);
        break;
    }
    default:
        break;
    }
}

void ClapPlugin::emitGestures(const clap_output_events_t* out)
{
    flushAsked_.store(false, std::memory_order_release);
    if (gestures_.empty() || !out || !out->try_push)
        return;
    ParameterGesture gesture;
    while (gestures_.peek(gesture)) {
        bool taken = false;
        if (gesture.step == GestureStep::Value) {
            const clap_event_param_value_t value{
                {sizeof(clap_event_param_value_t), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0},
                gesture.id,
                nullptr,
                -1,
                -1,
                -1,
                -1,
                gesture.value};
            taken = out->try_push(out, &value.header);
        } else {
            const uint16_t type =
                gesture.step == GestureStep::Begin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END;
            const clap_event_param_gesture_t step{
                {sizeof(clap_event_param_gesture_t), 0, CLAP_CORE_EVENT_SPACE_ID, type, 0}, gesture.id};
            taken = out->try_push(out, &step.header);
        }
        // The host's list is full: this step and the rest go out next time,
        // so a begin that went out always has its end follow.
        if (!taken)
            return;
        gestures_.pop();
    }
}

void ClapPlugin::requestFlush()
{
    flushWanted_.store(true, std::memory_order_release);
    if (host_ && host_->request_callback)
        host_->request_callback(host_);
}

// ---- main thread ----

void ClapPlugin::parameterGestureBegan(uint32_t id)
{
    gestures_.begin(id);
}

void ClapPlugin::parameterEdited(uint32_t id, double value)
{
    gestures_.value(id, value);
    flushIfIdle();
}

void ClapPlugin::parameterGestureEnded(uint32_t id)
{
    gestures_.end(id);
    flushIfIdle();
}

void ClapPlugin::flushIfIdle()
{
    // While processing, the next block takes the gestures; otherwise a flush
    // does, asked for once until it comes.
    if (processing_.load(std::memory_order_acquire) || flushAsked_.exchange(true, std::memory_order_acq_rel))
        return;
    if (hostParams_ && hostParams_->request_flush)
        hostParams_->request_flush(host_);
}

void ClapPlugin::stateEdited(bool)
{
    if (hostState_ && hostState_->mark_dirty)
        hostState_->mark_dirty(host_);
}

void ClapPlugin::idleEditor()
{
    if (editor_)
        editor_->idle();
}

void ClapPlugin::editorProgramChanged(void* self)
{
    ClapPlugin& plugin = *static_cast<ClapPlugin*>(self);
    if (plugin.hostState_ && plugin.hostState_->mark_dirty)
        plugin.hostState_->mark_dirty(plugin.host_);
}

void ClapPlugin::onMainThread()
{
    editorIdle_.onMainThread();
    // The audio thread has taken the change from the instrument already.
    if (programsChanged_.exchange(false, std::memory_order_acq_rel))
        editorProgramChanged(this);
    if (flushWanted_.exchange(false, std::memory_order_acq_rel) && !gestures_.empty() &&
        !flushAsked_.exchange(true, std::memory_order_acq_rel) && hostParams_ && hostParams_->request_flush)
        hostParams_->request_flush(host_);
}

bool ClapPlugin::saveState(const clap_ostream_t* stream)
{
    if (!stream || !stream->write)
        return false;
    const unsigned char* bytes = nullptr;
    const size_t size = instrument.saveState(&bytes);
    if (size == 0)
        return false;
    for (size_t written = 0; written < size;) {
        const int64_t step = stream->write(stream, bytes + written, size - written);
        if (step <= 0 || static_cast<uint64_t>(step) > size - written)
            return false;
        written += static_cast<size_t>(step);
    }
    return true;
}

bool ClapPlugin::loadState(const clap_istream_t* stream)
{
    if (!stream || !stream->read)
        return false;
    std::vector<unsigned char> bytes;
    try {
        for (;;) {
            // One byte past the largest chunk shows a stream that is too long.
            const size_t room = std::min(kStateReadStep, chunk::kMaxBytes + 1 - bytes.size());
            if (room == 0)
                return false;
            const size_t had = bytes.size();
            bytes.resize(had + room);
            const int64_t step = stream->read(stream, bytes.data() + had, room);
            if (step < 0 || static_cast<uint64_t>(step) > room)
                return false;
            bytes.resize(had + static_cast<size_t>(step));
            if (step == 0)
                break;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!instrument.loadState(bytes.data(), bytes.size()))
        return false;
    if (hostParams_ && hostParams_->rescan)
        hostParams_->rescan(host_, CLAP_PARAM_RESCAN_VALUES);
    return true;
}

bool ClapPlugin::openEditor(const clap_window_t* window)
{
    if (!editor_ || !window || !window->api || std::strcmp(window->api, ClapEditorIdle::windowApi()) != 0)
        return false;
    closeEditor();
    if (!editor_->open(reinterpret_cast<void*>(window->uptr)))
        return false;
    editorIdle_.start(host_, *this);
    return true;
}

void ClapPlugin::closeEditor()
{
    editorIdle_.stop();
    if (editor_ && editor_->isOpen())
        editor_->close();
}

// ---- extensions ----

const clap_plugin_note_ports_t ClapPlugin::kNotePorts = {
    [](const clap_plugin_t*, bool isInput) -> uint32_t { return isInput ? 1 : 0; },
    [](const clap_plugin_t*, uint32_t index, bool isInput, clap_note_port_info_t* info) {
        if (!isInput || index != 0 || !info)
            return false;
        info->id = 0;
        info->supported_dialects = CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI;
        info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
        copyName(info->name, sizeof info->name, "Notes");
        return true;
    },
};

const clap_plugin_audio_ports_t ClapPlugin::kAudioPorts = {
    [](const clap_plugin_t*, bool isInput) -> uint32_t { return isInput ? 0 : kClapOutputPorts; },
    [](const clap_plugin_t*, uint32_t index, bool isInput, clap_audio_port_info_t* info) {
        if (isInput || index >= kClapOutputPorts || !info)
            return false;
        info->id = index;
        copyName(info->name, sizeof info->name, index == 0 ? "Output" : kOutputGroupNames[index - 1]);
        info->flags = index == 0 ? uint32_t(CLAP_AUDIO_PORT_IS_MAIN) : 0u;
        info->channel_count = 2;
        info->port_type = CLAP_PORT_STEREO;
        info->in_place_pair = CLAP_INVALID_ID;
        return true;
    },
};

const clap_plugin_params_t ClapPlugin::kParams = {
    [](const clap_plugin_t*) -> uint32_t { return kParameterCount; },
    [](const clap_plugin_t*, uint32_t index, clap_param_info_t* info) {
        if (index >= kParameterCount || !info)
            return false;
        const ParameterInfo& parameter = kParameterInfo[index];
        *info = {};
        info->id = index;
        info->flags = CLAP_PARAM_IS_AUTOMATABLE | (parameter.stepped ? uint32_t(CLAP_PARAM_IS_STEPPED) : 0u);
        copyName(info->name, sizeof info->name, parameter.name);
        info->min_value = parameter.minimum;
        info->max_value = parameter.maximum;
        info->default_value = parameter.defaultValue;
        return true;
    },
    [](const clap_plugin_t* plugin, clap_id id, double* value) {
        if (id >= kParameterCount || !value)
            return false;
        *value = of(plugin).instrument.parameterValue(id);
        return true;
    },
    [](const clap_plugin_t*, clap_id id, double value, char* display, uint32_t size) {
        if (id >= kParameterCount || !display || size == 0)
            return false;
        parameterText(id, value, display, size);
        return true;
    },
    [](const clap_plugin_t*, clap_id id, const char* display, double* value) {
        return id < kParameterCount && display && value && parameterFromText(id, display, *value);
    },
    [](const clap_plugin_t* plugin, const clap_input_events_t* in, const clap_output_events_t* out) {
        ClapPlugin& self = of(plugin);
        if (in && in->size && in->get)
            for (uint32_t i = 0, count = in->size(in); i < count; ++i)
                if (const clap_event_header_t* event = in->get(in, i); event && event->type == CLAP_EVENT_PARAM_VALUE)
                    self.applyEvent(event, 0);
        self.emitGestures(out);
    },
};

const clap_plugin_state_t ClapPlugin::kState = {
    [](const clap_plugin_t* plugin, const clap_ostream_t* stream) { return of(plugin).saveState(stream); },
    [](const clap_plugin_t* plugin, const clap_istream_t* stream) { return of(plugin).loadState(stream); },
};

const clap_plugin_gui_t ClapPlugin::kGui = {
    [](const clap_plugin_t*, const char* api, bool floating) {
        return !floating && api && std::strcmp(api, ClapEditorIdle::windowApi()) == 0;
    },
    [](const clap_plugin_t*, const char** api, bool* floating) {
        if (!api || !floating)
            return false;
        *api = ClapEditorIdle::windowApi();
        *floating = false;
        return true;
    },
    [](const clap_plugin_t* plugin, const char* api, bool floating) {
        return of(plugin).editor_ && !floating && api && std::strcmp(api, ClapEditorIdle::windowApi()) == 0;
    },
    [](const clap_plugin_t* plugin) { of(plugin).closeEditor(); },
    [](const clap_plugin_t*, double) { return false; },
    [](const clap_plugin_t*, uint32_t* width, uint32_t* height) {
        if (!width || !height)
            return false;
        *width = static_cast<uint32_t>(kEditorWidth);
        *height = static_cast<uint32_t>(kEditorHeight);
        return true;
    },
    [](const clap_plugin_t*) { return false; },
    [](const clap_plugin_t*, clap_gui_resize_hints_t*) { return false; },
    [](const clap_plugin_t*, uint32_t*, uint32_t*) { return false; },
    [](const clap_plugin_t*, uint32_t width, uint32_t height) {
        return width == static_cast<uint32_t>(kEditorWidth) && height == static_cast<uint32_t>(kEditorHeight);
    },
    [](const clap_plugin_t* plugin, const clap_window_t* window) { return of(plugin).openEditor(window); },
    [](const clap_plugin_t*, const clap_window_t*) { return false; },
    [](const clap_plugin_t*, const char*) {},
    [](const clap_plugin_t*) { return true; },
    [](const clap_plugin_t*) { return true; },
};

const clap_plugin_timer_support_t ClapPlugin::kTimerSupport = {
    [](const clap_plugin_t* plugin, clap_id timer) { of(plugin).editorIdle_.onTimer(timer); },
};

const void* ClapPlugin::getExtension(const clap_plugin_t* plugin, const char* id)
{
    if (!id)
        return nullptr;
    if (std::strcmp(id, CLAP_EXT_NOTE_PORTS) == 0)
        return &kNotePorts;
    if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0)
        return &kAudioPorts;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0)
        return &kParams;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0)
        return &kState;
    if (std::strcmp(id, CLAP_EXT_GUI) == 0)
        return of(plugin).editor_ ? &kGui : nullptr;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0)
        return &kTimerSupport;
    return nullptr;
}
