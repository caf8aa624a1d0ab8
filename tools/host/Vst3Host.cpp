#include "Vst3Host.h"

#include "instrument/Identity.h"
#include "plugin/vst3/Vst3Identity.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace {

using EntryProc = bool (*)(void*);
using ExitProc = bool (*)();
using FactoryProc = v3_plugin_factory**(V3_API*)();

constexpr int32_t kMidiMax = 127;
constexpr int32_t kBendMax = 16383;
constexpr int16_t kControllerPressure = 128;
constexpr int16_t kControllerBend = 129;
constexpr int16_t kControllerProgram = 130;
// Room made for the parameter changes a processor hands back in one block.
constexpr size_t kOutputQueues = 8;
constexpr size_t kOutputPoints = 64;

template <class Object> Object* objectOf(void* self)
{
    return slotOwner<Object>(self);
}

// Host objects live as long as the host: references are not counted.
uint32_t V3_API noRef(void*)
{
    return 1;
}

template <const v3_tuid&... Known> v3_result V3_API queryKnown(void* self, const v3_tuid iid, void** object)
{
    if (!object)
        return V3_INVALID_ARG;
    const bool known = v3_tuid_match(iid, v3_funknown_iid) || (v3_tuid_match(iid, Known) || ...);
    *object = known ? self : nullptr;
    return known ? V3_OK : V3_NO_INTERFACE;
}

std::string binaryInBundle(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(path, error))
        return path;
    const std::string stem = fs::path(path).stem().string();
    for (const char* inside : {"/Contents/x86_64-linux/", "/Contents/x86_64-win/", "/Contents/x86-win/"}) {
        for (const char* suffix : {".so", ".vst3"}) {
            const std::string candidate = path + inside + stem + suffix;
            if (fs::is_regular_file(candidate, error))
                return candidate;
        }
    }
    return path;
}

}  // namespace

// ---- IBStream over a byte vector, a piece at a time ----
struct Vst3Host::Stream {
    Stream(Vst3Host& host, std::vector<uint8_t> initial) : host_(host), bytes(std::move(initial)) {}
    v3_bstream** stream() { return reinterpret_cast<v3_bstream**>(&slot_); }

    static v3_result V3_API read(void* self, void* buffer, int32_t count, int32_t* done)
    {
        Stream* s = objectOf<Stream>(self);
        const auto left = static_cast<int64_t>(s->bytes.size()) - s->position;
        const auto n =
            static_cast<int32_t>(std::max<int64_t>(0, std::min<int64_t>({count, s->host_.streamPiece, left})));
        if (n > 0)
            std::memcpy(buffer, s->bytes.data() + s->position, static_cast<size_t>(n));
        s->position += n;
        if (done)
            *done = n;
        return V3_OK;
    }
    static v3_result V3_API write(void* self, void* buffer, int32_t count, int32_t* done)
    {
        Stream* s = objectOf<Stream>(self);
        if (done)
            *done = 0;
        if (s->host_.streamRefusesWrites || count < 0)
            return V3_FALSE;
        const int32_t n = std::min(count, s->host_.streamPiece);
        const auto* from = static_cast<const uint8_t*>(buffer);
        s->bytes.resize(std::max<size_t>(s->bytes.size(), static_cast<size_t>(s->position + n)));
        std::memcpy(s->bytes.data() + s->position, from, static_cast<size_t>(n));
        s->position += n;
        if (done)
            *done = n;
        return V3_OK;
    }
    static v3_result V3_API seek(void* self, int64_t position, int32_t mode, int64_t* result)
    {
        Stream* s = objectOf<Stream>(self);
        const int64_t base = mode == V3_SEEK_SET   ? 0
                             : mode == V3_SEEK_CUR ? s->position
                                                   : static_cast<int64_t>(s->bytes.size());
        s->position = std::clamp<int64_t>(base + position, 0, static_cast<int64_t>(s->bytes.size()));
        if (result)
            *result = s->position;
        return V3_OK;
    }
    static v3_result V3_API tell(void* self, int64_t* position)
    {
        if (position)
            *position = objectOf<Stream>(self)->position;
        return V3_OK;
    }

    static inline const struct Table : v3_funknown {
        v3_bstream stream;
    } table_{{queryKnown<v3_bstream_iid>, noRef, noRef}, {read, write, seek, tell}};

    Vst3Host& host_;
    Vst3Slot<Stream> slot_{&table_, this};
    std::vector<uint8_t> bytes;
    int64_t position = 0;
};

// ---- one block's parameter changes ----
struct Vst3Host::ParameterChanges {
    struct Queue {
        static v3_param_id V3_API id(void* self) { return objectOf<Queue>(self)->parameter; }
        static int32_t V3_API count(void* self) { return static_cast<int32_t>(objectOf<Queue>(self)->points.size()); }
        static v3_result V3_API point(void* self, int32_t index, int32_t* offset, double* value)
        {
            Queue* q = objectOf<Queue>(self);
            if (index < 0 || index >= static_cast<int32_t>(q->points.size()) || !offset || !value)
                return V3_INVALID_ARG;
            *offset = q->points[static_cast<size_t>(index)].first;
            *value = q->points[static_cast<size_t>(index)].second;
            return V3_OK;
        }
        static v3_result V3_API add(void* self, int32_t offset, double value, int32_t* index)
        {
            Queue* q = objectOf<Queue>(self);
            if (index)
                *index = static_cast<int32_t>(q->points.size());
            q->points.push_back({offset, value});
            return V3_OK;
        }

        static inline const v3_param_value_queue_cpp table_{{queryKnown<v3_param_value_queue_iid>, noRef, noRef},
                                                            {id, count, point, add}};
        Vst3Slot<Queue> slot{&table_, this};
        uint32_t parameter = 0;
        std::vector<std::pair<int32_t, double>> points;
    };

    static int32_t V3_API count(void* self)
    {
        return static_cast<int32_t>(objectOf<ParameterChanges>(self)->queues.size());
    }
    static v3_param_value_queue** V3_API data(void* self, int32_t index)
    {
        ParameterChanges* c = objectOf<ParameterChanges>(self);
        if (index < 0 || index >= static_cast<int32_t>(c->queues.size()))
            return nullptr;
        return reinterpret_cast<v3_param_value_queue**>(&c->queues[static_cast<size_t>(index)]->slot);
    }
    // The processor's output: a queue for the parameter.
    static v3_param_value_queue** V3_API add(void* self, v3_param_id* id, int32_t* index)
    {
        ParameterChanges* c = objectOf<ParameterChanges>(self);
        if (!id)
            return nullptr;
        Queue& queue = c->queueOf(*id);
        for (size_t i = 0; index && i < c->queues.size(); ++i)
            if (c->queues[i].get() == &queue)
                *index = static_cast<int32_t>(i);
        return reinterpret_cast<v3_param_value_queue**>(&queue.slot);
    }

    Queue& queueOf(uint32_t id)
    {
        auto found = std::find_if(queues.begin(), queues.end(), [&](auto& q) { return q->parameter == id; });
        if (found != queues.end())
            return **found;
        if (spares.empty()) {
            queues.push_back(std::make_unique<Queue>());
        } else {
            queues.push_back(std::move(spares.back()));
            spares.pop_back();
        }
        queues.back()->parameter = id;
        return *queues.back();
    }
    // Room for a processor's output, made before the process call so that
    // an allocation count during it sees the plug-in's alone.
    void reserve(size_t count, size_t points)
    {
        queues.reserve(queues.size() + count);
        for (size_t i = 0; i < count; ++i) {
            spares.push_back(std::make_unique<Queue>());
            spares.back()->points.reserve(points);
        }
    }
    void addPoint(uint32_t id, int32_t offset, double value) { queueOf(id).points.push_back({offset, value}); }
    v3_param_changes** changes() { return reinterpret_cast<v3_param_changes**>(&slot_); }

    static inline const v3_param_changes_cpp table_{{queryKnown<v3_param_changes_iid>, noRef, noRef},
                                                    {count, data, add}};
    Vst3Slot<ParameterChanges> slot_{&table_, this};
    std::vector<std::unique_ptr<Queue>> queues;
    std::vector<std::unique_ptr<Queue>> spares;
};

// ---- one block's events ----
struct Vst3Host::EventList {
    static uint32_t V3_API count(void* self) { return static_cast<uint32_t>(objectOf<EventList>(self)->events.size()); }
    static v3_result V3_API get(void* self, int32_t index, v3_event* event)
    {
        EventList* list = objectOf<EventList>(self);
        if (index < 0 || index >= static_cast<int32_t>(list->events.size()) || !event)
            return V3_INVALID_ARG;
        *event = list->events[static_cast<size_t>(index)];
        return V3_OK;
    }
    static v3_result V3_API add(void*, v3_event*) { return V3_NOT_IMPLEMENTED; }
    v3_event_list** list() { return reinterpret_cast<v3_event_list**>(&slot_); }

    static inline const v3_event_list_cpp table_{{queryKnown<v3_event_list_iid>, noRef, noRef}, {count, get, add}};
    Vst3Slot<EventList> slot_{&table_, this};
    std::vector<v3_event> events;
};

// ---- a block made ready to hand over ----
struct Vst3Host::Block {
    ParameterChanges changes;
    ParameterChanges outputs;
    EventList events;
    std::vector<float> spare;
    std::vector<OutputPair> channels;  // of each bus, the main one first
    std::vector<v3_audio_bus_buffers> buses;
    v3_process_context context{};
    v3_process_data data{};
};

// ---- what the host shows the plug-in ----
struct Vst3Host::Objects {
    explicit Objects(Vst3Host& host) : owner(host) {}

    static v3_result V3_API getName(void*, v3_str_128 name)
    {
        copyToUtf16(name, 128, "Plinka test host");
        return V3_OK;
    }
    static v3_result V3_API createInstance(void*, v3_tuid, v3_tuid, void** object)
    {
        if (object)
            *object = nullptr;
        return V3_NOT_IMPLEMENTED;
    }
    static v3_result V3_API beginEdit(void* self, v3_param_id id)
    {
        objectOf<Objects>(self)->owner.edits.push_back({'b', id, 0.0});
        return V3_OK;
    }
    static v3_result V3_API performEdit(void* self, v3_param_id id, double value)
    {
        objectOf<Objects>(self)->owner.edits.push_back({'p', id, value});
        return V3_OK;
    }
    static v3_result V3_API endEdit(void* self, v3_param_id id)
    {
        objectOf<Objects>(self)->owner.edits.push_back({'e', id, 0.0});
        return V3_OK;
    }
    static v3_result V3_API restartComponent(void* self, int32_t flags)
    {
        objectOf<Objects>(self)->owner.restarts.push_back(flags);
        return V3_OK;
    }
    static v3_result V3_API setDirty(void* self, v3_bool)
    {
        ++objectOf<Objects>(self)->owner.dirtyNotices;
        return V3_OK;
    }
    static v3_result V3_API requestOpenEditor(void*, const char*) { return V3_NOT_IMPLEMENTED; }
    static v3_result V3_API groupEdit(void*) { return V3_OK; }
    static v3_result V3_API notifyUnitSelection(void*, int32_t) { return V3_OK; }
    static v3_result V3_API notifyProgramListChange(void* self, int32_t, int32_t)
    {
        ++objectOf<Objects>(self)->owner.programListChanges;
        return V3_OK;
    }
    // The component handler, and the interfaces a host offers beside it.
    static v3_result V3_API queryHandler(void* self, const v3_tuid iid, void** object)
    {
        Objects* objects = objectOf<Objects>(self);
        if (!object)
            return V3_INVALID_ARG;
        *object = nullptr;
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_component_handler_iid))
            *object = &objects->handler;
        else if (v3_tuid_match(iid, v3_component_handler2_iid) && objects->owner.offersHandler2)
            *object = &objects->handler2;
        else if (v3_tuid_match(iid, v3_unit_handler_iid) && objects->owner.offersUnitHandler)
            *object = &objects->unitHandler;
        return *object ? V3_OK : V3_NO_INTERFACE;
    }

    static inline const v3_host_application_cpp applicationTable_{{queryKnown<v3_host_application_iid>, noRef, noRef},
                                                                  {getName, createInstance}};
    static inline const struct HandlerTable : v3_funknown {
        v3_component_handler handler;
    } handlerTable_{{queryHandler, noRef, noRef}, {beginEdit, performEdit, endEdit, restartComponent}};
    static inline const struct Handler2Table : v3_funknown {
        v3_component_handler2 handler;
    } handler2Table_{{queryHandler, noRef, noRef}, {setDirty, requestOpenEditor, groupEdit, groupEdit}};
    static inline const v3_unit_handler_cpp unitHandlerTable_{{queryHandler, noRef, noRef},
                                                              {notifyUnitSelection, notifyProgramListChange}};

    Vst3Host& owner;
    Vst3Slot<Objects> application{&applicationTable_, this};
    Vst3Slot<Objects> handler{&handlerTable_, this};
    Vst3Slot<Objects> handler2{&handler2Table_, this};
    Vst3Slot<Objects> unitHandler{&unitHandlerTable_, this};
};

// ---- the editor's frame, with the run loop whose timers idle it ----
struct Vst3Host::Frame {
    static v3_result V3_API query(void* self, const v3_tuid iid, void** object)
    {
        Frame* frame = objectOf<Frame>(self);
        if (!object)
            return V3_INVALID_ARG;
        *object = nullptr;
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_frame_iid))
            *object = &frame->frameSlot;
        else if (v3_tuid_match(iid, v3_run_loop_iid))
            *object = &frame->runLoopSlot;
        return *object ? V3_OK : V3_NO_INTERFACE;
    }
    static v3_result V3_API resizeView(void*, v3_plugin_view**, v3_view_rect*) { return V3_OK; }
    static v3_result V3_API registerHandler(void*, v3_event_handler**, int) { return V3_OK; }
    static v3_result V3_API unregisterHandler(void*, v3_event_handler**) { return V3_OK; }
    static v3_result V3_API registerTimer(void* self, v3_timer_handler** handler, uint64_t)
    {
        objectOf<Frame>(self)->timers.push_back(handler);
        return V3_OK;
    }
    static v3_result V3_API unregisterTimer(void* self, v3_timer_handler** handler)
    {
        auto& timers = objectOf<Frame>(self)->timers;
        timers.erase(std::remove(timers.begin(), timers.end(), handler), timers.end());
        return V3_OK;
    }

    static inline const v3_plugin_frame_cpp frameTable_{{query, noRef, noRef}, {resizeView}};
    static inline const v3_run_loop_cpp runLoopTable_{
        {query, noRef, noRef}, {registerHandler, unregisterHandler, registerTimer, unregisterTimer}};

    Vst3Slot<Frame> frameSlot{&frameTable_, this};
    Vst3Slot<Frame> runLoopSlot{&runLoopTable_, this};
    std::vector<v3_timer_handler**> timers;
};

Vst3Host::Vst3Host() : objects_(std::make_unique<Objects>(*this)), frame_(std::make_unique<Frame>()) {}

Vst3Host::~Vst3Host()
{
    close();
}

bool Vst3Host::load(const std::string& path)
{
    close();
    error_.clear();
    const std::string binary = binaryInBundle(path);
    if (!library_.open(binary, error_))
        return false;
    if (auto* entry = reinterpret_cast<EntryProc>(library_.symbol("ModuleEntry")))
        entry(nullptr);
    else if (auto* init = reinterpret_cast<ExitProc>(library_.symbol("InitDll")))
        init();
    auto* getFactory = reinterpret_cast<FactoryProc>(library_.symbol("GetPluginFactory"));
    factory_ = getFactory ? getFactory() : nullptr;
    if (!factory_) {
        error_ = binary + ": no plug-in factory";
        close();
        return false;
    }
    v3_plugin_factory* factory = v3_cpp_obj(factory_);
    v3_class_info info{};
    void* made = nullptr;
    if (factory->num_classes(factory_) < 1 || factory->get_class_info(factory_, 0, &info) != V3_OK ||
        factory->create_instance(factory_, info.class_id, v3_component_iid, &made) != V3_OK || !made) {
        error_ = binary + ": the factory made no component";
        close();
        return false;
    }
    component_ = static_cast<v3_component**>(made);
    auto** context = reinterpret_cast<v3_funknown**>(&objects_->application);
    v3_cpp_obj_initialize(component_, context);
    processor_ = queryInterface<v3_audio_processor>(component_, v3_audio_processor_iid);
    controller_ = queryInterface<v3_edit_controller>(component_, v3_edit_controller_iid);
    v3_tuid controllerId{};
    if (!controller_ && v3_cpp_obj(component_)->get_controller_class_id(component_, controllerId) == V3_OK &&
        factory->create_instance(factory_, controllerId, v3_edit_controller_iid, &made) == V3_OK) {
        controller_ = static_cast<v3_edit_controller**>(made);
        separateController_ = true;
        v3_cpp_obj_initialize(controller_, context);
    }
    if (!processor_ || !controller_) {
        error_ = binary + ": no audio processor or edit controller";
        close();
        return false;
    }
    midiMapping_ = queryInterface<v3_midi_mapping>(controller_, v3_midi_mapping_iid);
    noteExpressions_ = queryInterface<v3_note_expression_controller>(controller_, v3_note_expression_controller_iid);
    v3_cpp_obj(controller_)
        ->set_component_handler(controller_, reinterpret_cast<v3_component_handler**>(&objects_->handler));
    return true;
}

void Vst3Host::close()
{
    closeEditor();
    if (controller_) {
        v3_cpp_obj(controller_)->set_component_handler(controller_, nullptr);
        if (separateController_)
            v3_cpp_obj_terminate(controller_);
    }
    if (component_)
        v3_cpp_obj_terminate(component_);
    for (auto** object : {reinterpret_cast<v3_funknown**>(noteExpressions_), reinterpret_cast<v3_funknown**>(midiMapping_),
                          reinterpret_cast<v3_funknown**>(controller_),
                          reinterpret_cast<v3_funknown**>(processor_), reinterpret_cast<v3_funknown**>(component_)})
        if (object)
            v3_cpp_obj_unref(object);
    midiMapping_ = nullptr;
    noteExpressions_ = nullptr;
    controller_ = nullptr;
    processor_ = nullptr;
    component_ = nullptr;
    separateController_ = false;
    factory_ = nullptr;
    if (library_.isOpen()) {
        if (auto* exit = reinterpret_cast<ExitProc>(library_.symbol("ModuleExit")))
            exit();
        else if (auto* exitDll = reinterpret_cast<ExitProc>(library_.symbol("ExitDll")))
            exitDll();
    }
    library_.close();
}

void Vst3Host::start(double sampleRate, int32_t maxBlock, bool offline)
{
    v3_process_setup setup{offline ? V3_OFFLINE : V3_REALTIME, V3_SAMPLE_32, maxBlock, sampleRate};
    sampleRate_ = sampleRate;
    // Every output bus stereo and switched on, as a host whose user routed
    // each of them to a track.
    const int32_t buses = std::max(v3_cpp_obj(component_)->get_bus_count(component_, V3_AUDIO, V3_OUTPUT), 1);
    std::vector<v3_speaker_arrangement> stereo(static_cast<size_t>(buses), V3_SPEAKER_L | V3_SPEAKER_R);
    v3_cpp_obj(processor_)->set_bus_arrangements(processor_, nullptr, 0, stereo.data(), buses);
    v3_cpp_obj(processor_)->setup_processing(processor_, &setup);
    for (int32_t bus = 0; bus < buses; ++bus)
        v3_cpp_obj(component_)->activate_bus(component_, V3_AUDIO, V3_OUTPUT, bus, 1);
    v3_cpp_obj(component_)->activate_bus(component_, V3_EVENT, V3_INPUT, 0, 1);
    v3_cpp_obj(component_)->set_active(component_, 1);
    v3_cpp_obj(processor_)->set_processing(processor_, 1);
}

void Vst3Host::stop()
{
    v3_cpp_obj(processor_)->set_processing(processor_, 0);
    v3_cpp_obj(component_)->set_active(component_, 0);
}

v3_class_info_2 Vst3Host::classInfo()
{
    v3_class_info_2 info{};
    auto** factory2 = queryInterface<v3_plugin_factory_2>(factory_, v3_plugin_factory_2_iid);
    if (factory2) {
        v3_cpp_obj(factory2)->get_class_info_2(factory2, 0, &info);
        v3_cpp_obj_unref(factory2);
    }
    return info;
}

std::string Vst3Host::name()
{
    return classInfo().name;
}

std::string Vst3Host::vendor()
{
    return classInfo().vendor;
}

int Vst3Host::outputChannels()
{
    v3_bus_info info{};
    if (v3_cpp_obj(component_)->get_bus_info(component_, V3_AUDIO, V3_OUTPUT, 0, &info) != V3_OK)
        return 0;
    return info.channel_count;
}

bool Vst3Host::midiParameter(int16_t channel, int16_t controller, uint32_t& id)
{
    return midiMapping_ &&
           v3_cpp_obj(midiMapping_)->get_midi_controller_assignment(midiMapping_, 0, channel, controller, &id) == V3_OK;
}

void Vst3Host::process(const BlockMidi& midi, float* left, float* right, int32_t frames)
{
    // As hosts do, every bus switched on gets buffers, listened to or not.
    const size_t extra = extraOutputs().size();
    const auto length = static_cast<size_t>(std::max(frames, 0));
    std::vector<float> unheard(2 * extra * length);
    std::vector<OutputPair> pairs;
    for (size_t bus = 0; bus < extra; ++bus)
        pairs.push_back({unheard.data() + 2 * bus * length, unheard.data() + (2 * bus + 1) * length});
    prepareBlock(midi, left, right, frames, pairs);
    processPrepared();
}

std::vector<std::string> Vst3Host::extraOutputs()
{
    // The stereo buses after the main one, up to the first that is not.
    std::vector<std::string> names;
    const int32_t buses = v3_cpp_obj(component_)->get_bus_count(component_, V3_AUDIO, V3_OUTPUT);
    for (int32_t bus = 1; bus < buses; ++bus) {
        v3_bus_info info{};
        if (v3_cpp_obj(component_)->get_bus_info(component_, V3_AUDIO, V3_OUTPUT, bus, &info) != V3_OK ||
            info.channel_count != 2)
            break;
        std::string name;
        for (size_t i = 0; i < std::size(info.bus_name) && info.bus_name[i]; ++i)
            name += info.bus_name[i] < 0x80 ? static_cast<char>(info.bus_name[i]) : '?';
        names.push_back(name);
    }
    return names;
}

void Vst3Host::processExtra(const BlockMidi& midi, float* left, float* right, const std::vector<OutputPair>& extra,
                            int32_t frames)
{
    prepareBlock(midi, left, right, frames, extra);
    processPrepared();
}

v3_result Vst3Host::processPrepared()
{
    if (!block_)
        return V3_NOT_INITIALIZED;
    const v3_result result = processRaw(block_->data);
    for (const auto& queue : block_->outputs.queues)
        for (const auto& [offset, value] : queue->points)
            outputChanges.push_back({queue->parameter, offset, value});
    return result;
}

void Vst3Host::prepareBlock(const BlockMidi& midi, float* left, float* right, int32_t frames,
                            const std::vector<OutputPair>& extra)
{
    block_ = std::make_unique<Block>();
    ParameterChanges& changes = block_->changes;
    EventList& events = block_->events;
    for (const Vst3Point& point : automation_)
        changes.addPoint(point.id, point.offset, point.value);
    automation_.clear();
    for (const auto& [offset, bytes] : midi) {
        if (bytes.empty())
            continue;
        const uint8_t status = bytes[0] & 0xF0;
        const auto channel = static_cast<int16_t>(bytes[0] & 0x0F);
        const int data1 = bytes.size() > 1 ? bytes[1] & 0x7F : 0;
        const int data2 = bytes.size() > 2 ? bytes[2] & 0x7F : 0;
        v3_event event{};
        event.sample_offset = offset;
        uint32_t id = 0;
        switch (status) {
        case 0x90:
        case 0x80:
            if (status == 0x90 && data2 > 0) {
                event.type = V3_EVENT_NOTE_ON;
                event.note_on = {channel, static_cast<int16_t>(data1), 0.0f, static_cast<float>(data2) / kMidiMax, 0,
                                 -1};
            } else {
                event.type = V3_EVENT_NOTE_OFF;
                event.note_off = {channel, static_cast<int16_t>(data1), static_cast<float>(data2) / kMidiMax, -1, 0.0f};
            }
            events.events.push_back(event);
            break;
        case 0xA0:
            event.type = V3_EVENT_POLY_PRESSURE;
            event.poly_pressure = {channel, static_cast<int16_t>(data1), static_cast<float>(data2) / kMidiMax, -1};
            events.events.push_back(event);
            break;
        case 0xB0:
            if (midiParameter(channel, static_cast<int16_t>(data1), id))
                changes.addPoint(id, offset, static_cast<double>(data2) / kMidiMax);
            break;
        case 0xC0:
            if (midiParameter(channel, kControllerProgram, id))
                changes.addPoint(id, offset, static_cast<double>(data1) / kMidiMax);
            break;
        case 0xD0:
            if (midiParameter(channel, kControllerPressure, id))
                changes.addPoint(id, offset, static_cast<double>(data1) / kMidiMax);
            break;
        case 0xE0:
            if (midiParameter(channel, kControllerBend, id))
                changes.addPoint(id, offset, static_cast<double>(data1 | data2 << 7) / kBendMax);
            break;
        default:
            break;
        }
    }
    events.events.insert(events.events.end(), events_.begin(), events_.end());
    events_.clear();
    block_->spare.resize(static_cast<size_t>(std::max(frames, 0)));
    block_->channels.push_back({left ? left : block_->spare.data(), right ? right : block_->spare.data()});
    block_->channels.insert(block_->channels.end(), extra.begin(), extra.end());
    for (OutputPair& pair : block_->channels) {
        v3_audio_bus_buffers bus{};
        bus.num_channels = 2;
        bus.channel_buffers_32 = pair.data();
        block_->buses.push_back(bus);
    }
    v3_process_data& data = block_->data;
    data.process_mode = V3_REALTIME;
    data.symbolic_sample_size = V3_SAMPLE_32;
    data.nframes = frames;
    data.num_output_buses = static_cast<int32_t>(block_->buses.size());
    data.outputs = block_->buses.data();
    data.input_params = changes.changes();
    block_->outputs.reserve(kOutputQueues, kOutputPoints);
    outputChanges.reserve(outputChanges.size() + kOutputQueues * kOutputPoints);
    data.output_params = block_->outputs.changes();
    data.input_events = events.list();
    block_->context = {};
    block_->context.state = V3_PROCESS_CTX_PLAYING | V3_PROCESS_CTX_TEMPO_VALID;
    block_->context.sample_rate = sampleRate_;
    block_->context.bpm = tempo_;
    data.ctx = &block_->context;
}

v3_result Vst3Host::processRaw(v3_process_data& data)
{
    return v3_cpp_obj(processor_)->process(processor_, &data);
}

bool Vst3Host::openEditor(void* parent)
{
    closeEditor();
    view_ = v3_cpp_obj(controller_)->create_view(controller_, "editor");
    if (!view_)
        return false;
    v3_plugin_view* view = v3_cpp_obj(view_);
    v3_view_rect size{};
    if (view->get_size(view_, &size) == V3_OK) {
        editorWidth = size.right - size.left;
        editorHeight = size.bottom - size.top;
    }
    auto** frame = reinterpret_cast<v3_plugin_frame**>(&frame_->frameSlot);
    if (!framesAfterAttaching)
        view->set_frame(view_, frame);
    if (view->is_platform_type_supported(view_, V3_VIEW_PLATFORM_TYPE_NATIVE) != V3_OK ||
        view->attached(view_, parent, V3_VIEW_PLATFORM_TYPE_NATIVE) != V3_OK) {
        closeEditor();
        return false;
    }
    if (framesAfterAttaching)
        view->set_frame(view_, frame);
    return true;
}

size_t Vst3Host::editorTimers() const
{
    return frame_->timers.size();
}

void Vst3Host::idleEditor()
{
    for (v3_timer_handler** timer : std::vector<v3_timer_handler**>(frame_->timers))
        v3_cpp_obj(timer)->on_timer(timer);
}

void Vst3Host::closeEditor()
{
    if (!view_)
        return;
    v3_plugin_view* view = v3_cpp_obj(view_);
    view->removed(view_);
    view->set_frame(view_, nullptr);
    v3_cpp_obj_unref(view_);
    view_ = nullptr;
}

bool Vst3Host::saveState(std::vector<uint8_t>& state)
{
    Stream stream(*this, {});
    if (v3_cpp_obj(component_)->get_state(component_, stream.stream()) != V3_OK)
        return false;
    state = stream.bytes;
    return true;
}

bool Vst3Host::loadState(const std::vector<uint8_t>& state)
{
    Stream stream(*this, state);
    if (v3_cpp_obj(component_)->set_state(component_, stream.stream()) != V3_OK)
        return false;
    // Hosts hand the controller the same state, from the start.
    Stream again(*this, state);
    v3_cpp_obj(controller_)->set_component_state(controller_, again.stream());
    return true;
}

FxIdentity Vst3Host::fxIdentity()
{
    // Plinka's state is its VST 2 chunk in every format; other instruments
    // have no VST 2 bank files.
    // Told by its class id, which songs store and which never changes.
    if (std::memcmp(classInfo().class_id, kPlinkaVst3ClassId, sizeof(v3_tuid)) == 0)
        return plinkaFxIdentity();
    return {};
}
