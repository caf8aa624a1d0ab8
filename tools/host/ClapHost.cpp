#include "ClapHost.h"

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>

#include <algorithm>
#include <cstring>

namespace {

struct EventList {
    const std::vector<ClapEvent>* events;
    std::vector<ClapEvent>* received;
};

uint32_t eventCount(const clap_input_events_t* list)
{
    return static_cast<uint32_t>(static_cast<const EventList*>(list->ctx)->events->size());
}

const clap_event_header_t* eventAt(const clap_input_events_t* list, uint32_t index)
{
    const auto& events = *static_cast<const EventList*>(list->ctx)->events;
    return index < events.size() ? &events[index].header : nullptr;
}

bool receive(const clap_output_events_t* list, const clap_event_header_t* event)
{
    if (!event || event->size > sizeof(ClapEvent))
        return false;
    ClapEvent copy{};
    std::memcpy(&copy, event, event->size);
    static_cast<EventList*>(list->ctx)->received->push_back(copy);
    return true;
}

// A state stream that hands bytes over step at a time and fails (answers -1)
// once failAt bytes went through.
struct Stream {
    std::vector<uint8_t>& bytes;
    size_t position;
    size_t step;
    int64_t failAt;

    // How many of the asked bytes go through this call, or -1 for a failure.
    int64_t allowed(uint64_t asked) const
    {
        if (failAt >= 0 && static_cast<int64_t>(position) >= failAt)
            return -1;
        uint64_t count = asked;
        if (step > 0)
            count = std::min<uint64_t>(count, step);
        if (failAt >= 0)
            count = std::min<uint64_t>(count, static_cast<uint64_t>(failAt) - position);
        return static_cast<int64_t>(count);
    }
};

int64_t streamWrite(const clap_ostream_t* stream, const void* buffer, uint64_t size)
{
    Stream& out = *static_cast<Stream*>(stream->ctx);
    const int64_t count = out.allowed(size);
    if (count > 0) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        out.bytes.insert(out.bytes.end(), bytes, bytes + count);
        out.position += static_cast<size_t>(count);
    }
    return count;
}

int64_t streamRead(const clap_istream_t* stream, void* buffer, uint64_t size)
{
    Stream& in = *static_cast<Stream*>(stream->ctx);
    int64_t count = in.allowed(size);
    if (count > 0) {
        count = std::min<int64_t>(count, static_cast<int64_t>(in.bytes.size() - in.position));
        std::memcpy(buffer, in.bytes.data() + in.position, static_cast<size_t>(count));
        in.position += static_cast<size_t>(count);
    }
    return count;
}

clap_event_header_t eventHeader(uint32_t size, uint32_t time, uint16_t type)
{
    return {size, time, CLAP_CORE_EVENT_SPACE_ID, type, 0};
}

std::vector<ClapEvent> clapMidi(const BlockMidi& midi)
{
    std::vector<ClapEvent> events;
    for (const auto& [offset, bytes] : midi)
        events.push_back(ClapEvent::midiMessage(static_cast<uint32_t>(offset), bytes.size() > 0 ? bytes[0] : 0,
                                                bytes.size() > 1 ? bytes[1] : 0, bytes.size() > 2 ? bytes[2] : 0));
    return events;
}

}  // namespace

ClapEvent ClapEvent::midiMessage(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2)
{
    ClapEvent event{};
    event.midi = {eventHeader(sizeof(clap_event_midi_t), time, CLAP_EVENT_MIDI), 0, {status, data1, data2}};
    return event;
}

ClapEvent ClapEvent::noteEvent(uint16_t type, uint32_t time, int16_t channel, int16_t key, double velocity)
{
    ClapEvent event{};
    event.note = {eventHeader(sizeof(clap_event_note_t), time, type), -1, 0, channel, key, velocity};
    return event;
}

ClapEvent ClapEvent::noteExpression(uint32_t time, clap_note_expression id, int32_t noteId, int16_t port,
                                    int16_t channel, int16_t key, double value)
{
    ClapEvent event{};
    event.expression = {eventHeader(sizeof(clap_event_note_expression_t), time, CLAP_EVENT_NOTE_EXPRESSION),
                        id,
                        noteId,
                        port,
                        channel,
                        key,
                        value};
    return event;
}

ClapEvent ClapEvent::parameter(uint32_t time, clap_id id, double value)
{
    ClapEvent event{};
    event.paramValue = {eventHeader(sizeof(clap_event_param_value_t), time, CLAP_EVENT_PARAM_VALUE),
                        id,
                        nullptr,
                        -1,
                        -1,
                        -1,
                        -1,
                        value};
    return event;
}

const clap_host_params_t ClapHost::kParams = {
    [](const clap_host_t* host, clap_param_rescan_flags) { ++of(host).requests.rescan; },
    [](const clap_host_t*, clap_id, clap_param_clear_flags) {},
    [](const clap_host_t* host) {
        ClapHost& self = of(host);
        ++self.requests.flush;
        if (self.inAudioCall_)
            ++self.requests.flushOnAudioThread;
    },
};

const clap_host_state_t ClapHost::kState = {
    [](const clap_host_t* host) { ++of(host).requests.markDirty; },
};

const clap_host_timer_support_t ClapHost::kTimerSupport = {
    [](const clap_host_t* host, uint32_t period, clap_id* id) {
        ClapHost& self = of(host);
        if (!id)
            return false;
        std::lock_guard<std::mutex> lock(self.timersMutex_);
        *id = self.nextTimer_++;
        self.timers_.push_back({*id, period});
        return true;
    },
    [](const clap_host_t* host, clap_id id) {
        ClapHost& self = of(host);
        std::lock_guard<std::mutex> lock(self.timersMutex_);
        const auto found =
            std::find_if(self.timers_.begin(), self.timers_.end(), [id](const Timer& timer) { return timer.id == id; });
        if (found == self.timers_.end())
            return false;
        self.timers_.erase(found);
        return true;
    },
};

ClapHost::ClapHost()
{
    host_.clap_version = CLAP_VERSION;
    host_.host_data = this;
    host_.name = "Plinka test host";
    host_.vendor = "Plinka";
    host_.url = "";
    host_.version = "1";
    host_.get_extension = hostExtension;
    host_.request_restart = [](const clap_host_t* host) { ++of(host).requests.restart; };
    host_.request_process = [](const clap_host_t* host) { ++of(host).requests.process; };
    host_.request_callback = [](const clap_host_t* host) { ++of(host).requests.callback; };
}

ClapHost::~ClapHost()
{
    close();
}

const void* ClapHost::hostExtension(const clap_host_t* host, const char* id)
{
    if (!id)
        return nullptr;
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0)
        return &kParams;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0)
        return &kState;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0)
        return of(host).offersTimerSupport ? &kTimerSupport : nullptr;
    return nullptr;
}

bool ClapHost::load(const std::string& path)
{
    close();
    error_.clear();
    if (!library_.open(path, error_))
        return false;
    entry_ = static_cast<const clap_plugin_entry_t*>(library_.symbol("clap_entry"));
    if (!entry_) {
        error_ = path + " exports no clap_entry: not a CLAP plug-in";
        library_.close();
        return false;
    }
    if (!clap_version_is_compatible(entry_->clap_version) || !entry_->init(path.c_str())) {
        error_ = path + ": the entry's version is not compatible, or its init failed";
        entry_ = nullptr;
        library_.close();
        return false;
    }
    const auto* factory = static_cast<const clap_plugin_factory_t*>(entry_->get_factory(CLAP_PLUGIN_FACTORY_ID));
    descriptor_ =
        factory && factory->get_plugin_count(factory) > 0 ? factory->get_plugin_descriptor(factory, 0) : nullptr;
    plugin_ = descriptor_ ? factory->create_plugin(factory, &host_, descriptor_->id) : nullptr;
    if (!plugin_ || !plugin_->init(plugin_)) {
        error_ = path + ": the factory made no plug-in, or its init failed";
        close();
        return false;
    }
    return true;
}

void ClapHost::close()
{
    closeEditor();
    stop();
    if (plugin_)
        plugin_->destroy(plugin_);
    plugin_ = nullptr;
    descriptor_ = nullptr;
    if (entry_)
        entry_->deinit();
    entry_ = nullptr;
    library_.close();
}

const void* ClapHost::extension(const char* id) const
{
    return plugin_ ? plugin_->get_extension(plugin_, id) : nullptr;
}

void ClapHost::start(double sampleRate, int32_t maxBlock, bool)
{
    if (!plugin_ || active_)
        return;
    active_ = plugin_->activate(plugin_, sampleRate, 1, static_cast<uint32_t>(maxBlock));
    inAudioCall_ = true;
    processing_ = active_ && plugin_->start_processing(plugin_);
    inAudioCall_ = false;
}

void ClapHost::stop()
{
    if (!plugin_)
        return;
    inAudioCall_ = true;
    if (processing_)
        plugin_->stop_processing(plugin_);
    inAudioCall_ = false;
    if (active_)
        plugin_->deactivate(plugin_);
    processing_ = active_ = false;
}

void ClapHost::reset()
{
    inAudioCall_ = true;
    plugin_->reset(plugin_);
    inAudioCall_ = false;
}

std::string ClapHost::name()
{
    return descriptor_ && descriptor_->name ? descriptor_->name : "";
}

std::string ClapHost::vendor()
{
    return descriptor_ && descriptor_->vendor ? descriptor_->vendor : "";
}

int ClapHost::outputChannels()
{
    const auto* ports = static_cast<const clap_plugin_audio_ports_t*>(extension(CLAP_EXT_AUDIO_PORTS));
    clap_audio_port_info_t info{};
    if (!ports || ports->count(plugin_, false) == 0 || !ports->get(plugin_, 0, false, &info))
        return 0;
    return static_cast<int>(info.channel_count);
}

clap_process_status ClapHost::processEvents(const std::vector<ClapEvent>& events, float* left, float* right,
                                            uint32_t frames)
{
    float* channels[2] = {left, right};
    clap_audio_buffer_t output{channels, nullptr, 2, 0, 0};
    return processPorts(events, &output, 1, frames);
}

clap_process_status ClapHost::processEvents(const std::vector<ClapEvent>& events, const std::vector<OutputPair>& ports,
                                            uint32_t frames)
{
    std::vector<OutputPair> channels = ports;
    std::vector<clap_audio_buffer_t> buffers;
    for (OutputPair& pair : channels)
        buffers.push_back({pair.data(), nullptr, 2, 0, 0});
    return processPorts(events, buffers.data(), static_cast<uint32_t>(buffers.size()), frames);
}

clap_process_status ClapHost::processPorts(const std::vector<ClapEvent>& events, clap_audio_buffer_t* ports,
                                           uint32_t portCount, uint32_t frames)
{
    EventList list{&events, &outputEvents};
    const clap_input_events_t in{&list, eventCount, eventAt};
    const clap_output_events_t out{&list, receive};
    // Playing, at the tempo set; the rest of the transport means nothing here.
    clap_event_transport_t transport{};
    transport.header = {sizeof transport, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
    transport.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_IS_PLAYING;
    transport.tempo = tempo_;
    const clap_process_t process{steadyTime_, frames, &transport, nullptr, ports, 0, portCount, &in, &out};
    steadyTime_ += frames;
    inAudioCall_ = true;
    const clap_process_status status = plugin_->process(plugin_, &process);
    inAudioCall_ = false;
    return status;
}

void ClapHost::process(const BlockMidi& midi, float* left, float* right, int32_t frames)
{
    processEvents(clapMidi(midi), left, right, static_cast<uint32_t>(frames));
}

std::vector<std::string> ClapHost::extraOutputs()
{
    // The stereo ports after the main one, up to the first that is not.
    std::vector<std::string> names;
    const auto* ports = static_cast<const clap_plugin_audio_ports_t*>(extension(CLAP_EXT_AUDIO_PORTS));
    for (uint32_t port = 1, count = ports ? ports->count(plugin_, false) : 0; port < count; ++port) {
        clap_audio_port_info_t info{};
        if (!ports->get(plugin_, port, false, &info) || info.channel_count != 2)
            break;
        names.push_back(std::string(info.name, strnlen(info.name, sizeof info.name)));
    }
    return names;
}

void ClapHost::processExtra(const BlockMidi& midi, float* left, float* right, const std::vector<OutputPair>& extra,
                            int32_t frames)
{
    std::vector<OutputPair> ports{{left, right}};
    ports.insert(ports.end(), extra.begin(), extra.end());
    processEvents(clapMidi(midi), ports, static_cast<uint32_t>(frames));
}

void ClapHost::flushParams(const std::vector<ClapEvent>& events)
{
    EventList list{&events, &outputEvents};
    const clap_input_events_t in{&list, eventCount, eventAt};
    const clap_output_events_t out{&list, receive};
    if (const clap_plugin_params_t* parameters = params())
        parameters->flush(plugin_, &in, &out);
}

void ClapHost::fireTimers()
{
    const auto* timers = static_cast<const clap_plugin_timer_support_t*>(extension(CLAP_EXT_TIMER_SUPPORT));
    std::vector<Timer> registered;
    {
        std::lock_guard<std::mutex> lock(timersMutex_);
        registered = timers_;
    }
    if (timers)
        for (const Timer& timer : registered)
            timers->on_timer(plugin_, timer.id);
}

void ClapHost::runMainThreadCallback()
{
    const int asked = requests.callback.load();
    if (!plugin_ || asked == callbacksRun_)
        return;
    callbacksRun_ = asked;
    plugin_->on_main_thread(plugin_);
}

bool ClapHost::openEditor(void* parent)
{
#ifdef _WIN32
    const char* const api = CLAP_WINDOW_API_WIN32;
#else
    const char* const api = CLAP_WINDOW_API_X11;
#endif
    const auto* gui = static_cast<const clap_plugin_gui_t*>(extension(CLAP_EXT_GUI));
    if (!gui || editorOpen_ || !gui->create(plugin_, api, false))
        return false;
    editorOpen_ = true;
    if (!gui->get_size(plugin_, &editorWidth, &editorHeight))
        editorWidth = editorHeight = 0;
    clap_window_t window{api, {}};
#ifdef _WIN32
    window.win32 = parent;
#else
    window.x11 = reinterpret_cast<clap_xwnd>(parent);
#endif
    if (!gui->set_parent(plugin_, &window) || !gui->show(plugin_)) {
        closeEditor();
        return false;
    }
    return true;
}

void ClapHost::closeEditor()
{
    const auto* gui = static_cast<const clap_plugin_gui_t*>(extension(CLAP_EXT_GUI));
    if (gui && editorOpen_)
        gui->destroy(plugin_);
    editorOpen_ = false;
}

std::vector<uint32_t> ClapHost::timerPeriods() const
{
    std::lock_guard<std::mutex> lock(timersMutex_);
    std::vector<uint32_t> periods;
    for (const Timer& timer : timers_)
        periods.push_back(timer.period);
    return periods;
}

bool ClapHost::saveState(std::vector<uint8_t>& state)
{
    const auto* stateExtension = static_cast<const clap_plugin_state_t*>(extension(CLAP_EXT_STATE));
    state.clear();
    Stream stream{state, 0, streamStep, streamFailAt};
    const clap_ostream_t out{&stream, streamWrite};
    return stateExtension && stateExtension->save(plugin_, &out);
}

bool ClapHost::loadState(const std::vector<uint8_t>& state)
{
    const auto* stateExtension = static_cast<const clap_plugin_state_t*>(extension(CLAP_EXT_STATE));
    std::vector<uint8_t> bytes = state;
    Stream stream{bytes, 0, streamStep, streamFailAt};
    const clap_istream_t in{&stream, streamRead};
    return stateExtension && stateExtension->load(plugin_, &in);
}

FxIdentity ClapHost::fxIdentity()
{
    // Plinka's state is its VST 2 chunk in every format; other instruments
    // have no VST 2 bank files.
    if (descriptor_ && descriptor_->id && std::string(descriptor_->id) == "com.plinka.plinka")
        return plinkaFxIdentity();
    return {};
}
