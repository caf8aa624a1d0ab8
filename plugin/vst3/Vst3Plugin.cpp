#include "Vst3Plugin.h"

#include "Vst3Identity.h"
#include "Vst3Stream.h"
#include "Vst3View.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

constexpr int32_t kMidiDataMax = 127;
constexpr auto kOwnParameters = static_cast<int32_t>(kParameterCount);
constexpr int32_t kPitchBendMax = 16383;
constexpr int32_t kProgramMax = kProgramCount - 1;
constexpr int32_t kParameterTotal = kOwnParameters + kMidiParamCount + 1;  // the program change last
constexpr int32_t kOutputChannels = 2;
constexpr v3_speaker_arrangement kStereo = V3_SPEAKER_L | V3_SPEAKER_R;
constexpr int32_t kAllPrograms = -1;  // a program list change of more than one program
constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

void silence(float* channel, int32_t frames)
{
    if (channel)
        std::fill(channel, channel + frames, 0.0f);
}

void silence(const EngineOutputs& outputs, int32_t frames)
{
    for (float* channel : outputs.main)
        silence(channel, frames);
    for (const auto& pair : outputs.group)
        for (float* channel : pair)
            silence(channel, frames);
}

Vst3Plugin* owner(void* self)
{
    return slotOwner<Vst3Plugin>(self);
}

bool isMidiParameter(v3_param_id id)
{
    return id >= kMidiParamBase && id < kMidiParamBase + static_cast<uint32_t>(kMidiParamCount);
}

// A normalised value as a MIDI data value of 0..maximum; false for no number.
bool toMidiValue(double normalised, int32_t maximum, int32_t& value)
{
    if (!std::isfinite(normalised))
        return false;
    value = static_cast<int32_t>(std::lround(std::clamp(normalised, 0.0, 1.0) * maximum));
    return true;
}

uint8_t byteOf(int32_t value)
{
    return static_cast<uint8_t>(value & 0x7F);
}

}  // namespace

Vst3Plugin::Vst3Plugin()
{
    for (std::atomic<double>& value : controllerValue_)
        value.store(kNoValue, std::memory_order_relaxed);
    instrument.setEditListener(this);
}

Vst3Plugin::~Vst3Plugin()
{
    if (view_)
        view_->pluginGone();
    instrument.setEditListener(nullptr);
    takeHandler(nullptr);
}

void Vst3Plugin::takeHandler(v3_component_handler** handler)
{
    if (handler)
        v3_cpp_obj_ref(handler);
    for (void** held : {reinterpret_cast<void**>(&handler_), reinterpret_cast<void**>(&handler2_),
                        reinterpret_cast<void**>(&unitHandler_)})
        if (*held) {
            v3_cpp_obj_unref(static_cast<v3_funknown**>(*held));
            *held = nullptr;
        }
    handler_ = handler;
    handler2_ = ::queryInterface<v3_component_handler2>(handler, v3_component_handler2_iid);
    unitHandler_ = ::queryInterface<v3_unit_handler>(handler, v3_unit_handler_iid);
}

uint32_t Vst3Plugin::unref()
{
    const uint32_t left = --references_;
    if (left == 0)
        delete this;
    return left;
}

v3_result Vst3Plugin::queryInterface(const v3_tuid iid, void** object)
{
    if (!object)
        return V3_INVALID_ARG;
    void* found = nullptr;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid) ||
        v3_tuid_match(iid, v3_component_iid))
        found = &componentSlot_;
    else if (v3_tuid_match(iid, v3_audio_processor_iid))
        found = &processorSlot_;
    else if (v3_tuid_match(iid, v3_edit_controller_iid))
        found = &controllerSlot_;
    else if (v3_tuid_match(iid, v3_midi_mapping_iid))
        found = &midiMappingSlot_;
    else if (v3_tuid_match(iid, v3_unit_information_iid))
        found = &unitInfoSlot_;
    else if (v3_tuid_match(iid, v3_note_expression_controller_iid))
        found = &noteExpressionSlot_;
    *object = found;
    if (!found)
        return V3_NO_INTERFACE;
    ref();
    return V3_OK;
}

v3_result V3_API Vst3Plugin::queryInterfaceOf(void* self, const v3_tuid iid, void** object)
{
    return owner(self)->queryInterface(iid, object);
}

uint32_t V3_API Vst3Plugin::refOf(void* self)
{
    return owner(self)->ref();
}

uint32_t V3_API Vst3Plugin::unrefOf(void* self)
{
    return owner(self)->unref();
}

double Vst3Plugin::toNormalised(uint32_t id, double plain)
{
    if (id >= kParameterCount || !std::isfinite(plain))
        return 0.0;
    const ParameterInfo& info = kParameterInfo[id];
    return std::clamp((plain - info.minimum) / (info.maximum - info.minimum), 0.0, 1.0);
}

double Vst3Plugin::toPlain(uint32_t id, double normalised)
{
    if (id >= kParameterCount)
        return 0.0;
    const ParameterInfo& info = kParameterInfo[id];
    if (!std::isfinite(normalised))
        return info.defaultValue;
    const double plain = info.minimum + std::clamp(normalised, 0.0, 1.0) * (info.maximum - info.minimum);
    return info.stepped ? std::round(plain) : plain;
}

// ---- user-interface thread ----

void Vst3Plugin::parameterGestureBegan(uint32_t id)
{
    if (handler_)
        v3_cpp_obj(handler_)->begin_edit(handler_, id);
}

void Vst3Plugin::parameterEdited(uint32_t id, double value)
{
    if (handler_)
        v3_cpp_obj(handler_)->perform_edit(handler_, id, toNormalised(id, value));
}

void Vst3Plugin::parameterGestureEnded(uint32_t id)
{
    if (handler_)
        v3_cpp_obj(handler_)->end_edit(handler_, id);
}

void Vst3Plugin::stateEdited(bool namesChanged)
{
    if (handler2_)
        v3_cpp_obj(handler2_)->set_dirty(handler2_, 1);
    if (namesChanged && unitHandler_)
        v3_cpp_obj(unitHandler_)->notify_program_list_change(unitHandler_, kProgramListId, kAllPrograms);
    // A host without setDirty, or one that cannot hear of renamed programs,
    // reads the values (and the program parameter's names) again: once.
    if (handler_ && (!handler2_ || (namesChanged && !unitHandler_)))
        v3_cpp_obj(handler_)->restart_component(handler_, V3_RESTART_PARAM_VALUES_CHANGED);
}

void Vst3Plugin::programsRenamed()
{
    if (unitHandler_)
        v3_cpp_obj(unitHandler_)->notify_program_list_change(unitHandler_, kProgramListId, kAllPrograms);
    else if (handler_)
        v3_cpp_obj(handler_)->restart_component(handler_, V3_RESTART_PARAM_VALUES_CHANGED);
}

Vst3Plugin::ProgramNames Vst3Plugin::programNames() const
{
    // Only the characters before each terminator: those after it are no
    // part of the name.
    ProgramNames names{};
    instrument.readBank([&](const ProgramBank& bank) {
        for (int32_t program = 0; program < kProgramCount; ++program)
            std::strncpy(&names[static_cast<size_t>(program) * kProgramNameSize], bank[program].name, kProgramNameSize);
    });
    return names;
}

void Vst3Plugin::viewGone(Vst3View* view)
{
    if (view_ == view)
        view_ = nullptr;
}

// ---- component ----

v3_result V3_API Vst3Plugin::initialize(void*, v3_funknown**)
{
    return V3_OK;
}

v3_result V3_API Vst3Plugin::terminate(void* self)
{
    owner(self)->takeHandler(nullptr);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getControllerClassId(void*, v3_tuid)
{
    return V3_NOT_IMPLEMENTED;  // the component is its own controller
}

v3_result V3_API Vst3Plugin::setIoMode(void*, int32_t)
{
    return V3_OK;
}

int32_t V3_API Vst3Plugin::getBusCount(void*, int32_t mediaType, int32_t direction)
{
    if (mediaType == V3_AUDIO && direction == V3_OUTPUT)
        return kVst3OutputBuses;
    if (mediaType == V3_EVENT && direction == V3_INPUT)
        return 1;
    return 0;
}

v3_result V3_API Vst3Plugin::getBusInfo(void* self, int32_t mediaType, int32_t direction, int32_t index,
                                        v3_bus_info* info)
{
    if (!info || index < 0 || index >= getBusCount(self, mediaType, direction))
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->media_type = mediaType;
    info->direction = direction;
    info->channel_count = mediaType == V3_AUDIO ? kOutputChannels : kMidiChannelCount;
    const char* name = mediaType != V3_AUDIO ? "MIDI" : index == 0 ? "Output" : kOutputGroupNames[index - 1];
    copyToUtf16(info->bus_name, 128, name);
    // The groups' buses wait until the user asks for them, as auxiliary
    // buses do.
    info->bus_type = index == 0 ? V3_MAIN : V3_AUX;
    info->flags = index == 0 ? uint32_t(V3_DEFAULT_ACTIVE) : 0u;
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getRoutingInfo(void*, v3_routing_info*, v3_routing_info*)
{
    return V3_NOT_IMPLEMENTED;
}

v3_result V3_API Vst3Plugin::activateBus(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bool state)
{
    if (index < 0 || index >= getBusCount(self, mediaType, direction))
        return V3_INVALID_ARG;
    if (mediaType == V3_AUDIO && index > 0)
        owner(self)->groupBusActive_[index - 1].store(state != 0, std::memory_order_release);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::setActive(void*, v3_bool)
{
    return V3_OK;
}

v3_result V3_API Vst3Plugin::setState(void* self, v3_bstream** stream)
{
    // No exception crosses into the host: a state too large for the memory
    // left is a state not loaded.
    try {
        Vst3Plugin* plugin = owner(self);
        std::vector<uint8_t> bytes;
        if (!readWholeStream(stream, chunk::kMaxBytes, bytes))
            return V3_FALSE;
        const ProgramNames namesBefore = plugin->programNames();
        if (!plugin->instrument.loadState(bytes.data(), bytes.size()))
            return V3_FALSE;
        // The host's program list and program parameter show the names: as
        // after a rename in the editor, it must read them again.
        if (plugin->programNames() != namesBefore)
            plugin->programsRenamed();
        return V3_OK;
    } catch (const std::bad_alloc&) {
        return V3_FALSE;
    } catch (const std::length_error&) {
        return V3_FALSE;
    }
}

v3_result V3_API Vst3Plugin::getState(void* self, v3_bstream** stream)
{
    const unsigned char* bytes = nullptr;
    const size_t size = owner(self)->instrument.saveState(&bytes);
    if (size == 0)
        return V3_NOMEM;
    return writeWholeStream(stream, bytes, size) ? V3_OK : V3_FALSE;
}

// ---- audio processor ----

v3_result V3_API Vst3Plugin::setBusArrangements(void*, v3_speaker_arrangement*, int32_t inputCount,
                                                v3_speaker_arrangement* outputs, int32_t outputCount)
{
    // Stereo only, for the main bus and for as many of the groups' as given.
    if (inputCount != 0 || !outputs || outputCount < 1 || outputCount > kVst3OutputBuses)
        return V3_FALSE;
    return std::all_of(outputs, outputs + outputCount, [](v3_speaker_arrangement a) { return a == kStereo; })
               ? V3_OK
               : V3_FALSE;
}

v3_result V3_API Vst3Plugin::getBusArrangement(void*, int32_t direction, int32_t index,
                                               v3_speaker_arrangement* arrangement)
{
    if (!arrangement || direction != V3_OUTPUT || index < 0 || index >= kVst3OutputBuses)
        return V3_INVALID_ARG;
    *arrangement = kStereo;
    return V3_OK;
}

v3_result V3_API Vst3Plugin::canProcessSampleSize(void*, int32_t size)
{
    return size == V3_SAMPLE_32 ? V3_OK : V3_FALSE;
}

uint32_t V3_API Vst3Plugin::getLatencySamples(void*)
{
    return 0;
}

v3_result V3_API Vst3Plugin::setupProcessing(void* self, v3_process_setup* setup)
{
    if (!setup || !(setup->sample_rate > 0.0) || !std::isfinite(setup->sample_rate))
        return V3_INVALID_ARG;
    owner(self)->sampleRate_.store(setup->sample_rate, std::memory_order_release);
    owner(self)->instrument.prepare(static_cast<float>(setup->sample_rate));
    return V3_OK;
}

v3_result V3_API Vst3Plugin::setProcessing(void* self, v3_bool state)
{
    Vst3Plugin* plugin = owner(self);
    plugin->processing_.store(state != 0, std::memory_order_release);
    if (!state) {
        // No block is left to take what the controller was given last.
        const bool taken[kParameterCount] = {};
        plugin->takeControllerValues(taken);
    }
    return V3_OK;
}

uint32_t V3_API Vst3Plugin::getTailSamples(void*)
{
    return 0;
}

// ---- audio thread: no locks, no allocation ----

v3_result V3_API Vst3Plugin::process(void* self, v3_process_data* data)
{
    Vst3Plugin* plugin = owner(self);
    if (!data)
        return V3_INVALID_ARG;
    const int32_t frames = data->nframes;
    const EngineOutputs outputs = plugin->takeOutputs(*data);
    const double rate = plugin->sampleRate_.load(std::memory_order_acquire);
    plugin->stagedCount_ = 0;
    if (frames == 0 && rate > 0.0) {
        // Hosts hand changes over in calls of no samples (a flush): nothing
        // of them may be lost, and they act as the next block begins.
        plugin->stageParameterChanges(data->input_params, Staging::NextBlock);
        plugin->stageEvents(data->input_events);
        plugin->keepStagedForNextBlock();
        plugin->reportProgram(data->output_params);
        return V3_OK;
    }
    if (frames <= 0 || rate <= 0.0 || data->symbolic_sample_size != V3_SAMPLE_32) {
        // Only settings can be taken before the host has set processing up.
        plugin->stageParameterChanges(data->input_params, Staging::SettingsOnly);
        if (frames > 0)
            silence(outputs, frames);
        return frames <= 0 ? V3_OK : V3_NOT_INITIALIZED;
    }
    plugin->stageParameterChanges(data->input_params, Staging::Rendered);
    plugin->stageEvents(data->input_events);
    if (const v3_process_context* context = data->ctx; context && (context->state & V3_PROCESS_CTX_TEMPO_VALID))
        plugin->instrument.engine.setHostTempo(context->bpm);
    plugin->renderBlock(outputs, frames, static_cast<float>(rate));
    plugin->reportProgram(data->output_params);
    return V3_OK;
}

EngineOutputs Vst3Plugin::takeOutputs(v3_process_data& data)
{
    EngineOutputs outputs;
    if (!data.outputs || data.symbolic_sample_size != V3_SAMPLE_32)
        return outputs;
    const int32_t buses = std::min(data.num_output_buses, kVst3OutputBuses);
    for (int32_t bus = 0; bus < buses; ++bus) {
        v3_audio_bus_buffers& out = data.outputs[bus];
        if (out.num_channels <= 0 || !out.channel_buffers_32)
            continue;
        float* left = out.channel_buffers_32[0];
        float* right = out.num_channels > 1 ? out.channel_buffers_32[1] : nullptr;
        if (bus > 0 && !groupBusActive_[bus - 1].load(std::memory_order_acquire)) {
            // Rendering a bus nobody switched on would only cost time.
            if (data.nframes > 0) {
                silence(left, data.nframes);
                silence(right, data.nframes);
            }
            out.channel_silence_bitset = out.num_channels >= 64 ? ~uint64_t{0} : (uint64_t{1} << out.num_channels) - 1;
            continue;
        }
        out.channel_silence_bitset = 0;
        float** pair = bus == 0 ? outputs.main : outputs.group[bus - 1];
        pair[0] = left;
        pair[1] = right;
    }
    return outputs;
}

void Vst3Plugin::stage(int32_t offset, const uint8_t (&message)[3], int32_t noteId, int32_t expressionKind,
                       double expressionValue)
{
    // More than the engine takes in a block are dropped, as it drops them.
    if (stagedCount_ == kStagedCapacity)
        return;
    StagedMidi& staged = staged_[stagedCount_];
    staged.offset = offset;
    staged.order = static_cast<uint32_t>(stagedCount_++);
    std::copy(std::begin(message), std::end(message), staged.message);
    staged.noteId = noteId;
    staged.expressionKind = expressionKind;
    staged.expressionValue = expressionValue;
}

void Vst3Plugin::queueStaged(int32_t offset, const StagedMidi& staged)
{
    if (staged.expressionKind >= 0) {
        instrument.queueNoteExpression(offset, {-1, -1, staged.noteId}, staged.expressionKind, staged.expressionValue);
        return;
    }
    // A note-on keeps the host's id, which its expressions name it by.
    if ((staged.message[0] & 0xF0) == 0x90 && staged.noteId >= 0) {
        instrument.queueNoteOn(offset, staged.message[0] & 0x0F, staged.message[1], staged.message[2], staged.noteId);
        return;
    }
    instrument.queueMidi(offset, staged.message);
}

bool Vst3Plugin::nextPoint(uint32_t id, int32_t& offset, double& value)
{
    v3_param_value_queue** queue = ownQueues_[id];
    if (!queue)
        return false;
    v3_param_value_queue* points = v3_cpp_obj(queue);
    for (const int32_t count = points->get_point_count(queue); pointCursor_[id] < count; ++pointCursor_[id])
        if (points->get_point(queue, pointCursor_[id], &offset, &value) == V3_OK)
            return true;
    return false;
}

void Vst3Plugin::orderStaged(int32_t last)
{
    for (size_t i = 0; i < stagedCount_; ++i)
        staged_[i].offset = std::clamp(staged_[i].offset, 0, last);
    std::sort(staged_.get(), staged_.get() + stagedCount_, [](const StagedMidi& a, const StagedMidi& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.order < b.order;
    });
}

void Vst3Plugin::keepStagedForNextBlock()
{
    // In the order their offsets give, as a block with samples would have
    // acted on them.
    orderStaged(std::numeric_limits<int32_t>::max());
    for (size_t i = 0; i < stagedCount_; ++i)
        queueStaged(0, staged_[i]);
    stagedCount_ = 0;
}

void Vst3Plugin::takeControllerValues(const bool (&taken)[kParameterCount])
{
    for (uint32_t id = 0; id < kParameterCount; ++id) {
        if (std::isnan(controllerValue_[id].load(std::memory_order_relaxed)))
            continue;
        const double value = controllerValue_[id].exchange(kNoValue, std::memory_order_acquire);
        if (!taken[id] && !std::isnan(value))
            instrument.setParameterValue(id, value);
    }
}

void Vst3Plugin::renderBlock(const EngineOutputs& outputs, int32_t frames, float rate)
{
    // In sample order, those of one sample in arrival order: controllers
    // before notes, as staged. An event at or past the block's end acts at
    // its last sample, as in the CLAP and LV2 builds; one before its start,
    // at its first.
    orderStaged(frames - 1);
    // The block is rendered in parts between the points of the instrument's
    // parameters, each of which acts from its sample on, as in CLAP; a point
    // past the block acts after it, one out of order where the last one did.
    size_t queued = 0;
    int32_t rendered = 0;
    for (;;) {
        int32_t split = frames;
        uint32_t acting = kParameterCount;
        for (uint32_t id = 0; id < kParameterCount; ++id) {
            int32_t offset = 0;
            double value = 0.0;
            if (nextPoint(id, offset, value) &&
                (acting == kParameterCount || std::clamp(offset, rendered, frames) < split)) {
                split = std::clamp(offset, rendered, frames);
                acting = id;
            }
        }
        for (; queued < stagedCount_ && staged_[queued].offset < split; ++queued)
            queueStaged(staged_[queued].offset - rendered, staged_[queued]);
        if (split > rendered) {
            instrument.render(outputs.advancedBy(rendered), split - rendered, rate);
            rendered = split;
        }
        if (acting == kParameterCount)
            return;
        int32_t offset = 0;
        double value = 0.0;
        nextPoint(acting, offset, value);
        ++pointCursor_[acting];
        instrument.setParameterValue(acting, toPlain(acting, value));
    }
}

void Vst3Plugin::reportProgram(v3_param_changes** outputs)
{
    // A program change by MIDI, or of the edited channel, shows in the
    // program parameter; hosts hear of it as of any change the processor makes.
    const int32_t program = instrument.currentProgram();
    if (program == reportedProgram_ || !outputs)
        return;
    // At the sample of the block's last program change of the edited
    // channel; one from elsewhere (the editor, a state) at its first.
    const auto status = static_cast<uint8_t>(0xC0 | instrument.editedChannel());
    int32_t offset = 0;
    for (size_t i = stagedCount_; i-- > 0;)
        if (staged_[i].message[0] == status) {
            offset = staged_[i].offset;
            break;
        }
    int32_t index = 0;
    v3_param_id id = kProgramChangeParam;
    v3_param_value_queue** queue = v3_cpp_obj(outputs)->add_param_data(outputs, &id, &index);
    if (!queue ||
        v3_cpp_obj(queue)->add_point(queue, offset, static_cast<double>(program) / kProgramMax, &index) != V3_OK)
        return;  // told at the next block
    reportedProgram_ = program;
}

void Vst3Plugin::stageParameterChanges(v3_param_changes** changes, Staging staging)
{
    std::fill(std::begin(ownQueues_), std::end(ownQueues_), nullptr);
    std::fill(std::begin(pointCursor_), std::end(pointCursor_), 0);
    v3_param_changes* list = changes ? v3_cpp_obj(changes) : nullptr;
    const int32_t count = list ? list->get_param_count(changes) : 0;
    bool brought[kParameterCount] = {};
    for (int32_t i = 0; i < count; ++i)
        if (v3_param_value_queue** queue = list->get_param_data(changes, i))
            if (const v3_param_id id = v3_cpp_obj(queue)->get_param_id(queue); id < kParameterCount)
                brought[id] = v3_cpp_obj(queue)->get_point_count(queue) > 0;
    takeControllerValues(brought);
    const bool withMidi = staging != Staging::SettingsOnly;
    for (int32_t i = 0; i < count; ++i) {
        v3_param_value_queue** queue = list->get_param_data(changes, i);
        if (!queue)
            continue;
        v3_param_value_queue* points = v3_cpp_obj(queue);
        const v3_param_id id = points->get_param_id(queue);
        const int32_t pointCount = points->get_point_count(queue);
        if (id < kParameterCount && staging == Staging::Rendered) {
            ownQueues_[id] = queue;  // its points act where the block is rendered
            continue;
        }
        if (id < kParameterCount) {
            // Nothing renders: the last point is the one that counts, from
            // the next block's first sample on.
            int32_t offset = 0;
            double value = 0.0;
            if (pointCount > 0 && points->get_point(queue, pointCount - 1, &offset, &value) == V3_OK)
                instrument.setParameterValue(id, toPlain(id, value));
            continue;
        }
        if (withMidi && id == kProgramChangeParam) {
            const uint8_t status = static_cast<uint8_t>(0xC0 | instrument.editedChannel());
            for (int32_t p = 0; p < pointCount; ++p) {
                int32_t offset = 0;
                double normalised = 0.0;
                int32_t program = 0;
                if (points->get_point(queue, p, &offset, &normalised) == V3_OK &&
                    toMidiValue(normalised, kProgramMax, program)) {
                    const uint8_t message[3] = {status, byteOf(program), 0};
                    stage(offset, message);
                }
            }
            continue;
        }
        if (!withMidi || !isMidiParameter(id))
            continue;
        const auto channel = static_cast<int32_t>((id - kMidiParamBase) / kMidiSlotsPerChannel);
        const auto slot = static_cast<int32_t>((id - kMidiParamBase) % kMidiSlotsPerChannel);
        for (int32_t p = 0; p < pointCount; ++p) {
            int32_t offset = 0;
            double normalised = 0.0;
            int32_t value = 0;
            if (points->get_point(queue, p, &offset, &normalised) != V3_OK)
                continue;
            if (!toMidiValue(normalised, slot == kMidiSlotPitchBend ? kPitchBendMax : kMidiDataMax, value))
                continue;
            uint8_t message[3] = {0, 0, 0};
            if (slot < kMidiSlotChannelPressure) {
                message[0] = static_cast<uint8_t>(0xB0 | channel);
                message[1] = byteOf(slot);
                message[2] = byteOf(value);
            } else if (slot == kMidiSlotChannelPressure) {
                message[0] = static_cast<uint8_t>(0xD0 | channel);
                message[1] = byteOf(value);
            } else if (slot == kMidiSlotPitchBend) {
                message[0] = static_cast<uint8_t>(0xE0 | channel);
                message[1] = byteOf(value);
                message[2] = byteOf(value >> 7);
            } else {
                message[0] = static_cast<uint8_t>(0xC0 | channel);
                message[1] = byteOf(value);
            }
            stage(offset, message);
        }
    }
}

void Vst3Plugin::stageEvents(v3_event_list** events)
{
    if (!events)
        return;
    v3_event_list* list = v3_cpp_obj(events);
    const uint32_t count = list->get_event_count(events);
    for (uint32_t i = 0; i < count; ++i) {
        v3_event event{};
        if (list->get_event(events, static_cast<int32_t>(i), &event) != V3_OK)
            continue;
        int16_t channel = 0;
        int16_t pitch = 0;
        float amount = 0.0f;
        uint8_t status = 0;
        int32_t noteId = -1;
        switch (event.type) {
        case V3_EVENT_NOTE_ON:
            status = 0x90;
            channel = event.note_on.channel;
            pitch = event.note_on.pitch;
            amount = event.note_on.velocity;
            noteId = event.note_on.note_id;
            break;
        case V3_EVENT_NOTE_EXP_VALUE:
            stageNoteExpression(event.sample_offset, event.note_exp_value);
            continue;
        case V3_EVENT_NOTE_OFF:
            status = 0x80;
            channel = event.note_off.channel;
            pitch = event.note_off.pitch;
            amount = event.note_off.velocity;
            break;
        case V3_EVENT_POLY_PRESSURE:
            status = 0xA0;
            channel = event.poly_pressure.channel;
            pitch = event.poly_pressure.pitch;
            amount = event.poly_pressure.pressure;
            break;
        default:
            continue;
        }
        int32_t value = 0;
        if (channel < 0 || channel >= kMidiChannelCount || pitch < 0 || pitch > kMidiDataMax ||
            !toMidiValue(amount, kMidiDataMax, value))
            continue;
        // A note on is one at any velocity: MIDI's velocity 0 would end it.
        if (status == 0x90)
            value = std::max(value, 1);
        const uint8_t message[3] = {static_cast<uint8_t>(status | channel), byteOf(pitch), byteOf(value)};
        stage(event.sample_offset, message, noteId);
    }
}

void Vst3Plugin::stageNoteExpression(int32_t offset, const v3_event_note_expression_value& expression)
{
    // VST3's normalized values: tuning 0.5 none, 0 and 1 ten octaves down and
    // up; volume 0.25 as played, an amplitude of four times the value.
    constexpr uint32_t kVolumeType = 0;
    constexpr uint32_t kTuningType = 2;
    if (expression.note_id < 0 || !std::isfinite(expression.value))
        return;
    const double value = std::clamp(expression.value, 0.0, 1.0);
    const uint8_t none[3] = {};
    if (expression.type_id == kTuningType)
        stage(offset, none, expression.note_id, ExpressionTuning, 240.0 * (value - 0.5));
    else if (expression.type_id == kVolumeType)
        stage(offset, none, expression.note_id, ExpressionVolume, 4.0 * value);
}

// ---- edit controller ----

v3_result V3_API Vst3Plugin::setComponentState(void*, v3_bstream**)
{
    return V3_OK;  // the component's own state, which the component has already loaded
}

v3_result V3_API Vst3Plugin::setControllerState(void*, v3_bstream**)
{
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getControllerState(void*, v3_bstream**)
{
    return V3_OK;  // everything is in the component's state
}

int32_t V3_API Vst3Plugin::getParameterCount(void*)
{
    return kParameterTotal;
}

v3_result V3_API Vst3Plugin::getParameterInfo(void*, int32_t index, v3_param_info* info)
{
    if (!info || index < 0 || index >= kParameterTotal)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    if (index == kParameterTotal - 1) {
        // Listed last: Ardour 7 takes the last one flagged as the program change.
        info->param_id = kProgramChangeParam;
        copyToUtf16(info->title, 128, "Program");
        copyToUtf16(info->short_title, 128, "Program");
        info->step_count = kProgramMax;
        info->unit_id = kRootUnit;
        info->flags = V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST | V3_PARAM_PROGRAM_CHANGE;
        return V3_OK;
    }
    if (index < kOwnParameters) {
        const ParameterInfo& parameter = kParameterInfo[index];
        info->param_id = static_cast<v3_param_id>(index);
        copyToUtf16(info->title, 128, parameter.name);
        copyToUtf16(info->short_title, 128, parameter.name);
        copyToUtf16(info->units, 128, index == kParamGain ? "%" : "");
        info->step_count = static_cast<int32_t>(parameter.maximum - parameter.minimum);
        info->default_normalised_value = toNormalised(static_cast<uint32_t>(index), parameter.defaultValue);
        info->flags = V3_PARAM_CAN_AUTOMATE | (index == kParamClock ? V3_PARAM_IS_LIST : 0);
        return V3_OK;
    }
    const int32_t midi = index - kOwnParameters;
    const int32_t channel = midi / kMidiSlotsPerChannel;
    const int32_t slot = midi % kMidiSlotsPerChannel;
    char title[64];
    if (slot < kMidiSlotChannelPressure)
        std::snprintf(title, sizeof title, "MIDI %d CC %d", channel + 1, slot);
    else if (slot == kMidiSlotChannelPressure)
        std::snprintf(title, sizeof title, "MIDI %d Pressure", channel + 1);
    else if (slot == kMidiSlotPitchBend)
        std::snprintf(title, sizeof title, "MIDI %d Bend", channel + 1);
    else
        std::snprintf(title, sizeof title, "MIDI %d Program", channel + 1);
    info->param_id = kMidiParamBase + static_cast<uint32_t>(midi);
    copyToUtf16(info->title, 128, title);
    copyToUtf16(info->short_title, 128, title);
    info->step_count = slot == kMidiSlotPitchBend ? kPitchBendMax : kMidiDataMax;
    info->default_normalised_value = slot == kMidiSlotPitchBend ? 0.5 : 0.0;
    // Read-only: a host then sends them only for the MIDI it maps, never its
    // stored values of all of them when it starts (which would play as
    // controllers set to 0 on every channel).
    info->flags = V3_PARAM_READ_ONLY | V3_PARAM_IS_HIDDEN;
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getParameterStringForValue(void* self, v3_param_id id, double normalised,
                                                        v3_str_128 output)
{
    if (output && id == kProgramChangeParam) {
        int32_t program = 0;
        char name[128];
        if (!toMidiValue(normalised, kProgramMax, program))
            return V3_INVALID_ARG;
        owner(self)->instrument.programName(program, name, sizeof name);
        copyToUtf16(output, 128, name);
        return V3_OK;
    }
    if (!output || id >= kParameterCount)
        return V3_INVALID_ARG;
    char text[64];
    parameterText(id, toPlain(id, normalised), text, sizeof text);
    copyToUtf16(output, 128, text);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getParameterValueForString(void*, v3_param_id id, int16_t* input, double* output)
{
    if (!input || !output || id >= kParameterCount)
        return V3_INVALID_ARG;
    char text[128];
    size_t i = 0;
    for (; i + 1 < sizeof text && input[i] != 0; ++i)
        text[i] = input[i] > 0 && input[i] < 0x80 ? static_cast<char>(input[i]) : '?';
    text[i] = 0;
    double plain = 0.0;
    if (!parameterFromText(id, text, plain))
        return V3_FALSE;
    *output = toNormalised(id, plain);
    return V3_OK;
}

double V3_API Vst3Plugin::normalisedToPlain(void*, v3_param_id id, double normalised)
{
    int32_t program = 0;
    if (id == kProgramChangeParam)
        return toMidiValue(normalised, kProgramMax, program) ? program : 0.0;
    return id < kParameterCount ? toPlain(id, normalised) : normalised;
}

double V3_API Vst3Plugin::plainToNormalised(void*, v3_param_id id, double plain)
{
    if (id == kProgramChangeParam)
        return std::isfinite(plain) ? std::clamp(plain / kProgramMax, 0.0, 1.0) : 0.0;
    return id < kParameterCount ? toNormalised(id, plain) : plain;
}

double V3_API Vst3Plugin::getParameterNormalised(void* self, v3_param_id id)
{
    if (id < kParameterCount)
        return toNormalised(id, owner(self)->instrument.parameterValue(id));
    if (id == kProgramChangeParam)
        return static_cast<double>(owner(self)->instrument.currentProgram()) / kProgramMax;
    const bool bend = isMidiParameter(id) && (id - kMidiParamBase) % kMidiSlotsPerChannel == kMidiSlotPitchBend;
    return bend ? 0.5 : 0.0;
}

v3_result V3_API Vst3Plugin::setParameterNormalised(void* self, v3_param_id id, double normalised)
{
    // The MIDI parameters and the program change act where the processor gets
    // them, at their sample offsets: Ardour also sets the program here, from
    // its audio thread, at the start of the block.
    if (id >= kParameterCount)
        return isMidiParameter(id) || id == kProgramChangeParam ? V3_OK : V3_INVALID_ARG;
    // Hosts mirror their automation here, on a thread of their own, and send
    // the processor the same change at its sample. While blocks run, the
    // value waits for the next process call, which drops it where the call
    // brings the parameter's own points; otherwise it acts at once.
    Vst3Plugin* plugin = owner(self);
    const double plain = toPlain(id, normalised);
    if (plugin->processing_.load(std::memory_order_acquire)) {
        plugin->controllerValue_[id].store(plain, std::memory_order_release);
        return V3_OK;
    }
    plugin->controllerValue_[id].store(kNoValue, std::memory_order_relaxed);
    plugin->instrument.setParameterValue(id, plain);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::setComponentHandler(void* self, v3_component_handler** handler)
{
    owner(self)->takeHandler(handler);
    return V3_OK;
}

v3_plugin_view** V3_API Vst3Plugin::createView(void* self, const char* name)
{
    Vst3Plugin* plugin = owner(self);
    if (!name || std::strcmp(name, "editor") != 0 || plugin->view_)
        return nullptr;
    plugin->view_ = Vst3View::create(*plugin);
    return plugin->view_ ? plugin->view_->view() : nullptr;
}

v3_result V3_API Vst3Plugin::getMidiControllerAssignment(void*, int32_t bus, int16_t channel, int16_t controller,
                                                         v3_param_id* id)
{
    if (!id || bus != 0 || channel < 0 || channel >= kMidiChannelCount || controller < 0 ||
        controller >= kMidiSlotsPerChannel)
        return V3_FALSE;
    *id = kMidiParamBase + static_cast<uint32_t>(channel * kMidiSlotsPerChannel + controller);
    return V3_OK;
}

// ---- unit information ----

int32_t V3_API Vst3Plugin::getUnitCount(void*)
{
    return 1;
}

v3_result V3_API Vst3Plugin::getUnitInfo(void*, int32_t index, v3_unit_info* info)
{
    if (!info || index != 0)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->id = kRootUnit;
    info->parent_unit_id = -1;
    info->program_list_id = kProgramListId;
    copyToUtf16(info->name, 128, "Plinka");
    return V3_OK;
}

int32_t V3_API Vst3Plugin::getProgramListCount(void*)
{
    return 1;
}

v3_result V3_API Vst3Plugin::getProgramListInfo(void*, int32_t index, v3_program_list_info* info)
{
    if (!info || index != 0)
        return V3_INVALID_ARG;
    std::memset(info, 0, sizeof *info);
    info->id = kProgramListId;
    info->programCount = kProgramCount;
    copyToUtf16(info->name, 128, "Programs");
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getProgramName(void* self, int32_t listId, int32_t program, v3_str_128 name)
{
    if (!name || listId != kProgramListId || program < 0 || program >= kProgramCount)
        return V3_INVALID_ARG;
    char text[128];
    owner(self)->instrument.programName(program, text, sizeof text);
    copyToUtf16(name, 128, text);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getProgramInfo(void*, int32_t, int32_t, const char*, v3_str_128)
{
    return V3_FALSE;
}

v3_result V3_API Vst3Plugin::hasProgramPitchNames(void*, int32_t, int32_t)
{
    return V3_FALSE;
}

v3_result V3_API Vst3Plugin::getProgramPitchName(void*, int32_t, int32_t, int16_t, v3_str_128)
{
    return V3_FALSE;
}

int32_t V3_API Vst3Plugin::getSelectedUnit(void*)
{
    return kRootUnit;
}

v3_result V3_API Vst3Plugin::selectUnit(void*, int32_t unit)
{
    return unit == kRootUnit ? V3_OK : V3_INVALID_ARG;
}

v3_result V3_API Vst3Plugin::getUnitByBus(void*, int32_t mediaType, int32_t direction, int32_t bus, int32_t channel,
                                          int32_t* unit)
{
    if (!unit || mediaType != V3_EVENT || direction != V3_INPUT || bus != 0 || channel < 0 ||
        channel >= kMidiChannelCount)
        return V3_INVALID_ARG;
    *unit = kRootUnit;
    return V3_OK;
}

v3_result V3_API Vst3Plugin::setUnitProgramData(void*, int32_t, int32_t, v3_bstream**)
{
    return V3_NOT_IMPLEMENTED;  // programs travel in the state, never one by one
}

// ---- note expression controller ----

namespace {

// VST3's type ids of the two expressions a note takes.
constexpr uint32_t kVolumeExpression = 0;
constexpr uint32_t kTuningExpression = 2;
constexpr uint32_t kNoteExpressions[] = {kVolumeExpression, kTuningExpression};

bool takesNoteExpressions(int32_t bus, int16_t channel)
{
    return bus == 0 && channel >= 0 && channel < kMidiChannelCount;
}

}  // namespace

int32_t V3_API Vst3Plugin::getNoteExpressionCount(void*, int32_t bus, int16_t channel)
{
    return takesNoteExpressions(bus, channel) ? static_cast<int32_t>(std::size(kNoteExpressions)) : 0;
}

v3_result V3_API Vst3Plugin::getNoteExpressionInfo(void*, int32_t bus, int16_t channel, int32_t index,
                                                   v3_note_expression_type_info* info)
{
    if (!info || !takesNoteExpressions(bus, channel) || index < 0 ||
        index >= static_cast<int32_t>(std::size(kNoteExpressions)))
        return V3_INVALID_ARG;
    *info = {};
    info->type_id = kNoteExpressions[index];
    info->unit_id = -1;  // the root unit
    const bool tuning = info->type_id == kTuningExpression;
    copyToUtf16(info->title, std::size(info->title), tuning ? "Tuning" : "Volume");
    copyToUtf16(info->short_title, std::size(info->short_title), tuning ? "Tune" : "Vol");
    copyToUtf16(info->units, std::size(info->units), tuning ? "st" : "dB");
    info->value_desc = {tuning ? 0.5 : 0.25, 0.0, 1.0, 0};
    info->flags = tuning ? v3_note_expression_is_bipolar : 0;
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getNoteExpressionStringByValue(void*, int32_t bus, int16_t channel, uint32_t typeId,
                                                            double value, v3_str_128 string)
{
    if (!string || !takesNoteExpressions(bus, channel) || !std::isfinite(value) ||
        (typeId != kTuningExpression && typeId != kVolumeExpression))
        return V3_INVALID_ARG;
    value = std::clamp(value, 0.0, 1.0);
    char text[32];
    if (typeId == kTuningExpression)
        std::snprintf(text, sizeof text, "%+.2f", 240.0 * (value - 0.5));
    else if (value <= 0.0)
        std::snprintf(text, sizeof text, "-inf");
    else
        std::snprintf(text, sizeof text, "%+.1f", 20.0 * std::log10(4.0 * value));
    copyToUtf16(string, 128, text);
    return V3_OK;
}

v3_result V3_API Vst3Plugin::getNoteExpressionValueByString(void*, int32_t bus, int16_t channel, uint32_t typeId,
                                                            const int16_t* string, double* value)
{
    if (!string || !value || !takesNoteExpressions(bus, channel) ||
        (typeId != kTuningExpression && typeId != kVolumeExpression))
        return V3_INVALID_ARG;
    char text[32] = {};
    for (size_t i = 0; i + 1 < sizeof text && string[i] != 0; ++i)
        text[i] = string[i] > 0 && string[i] < 128 ? static_cast<char>(string[i]) : '?';
    char* end = nullptr;
    const double plain = std::strtod(text, &end);
    if (end == text || std::isnan(plain) || (std::isinf(plain) && (typeId == kTuningExpression || plain > 0)))
        return V3_INVALID_ARG;
    *value = typeId == kTuningExpression ? std::clamp(plain / 240.0 + 0.5, 0.0, 1.0)
                                         : std::clamp(std::pow(10.0, plain / 20.0) / 4.0, 0.0, 1.0);
    return V3_OK;
}

// ---- the interfaces' tables ----

const v3_component_cpp Vst3Plugin::componentTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {initialize, terminate},
    {getControllerClassId, setIoMode, getBusCount, getBusInfo, getRoutingInfo, activateBus, setActive, setState,
     getState},
};

const v3_audio_processor_cpp Vst3Plugin::processorTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {setBusArrangements, getBusArrangement, canProcessSampleSize, getLatencySamples, setupProcessing, setProcessing,
     process, getTailSamples},
};

const v3_edit_controller_cpp Vst3Plugin::controllerTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {initialize, terminate},
    {setComponentState, setControllerState, getControllerState, getParameterCount, getParameterInfo,
     getParameterStringForValue, getParameterValueForString, normalisedToPlain, plainToNormalised,
     getParameterNormalised, setParameterNormalised, setComponentHandler, createView},
};

const v3_midi_mapping_cpp Vst3Plugin::midiMappingTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {getMidiControllerAssignment},
};

const v3_note_expression_controller_cpp Vst3Plugin::noteExpressionTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {getNoteExpressionCount, getNoteExpressionInfo, getNoteExpressionStringByValue, getNoteExpressionValueByString},
};

const v3_unit_information_cpp Vst3Plugin::unitInfoTable_ = {
    {queryInterfaceOf, refOf, unrefOf},
    {getUnitCount, getUnitInfo, getProgramListCount, getProgramListInfo, getProgramName, getProgramInfo,
     hasProgramPitchNames, getProgramPitchName, getSelectedUnit, selectUnit, getUnitByBus, setUnitProgramData},
};
