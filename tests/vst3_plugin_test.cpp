// The VST3 build as a VST3 host sees it, loaded from its bundle through
// GetPluginFactory: its identity, its state against the VST 2 build's chunk,
// renders equal sample for sample to the VST 2 build's (and automation to the
// CLAP build's), parameters and automation, and bad input from a host gone
// wrong.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "TestPaths.h"
#include "instrument/Chunk.h"
#include "instrument/Identity.h"
#include "plugin/vst3/Vst3Plugin.h"
#include "tools/host/ClapHost.h"
#include "tools/host/PluginHost.h"
#include "tools/host/Vst3Host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 44100.0;
constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr uint32_t kGain = 0;
constexpr uint32_t kClock = 1;
constexpr uint32_t kPolyphony = 2;

TimedMidi midi(int64_t frame, uint8_t a, uint8_t b, uint8_t c = 0)
{
    return {frame, {a, b, c}};
}

// Program 2 (a 50 % pulse) on channel 1: A4, bent up and back, a volume
// change, then a chord on channel 2 with program 3 (the triangle) and a
// bend-range RPN, all notes released before the end.
const std::vector<TimedMidi> kPhrase = {
    midi(0, 0xC0, 2),          midi(0, 0x90, 69, 100),        midi(6000, 0xE0, 0x00, 0x50),
    midi(9000, 0xB0, 7, 90),   midi(12000, 0xE0, 0x00, 0x40), midi(15000, 0xC1, 3),
    midi(15000, 0x91, 45, 80), midi(15500, 0xB1, 101, 0),     midi(15500, 0xB1, 100, 0),
    midi(15500, 0xB1, 6, 12),  midi(16000, 0xE1, 0x7F, 0x7F), midi(20000, 0x80, 69, 0),
    midi(24000, 0x81, 45, 64), midi(24000, 0x91, 50, 0),
};

std::vector<float> renderVst2(const std::vector<TimedMidi>& events, int64_t frames, int32_t block,
                              const std::vector<uint8_t>& chunk = {})
{
    PluginHost vst2;
    EXPECT_TRUE(vst2.load(testpaths::vst2Plugin)) << vst2.error();
    if (!chunk.empty())
        vst2.setChunk(chunk);
    vst2.start(static_cast<float>(kRate), block);
    return vst2.render(frames, block, events).left;
}

// Renders frames samples in blocks, each message in the block holding its
// frame at its offset there; both outputs must carry the same signal.
std::vector<float> play(Vst3Host& host, const std::vector<TimedMidi>& events, int64_t frames, int32_t block)
{
    std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
    for (int64_t at = 0; at < frames; at += block) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(block, frames - at));
        BlockMidi blockMidi;
        for (const TimedMidi& event : events)
            if (event.frame >= at && event.frame < at + n)
                blockMidi.push_back(
                    {static_cast<int32_t>(event.frame - at), {event.bytes[0], event.bytes[1], event.bytes[2]}});
        host.process(blockMidi, left.data() + at, right.data() + at, n);
    }
    EXPECT_EQ(left, right);
    return left;
}

// A component handler that records the calls it gets.
struct RecordingHandler {
    static v3_result V3_API query(void*, const v3_tuid, void**) { return V3_NO_INTERFACE; }
    static uint32_t V3_API ref(void*) { return 1; }
    static v3_result V3_API begin(void* self, v3_param_id id)
    {
        slotOwner<RecordingHandler>(self)->edits.push_back({'b', id, 0.0});
        return V3_OK;
    }
    static v3_result V3_API perform(void* self, v3_param_id id, double value)
    {
        slotOwner<RecordingHandler>(self)->edits.push_back({'p', id, value});
        return V3_OK;
    }
    static v3_result V3_API end(void* self, v3_param_id id)
    {
        slotOwner<RecordingHandler>(self)->edits.push_back({'e', id, 0.0});
        return V3_OK;
    }
    static v3_result V3_API restart(void*, int32_t) { return V3_OK; }
    static inline const struct Table : v3_funknown {
        v3_component_handler handler;
    } table{{query, ref, ref}, {begin, perform, end, restart}};
    Vst3Slot<RecordingHandler> slot{&table, this};
    std::vector<Vst3Edit> edits;
};

class Vst3 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host.load(testpaths::vst3Bundle)) << host.error(); }

    std::vector<float> render(const std::vector<TimedMidi>& events, int64_t frames, int32_t block = 512)
    {
        if (!started_)
            host.start(kRate, block, true);
        started_ = true;
        return play(host, events, frames, block);
    }
    std::vector<uint8_t> state()
    {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(host.saveState(bytes));
        return bytes;
    }
    v3_edit_controller* controller() { return v3_cpp_obj(host.controller()); }
    double normalised(uint32_t id) { return controller()->get_parameter_normalised(host.controller(), id); }

    Vst3Host host;
    bool started_ = false;
};

}  // namespace

TEST_F(Vst3, NamesItselfAsTheVst2BuildDoes)
{
    const v3_class_info_2 info = host.classInfo();
    EXPECT_EQ(host.name(), "Plinka");
    EXPECT_EQ(host.vendor(), "Tovak") << "the version has its own field";
    EXPECT_STREQ(info.category, "Audio Module Class");
    EXPECT_STREQ(info.sub_categories, "Instrument|Synth");
    EXPECT_STREQ(info.version, "1.0.0.0");
    // Songs store this id: it never changes.
    const v3_tuid id = V3_ID(0x83DB1106, 0xDFCD5891, 0x0F635769, 0x465CE3CB);
    EXPECT_EQ(std::memcmp(info.class_id, id, sizeof id), 0);
    EXPECT_EQ(host.outputChannels(), 2);
    EXPECT_EQ(controller()->get_parameter_count(host.controller()), 3 + 16 * 131 + 1);
    v3_param_info gain{};
    ASSERT_EQ(controller()->get_parameter_info(host.controller(), 0, &gain), V3_OK);
    EXPECT_EQ(gain.param_id, kGain);
    EXPECT_EQ(gain.step_count, 200);
    EXPECT_TRUE(gain.flags & V3_PARAM_CAN_AUTOMATE);
    // The controllers' parameters are read-only, so that hosts never send
    // their stored values (zero controllers on every channel) at the start.
    v3_param_info volume{};
    ASSERT_EQ(controller()->get_parameter_info(host.controller(), 3 + 7, &volume), V3_OK);
    EXPECT_EQ(volume.flags, V3_PARAM_READ_ONLY | V3_PARAM_IS_HIDDEN);
    uint32_t mapped = 0;
    ASSERT_TRUE(host.midiParameter(0, 7, mapped));
    EXPECT_EQ(volume.param_id, mapped);
}

TEST_F(Vst3, StateIsTheVst2ChunkByteForByteBothWays)
{
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin)) << vst2.error();
    EXPECT_EQ(state(), vst2.getChunk()) << "a fresh instance saves what a fresh VST 2 instance does";

    vst2.setChunk(cells::Builder().cell(cells::ntsc).number(0).bytes());
    const std::vector<uint8_t> palChunk = vst2.getChunk();
    ASSERT_TRUE(host.loadState(palChunk));
    EXPECT_EQ(state(), palChunk);
    EXPECT_EQ(normalised(kClock), 0.0) << "PAL";

    ASSERT_EQ(v3_cpp_obj(host.controller())->set_parameter_normalised(host.controller(), kGain, 0.25), V3_OK);
    const std::vector<uint8_t> edited = state();
    PluginHost other;
    ASSERT_TRUE(other.load(testpaths::vst2Plugin));
    other.setChunk(edited);
    EXPECT_EQ(other.getChunk(), edited) << "the VST 2 build loads what the VST3 build saved";

    host.streamPiece = 1;
    Vst3Host fresh;
    ASSERT_TRUE(fresh.load(testpaths::vst3Bundle));
    fresh.streamPiece = 3;
    ASSERT_TRUE(fresh.loadState(edited)) << "loaded before activation, a few bytes at a time";
    std::vector<uint8_t> back;
    ASSERT_TRUE(fresh.saveState(back));
    EXPECT_EQ(back, edited);
}

TEST_F(Vst3, PlaysThePhraseExactlyAsTheVst2Build)
{
    const std::vector<float> expected = renderVst2(kPhrase, 30000, 512);
    const std::vector<float> out = render(kPhrase, 30000);
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected) << "first difference at "
                                 << std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
    // A4 on the pulse at period 253, before the bend.
    const double a4 = kNtscClock / (16.0 * (253 + 1));
    EXPECT_NEAR(frequencyOf(out, 1000, 6000, kRate), a4, a4 * 0.002);
    EXPECT_NEAR(frequencyOf(out, 7000, 9000, kRate), a4 * std::pow(2.0, 0.5 / 12.0), a4 * 0.004)
        << "bent up a quarter of the default range of two semitones";
}

TEST_F(Vst3, SilentAfterNoteOffAndIndependentOfBlockSize)
{
    const std::vector<float> whole = render(kPhrase, 44100, 512);
    EXPECT_LT(lastSound(whole), 30000) << "silent after the last note off";
    EXPECT_GT(lastSound(whole), 24000);
    for (int32_t block : {1, 64, 1000}) {
        Vst3Host other;
        ASSERT_TRUE(other.load(testpaths::vst3Bundle));
        other.start(kRate, block, false);
        EXPECT_TRUE(play(other, kPhrase, 44100, block) == whole) << "block " << block;
    }
}

TEST_F(Vst3, ProgramChangeAndBendActAtTheirOffsets)
{
    // Program 3 is the triangle: half the pulse's frequency at the same period.
    const std::vector<float> out =
        render({midi(0, 0xC0, 3), midi(0, 0x90, 69, 100), midi(11025, 0xE0, 0x7F, 0x7F)}, 22050);
    const double triangle = kNtscClock / (32.0 * (126 + 1));
    EXPECT_NEAR(frequencyOf(out, 4410, 11025, kRate), triangle, triangle * 0.002);
    EXPECT_NEAR(frequencyOf(out, 13000, 22050, kRate), triangle * std::pow(2.0, 2.0 / 12.0), triangle * 0.01)
        << "bent up by the default two semitones";
}

// Hosts that send program changes to the parameter flagged as the program
// change (Ardour) list its programs through IUnitInfo: the bank's names.
TEST_F(Vst3, TheProgramListNamesTheBankAndItsParameterChangesTheProgram)
{
    v3_param_info info{};
    ASSERT_EQ(controller()->get_parameter_info(host.controller(), 3 + 16 * 131, &info), V3_OK);
    EXPECT_EQ(info.param_id, kProgramChangeParam);
    EXPECT_EQ(info.flags & (V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST), V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST);
    EXPECT_EQ(info.step_count, 127);

    auto** units = queryInterface<v3_unit_information>(host.controller(), v3_unit_information_iid);
    ASSERT_NE(units, nullptr);
    v3_unit_information* unit = v3_cpp_obj(units);
    v3_unit_info root{};
    ASSERT_EQ(unit->get_unit_count(units), 1);
    ASSERT_EQ(unit->get_unit_info(units, 0, &root), V3_OK);
    EXPECT_EQ(root.id, info.unit_id);
    v3_program_list_info list{};
    ASSERT_EQ(unit->get_program_list_info(units, 0, &list), V3_OK);
    EXPECT_EQ(list.id, root.program_list_id);
    EXPECT_EQ(list.programCount, 128);
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin));
    for (int32_t program : {0, 2, 127}) {
        char expected[64] = {};
        vst2.dispatch(effSetProgram, 0, program);
        vst2.dispatch(effGetProgramName, 0, 0, expected);
        v3_str_128 name{};
        ASSERT_EQ(unit->get_program_name(units, list.id, program, name), V3_OK);
        std::string text;
        for (size_t i = 0; name[i] != 0; ++i)
            text += static_cast<char>(name[i]);
        EXPECT_EQ(text, expected) << "program " << program;
        EXPECT_FALSE(text.empty());
    }
    v3_str_128 none{};
    EXPECT_NE(unit->get_program_name(units, list.id, 128, none), V3_OK);
    EXPECT_NE(unit->get_program_name(units, list.id + 1, 0, none), V3_OK);
    v3_cpp_obj_unref(units);

    // Program 3 through the parameter plays what program 3 by MIDI plays.
    Vst3Host byMidi;
    ASSERT_TRUE(byMidi.load(testpaths::vst3Bundle));
    byMidi.start(kRate, 512, true);
    const std::vector<float> expected = play(byMidi, {midi(0, 0xC0, 3), midi(0, 0x90, 57, 100)}, 8192, 512);
    host.setParameter(kProgramChangeParam, 3.0 / 127.0);
    EXPECT_TRUE(render({midi(0, 0x90, 57, 100)}, 8192) == expected);
    EXPECT_DOUBLE_EQ(normalised(kProgramChangeParam), 3.0 / 127.0);
}

TEST_F(Vst3, AutomationReachesTheInstrument)
{
    host.setParameter(kGain, 0.0);
    EXPECT_EQ(lastSound(render({midi(0, 0xC0, 2), midi(0, 0x90, 69, 100)}, 8192)), -1) << "gain 0 is silence";
    EXPECT_EQ(normalised(kGain), 0.0);

    host.setParameter(kGain, 0.5);
    host.setParameter(kClock, 0.0);  // PAL
    const std::vector<float> out = render({midi(0, 0x90, 69, 100)}, 22050);
    const double pal = kPalClock / (16.0 * (235 + 1));
    EXPECT_NEAR(frequencyOf(out, 4410, out.size(), kRate), pal, pal * 0.002);

    v3_str_128 text{};
    ASSERT_EQ(controller()->get_parameter_string_for_value(host.controller(), kClock, 0.0, text), V3_OK);
    EXPECT_EQ(std::string(text, text + 3), std::string("PAL"));
    int16_t voices[] = {'3', 0};
    double value = -1.0;
    ASSERT_EQ(controller()->get_parameter_value_for_string(host.controller(), kPolyphony, voices, &value), V3_OK);
    EXPECT_DOUBLE_EQ(value, 2.0 / 7.0);
}

// Gain automated within blocks, several points a block, acts at each point's
// sample as in the CLAP build.
TEST_F(Vst3, AutomationActsAtItsSampleAsInTheClapBuild)
{
    struct Point {
        int64_t frame;
        double gain;
    };
    const Point points[] = {{100, 50}, {300, 150}, {301, 0}, {511, 200}, {600, 37}, {1030, 120}};
    std::vector<ClapEvent> clapEvents = {ClapEvent::midiMessage(0, 0x90, 69, 100)};
    for (const Point& p : points)
        clapEvents.push_back(ClapEvent::parameter(static_cast<uint32_t>(p.frame), kGain, p.gain));
    ClapHost clap;
    ASSERT_TRUE(clap.load(testpaths::clapPlugin)) << clap.error();
    clap.start(kRate, 512, true);
    host.start(kRate, 512, true);
    std::vector<float> expected(2048), left(2048), right(2048);
    for (int64_t at = 0; at < 2048; at += 512) {
        std::vector<ClapEvent> block;
        for (ClapEvent event : clapEvents)
            if (event.header.time >= at && event.header.time < at + 512) {
                event.header.time -= static_cast<uint32_t>(at);
                block.push_back(event);
            }
        clap.processEvents(block, &expected[at], &right[at], 512);
        for (const Point& p : points)
            if (p.frame >= at && p.frame < at + 512)
                host.setParameter(kGain, p.gain / 200.0, static_cast<int32_t>(p.frame - at));
        host.process(at == 0 ? BlockMidi{{0, {0x90, 69, 100}}} : BlockMidi{}, &left[at], &right[at], 512);
    }
    EXPECT_NE(lastSound(left), -1);
    EXPECT_TRUE(left == expected) << "first difference at "
                                  << std::mismatch(left.begin(), left.end(), expected.begin()).first - left.begin();
}

// A program change by MIDI on the edited channel moves the program
// parameter, which the processor hands back to the host; one on another
// channel does not.
TEST_F(Vst3, ProgramChangesOfTheEditedChannelShowInTheProgramParameter)
{
    render({midi(0, 0xC1, 9), midi(100, 0xC0, 5)}, 512);
    render({midi(7, 0xC1, 3)}, 512);
    ASSERT_EQ(host.outputChanges.size(), 1u);
    EXPECT_EQ(host.outputChanges[0].id, kProgramChangeParam);
    EXPECT_DOUBLE_EQ(host.outputChanges[0].value, 5.0 / 127.0);
    EXPECT_DOUBLE_EQ(normalised(kProgramChangeParam), 5.0 / 127.0);
}

// ---- calls of no samples, offsets at the block's edges ----

namespace {

constexpr int32_t kBlockLength = 512;
constexpr uint32_t kNoProgram = ~0u;

// What a host hands over at one sample: MIDI as the host turns it into
// events and parameter changes, and a program for the program parameter.
struct Handover {
    std::vector<std::vector<uint8_t>> midi;
    uint32_t program = kNoProgram;
};

// Renders frames samples in blocks of kBlockLength, with played at their frames
// and, when flushed, the handover in a call of no samples before the block
// at `at`; otherwise at that block's first sample.
std::vector<float> playHandover(Vst3Host& host, const std::vector<TimedMidi>& played, const Handover& handover,
                                int64_t at, bool flushed, int64_t frames)
{
    std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
    for (int64_t start = 0; start < frames; start += kBlockLength) {
        BlockMidi blockMidi;
        if (start == at) {
            BlockMidi handed;
            for (const std::vector<uint8_t>& bytes : handover.midi)
                handed.push_back({0, bytes});
            if (handover.program != kNoProgram)
                host.setParameter(kProgramChangeParam, handover.program / 127.0);
            if (flushed)
                host.process(handed, nullptr, nullptr, 0);
            else
                blockMidi = handed;
        }
        for (const TimedMidi& event : played)
            if (event.frame >= start && event.frame < start + kBlockLength)
                blockMidi.push_back(
                    {static_cast<int32_t>(event.frame - start), {event.bytes[0], event.bytes[1], event.bytes[2]}});
        host.process(blockMidi, &left[start], &right[start], kBlockLength);
    }
    EXPECT_EQ(left, right);
    return left;
}

// A program's name in the program list, as a host shows it.
std::string programNameOf(Vst3Host& host, int32_t program)
{
    auto** units = queryInterface<v3_unit_information>(host.controller(), v3_unit_information_iid);
    v3_str_128 name{};
    std::string text;
    if (units && v3_cpp_obj(units)->get_program_name(units, kProgramListId, program, name) == V3_OK)
        for (size_t i = 0; i < std::size(name) && name[i] != 0; ++i)
            text += static_cast<char>(name[i]);
    if (units)
        v3_cpp_obj_unref(units);
    return text;
}

// The largest magnitude in [from, to).
float peakOf(const std::vector<float>& signal, size_t from, size_t to)
{
    float peak = 0.0f;
    for (size_t i = from; i < to; ++i)
        peak = std::max(peak, std::abs(signal[i]));
    return peak;
}

}  // namespace

// Hosts flush changes in calls of no samples: a note, a controller through
// its mapped parameter, a program change by MIDI or by the program parameter
// all act at the next block's first sample, as if they had come there.
TEST_F(Vst3, ACallOfNoSamplesKeepsEverythingForTheNextBlock)
{
    constexpr int64_t kAt = 4 * kBlockLength;
    constexpr int64_t kFrames = 40 * kBlockLength;
    const double triangle = kNtscClock / (32.0 * (126 + 1));
    const double pulse = kNtscClock / (16.0 * (253 + 1));
    const struct Case {
        const char* what;
        std::vector<TimedMidi> played;
        Handover handover;
        std::function<void(const std::vector<float>&, Vst3Host&)> check;
    } cases[] = {
        {"program 3 by MIDI, then a note on",
         {},
         {{{0xC0, 3, 0}, {0x90, 69, 100}}},
         [&](const std::vector<float>& out, Vst3Host&) {
             EXPECT_GE(firstSound(out), kAt);
             EXPECT_LT(firstSound(out), kAt + kBlockLength);
             EXPECT_NEAR(frequencyOf(out, kAt + 4410, kAt + 15000, kRate), triangle, triangle * 0.002);
         }},
        {"volume 0 while a note sounds",
         {midi(0, 0xC0, 2), midi(0, 0x90, 69, 100)},
         {{{0xB0, 7, 0}}},
         [&](const std::vector<float>& out, Vst3Host&) {
             EXPECT_NEAR(frequencyOf(out, 1000, kAt, kRate), pulse, pulse * 0.002);
             EXPECT_GT(peakOf(out, 0, kAt), 0.1f);
             // The chip takes the volume at its next frame (1/60 s); the
             // output's step to silence then decays through its high pass.
             EXPECT_LT(peakOf(out, kAt + 8 * kBlockLength, kFrames), 0.01f) << "silenced";
         }},
        {"a note off",
         {midi(0, 0xC0, 2), midi(0, 0x90, 69, 100)},
         {{{0x80, 69, 0}}},
         [&](const std::vector<float>& out, Vst3Host&) {
             EXPECT_GT(peakOf(out, 0, kAt), 0.1f);
             EXPECT_LT(lastSound(out), kFrames / 2) << "released, not stuck";
         }},
        {"program 5 by the program parameter",
         {midi(kAt + kBlockLength, 0x90, 69, 100)},
         {{}, 5},
         [&](const std::vector<float>& out, Vst3Host& flushed) {
             EXPECT_DOUBLE_EQ(
                 v3_cpp_obj(flushed.controller())->get_parameter_normalised(flushed.controller(), kProgramChangeParam),
                 5.0 / 127.0);
             EXPECT_GE(firstSound(out), kAt + kBlockLength);
             EXPECT_LT(firstSound(out), kAt + 2 * kBlockLength);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vst3Host flushing, inBlock;
        ASSERT_TRUE(flushing.load(testpaths::vst3Bundle));
        ASSERT_TRUE(inBlock.load(testpaths::vst3Bundle));
        flushing.start(kRate, kBlockLength, false);
        inBlock.start(kRate, kBlockLength, false);
        const std::vector<float> out = playHandover(flushing, c.played, c.handover, kAt, true, kFrames);
        EXPECT_TRUE(out == playHandover(inBlock, c.played, c.handover, kAt, false, kFrames))
            << "as at the next block's first sample";
        c.check(out, flushing);
    }
}

// Offsets at or past the block's end act at its last sample, as in the CLAP
// and LV2 builds; those before its start at its first. A note off at the
// block's length ends its note.
TEST_F(Vst3, EventsPastTheBlocksEndActAtItsLastSampleAndBeforeItsStartAtItsFirst)
{
    const struct Case {
        int32_t offset;
        int32_t actsAt;
    } cases[] = {{kBlockLength, kBlockLength - 1},
                 {kBlockLength + 1000, kBlockLength - 1},
                 {1 << 30, kBlockLength - 1},
                 {-5, 0},
                 {-(1 << 30), 0}};
    constexpr int64_t kFrames = 200 * kBlockLength;
    const auto renderWith = [](int32_t offsetOff, int32_t offsetOn) {
        Vst3Host other;
        EXPECT_TRUE(other.load(testpaths::vst3Bundle));
        other.start(kRate, kBlockLength, true);
        std::vector<float> left(kFrames), right(kFrames);
        for (int64_t at = 0; at < kFrames; at += kBlockLength) {
            BlockMidi blockMidi;
            if (at == kBlockLength)
                blockMidi = {{offsetOn, {0x90, 69, 100}}};
            if (at == 4 * kBlockLength)
                blockMidi = {{offsetOff, {0x80, 69, 0}}};
            other.process(blockMidi, &left[at], &right[at], kBlockLength);
        }
        return left;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        const std::vector<float> off = renderWith(c.offset, 0);
        EXPECT_TRUE(off == renderWith(c.actsAt, 0)) << "the note off";
        EXPECT_GT(peakOf(off, kBlockLength, 4 * kBlockLength), 0.1f);
        EXPECT_LT(lastSound(off), kFrames / 2) << "the note ended: silence after its release";
        const std::vector<float> on = renderWith(kBlockLength - 1, c.offset);
        EXPECT_TRUE(on == renderWith(kBlockLength - 1, c.actsAt)) << "the note on";
        EXPECT_GE(firstSound(on), kBlockLength + c.actsAt);
        EXPECT_LT(firstSound(on), kBlockLength + c.actsAt + 64) << "the pulse's first step";
    }
}

// A program change by the program parameter acts at its point's sample:
// a note before it plays the old program, one from it on the new one. The
// processor reports the change back at that sample too.
TEST_F(Vst3, TheProgramParameterActsAtItsSample)
{
    constexpr int32_t kNoteAt = 200;
    const std::vector<float> triangle =
        renderVst2({midi(0, 0xC0, 3), midi(kNoteAt, 0x90, 69, 100)}, 8 * kBlockLength, kBlockLength);
    const std::vector<float> before = renderVst2({midi(kNoteAt, 0x90, 69, 100)}, 8 * kBlockLength, kBlockLength);
    ASSERT_FALSE(triangle == before);
    for (int32_t k : {0, 150, 199, 200, 201, 350, kBlockLength - 1}) {
        SCOPED_TRACE(k);
        Vst3Host other;
        ASSERT_TRUE(other.load(testpaths::vst3Bundle));
        other.start(kRate, kBlockLength, true);
        std::vector<float> left(8 * kBlockLength), right(8 * kBlockLength);
        other.setParameter(kProgramChangeParam, 3.0 / 127.0, k);
        other.process({{kNoteAt, {0x90, 69, 100}}}, left.data(), right.data(), kBlockLength);
        for (int32_t at = kBlockLength; at < 8 * kBlockLength; at += kBlockLength)
            other.process({}, &left[at], &right[at], kBlockLength);
        EXPECT_TRUE(left ==
                    renderVst2({midi(k, 0xC0, 3), midi(kNoteAt, 0x90, 69, 100)}, 8 * kBlockLength, kBlockLength))
            << "as a MIDI program change at its sample";
        EXPECT_TRUE(left == (k <= kNoteAt ? triangle : before)) << (k <= kNoteAt ? "the triangle" : "the old program");
        // The host hears of the new program at the same sample.
        ASSERT_EQ(other.outputChanges.size(), 1u);
        EXPECT_EQ(other.outputChanges[0].id, kProgramChangeParam);
        EXPECT_EQ(other.outputChanges[0].offset, k);
        EXPECT_DOUBLE_EQ(other.outputChanges[0].value, 3.0 / 127.0);
    }
}

// A state whose programs have other names has the host read the names again,
// through IUnitHandler where it has one, else through a restart; one with
// the same names tells nothing.
TEST_F(Vst3, AStateThatRenamesProgramsHasTheHostReadTheNamesAgain)
{
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin));
    const std::vector<uint8_t> plain = vst2.getChunk();
    vst2.dispatch(effSetProgram, 0, 7);
    char renamed[] = "Loaded lead";
    vst2.dispatch(effSetProgramName, 0, 0, renamed);
    const std::vector<uint8_t> withName = vst2.getChunk();
    ASSERT_NE(withName, plain);
    for (bool unitHandler : {true, false}) {
        SCOPED_TRACE(unitHandler ? "IUnitHandler" : "restarts only");
        Vst3Host other;
        other.offersUnitHandler = unitHandler;
        ASSERT_TRUE(other.load(testpaths::vst3Bundle));
        const auto notices = [&] { return unitHandler ? other.programListChanges : int(other.restarts.size()); };
        ASSERT_TRUE(other.loadState(plain));
        EXPECT_EQ(notices(), 0) << "the names as they were";
        ASSERT_TRUE(other.loadState(withName));
        EXPECT_EQ(notices(), 1);
        if (!unitHandler) {
            EXPECT_EQ(other.restarts, std::vector<int32_t>{V3_RESTART_PARAM_VALUES_CHANGED});
        }
        EXPECT_EQ(programNameOf(other, 7), "Loaded lead");
        ASSERT_TRUE(other.loadState(withName));
        EXPECT_EQ(notices(), 1) << "loaded again: nothing renamed";
        ASSERT_TRUE(other.loadState(plain));
        EXPECT_EQ(notices(), 2) << "the old name back";
        EXPECT_EQ(other.dirtyNotices, 0) << "a loaded state is not an edit";
    }
}

// A host that mirrors its automation to the controller, on a thread of its
// own, also hands the processor the change at its sample: the sound follows
// the processor's point, as if the controller had not been told. A value the
// controller alone is given acts at the next block's first sample.
TEST_F(Vst3, ValuesMirroredToTheControllerActAtTheProcessorsPointsOrTheNextBlock)
{
    constexpr int32_t kPoint = 300;
    const auto renderWith = [](bool mirrored, bool pointInBlock) {
        Vst3Host other;
        EXPECT_TRUE(other.load(testpaths::vst3Bundle));
        other.start(kRate, kBlockLength, true);
        std::vector<float> left(4 * kBlockLength), right(4 * kBlockLength);
        other.process({{0, {0xC0, 2, 0}}, {0, {0x90, 69, 100}}}, left.data(), right.data(), kBlockLength);
        if (mirrored)
            v3_cpp_obj(other.controller())->set_parameter_normalised(other.controller(), kGain, 0.1);
        if (pointInBlock)
            other.setParameter(kGain, 0.1, kPoint);
        for (int32_t at = kBlockLength; at < 4 * kBlockLength; at += kBlockLength)
            other.process({}, &left[at], &right[at], kBlockLength);
        return left;
    };
    const std::vector<float> atPoint = renderWith(false, true);
    EXPECT_GT(peakOf(atPoint, kBlockLength, kBlockLength + kPoint),
              2.0f * peakOf(atPoint, kBlockLength + kPoint + 50, 2 * kBlockLength))
        << "gain 20 from the point on";
    EXPECT_TRUE(renderWith(true, true) == atPoint) << "the mirrored value waits for the processor's point";
    const std::vector<float> mirroredAlone = renderWith(true, false);
    EXPECT_TRUE(std::equal(atPoint.begin(), atPoint.begin() + kBlockLength, mirroredAlone.begin()));
    EXPECT_GT(peakOf(atPoint, kBlockLength, kBlockLength + kPoint),
              2.0f * peakOf(mirroredAlone, kBlockLength, 2 * kBlockLength))
        << "the controller's value alone acts from the next block's first sample";
    // With processing off, the controller's value is the instrument's at once.
    v3_cpp_obj(host.controller())->set_parameter_normalised(host.controller(), kGain, 0.1);
    EXPECT_DOUBLE_EQ(normalised(kGain), 0.1);
}

TEST_F(Vst3, BadInputChangesNothingAndNeverCrashes)
{
    // Damaged states end as they end in the VST 2 build.
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin));
    std::vector<uint8_t> damaged = cells::Builder().cell(cells::ntsc).number(0).bytes();
    damaged.resize(damaged.size() - 3);
    std::mt19937 random(7);
    std::vector<uint8_t> noise(4096);
    for (uint8_t& byte : noise)
        byte = static_cast<uint8_t>(random());
    for (const std::vector<uint8_t>& bad : {damaged, noise, std::vector<uint8_t>{}}) {
        host.loadState(bad);
        vst2.setChunk(bad);
        EXPECT_EQ(state(), vst2.getChunk());
    }
    const std::vector<uint8_t> before = state();
    EXPECT_FALSE(host.loadState(std::vector<uint8_t>(chunk::kMaxBytes + 1, 0))) << "too long";
    EXPECT_EQ(state(), before);
    host.streamRefusesWrites = true;
    std::vector<uint8_t> refused;
    EXPECT_FALSE(host.saveState(refused)) << "a failed write is a failed save";
    host.streamRefusesWrites = false;

    // Processing before the host set anything up: silence.
    std::vector<float> left(256, 1.0f), right(256, 1.0f);
    host.process({{0, {0x90, 60, 100}}}, left.data(), right.data(), 256);
    EXPECT_EQ(lastSound(left), -1);

    for (double wild : {std::numeric_limits<double>::quiet_NaN(), -1.0, 7.5, 1e300}) {
        host.setParameter(kGain, wild);
        host.setParameter(kPolyphony, wild);
        host.setParameter(12345, wild);
        uint32_t bend = 0;
        ASSERT_TRUE(host.midiParameter(0, 129, bend));
        host.setParameter(bend, wild);
    }
    // Offsets out of order, beyond the block and negative.
    const std::vector<float> out =
        render({midi(300, 0x90, 60, 100), midi(10, 0x90, 64, 100), midi(5000, 0x90, 67, 1)}, 512, 256);
    for (float sample : out)
        ASSERT_TRUE(sample >= -1.0f && sample <= 1.0f);
    BlockMidi odd = {{-5, {0x90, 62, 90}}, {1 << 20, {0x80, 62, 0}}, {3, {0xB0, 200, 255}}};
    host.process(odd, left.data(), right.data(), 256);
    v3_process_data nothing{};
    nothing.symbolic_sample_size = V3_SAMPLE_64;
    nothing.nframes = 64;
    EXPECT_NE(host.processRaw(nothing), V3_OK) << "64-bit samples were refused at setup";
    nothing.symbolic_sample_size = V3_SAMPLE_32;
    EXPECT_EQ(host.processRaw(nothing), V3_OK) << "no buffers, no events: renders into nothing";
    uint32_t unknown = 0;
    EXPECT_FALSE(host.midiParameter(16, 7, unknown));
    EXPECT_FALSE(host.midiParameter(0, 131, unknown));
    EXPECT_EQ(state().size(), before.size());
}

// ---- a track per channel group ----

namespace {

constexpr size_t kGroups = kOutputGroupCount;

// Renders frames samples in blocks through the main bus and the first groups
// of the groups' buses (a null pair where skip says so), left and right
// alike; a gain change at gainAt (unless negative) splits its block.
std::vector<std::vector<float>> playGroups(Vst3Host& host, const std::vector<TimedMidi>& events, int64_t frames,
                                           size_t groups, int64_t gainAt = -1, size_t skip = kGroups)
{
    constexpr int32_t kBlock = 500;
    std::vector<std::vector<float>> out(1 + groups, std::vector<float>(static_cast<size_t>(frames), -1.0f));
    std::vector<float> right(static_cast<size_t>(frames));
    for (int64_t at = 0; at < frames; at += kBlock) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(kBlock, frames - at));
        BlockMidi blockMidi;
        for (const TimedMidi& event : events)
            if (event.frame >= at && event.frame < at + n)
                blockMidi.push_back(
                    {static_cast<int32_t>(event.frame - at), {event.bytes[0], event.bytes[1], event.bytes[2]}});
        if (gainAt >= at && gainAt < at + n)
            host.setParameter(kGain, 0.3, static_cast<int32_t>(gainAt - at));
        std::vector<OutputPair> extra;
        for (size_t g = 0; g < groups; ++g)
            extra.push_back({g == skip ? nullptr : out[1 + g].data() + at, nullptr});
        host.processExtra(blockMidi, out[0].data() + at, right.data() + at, extra, n);
    }
    EXPECT_EQ(out[0], right);
    return out;
}

// Tuning and volume reach the one note whose id they carry, as VST3's
// normalised values: tuning 0.5 none and 240 semitones from 0 to 1, volume
// 0.25 as played. The controller tells hosts it takes those two.
TEST_F(Vst3, NoteExpressionsTuneAndScaleTheNoteTheyName)
{
    constexpr int64_t kAt = 4410;
    constexpr int64_t kFrames = 22050;
    constexpr int32_t kBlock = 512;
    constexpr double kA4 = 440.0, kB4 = 493.883, kD4 = 293.665;
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin)) << vst2.error();
    vst2.setChunk(
        cells::Builder().cell(cells::program).number(0).cell(cells::volume).string("15").cell(cells::duty).string("2").bytes());
    const std::vector<uint8_t> pulse = vst2.getChunk();
    const auto noteOn = [](int16_t channel, int16_t key, int32_t id) {
        v3_event event{};
        event.type = V3_EVENT_NOTE_ON;
        event.note_on = {channel, key, 0.0f, 1.0f, 0, id};
        return event;
    };
    const auto expression = [](uint32_t type, int32_t id, double value) {
        v3_event event{};
        event.type = V3_EVENT_NOTE_EXP_VALUE;
        event.note_exp_value = {type, id, value};
        return event;
    };
    // Key 69 (id 7) on channel 0, key 62 (id 8) on channel 1, then the expressions at kAt.
    const auto render = [&](const std::vector<v3_event>& expressions) {
        Vst3Host other;
        EXPECT_TRUE(other.load(testpaths::vst3Bundle)) << other.error();
        EXPECT_TRUE(other.loadState(pulse));
        other.start(kRate, kBlock, true);
        std::vector<float> left(kFrames), right(kFrames);
        for (int64_t at = 0; at < kFrames; at += kBlock) {
            const auto n = static_cast<int32_t>(std::min<int64_t>(kBlock, kFrames - at));
            if (at == 0) {
                other.sendEvent(noteOn(0, 69, 7));
                other.sendEvent(noteOn(1, 62, 8));
            }
            if (kAt >= at && kAt < at + n)
                for (v3_event event : expressions) {
                    event.sample_offset = static_cast<int32_t>(kAt - at);
                    other.sendEvent(event);
                }
            other.process({}, left.data() + at, right.data() + at, n);
        }
        return left;
    };
    const auto level = [](const std::vector<float>& out, double hz) {
        return strongestToneNear(out, kAt + 2205, kFrames, kRate, hz).amplitude;
    };
    const std::vector<float> plain = render({});
    const double a4 = level(plain, kA4), d4 = level(plain, kD4);
    ASSERT_GT(a4, 0.05);
    ASSERT_GT(d4, 0.05);

    const std::vector<float> tuned = render({expression(2, 7, 0.5 + 2.0 / 240.0)});
    EXPECT_NEAR(level(tuned, kB4), a4, a4 * 0.02);
    // Exactly the chip's B4: the pitch of its period, within a step of the search.
    const double b4 = kNtscClock / (16.0 * std::round(kNtscClock / (16.0 * kB4)));
    EXPECT_NEAR(strongestToneNear(tuned, kAt + 2205, kFrames, kRate, kB4).hz, b4, kB4 * 0.0002);
    EXPECT_LT(level(tuned, kA4), a4 * 0.05);
    EXPECT_NEAR(level(tuned, kD4), d4, d4 * 0.02) << "the other note stays";

    const std::vector<float> quiet = render({expression(0, 8, 0.125)});
    EXPECT_NEAR(level(quiet, kD4), d4 * 8.0 / 15.0, d4 * 0.02) << "half the amplitude: chip volume 8 of 15";
    EXPECT_NEAR(level(quiet, kA4), a4, a4 * 0.02);

    for (const v3_event& unknown : {expression(2, 9, 0.6), expression(1, 7, 0.0), expression(2, -1, 0.6)})
        EXPECT_EQ(render({unknown}), plain) << "type " << unknown.note_exp_value.type_id << " id "
                                            << unknown.note_exp_value.note_id;

    v3_note_expression_controller** notes = host.noteExpressions();
    ASSERT_NE(notes, nullptr);
    v3_note_expression_controller* controller = v3_cpp_obj(notes);
    ASSERT_EQ(controller->get_note_expression_count(notes, 0, 0), 2);
    EXPECT_EQ(controller->get_note_expression_count(notes, 1, 0), 0);
    std::vector<uint32_t> types;
    for (int32_t i = 0; i < 2; ++i) {
        v3_note_expression_type_info info{};
        ASSERT_EQ(controller->get_note_expression_info(notes, 0, 15, i, &info), V3_OK);
        types.push_back(info.type_id);
    }
    EXPECT_EQ(types, (std::vector<uint32_t>{0, 2}));
    v3_note_expression_type_info info{};
    EXPECT_NE(controller->get_note_expression_info(notes, 0, 0, 2, &info), V3_OK);
    const auto text = [&](uint32_t type, double value) {
        v3_str_128 out{};
        EXPECT_EQ(controller->get_note_expression_string_by_value(notes, 0, 0, type, value, out), V3_OK);
        std::string ascii;
        for (int i = 0; out[i] != 0; ++i)
            ascii += static_cast<char>(out[i]);
        double back = -1.0;
        EXPECT_EQ(controller->get_note_expression_value_by_string(notes, 0, 0, type, out, &back), V3_OK);
        EXPECT_NEAR(back, value, 1e-4) << ascii;
        return ascii;
    };
    EXPECT_EQ(text(2, 0.5 + 2.0 / 240.0), "+2.00");
    EXPECT_EQ(text(2, 0.0), "-120.00");
    EXPECT_EQ(text(0, 0.25), "+0.0");
    EXPECT_EQ(text(0, 0.0), "-inf");
}

std::vector<TimedMidi> ofChannel(const std::vector<TimedMidi>& events, int channel)
{
    std::vector<TimedMidi> kept;
    std::copy_if(events.begin(), events.end(), std::back_inserter(kept),
                 [&](const TimedMidi& event) { return (event.bytes[0] & 0x0F) == channel; });
    return kept;
}

}  // namespace

TEST_F(Vst3, OffersTheMainBusThenAnAuxiliaryStereoBusForEachGroup)
{
    v3_component* component = v3_cpp_obj(host.component());
    v3_audio_processor* processor = v3_cpp_obj(host.processor());
    const auto buses = static_cast<int32_t>(1 + kGroups);
    ASSERT_EQ(component->get_bus_count(host.component(), V3_AUDIO, V3_OUTPUT), buses);
    const char* names[] = {"Output", "Pulse 1", "Pulse 2", "Triangle", "Noise", "Samples", "VRC6", "5B", "MMC5", "FDS", "N163", "VRC7"};
    for (int32_t bus = 0; bus < buses; ++bus) {
        v3_bus_info info{};
        ASSERT_EQ(component->get_bus_info(host.component(), V3_AUDIO, V3_OUTPUT, bus, &info), V3_OK);
        std::string name;
        for (size_t i = 0; info.bus_name[i]; ++i)
            name += static_cast<char>(info.bus_name[i]);
        EXPECT_EQ(name, names[bus]);
        EXPECT_EQ(info.channel_count, 2);
        EXPECT_EQ(info.bus_type, bus == 0 ? V3_MAIN : V3_AUX) << name;
        EXPECT_EQ(info.flags, bus == 0 ? uint32_t(V3_DEFAULT_ACTIVE) : 0u) << "only the main bus starts active";
    }
    v3_bus_info info{};
    EXPECT_NE(component->get_bus_info(host.component(), V3_AUDIO, V3_OUTPUT, buses, &info), V3_OK);
    EXPECT_NE(component->activate_bus(host.component(), V3_AUDIO, V3_OUTPUT, buses, 1), V3_OK);
    EXPECT_NE(component->activate_bus(host.component(), V3_AUDIO, V3_OUTPUT, -1, 1), V3_OK);
    EXPECT_EQ(host.extraOutputs(), std::vector<std::string>(names + 1, names + buses));

    // Stereo on the main bus and on as many of the groups' as the host lists.
    std::vector<v3_speaker_arrangement> stereo(kGroups + 2, V3_SPEAKER_L | V3_SPEAKER_R);
    for (int32_t count = 0; count <= buses + 1; ++count)
        EXPECT_EQ(processor->set_bus_arrangements(host.processor(), nullptr, 0, stereo.data(), count) == V3_OK,
                  count >= 1 && count <= buses)
            << count;
    stereo[3] = V3_SPEAKER_L;
    EXPECT_NE(processor->set_bus_arrangements(host.processor(), nullptr, 0, stereo.data(), buses), V3_OK);
}

TEST_F(Vst3, EachGroupsBusHoldsItsVoicesAloneAndTheMainBusIsAsWithoutThem)
{
    const auto render = [](const std::vector<TimedMidi>& events, size_t groups) {
        Vst3Host other;
        EXPECT_TRUE(other.load(testpaths::vst3Bundle));
        other.start(kRate, 500, true);
        return playGroups(other, events, 30000, groups, 7777);
    };
    const std::vector<std::vector<float>> buses = render(kPhrase, kGroups);
    const std::vector<float> silence(30000, 0.0f);
    const std::vector<float> expected[1 + kGroups] = {render(kPhrase, 0)[0],
                                                      render(ofChannel(kPhrase, 0), 0)[0],
                                                      silence,
                                                      render(ofChannel(kPhrase, 1), 0)[0],
                                                      silence,
                                                      silence,
                                                      silence,
                                                      silence,
                                                      silence,
                                                      silence,
                                                      silence,
                                                      silence};
    ASSERT_GT(lastSound(expected[1 + PulseOneGroup]), 20000);
    ASSERT_GT(lastSound(expected[1 + TriangleGroup]), 24000);
    for (size_t bus = 0; bus <= kGroups; ++bus)
        EXPECT_TRUE(buses[bus] == expected[bus]) << "bus " << bus;
}

// Hosts may give fewer buses than offered, or channels without buffers, and
// may leave buses off: those get nothing or silence, and the others, the main
// bus above all, are as with every bus; the main bus is the VST 2 build's.
TEST_F(Vst3, BusesLeftOutOffOrWithoutBuffersLeaveTheOthersAsTheyWere)
{
    // At the gain new instances had until they started lower, which the hash was taken at.
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin)) << vst2.error();
    vst2.setChunk(cells::Builder().cell(cells::gain).number(100).cell(cells::midiControllers).number(1).bytes());
    const std::vector<uint8_t> gain100 = vst2.getChunk();
    ASSERT_TRUE(host.loadState(gain100));
    host.start(kRate, 500, true);
    const std::vector<std::vector<float>> all = playGroups(host, kPhrase, 30000, kGroups);
    EXPECT_TRUE(all[0] == renderVst2(kPhrase, 30000, 500, gain100));
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(renderHash(all[0])));
    EXPECT_STREQ(hash, "e3efeb1f585f16ee") << "the main bus as it always was";

    struct Case {
        size_t groups, skip;
        int off;  // a group whose bus the host switched off, or -1
    };
    for (const Case& c : {Case{0, kGroups, -1}, Case{1, kGroups, -1}, Case{3, 2, -1}, Case{kGroups, kGroups, 2}}) {
        Vst3Host other;
        ASSERT_TRUE(other.load(testpaths::vst3Bundle));
        ASSERT_TRUE(other.loadState(gain100));
        other.start(kRate, 500, true);
        if (c.off >= 0) {
            other.stop();
            v3_cpp_obj(other.component())->activate_bus(other.component(), V3_AUDIO, V3_OUTPUT, 1 + c.off, 0);
            v3_cpp_obj(other.component())->set_active(other.component(), 1);
            v3_cpp_obj(other.processor())->set_processing(other.processor(), 1);
        }
        const std::vector<std::vector<float>> out = playGroups(other, kPhrase, 30000, c.groups, -1, c.skip);
        for (size_t bus = 0; bus <= c.groups; ++bus) {
            const bool missing = bus == 1 + c.skip;
            const bool off = c.off >= 0 && static_cast<int>(bus) == 1 + c.off;
            EXPECT_TRUE(out[bus] == (missing ? std::vector<float>(30000, -1.0f)
                                     : off   ? std::vector<float>(30000, 0.0f)
                                             : all[bus]))
                << c.groups << " groups: bus " << bus;
        }
    }
}

// The editor's gestures, as the editor makes them on the instrument, reach
// the host's component handler as one begin, perform and end each.
TEST(Vst3Editor, EditsReachTheHostAsAutomation)
{
    RecordingHandler handler;

    auto* plugin = new Vst3Plugin();
    void* found = nullptr;
    ASSERT_EQ(plugin->queryInterface(v3_edit_controller_iid, &found), V3_OK);
    auto** controller = static_cast<v3_edit_controller**>(found);
    v3_cpp_obj(controller)->set_component_handler(controller, reinterpret_cast<v3_component_handler**>(&handler.slot));
    plugin->instrument.editParameter(kGain, 50.0);
    plugin->instrument.editParameter(kClock, 0.0);
    ASSERT_EQ(handler.edits.size(), 6u);
    EXPECT_EQ(handler.edits[0].kind, 'b');
    EXPECT_EQ(handler.edits[1].kind, 'p');
    EXPECT_DOUBLE_EQ(handler.edits[1].value, 0.25);
    EXPECT_EQ(handler.edits[2].kind, 'e');
    EXPECT_EQ(handler.edits[4].id, kClock);
    EXPECT_DOUBLE_EQ(handler.edits[4].value, 0.0);
    v3_cpp_obj(controller)->set_component_handler(controller, nullptr);
    v3_cpp_obj_unref(controller);
    plugin->unref();  // the creation's reference: the last one
}

// Console mode through the VST3 build: a group's bus holds its channel as
// the console plays it with nothing else sounding, and the main bus the
// console's mix, the VST 2 build's, which is not the buses' sum.
TEST_F(Vst3, InConsoleModeEachBusIsItsChannelAloneAndTheMainTheConsolesMix)
{
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(testpaths::vst2Plugin)) << vst2.error();
    vst2.setChunk(cells::Builder().cell(cells::gain).number(100).cell(cells::console).number(3).bytes());
    const std::vector<uint8_t> console = vst2.getChunk();
    const std::vector<TimedMidi> first = {midi(0, 0xC0, 2), midi(100, 0x90, 69, 100)};
    const std::vector<TimedMidi> second = {midi(0, 0xC1, 2), midi(100, 0x91, 64, 100)};
    const std::vector<TimedMidi> triangle = {midi(0, 0xC2, 3), midi(100, 0x92, 45, 100)};
    const auto render = [&](const std::vector<TimedMidi>& events, size_t groups) {
        Vst3Host other;
        EXPECT_TRUE(other.load(testpaths::vst3Bundle));
        EXPECT_TRUE(other.loadState(console));
        other.start(kRate, 500, true);
        return playGroups(other, events, 22050, groups);
    };
    std::vector<TimedMidi> all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), triangle.begin(), triangle.end());
    std::stable_sort(all.begin(), all.end(), [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
    const std::vector<std::vector<float>> buses = render(all, kGroups);
    EXPECT_TRUE(buses[1 + PulseOneGroup] == render(first, 0)[0]);
    EXPECT_TRUE(buses[1 + TriangleGroup] == render(triangle, 0)[0]);
    EXPECT_TRUE(buses[0] == renderVst2(all, 22050, 500, console));
    float apart = 0.0f;
    for (size_t i = 0; i < buses[0].size(); ++i)
        apart = std::max(apart, std::abs(buses[0][i] - buses[1 + PulseOneGroup][i] - buses[1 + PulseTwoGroup][i] -
                                         buses[1 + TriangleGroup][i]));
    EXPECT_GT(apart, 0.02f);
}
