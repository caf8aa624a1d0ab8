// The instrument as a VST3 plug-in: one object that is the component, the
// audio processor and the edit controller at once, over one Instrument.
// Host notes arrive as note events; controllers, pitch bend and program
// changes arrive as changes of hidden parameters that IMidiMapping assigns to
// each channel's controllers, and become MIDI again at their sample offsets.
// Hosts that ask IMidiMapping for no program change (Ardour 7) send it to the
// one parameter flagged as the program change, whose program list IUnitInfo
// names; it changes the edited channel's program, as a VST 2 host's does.
#pragma once

#include "Vst3Interfaces.h"
#include "engine/EventQueue.h"
#include "instrument/Instrument.h"
#include "instrument/Parameters.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class Vst3View;

// Parameter ids past the instrument's own: one per MIDI channel and
// controller slot (0..127 controllers, then channel pressure, pitch bend,
// program change, in IMidiMapping's numbering).
constexpr uint32_t kMidiParamBase = 0x10000;
constexpr int32_t kMidiSlotChannelPressure = 128;
constexpr int32_t kMidiSlotPitchBend = 129;
constexpr int32_t kMidiSlotProgramChange = 130;
constexpr int32_t kMidiSlotsPerChannel = 131;
constexpr int32_t kMidiParamCount = kMidiChannelCount * kMidiSlotsPerChannel;

// The program change parameter, listed last: the programs of the root unit's
// one program list, the bank's 128.
constexpr uint32_t kProgramChangeParam = 0x20000;
constexpr int32_t kRootUnit = 0;
// The main output bus, then an auxiliary one for each channel group.
constexpr int32_t kVst3OutputBuses = 1 + kOutputGroupCount;
constexpr int32_t kProgramListId = 0;

class Vst3Plugin final : public EditListener {
public:
    Vst3Plugin();
    ~Vst3Plugin() override;
    Vst3Plugin(const Vst3Plugin&) = delete;
    Vst3Plugin& operator=(const Vst3Plugin&) = delete;

    // The component interface, referenced once for the caller.
    void* component() { return &componentSlot_; }
    v3_result queryInterface(const v3_tuid iid, void** object);
    uint32_t ref() { return ++references_; }
    uint32_t unref();

    // ---- user-interface thread ----
    // The editor's edits: gestures as begin, perform and end edits; an edit
    // of the saved state as setDirty where the host's component handler has
    // it (IComponentHandler2), else a restart that has it read the values
    // again; renamed programs as a change of the program list (IUnitHandler),
    // else that restart.
    void parameterGestureBegan(uint32_t id) override;
    void parameterEdited(uint32_t id, double value) override;
    void parameterGestureEnded(uint32_t id) override;
    void stateEdited(bool namesChanged) override;
    void viewGone(Vst3View* view);
    // Has the host read the program names again (after a state load that
    // renamed some): a program list change, else the restart that has it
    // read the values and the program parameter's names.
    void programsRenamed();
    // Every program's name, each in a field of its own: what a load is
    // compared by.
    using ProgramNames = std::array<char, kProgramCount * kProgramNameSize>;
    ProgramNames programNames() const;

    Instrument instrument;

    // Normalised (0..1) and plain values of the instrument's parameters.
    static double toNormalised(uint32_t id, double plain);
    static double toPlain(uint32_t id, double normalised);

private:
    using Self = Vst3Plugin;
    // Holds the host's component handler (null: none) and the other
    // interfaces it offers, letting go of the ones before.
    void takeHandler(v3_component_handler** handler);

    static v3_result V3_API queryInterfaceOf(void* self, const v3_tuid iid, void** object);
    static uint32_t V3_API refOf(void* self);
    static uint32_t V3_API unrefOf(void* self);

    // ---- component (host thread) ----
    static v3_result V3_API initialize(void* self, v3_funknown** context);
    static v3_result V3_API terminate(void* self);
    static v3_result V3_API getControllerClassId(void* self, v3_tuid classId);
    static v3_result V3_API setIoMode(void* self, int32_t mode);
    static int32_t V3_API getBusCount(void* self, int32_t mediaType, int32_t direction);
    static v3_result V3_API getBusInfo(void* self, int32_t mediaType, int32_t direction, int32_t index,
                                       v3_bus_info* info);
    static v3_result V3_API getRoutingInfo(void* self, v3_routing_info* input, v3_routing_info* output);
    static v3_result V3_API activateBus(void* self, int32_t mediaType, int32_t direction, int32_t index, v3_bool state);
    static v3_result V3_API setActive(void* self, v3_bool state);
    static v3_result V3_API setState(void* self, v3_bstream** stream);
    static v3_result V3_API getState(void* self, v3_bstream** stream);

    // ---- audio processor (setup on the host thread, process on the audio thread) ----
    static v3_result V3_API setBusArrangements(void* self, v3_speaker_arrangement* inputs, int32_t inputCount,
                                               v3_speaker_arrangement* outputs, int32_t outputCount);
    static v3_result V3_API getBusArrangement(void* self, int32_t direction, int32_t index,
                                              v3_speaker_arrangement* arrangement);
    static v3_result V3_API canProcessSampleSize(void* self, int32_t size);
    static uint32_t V3_API getLatencySamples(void* self);
    static v3_result V3_API setupProcessing(void* self, v3_process_setup* setup);
    static v3_result V3_API setProcessing(void* self, v3_bool state);
    // Audio thread. Never blocks or allocates.
    static v3_result V3_API process(void* self, v3_process_data* data);
    static uint32_t V3_API getTailSamples(void* self);

    // ---- edit controller (user-interface thread) ----
    static v3_result V3_API setComponentState(void* self, v3_bstream** stream);
    static v3_result V3_API setControllerState(void* self, v3_bstream** stream);
    static v3_result V3_API getControllerState(void* self, v3_bstream** stream);
    static int32_t V3_API getParameterCount(void* self);
    static v3_result V3_API getParameterInfo(void* self, int32_t index, v3_param_info* info);
    static v3_result V3_API getParameterStringForValue(void* self, v3_param_id id, double normalised,
                                                       v3_str_128 output);
    static v3_result V3_API getParameterValueForString(void* self, v3_param_id id, int16_t* input, double* output);
    static double V3_API normalisedToPlain(void* self, v3_param_id id, double normalised);
    static double V3_API plainToNormalised(void* self, v3_param_id id, double plain);
    static double V3_API getParameterNormalised(void* self, v3_param_id id);
    static v3_result V3_API setParameterNormalised(void* self, v3_param_id id, double normalised);
    static v3_result V3_API setComponentHandler(void* self, v3_component_handler** handler);
    static v3_plugin_view** V3_API createView(void* self, const char* name);

    static v3_result V3_API getMidiControllerAssignment(void* self, int32_t bus, int16_t channel, int16_t controller,
                                                        v3_param_id* id);

    // ---- unit information (user-interface thread) ----
    static int32_t V3_API getUnitCount(void* self);
    static v3_result V3_API getUnitInfo(void* self, int32_t index, v3_unit_info* info);
    static int32_t V3_API getProgramListCount(void* self);
    static v3_result V3_API getProgramListInfo(void* self, int32_t index, v3_program_list_info* info);
    static v3_result V3_API getProgramName(void* self, int32_t listId, int32_t program, v3_str_128 name);
    static v3_result V3_API getProgramInfo(void* self, int32_t listId, int32_t program, const char* attribute,
                                           v3_str_128 value);
    static v3_result V3_API hasProgramPitchNames(void* self, int32_t listId, int32_t program);
    static v3_result V3_API getProgramPitchName(void* self, int32_t listId, int32_t program, int16_t pitch,
                                                v3_str_128 name);
    static int32_t V3_API getSelectedUnit(void* self);
    static v3_result V3_API selectUnit(void* self, int32_t unit);
    static v3_result V3_API getUnitByBus(void* self, int32_t mediaType, int32_t direction, int32_t bus, int32_t channel,
                                         int32_t* unit);
    static v3_result V3_API setUnitProgramData(void* self, int32_t listOrUnit, int32_t program, v3_bstream** data);

    // ---- audio thread ----
    // A MIDI message staged at its sample offset until the part of the
    // block it falls in renders.
    struct StagedMidi {
        int32_t offset;
        uint32_t order;  // of arrival: the tie-break within one sample
        uint8_t message[3];
        int32_t noteId;          // a note-on's host id, or the note an expression names; -1: none
        int32_t expressionKind;  // a NoteExpressionKind: a note expression, not MIDI; -1: MIDI
        double expressionValue;  // in the engine's units
    };
    static constexpr size_t kStagedCapacity = EventQueue::kCapacity;

    // What a process call does with the changes it brings.
    enum class Staging {
        SettingsOnly,  // before setup: the settings alone, each at its last point
        NextBlock,     // a call of no samples: everything acts at the next block's first sample
        Rendered,      // a block with samples: everything at its sample offset
    };
    // Controller, bend and program changes are staged before the block's
    // note events, which keeps them first where both fall on one sample, as
    // a program change before its note must be. The instrument's own
    // parameters' queues are kept for renderBlock when it renders; otherwise
    // the last point of each counts. Values the controller was given take
    // effect first, for the parameters whose changes the call does not bring.
    void stageParameterChanges(v3_param_changes** changes, Staging staging);
    void stageEvents(v3_event_list** events);
    void stage(int32_t offset, const uint8_t (&message)[3], int32_t noteId = -1, int32_t expressionKind = -1,
               double expressionValue = 0.0);
    void stageNoteExpression(int32_t offset, const v3_event_note_expression_value& expression);
    void queueStaged(int32_t offset, const StagedMidi& staged);
    // Puts the staged MIDI in sample order, those of one sample in arrival
    // order, each offset first brought into 0..last.
    void orderStaged(int32_t last);
    // Hands the staged MIDI to the engine, whose queue keeps it for the
    // first sample of the next block that renders.
    void keepStagedForNextBlock();
    // Sets the parameters the controller was given while blocks ran, except
    // those whose points the block brings (taken[id]): the host's own,
    // sample-accurate version of the same change.
    void takeControllerValues(const bool (&taken)[kParameterCount]);
    // ---- note expression controller: tuning and volume ----
    static int32_t V3_API getNoteExpressionCount(void* self, int32_t bus, int16_t channel);
    static v3_result V3_API getNoteExpressionInfo(void* self, int32_t bus, int16_t channel, int32_t index,
                                                  v3_note_expression_type_info* info);
    static v3_result V3_API getNoteExpressionStringByValue(void* self, int32_t bus, int16_t channel, uint32_t typeId,
                                                           double value, v3_str_128 string);
    static v3_result V3_API getNoteExpressionValueByString(void* self, int32_t bus, int16_t channel, uint32_t typeId,
                                                           const int16_t* string, double* value);

    // The next readable point of an own parameter's queue, not yet taken.
    bool nextPoint(uint32_t id, int32_t& offset, double& value);
    // Renders the block, the staged MIDI and the parameters' points each at
    // its sample.
    void renderBlock(const EngineOutputs& outputs, int32_t frames, float rate);
    // The outputs of the buses the host gave; an inactive group's bus gets
    // silence, marked as such.
    EngineOutputs takeOutputs(v3_process_data& data);
    // Hands the host the program parameter's new value when the edited
    // channel's program changed.
    void reportProgram(v3_param_changes** outputs);

    static const v3_component_cpp componentTable_;
    static const v3_audio_processor_cpp processorTable_;
    static const v3_edit_controller_cpp controllerTable_;
    static const v3_midi_mapping_cpp midiMappingTable_;
    static const v3_unit_information_cpp unitInfoTable_;
    static const v3_note_expression_controller_cpp noteExpressionTable_;

    Vst3Slot<Vst3Plugin> componentSlot_{&componentTable_, this};
    Vst3Slot<Vst3Plugin> processorSlot_{&processorTable_, this};
    Vst3Slot<Vst3Plugin> controllerSlot_{&controllerTable_, this};
    Vst3Slot<Vst3Plugin> midiMappingSlot_{&midiMappingTable_, this};
    Vst3Slot<Vst3Plugin> unitInfoSlot_{&unitInfoTable_, this};
    Vst3Slot<Vst3Plugin> noteExpressionSlot_{&noteExpressionTable_, this};

    std::atomic<uint32_t> references_{1};
    std::atomic<double> sampleRate_{0.0};  // 0 until the host sets processing up
    // The user-interface thread's: the host's component handler, its
    // IComponentHandler2 and IUnitHandler where it has them.
    v3_component_handler** handler_ = nullptr;
    v3_component_handler2** handler2_ = nullptr;
    v3_unit_handler** unitHandler_ = nullptr;
    Vst3View* view_ = nullptr;  // the open editor view, not owned
    // The groups' buses the host switched on (host thread, while the
    // component is inactive); the audio thread reads them.
    std::atomic<bool> groupBusActive_[kOutputGroupCount] = {};
    // Between setProcessing(true) and (false) the controller's values wait,
    // as plain values, for the start of the next process call (NaN: none):
    // the audio thread takes them there, never in the middle of a block.
    std::atomic<bool> processing_{false};
    std::atomic<double> controllerValue_[kParameterCount];

    // The audio thread's.
    std::unique_ptr<StagedMidi[]> staged_{new StagedMidi[kStagedCapacity]};
    size_t stagedCount_ = 0;
    v3_param_value_queue** ownQueues_[kParameterCount] = {};  // this block's, by parameter id
    int32_t pointCursor_[kParameterCount] = {};               // the first point of each not yet acted on
    int32_t reportedProgram_ = 0;  // the edited channel's program as the host last heard of it
};
