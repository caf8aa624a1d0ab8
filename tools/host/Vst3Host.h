// A small VST3 host: loads a module through GetPluginFactory, makes the
// instrument's component, and plays it as a host does: note events for notes,
// and controllers, pitch bend and program changes as parameter changes where
// the plug-in's IMidiMapping assigns them. Answers as IHostApplication,
// IComponentHandler with IComponentHandler2 and IUnitHandler (recording the
// edits and notices), IBStream, and for the editor IPlugFrame with IRunLoop.
#pragma once

#include "DynamicLibrary.h"
#include "InstrumentHost.h"
#include "plugin/vst3/Vst3Interfaces.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One call the plug-in made on the component handler.
struct Vst3Edit {
    char kind;  // 'b' begin, 'p' perform, 'e' end
    uint32_t id;
    double value;  // normalised, for perform
};

// A parameter's point, as a block's changes carry it.
struct Vst3Point {
    uint32_t id;
    int32_t offset;
    double value;  // normalised
};

class Vst3Host final : public InstrumentHost {
public:
    Vst3Host();
    ~Vst3Host() override;
    Vst3Host(const Vst3Host&) = delete;
    Vst3Host& operator=(const Vst3Host&) = delete;

    // A bundle (Plinka.vst3) or the binary inside it.
    bool load(const std::string& path) override;
    const std::string& error() const override { return error_; }
    void close();

    void start(double sampleRate, int32_t maxBlock, bool offline) override;
    void stop() override;

    std::string name() override;
    std::string vendor() override;
    int outputChannels() override;

    // Hands every bus start() switched on a buffer, as hosts do; the extra
    // ones' samples are dropped.
    void process(const BlockMidi& midi, float* left, float* right, int32_t frames) override;
    // The auxiliary output buses', which start() switches on.
    std::vector<std::string> extraOutputs() override;
    void processExtra(const BlockMidi& midi, float* left, float* right, const std::vector<OutputPair>& extra,
                      int32_t frames) override;

    bool saveState(std::vector<uint8_t>& state) override;
    bool loadState(const std::vector<uint8_t>& state) override;
    FxIdentity fxIdentity() override;

    // ---- VST3 only ----
    // The factory's description of the first class.
    v3_class_info_2 classInfo();
    // A parameter change (normalised) the next process call hands over at
    // its offset, as host automation does.
    void setParameter(uint32_t id, double normalised, int32_t offset = 0)
    {
        automation_.push_back({id, offset, normalised});
    }
    // Events the next process call hands over as they are, after those made
    // from its MIDI: notes with ids, note expressions.
    void sendEvent(const v3_event& event) { events_.push_back(event); }
    // A note expression's interface on the controller, or null where the plug-in has none.
    v3_note_expression_controller** noteExpressions() { return noteExpressions_; }
    // The parameter the plug-in assigns to a controller (128 channel
    // pressure, 129 pitch bend, 130 program change), or false.
    bool midiParameter(int16_t channel, int16_t controller, uint32_t& id);
    // process() in two steps: everything the host builds for a block first,
    // then the process call alone (what an allocation count watches).
    void prepareBlock(const BlockMidi& midi, float* left, float* right, int32_t frames,
                      const std::vector<OutputPair>& extra = {});
    v3_result processPrepared();
    // Process data as given: for feeding bad input.
    v3_result processRaw(v3_process_data& data);

    // The editor's view attached to parent (an X11 window id, an HWND). It
    // idles on idleEditor (the timers it registered with the run loop) or, on
    // Windows, on the thread's messages.
    bool openEditor(void* parent);
    // The size the view asked for when it was opened (getSize), as hosts
    // size the window they embed it in.
    int editorWidth = 0, editorHeight = 0;
    void idleEditor();
    void closeEditor();
    // The timers the editor has registered with the run loop.
    size_t editorTimers() const;
    // Hands the view its frame after attaching it, as some hosts do.
    bool framesAfterAttaching = false;

    v3_component** component() const { return component_; }
    v3_audio_processor** processor() const { return processor_; }
    v3_edit_controller** controller() const { return controller_; }

    // The largest piece the IBStream reads or writes at once, as hosts that
    // hand streams over a few bytes at a time do; and a stream that takes no
    // bytes at all.
    int32_t streamPiece = 7;
    bool streamRefusesWrites = false;
    std::vector<Vst3Edit> edits;
    // What the plug-in told the host besides edits: setDirty calls, the
    // flags of each restartComponent, program list changes. Without
    // IComponentHandler2 (a host of VST3 before 3.1) there is no setDirty.
    bool offersHandler2 = true;
    // Without IUnitHandler (hosts that show no program lists) renamed
    // programs come as restarts.
    bool offersUnitHandler = true;
    int dirtyNotices = 0;
    std::vector<int32_t> restarts;
    int programListChanges = 0;
    // The parameter changes the processor handed back, block after block.
    std::vector<Vst3Point> outputChanges;

    struct Stream;
    struct ParameterChanges;
    struct EventList;

private:
    struct Objects;
    struct Block;
    struct Frame;

    DynamicLibrary library_;
    std::string error_;
    std::unique_ptr<Objects> objects_;
    v3_plugin_factory** factory_ = nullptr;
    v3_component** component_ = nullptr;
    v3_audio_processor** processor_ = nullptr;
    v3_edit_controller** controller_ = nullptr;
    v3_midi_mapping** midiMapping_ = nullptr;
    v3_note_expression_controller** noteExpressions_ = nullptr;
    bool separateController_ = false;
    double sampleRate_ = 0.0;
    std::vector<Vst3Point> automation_;
    std::vector<v3_event> events_;
    std::unique_ptr<Block> block_;
    std::unique_ptr<Frame> frame_;
    v3_plugin_view** view_ = nullptr;
};
