// The CLAP build as a CLAP host sees it, loaded through clap_entry, against
// the VST 2 build: the same identity, the same state bytes, the same samples
// for the same MIDI (or the same notes as CLAP note events), parameters that
// automate, edits that reach the host, and bad input handled as safely.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"
#include "TestPaths.h"
#include "instrument/Chunk.h"
#include "plugin/clap/ClapPlugin.h"
#include "tools/host/ClapHost.h"

#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/note-ports.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr float kRate = 44100.0f;

std::string clapUnderTest()
{
    if (const char* path = std::getenv("PLINKA_CLAP"); path && *path)
        return path;
    return testpaths::clapPlugin;
}

// An event at an absolute frame of a rendering.
struct Timed {
    int64_t frame;
    ClapEvent event;
};

Timed midi(int64_t frame, uint8_t status, uint8_t data1, uint8_t data2)
{
    return {frame, ClapEvent::midiMessage(0, status, data1, data2)};
}
Timed note(int64_t frame, uint16_t type, int16_t channel, int16_t key, double velocity = 1.0)
{
    return {frame, ClapEvent::noteEvent(type, 0, channel, key, velocity)};
}
Timed parameter(int64_t frame, clap_id id, double value)
{
    return {frame, ClapEvent::parameter(0, id, value)};
}

// Renders frames samples in blocks, each event in the block holding its
// frame, through the main output port and the groups' next to it up to ports
// in all, each with both channels.
std::vector<StereoBuffer> renderPorts(ClapHost& host, int64_t frames, int32_t block, const std::vector<Timed>& events,
                                      size_t ports)
{
    std::vector<StereoBuffer> out(
        ports, {std::vector<float>(static_cast<size_t>(frames)), std::vector<float>(static_cast<size_t>(frames))});
    size_t next = 0;
    for (int64_t at = 0; at < frames; at += block) {
        const auto length = static_cast<uint32_t>(std::min<int64_t>(block, frames - at));
        std::vector<ClapEvent> blockEvents;
        for (; next < events.size() && events[next].frame < at + length; ++next) {
            ClapEvent event = events[next].event;
            event.header.time = static_cast<uint32_t>(events[next].frame - at);
            blockEvents.push_back(event);
        }
        std::vector<OutputPair> pairs;
        for (StereoBuffer& port : out)
            pairs.push_back({port.left.data() + at, port.right.data() + at});
        EXPECT_EQ(host.processEvents(blockEvents, pairs, length), CLAP_PROCESS_CONTINUE);
    }
    return out;
}

StereoBuffer renderClap(ClapHost& host, int64_t frames, int32_t block, const std::vector<Timed>& events)
{
    return renderPorts(host, frames, block, events, 1)[0];
}

class Clap : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(clap.load(clapUnderTest())) << clap.error(); }

    StereoBuffer play(const std::vector<Timed>& events, int64_t frames, int32_t block = 512)
    {
        clap.start(kRate, block, true);
        return renderClap(clap, frames, block, events);
    }
    // The same MIDI through the VST 2 build.
    static StereoBuffer playVst2(const std::vector<TimedMidi>& events, int64_t frames, int32_t block = 512,
                                 const std::vector<uint8_t>& chunk = {})
    {
        PluginHost vst2;
        EXPECT_TRUE(vst2.load(pluginUnderTest())) << vst2.error();
        if (!chunk.empty())
            vst2.setChunk(chunk);
        vst2.start(kRate, block);
        return vst2.render(frames, block, events);
    }
    static std::vector<uint8_t> vst2Chunk(const std::vector<uint8_t>& loaded = {})
    {
        PluginHost vst2;
        EXPECT_TRUE(vst2.load(pluginUnderTest())) << vst2.error();
        if (!loaded.empty())
            vst2.setChunk(loaded);
        return vst2.getChunk();
    }
    std::vector<uint8_t> state()
    {
        std::vector<uint8_t> bytes;
        EXPECT_TRUE(clap.saveState(bytes));
        return bytes;
    }

    ClapHost clap;
};

bool same(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Notes, a bend, a program change, a controller and a second channel.
const std::vector<TimedMidi> kSong = {{0, {0xC0, 2, 0}},        {0, {0x90, 69, 100}},   {3000, {0xE0, 0x00, 0x50}},
                                      {6001, {0xC1, 3, 0}},     {6001, {0x91, 45, 90}}, {9000, {0xB0, 7, 60}},
                                      {12000, {0x80, 69, 0}},   {12345, {0x81, 45, 0}}, {13000, {0xC0, 6, 0}},
                                      {13000, {0x90, 64, 127}}, {16000, {0x80, 64, 0}}};
constexpr int64_t kSongFrames = 26460;

std::vector<Timed> asClapMidi(const std::vector<TimedMidi>& song)
{
    std::vector<Timed> events;
    for (const TimedMidi& m : song)
        events.push_back(midi(m.frame, m.bytes[0], m.bytes[1], m.bytes[2]));
    return events;
}

}  // namespace

TEST_F(Clap, IdentityIsTheVst2Builds)
{
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(pluginUnderTest()));
    const clap_plugin_descriptor_t& d = *clap.descriptor();
    EXPECT_STREQ(d.id, "com.plinka.plinka");
    EXPECT_EQ(clap.name(), "Plinka");
    EXPECT_EQ(clap.name(), vst2.effectName());
    // The vendor's name alone, as the LV2 build shows it; the version has a
    // field of its own, where the VST 2 build's vendor string carries it.
    EXPECT_EQ(vst2.vendorString(), "v0.1 06.05.19 Tovak");
    EXPECT_EQ(clap.vendor(), "Tovak");
    EXPECT_STREQ(d.version, "1.0.0.0");
    std::set<std::string> features;
    for (const char* const* f = d.features; *f; ++f)
        features.insert(*f);
    EXPECT_EQ(features, (std::set<std::string>{"instrument", "synthesizer", "stereo"}));

    EXPECT_EQ(clap.outputChannels(), 2);
    const auto* audio = static_cast<const clap_plugin_audio_ports_t*>(clap.extension(CLAP_EXT_AUDIO_PORTS));
    EXPECT_EQ(audio->count(clap.plugin(), true), 0u);
    const auto* notes = static_cast<const clap_plugin_note_ports_t*>(clap.extension(CLAP_EXT_NOTE_PORTS));
    clap_note_port_info_t port{};
    ASSERT_EQ(notes->count(clap.plugin(), true), 1u);
    ASSERT_TRUE(notes->get(clap.plugin(), 0, true, &port));
    EXPECT_EQ(port.supported_dialects, uint32_t(CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI));
    EXPECT_EQ(notes->count(clap.plugin(), false), 0u);
}

TEST_F(Clap, ParametersShowReadableValuesAndTakeTexts)
{
    const clap_plugin_params_t& params = *clap.params();
    ASSERT_EQ(params.count(clap.plugin()), 3u);
    char text[64];
    struct Case {
        clap_id id;
        double value;
        const char* text;
    };
    for (const Case& c : {Case{kParamGain, 100, "100 %"}, Case{kParamClock, 0, "PAL"}, Case{kParamClock, 1, "NTSC"},
                          Case{kParamPolyphony, 8, "8 voices"}}) {
        clap_param_info_t info{};
        ASSERT_TRUE(params.get_info(clap.plugin(), c.id, &info));
        EXPECT_EQ(info.id, c.id);
        EXPECT_TRUE(info.flags & CLAP_PARAM_IS_AUTOMATABLE);
        ASSERT_TRUE(params.value_to_text(clap.plugin(), c.id, c.value, text, sizeof text));
        EXPECT_STREQ(text, c.text);
        double back = -1;
        ASSERT_TRUE(params.text_to_value(clap.plugin(), c.id, c.text, &back));
        EXPECT_EQ(back, c.value);
    }
    double value = 0;
    EXPECT_FALSE(params.get_value(clap.plugin(), kParameterCount, &value));
    EXPECT_FALSE(params.get_info(clap.plugin(), kParameterCount, nullptr));
    EXPECT_FALSE(params.text_to_value(clap.plugin(), kParamClock, "SECAM", &value));
}

TEST_F(Clap, StateIsTheVst2ChunkByteForByteInBothDirections)
{
    // Handed over a few bytes at a time, as hosts do.
    clap.streamStep = 3;
    EXPECT_EQ(state(), vst2Chunk()) << "a new instance";

    const std::vector<uint8_t> pal = cells::Builder().cell(cells::ntsc).number(0).cell(cells::gain).number(37).bytes();
    const std::vector<uint8_t> fromVst2 = vst2Chunk(pal);
    ASSERT_TRUE(clap.loadState(fromVst2));
    EXPECT_EQ(state(), fromVst2);
    double gain = 0;
    clap.params()->get_value(clap.plugin(), kParamGain, &gain);
    EXPECT_EQ(gain, 37.0);
    EXPECT_GE(clap.requests.rescan.load(), 1) << "the host rereads the parameters after a load";

    clap.flushParams({ClapEvent::parameter(0, kParamPolyphony, 3), ClapEvent::parameter(0, kParamClock, 1)});
    const std::vector<uint8_t> fromClap = state();
    EXPECT_NE(fromClap, fromVst2);
    EXPECT_EQ(vst2Chunk(fromClap), fromClap) << "the VST 2 build takes the CLAP state as its chunk";
}

TEST_F(Clap, DamagedStateStreamsFailOrLoadAsTheVst2BuildLoadsThem)
{
    const std::vector<uint8_t> before = state();
    const std::vector<uint8_t> pal = vst2Chunk(cells::Builder().cell(cells::ntsc).number(0).bytes());

    clap.streamFailAt = 100;
    EXPECT_FALSE(clap.loadState(pal)) << "a read error";
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(clap.saveState(bytes)) << "a write error";
    clap.streamFailAt = -1;
    EXPECT_EQ(state(), before) << "a failed load changes nothing";

    EXPECT_FALSE(clap.loadState(std::vector<uint8_t>(chunk::kMaxBytes + 1, 0)));
    EXPECT_EQ(state(), before);

    // Damaged chunks: whatever the VST 2 build makes of them, the CLAP one does.
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        std::vector<uint8_t> damaged(pal.begin(), pal.begin() + random() % (pal.size() + 1));
        for (int flips = 0; flips < 4 && !damaged.empty(); ++flips)
            damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
        ClapHost fresh;
        ASSERT_TRUE(fresh.load(clapUnderTest()));
        fresh.streamStep = 1 + random() % 64;
        fresh.loadState(damaged);
        std::vector<uint8_t> loaded;
        ASSERT_TRUE(fresh.saveState(loaded));
        EXPECT_EQ(loaded, vst2Chunk(damaged)) << "round " << round << ", " << damaged.size() << " bytes";
    }
}

TEST_F(Clap, MidiPlaysAsInTheVst2BuildSampleForSample)
{
    const StereoBuffer vst2 = playVst2(kSong, kSongFrames);
    const StereoBuffer out = play(asClapMidi(kSong), kSongFrames);
    EXPECT_TRUE(same(out.left, vst2.left));
    EXPECT_TRUE(same(out.right, vst2.right));
    // The pulse at note 69 sounds at its period, and the song ends in silence.
    const double expected = kNtscClock / (16.0 * (253 + 1));
    EXPECT_NEAR(frequencyOf(out.left, 500, 2900, kRate), expected, expected * 0.002);
    EXPECT_GT(lastSound(out.left), 16000);
    EXPECT_LT(lastSound(out.left), 16000 + 2000);
}

TEST_F(Clap, BendAndProgramChangeAct)
{
    const StereoBuffer out = play({midi(0, 0xC0, 2, 0), midi(0, 0x90, 69, 100), midi(11025, 0xE0, 0x7F, 0x7F)}, 22050);
    const double bent = frequencyOf(out.left, 11025 + 2000, 22050, kRate);
    EXPECT_GT(bent, frequencyOf(out.left, 1000, 11025, kRate) * 1.1) << "bent up";

    clap.requests.callback = 0;
    renderClap(clap, 512, 512, {midi(0, 0xC0, 42, 0)});
    EXPECT_GE(clap.requests.callback.load(), 1) << "a program change asks for the main thread";
    clap.requests.markDirty = 0;
    clap.plugin()->on_main_thread(clap.plugin());
    EXPECT_EQ(clap.requests.markDirty.load(), 1) << "and there marks the song changed";
}

TEST_F(Clap, NoteEventsPlayAsTheirMidi)
{
    const std::vector<TimedMidi> song = {{0, {0xC0, 2, 0}},      {17, {0x90, 69, 127}}, {4000, {0x91, 57, 64}},
                                         {9000, {0x80, 69, 0}},  {9000, {0x90, 72, 1}}, {15000, {0x81, 57, 0}},
                                         {18000, {0xB0, 123, 0}}};
    const std::vector<Timed> notes = {
        midi(0, 0xC0, 2, 0),
        note(17, CLAP_EVENT_NOTE_ON, 0, 69, 1.0),
        note(4000, CLAP_EVENT_NOTE_ON, 1, 57, 64 / 127.0),
        note(9000, CLAP_EVENT_NOTE_OFF, 0, 69, 0.0),
        note(9000, CLAP_EVENT_NOTE_ON, 0, 72, 0.0),  // velocity 0 plays as quietly as MIDI allows
        note(15000, CLAP_EVENT_NOTE_CHOKE, 1, 57),
        note(18000, CLAP_EVENT_NOTE_OFF, 0, -1)};  // every key of the channel
    EXPECT_TRUE(same(play(notes, 22050).left, playVst2(song, 22050).left));
}

// A note-off or a choke names its notes as CLAP does: -1 in the port, the
// channel or the key matches any, and an id narrows the match to the note
// that carried it. Only the notes named end; the others play on.
TEST_F(Clap, NoteOffsAndChokesEndOnlyTheNotesTheyName)
{
    constexpr int64_t kOff = 11025;
    constexpr int64_t kFrames = 22050;
    const auto named = [](uint16_t type, int16_t port, int16_t channel, int16_t key, int32_t id) {
        Timed t = note(kOff, type, channel, key, 0.0);
        t.event.note.port_index = port;
        t.event.note.note_id = id;
        return t;
    };
    // Every channel's program has a release part of nine frames.
    const std::vector<uint8_t> released = vst2Chunk(cells::Builder()
                                                        .cell(cells::program)
                                                        .number(0)
                                                        .cell(cells::volume)
                                                        .string("15 / 12 12 12 12 12 12 12 12 12")
                                                        .bytes());
    constexpr int64_t kReleased = 9 * 735 + 735;
    // Key 69 (id 7) on channel 0, key 57 (id 8) on channel 1.
    const auto render = [&](std::vector<Timed> ending) {
        std::vector<Timed> events = {named(CLAP_EVENT_NOTE_ON, 0, 0, 69, 7), named(CLAP_EVENT_NOTE_ON, 0, 1, 57, 8)};
        for (Timed& on : events) {
            on.frame = 0;
            on.event.note.velocity = 1.0;
        }
        events.insert(events.end(), ending.begin(), ending.end());
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        EXPECT_TRUE(host.loadState(released));
        host.start(kRate, 512, true);
        return renderClap(host, kFrames, 512, events).left;
    };
    const std::vector<float> firstEnds = render({note(kOff, CLAP_EVENT_NOTE_OFF, 0, 69)});
    const std::vector<float> secondEnds = render({note(kOff, CLAP_EVENT_NOTE_OFF, 1, 57)});
    const std::vector<float> secondChoked = render({note(kOff, CLAP_EVENT_NOTE_CHOKE, 1, 57)});
    const std::vector<float> bothPlay = render({});
    // What is left of the first case is the second note alone, at its pitch.
    const double second = kNtscClock / (16.0 * (507 + 1));
    ASSERT_NEAR(frequencyOf(firstEnds, kOff + kReleased, kFrames, kRate), second, second * 0.002);
    ASSERT_GT(lastSound(firstEnds), kFrames - 100);
    ASSERT_FALSE(same(firstEnds, bothPlay));
    ASSERT_FALSE(same(secondChoked, secondEnds)) << "a choke cuts what a note-off would release";

    const struct {
        const char* what;
        Timed ending;
        const std::vector<float>& expected;
    } cases[] = {
        {"the id alone", named(CLAP_EVENT_NOTE_OFF, -1, -1, -1, 7), firstEnds},
        {"the id on its port and channel", named(CLAP_EVENT_NOTE_OFF, 0, 0, -1, 7), firstEnds},
        {"the id with its key", named(CLAP_EVENT_NOTE_OFF, -1, -1, 69, 7), firstEnds},
        {"its key on any channel", named(CLAP_EVENT_NOTE_OFF, -1, -1, 69, -1), firstEnds},
        {"every key of its channel", named(CLAP_EVENT_NOTE_OFF, -1, 1, -1, -1), secondEnds},
        {"the id with another key", named(CLAP_EVENT_NOTE_OFF, -1, -1, 57, 7), bothPlay},
        {"the id on another channel", named(CLAP_EVENT_NOTE_OFF, -1, 1, -1, 7), bothPlay},
        {"an id no note has", named(CLAP_EVENT_NOTE_OFF, -1, -1, -1, 9), bothPlay},
        {"another port", named(CLAP_EVENT_NOTE_OFF, 1, -1, -1, -1), bothPlay},
        {"a choke by id", named(CLAP_EVENT_NOTE_CHOKE, -1, -1, -1, 8), secondChoked},
        {"a choke of every key of its channel", named(CLAP_EVENT_NOTE_CHOKE, -1, 1, -1, -1), secondChoked},
        {"a choke by an id no note has", named(CLAP_EVENT_NOTE_CHOKE, -1, -1, -1, 9), bothPlay},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(same(render({c.ending}), c.expected)) << c.what;
}

// A note expression names its notes as a note-off does and changes those
// alone: tuning moves them by semitones (two up sound as the key two up
// does), volume scales their chip volume, brightness moves their duty. One
// that names no note, or that a chip voice has no use for (pan), changes
// nothing at all.
TEST_F(Clap, NoteExpressionsChangeOnlyTheNotesTheyName)
{
    constexpr int64_t kAt = 4410;
    constexpr int64_t kFrames = 22050;
    constexpr double kPi = 3.141592653589793;
    const std::vector<uint8_t> pulse = vst2Chunk(
        cells::Builder().cell(cells::program).number(0).cell(cells::volume).string("15").cell(cells::duty).string("2").bytes());
    // Two keys, the first (id 7) on channel 0, the second (id 8) on channel 1.
    const auto render = [&](int16_t first, int16_t second, std::vector<Timed> expressions) {
        std::vector<Timed> events = {note(0, CLAP_EVENT_NOTE_ON, 0, first), note(0, CLAP_EVENT_NOTE_ON, 1, second)};
        events[0].event.note.note_id = 7;
        events[1].event.note.note_id = 8;
        events.insert(events.end(), expressions.begin(), expressions.end());
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        EXPECT_TRUE(host.loadState(pulse));
        host.start(kRate, 512, true);
        return renderClap(host, kFrames, 512, events).left;
    };
    const auto expression = [](clap_note_expression id, int32_t noteId, int16_t port, int16_t channel, int16_t key,
                               double value) {
        return Timed{kAt, ClapEvent::noteExpression(0, id, noteId, port, channel, key, value)};
    };
    const auto tone = [](const std::vector<float>& out, int key) {
        return strongestToneNear(out, kAt + 2205, kFrames, kRate, 440.0 * std::exp2((key - 69) / 12.0));
    };
    const std::vector<float> plain = render(69, 62, {});

    const struct {
        const char* what;
        Timed expression;
        int16_t keys[2];  // the keys the notes sound as after it
        double scale[2];  // and how loud, of their level before (0: silent)
    } cases[] = {
        {"tuning by id", expression(CLAP_NOTE_EXPRESSION_TUNING, 7, -1, -1, -1, 2.0), {71, 62}, {1, 1}},
        {"tuning by key and channel", expression(CLAP_NOTE_EXPRESSION_TUNING, -1, 0, 0, 69, 2.0), {71, 62}, {1, 1}},
        {"tuning of the other note", expression(CLAP_NOTE_EXPRESSION_TUNING, 8, -1, -1, -1, 2.0), {69, 64}, {1, 1}},
        {"tuning down", expression(CLAP_NOTE_EXPRESSION_TUNING, 7, -1, -1, -1, -5.0), {64, 62}, {1, 1}},
        {"a quiet note", expression(CLAP_NOTE_EXPRESSION_VOLUME, 7, -1, -1, -1, 0.5), {69, 62}, {8.0 / 15, 1}},
        {"a silent note", expression(CLAP_NOTE_EXPRESSION_VOLUME, 8, -1, -1, -1, 0.0), {69, 62}, {1, 0}},
        {"louder than the chip goes", expression(CLAP_NOTE_EXPRESSION_VOLUME, 8, -1, -1, -1, 4.0), {69, 62}, {1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<float> out = render(69, 62, {c.expression});
        // The same keys played as such: the pitches the expression must reach.
        const std::vector<float> keys = render(c.keys[0], c.keys[1], {});
        const int16_t played[2] = {69, 62};
        for (int n = 0; n < 2; ++n) {
            const MeasuredTone expected = tone(keys, c.keys[n]);
            const MeasuredTone heard = tone(out, c.keys[n]);
            ASSERT_GT(expected.amplitude, 0.05);
            EXPECT_NEAR(heard.amplitude, expected.amplitude * c.scale[n], expected.amplitude * 0.02) << "note " << n;
            if (c.scale[n] > 0.0) {
                EXPECT_EQ(heard.hz, expected.hz) << "note " << n;
            }
            if (c.keys[n] != played[n]) {
                EXPECT_LT(tone(out, played[n]).amplitude, expected.amplitude * 0.05) << "note " << n << " left its key";
            }
        }
    }
    // Brightness 0 is the note's own controller 74 at 0: its half-duty pulse
    // narrows to an eighth, and the second harmonic a square lacks appears.
    const std::vector<float> dark = render(69, 62, {expression(CLAP_NOTE_EXPRESSION_BRIGHTNESS, 8, -1, -1, -1, 0.0)});
    EXPECT_LT(tone(plain, 74).amplitude, tone(plain, 62).amplitude * 0.02);
    EXPECT_NEAR(tone(dark, 74).amplitude / tone(dark, 62).amplitude, std::sin(kPi / 4) / (2 * std::sin(kPi / 8)), 0.05);
    EXPECT_NEAR(tone(dark, 69).amplitude, tone(plain, 69).amplitude, tone(plain, 69).amplitude * 0.01) << "the other";
    EXPECT_TRUE(same(render(69, 62, {expression(CLAP_NOTE_EXPRESSION_BRIGHTNESS, 8, -1, -1, -1, 0.5)}), plain))
        << "the centre, 64 of 127, leaves the duty as it is";

    const Timed unchanged[] = {
        expression(CLAP_NOTE_EXPRESSION_TUNING, 9, -1, -1, -1, 2.0),  // an id no note has
        expression(CLAP_NOTE_EXPRESSION_TUNING, 7, -1, 1, -1, 2.0),   // its id on another channel
        expression(CLAP_NOTE_EXPRESSION_TUNING, 7, 1, -1, -1, 2.0),   // another port
        expression(CLAP_NOTE_EXPRESSION_PAN, 7, -1, -1, -1, 0.0),
        expression(CLAP_NOTE_EXPRESSION_TUNING, 7, -1, -1, -1, std::nan("")),
    };
    for (const Timed& e : unchanged)
        EXPECT_TRUE(same(render(69, 62, {e}), plain)) << "expression " << e.event.expression.expression_id << " id "
                                                      << e.event.expression.note_id;
}

// Random streams of notes (with and without ids), the controllers that
// shape the sound, bends with wide ranges and note expressions, played on
// mono, legato, gliding and tempo-stepped programs: the output stays finite
// and in range, and once every key and pedal is up no note sounds after its
// release part.
TEST_F(Clap, RandomPlayingStreamsEndInSilenceOnceEverythingIsUp)
{
    cells::Builder chunk;
    const struct {
        int32_t type;
        const char* volume;
        int32_t mono, glide, tempoSteps;
    } programs[] = {
        {Pulse, "15 12 | 10 / 5 3 0", 2, 120, 4},
        {Triangle, "15 | 15 / 0", 1, 0, 0},
        {Vrc6Saw, "30 | 20 / 10 0", 0, 60, 0},
        {Fds, "32 | 24 / 8 0", 1, 300, 3},
    };
    for (int32_t i = 0; i < 4; ++i) {
        chunk.cell(cells::program).number(static_cast<float>(i)).cell(cells::channelType).number(static_cast<float>(programs[i].type));
        chunk.cell(cells::volume).string(programs[i].volume).cell(cells::arp).string(i == 0 ? "0 12 | 0 7" : "0");
    }
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number(static_cast<float>(channel % 4));
    chunk.cell(cells::midiControllers).number(1);
    for (int32_t i = 0; i < 4; ++i)
        chunk.cell(cells::playing)
            .number(static_cast<float>(i))
            .number(static_cast<float>(programs[i].mono))
            .number(static_cast<float>(programs[i].glide))
            .number(static_cast<float>(programs[i].tempoSteps));
    const std::vector<uint8_t> state = vst2Chunk(chunk.bytes());

    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        const auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
        constexpr int64_t kPlayed = 441000, kFrames = kPlayed + 132300, kEnd = kPlayed - 22050;
        std::vector<Timed> events;
        for (int64_t frame = 0; frame < kEnd; frame += pick(1, 3000)) {
            const auto channel = static_cast<int16_t>(pick(0, 4));
            const auto key = static_cast<int16_t>(pick(24, 100));
            switch (pick(0, 9)) {
            case 0:
            case 1:
                events.push_back(note(frame, CLAP_EVENT_NOTE_ON, channel, key));
                events.back().event.note.note_id = pick(-1, 20);
                break;
            case 2:
            case 3: {
                Timed off = note(frame, CLAP_EVENT_NOTE_OFF, pick(0, 3) == 0 ? -1 : channel, pick(0, 3) == 0 ? -1 : key, 0.0);
                off.event.note.note_id = pick(0, 2) == 0 ? pick(0, 20) : -1;
                events.push_back(off);
                break;
            }
            case 4: {
                constexpr uint8_t kShaping[] = {64, 65, 5, 1, 7, 11, 121, 74};
                events.push_back(midi(frame, static_cast<uint8_t>(0xB0 | channel), kShaping[pick(0, 7)],
                                      static_cast<uint8_t>(pick(0, 127))));
                break;
            }
            case 5:
                events.push_back(midi(frame, static_cast<uint8_t>(0xE0 | channel), static_cast<uint8_t>(pick(0, 127)),
                                      static_cast<uint8_t>(pick(0, 127))));
                break;
            case 6:  // a bend range of up to 48 semitones
                for (const auto& [controller, value] : {std::pair{101, 0}, {100, 0}, {6, pick(0, 48)}})
                    events.push_back(midi(frame, static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(controller),
                                          static_cast<uint8_t>(value)));
                break;
            default: {
                constexpr clap_note_expression kExpressions[] = {CLAP_NOTE_EXPRESSION_TUNING, CLAP_NOTE_EXPRESSION_VOLUME,
                                                                 CLAP_NOTE_EXPRESSION_PAN, CLAP_NOTE_EXPRESSION_BRIGHTNESS};
                const double value = std::uniform_real_distribution<double>(-150.0, 150.0)(random);
                events.push_back({frame, ClapEvent::noteExpression(0, kExpressions[pick(0, 3)], pick(-1, 20), -1,
                                                                   pick(0, 3) == 0 ? -1 : channel,
                                                                   pick(0, 1) == 0 ? -1 : key, value)});
                break;
            }
            }
        }
        // The end: on every channel a key and the pedal down, every key up,
        // then the pedal.
        for (int16_t channel = 0; channel < 5; ++channel) {
            events.push_back(midi(kEnd, static_cast<uint8_t>(0xB0 | channel), 64, 127));
            events.push_back(note(kEnd, CLAP_EVENT_NOTE_ON, channel, static_cast<int16_t>(60 + channel)));
        }
        for (int16_t channel = 0; channel < 5; ++channel)
            events.push_back(note(kEnd + 11025, CLAP_EVENT_NOTE_OFF, channel, -1, 0.0));
        for (int16_t channel = 0; channel < 5; ++channel)
            events.push_back(midi(kPlayed, static_cast<uint8_t>(0xB0 | channel), 64, 0));
        ClapHost host;
        ASSERT_TRUE(host.load(clapUnderTest()));
        ASSERT_TRUE(host.loadState(state));
        host.start(kRate, 512, true);
        const std::vector<float> out = renderClap(host, kFrames, 512, events).left;
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_TRUE(out[i] >= -1.0f && out[i] <= 1.0f) << "sample " << i;  // NaN fails too
        EXPECT_GT(firstSound(out), -1);
        // The longest release (the saw's, two frames; the tempo steps' three
        // sixteenths at 120 bpm) and the output filter's tail are done within a second.
        EXPECT_LT(lastSound(out), kPlayed + 44100);
    }
}

TEST_F(Clap, OutputDoesNotDependOnTheBlockSize)
{
    const std::vector<Timed> events = asClapMidi(kSong);
    const std::vector<float> reference = play(events, kSongFrames, 512).left;
    for (int32_t block : {64, 1000, 4096, 1}) {
        ClapHost other;
        ASSERT_TRUE(other.load(clapUnderTest()));
        other.start(kRate, block, true);
        EXPECT_TRUE(same(renderClap(other, kSongFrames, block, events).left, reference)) << "block " << block;
    }
}

TEST_F(Clap, AutomationActsAtItsSample)
{
    const StereoBuffer out = play({midi(0, 0xC0, 2, 0), midi(0, 0x90, 69, 100), parameter(1000, kParamGain, 0)}, 4410);
    EXPECT_EQ(lastSound(out.left), 999) << "gain 0 silences from its sample on";

    ClapHost pal;
    ASSERT_TRUE(pal.load(clapUnderTest()));
    pal.start(kRate, 512, true);
    const std::vector<float> palOut =
        renderClap(pal, 22050, 512, {midi(0, 0xC0, 2, 0), parameter(300, kParamClock, 0), midi(300, 0x90, 69, 100)})
            .left;
    const double expected = kPalClock / (16.0 * (235 + 1));
    EXPECT_NEAR(frequencyOf(palOut, 4410, 22050, kRate), expected, expected * 0.002) << "PAL lowers the pitch";
    const std::vector<uint8_t> palChunk = cells::Builder().cell(cells::ntsc).number(0).bytes();
    EXPECT_TRUE(same(palOut, playVst2({{0, {0xC0, 2, 0}}, {300, {0x90, 69, 100}}}, 22050, 512, palChunk).left));

    // Values out of range are clamped, other ids and no-numbers change nothing.
    pal.flushParams({ClapEvent::parameter(0, kParamGain, 1e9), ClapEvent::parameter(0, kParamPolyphony, -5),
                     ClapEvent::parameter(0, kParamClock, std::nan("")), ClapEvent::parameter(0, 77, 1)});
    double gain = 0, voices = 0, clock = -1;
    pal.params()->get_value(pal.plugin(), kParamGain, &gain);
    pal.params()->get_value(pal.plugin(), kParamPolyphony, &voices);
    pal.params()->get_value(pal.plugin(), kParamClock, &clock);
    EXPECT_EQ(gain, 200.0);
    EXPECT_EQ(voices, 1.0);
    EXPECT_EQ(clock, 0.0);
}

// A note and a parameter at one sample, in either order, sound as the note
// alone (the parameter keeps its value); an event past the block acts at its
// last sample.
TEST_F(Clap, EventsOfOneSampleActAlikeInAnyOrderAndNoneIsLost)
{
    auto first = [](uint32_t time) { return ClapEvent::noteEvent(CLAP_EVENT_NOTE_ON, time, 0, 69, 1.0); };
    const ClapEvent gain = ClapEvent::parameter(100, kParamGain, kParameterInfo[kParamGain].defaultValue);
    auto render = [&](const std::vector<ClapEvent>& block) {
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        host.start(kRate, 512, true);
        std::vector<float> left(4096), right(4096);
        for (uint32_t at = 0; at < left.size(); at += 512)
            host.processEvents(at == 0 ? block : std::vector<ClapEvent>{}, &left[at], &right[at], 512);
        return left;
    };
    const std::vector<float> alone = render({first(100)});
    EXPECT_GE(firstSound(alone), 100);
    const struct {
        const char* what;
        std::vector<ClapEvent> block;
        std::vector<float> expected;
    } cases[] = {
        {"note, then parameter", {first(100), gain}, alone},
        {"parameter, then note", {gain, first(100)}, alone},
        {"a note past the block", {first(700)}, render({first(511)})},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(same(render(c.block), c.expected)) << c.what;
}

// A choke ends a note without its release part, as no note-off does; reset
// silences everything at once, and the next note sounds as in a new instance.
TEST_F(Clap, AChokeAndAResetCutTheReleasePartAndTheChipsBufferedSound)
{
    const std::vector<uint8_t> released = cells::Builder()
                                              .cell(cells::program)
                                              .number(0)
                                              .cell(cells::volume)
                                              .string("15 / 12 12 12 12 12 12 12 12 12")
                                              .bytes();
    ASSERT_TRUE(clap.loadState(vst2Chunk(released)));
    constexpr int64_t kEnd = 3000;
    constexpr int64_t kFrame = 735;  // samples a chip may hold: one frame of 1/60 s at 44.1 kHz
    const std::vector<float> off =
        play({note(0, CLAP_EVENT_NOTE_ON, 0, 69), note(kEnd, CLAP_EVENT_NOTE_OFF, 0, 69)}, 16384).left;
    EXPECT_GT(lastSound(off), kEnd + 8 * kFrame) << "the release part";

    ClapHost choked;
    ASSERT_TRUE(choked.load(clapUnderTest()));
    ASSERT_TRUE(choked.loadState(state()));
    choked.start(kRate, 512, true);
    const std::vector<float> cut =
        renderClap(choked, 16384, 512, {note(0, CLAP_EVENT_NOTE_ON, 0, 69), note(kEnd, CLAP_EVENT_NOTE_CHOKE, 0, 69)})
            .left;
    EXPECT_GE(lastSound(cut), kEnd - 1);
    EXPECT_LT(lastSound(cut), kEnd + kFrame);

    // Reset in the middle of a note: the next block is silent from its first
    // sample, and a note then plays as it does in a new instance.
    renderClap(choked, 1000, 512, {note(0, CLAP_EVENT_NOTE_ON, 0, 69)});
    choked.reset();
    const StereoBuffer after = renderClap(choked, 8192, 512, {note(1000, CLAP_EVENT_NOTE_ON, 0, 72)});
    EXPECT_GE(firstSound(after.left), 1000) << "silent at once";
    ClapHost fresh;
    ASSERT_TRUE(fresh.load(clapUnderTest()));
    ASSERT_TRUE(fresh.loadState(state()));
    fresh.start(kRate, 512, true);
    EXPECT_TRUE(same(renderClap(fresh, 8192, 512, {note(1000, CLAP_EVENT_NOTE_ON, 0, 72)}).left, after.left));
}

TEST_F(Clap, BadEventsAndCallsOutOfOrderAreHarmless)
{
    float left[64] = {1.0f}, right[64] = {1.0f};
    EXPECT_EQ(clap.processEvents({}, left, right, 64), CLAP_PROCESS_ERROR) << "before activation";
    EXPECT_EQ(left[0], 1.0f);

    ClapEvent tiny = ClapEvent::noteEvent(CLAP_EVENT_NOTE_ON, 0, 0, 60, 1.0);
    tiny.header.size = 8;
    ClapEvent foreign = ClapEvent::midiMessage(0, 0x90, 60, 100);
    foreign.header.space_id = 1;
    std::vector<Timed> events = {{0, tiny},
                                 {0, foreign},
                                 note(0, CLAP_EVENT_NOTE_ON, 99, 60),
                                 note(0, CLAP_EVENT_NOTE_ON, 0, 300),
                                 note(0, CLAP_EVENT_NOTE_ON, -1, 60),
                                 note(0, CLAP_EVENT_NOTE_ON, 0, -1)};
    EXPECT_EQ(lastSound(play(events, 2048).left), -1) << "none of these is a note";

    // Events out of order and past the block: each acts no earlier than the
    // one before it, and the output stays in range.
    std::mt19937 random(3);
    std::vector<ClapEvent> block;
    for (int i = 0; i < 300; ++i)
        block.push_back(ClapEvent::midiMessage(random() % 1000, static_cast<uint8_t>(0x80 + random() % 0x70),
                                               static_cast<uint8_t>(random()), static_cast<uint8_t>(random())));
    std::vector<float> l(512), r(512);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(clap.processEvents(i == 0 ? block : std::vector<ClapEvent>{}, l.data(), r.data(), 512),
                  CLAP_PROCESS_CONTINUE);
        for (float sample : l)
            ASSERT_TRUE(sample >= -1.0f && sample <= 1.0f);
    }
}

// ---- a track per channel group ----

namespace {

constexpr size_t kAllPorts = 1 + kOutputGroupCount;

std::vector<Timed> merged(std::vector<Timed> a, const std::vector<Timed>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    std::stable_sort(a.begin(), a.end(), [](const Timed& x, const Timed& y) { return x.frame < y.frame; });
    return a;
}

}  // namespace

TEST_F(Clap, OffersTheMainMixThenAStereoPortForEachChannelGroup)
{
    const auto* audio = static_cast<const clap_plugin_audio_ports_t*>(clap.extension(CLAP_EXT_AUDIO_PORTS));
    ASSERT_EQ(audio->count(clap.plugin(), false), kAllPorts);
    const char* names[kAllPorts] = {"Output",  "Pulse 1", "Pulse 2", "Triangle", "Noise",
                                    "Samples", "VRC6",    "5B",      "MMC5",     "FDS",   "N163", "VRC7"};
    for (uint32_t index = 0; index <= kAllPorts; ++index) {
        clap_audio_port_info_t info{};
        ASSERT_EQ(audio->get(clap.plugin(), index, false, &info), index < kAllPorts);
        if (index == kAllPorts)
            break;
        EXPECT_EQ(info.id, index);
        EXPECT_STREQ(info.name, names[index]);
        EXPECT_EQ(info.channel_count, 2u);
        EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
        EXPECT_EQ(info.flags, index == 0 ? uint32_t(CLAP_AUDIO_PORT_IS_MAIN) : 0u) << names[index];
    }
    EXPECT_EQ(clap.extraOutputs(), (std::vector<std::string>(names + 1, names + kAllPorts)));
}

// A pulse (program 2) on channel 1 and a triangle (program 3) on channel 2,
// with a gain change that splits its block: after it, every port's part must
// land where the main output's does.
TEST_F(Clap, EachGroupsPortHoldsItsVoicesAloneAndTheMainMixIsAsWithoutThem)
{
    const std::vector<Timed> pulse = {midi(0, 0xC0, 2, 0), midi(100, 0x90, 69, 100), midi(12000, 0x80, 69, 0)};
    const std::vector<Timed> triangle = {midi(0, 0xC1, 3, 0), midi(3001, 0x91, 45, 90), midi(15000, 0x81, 45, 0)};
    const auto render = [](const std::vector<Timed>& events, size_t ports) {
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        host.start(kRate, 500, true);
        return renderPorts(host, 22050, 500, merged(events, {parameter(7777, kParamGain, 60)}), ports);
    };
    const std::vector<StereoBuffer> out = render(merged(pulse, triangle), kAllPorts);
    const StereoBuffer silence{std::vector<float>(22050), std::vector<float>(22050)};
    const StereoBuffer expected[kAllPorts] = {render(merged(pulse, triangle), 1)[0],
                                              render(pulse, 1)[0],
                                              silence,
                                              render(triangle, 1)[0],
                                              silence,
                                              silence,
                                              silence,
                                              silence,
                                              silence,
                                              silence,
                                              silence,
                                              silence};
    ASSERT_GT(lastSound(expected[1 + PulseOneGroup].left), 12000);
    ASSERT_GT(lastSound(expected[1 + TriangleGroup].left), 15000);
    for (size_t port = 0; port < kAllPorts; ++port)
        EXPECT_TRUE(same(out[port].left, expected[port].left) && same(out[port].right, expected[port].right))
            << "port " << port;
}

// Each row of the channel table as a host meets it: a note of the kind sounds
// on one group's port, which bears its chip's or its channel's name;
// a pitched kind sounds A4 at 440 Hz, within the truncation of its period
// (a step of the period moves A4 by at most 440² × 32 / clock, 3.5 Hz, on
// the triangle). A Sample program without samples stays silent.
TEST_F(Clap, EachChannelKindSoundsOnItsGroupsPortAtItsPitch)
{
    for (const ChannelKind& kind : kChannelKinds) {
        SCOPED_TRACE(kind.word);
        cells::Builder chunk;
        chunk.cell(cells::program).number(0).cell(cells::channelType).number(kind.type);
        chunk.cell(cells::volume).string("15").cell(cells::duty).string("2");
        ClapHost host;
        ASSERT_TRUE(host.load(clapUnderTest()));
        ASSERT_TRUE(host.loadState(vst2Chunk(chunk.bytes())));
        host.start(kRate, 512, true);
        const std::vector<StereoBuffer> out =
            renderPorts(host, 22050, 512, {midi(0, 0x90, 69, 100), midi(20000, 0x80, 69, 0)}, kAllPorts);
        if (lastSound(out[0].left) < 0) {
            EXPECT_EQ(kind.type, Sample) << "silent";
            continue;
        }
        const auto* audio = static_cast<const clap_plugin_audio_ports_t*>(host.extension(CLAP_EXT_AUDIO_PORTS));
        // The one group port that sounds holds the main mix, and the host
        // shows it by the chip's or the channel's name.
        const std::string chipOrChannel = std::string(kind.label).substr(0, std::string(kind.label).find(' '));
        std::vector<std::string> holders;
        for (uint32_t port = 1; port < kAllPorts; ++port) {
            clap_audio_port_info_t info{};
            ASSERT_TRUE(audio->get(host.plugin(), port, false, &info));
            if (lastSound(out[port].left) < 0)
                continue;
            holders.push_back(info.name);
            EXPECT_TRUE(same(out[port].left, out[0].left)) << info.name;
            EXPECT_EQ(std::string(info.name).rfind(chipOrChannel, 0), 0u) << info.name;
        }
        EXPECT_EQ(holders.size(), 1u);
        if (kind.periodDivider != 0) {
            EXPECT_NEAR(autocorrelationFrequency(out[0].left, 4410, 19000, kRate, 440.0), 440.0,
                        440.0 * 440.0 * 32.0 / kNtscClock);
        }
    }
}

// Hosts may give fewer ports than offered, a port without data32, a channel
// without a buffer: those are not written, and the rest, the main mix above
// all, are as with every port; the main mix is the VST 2 build's, as always.
TEST_F(Clap, PortsLeftOutOrWithoutBuffersLeaveTheOthersAsTheyWere)
{
    // At the gain new instances had until they started lower, which the hash was taken at.
    const std::vector<uint8_t> gain100 =
        vst2Chunk(cells::Builder().cell(cells::gain).number(100).cell(cells::midiControllers).number(1).bytes());
    ASSERT_TRUE(clap.loadState(gain100));
    clap.start(kRate, 512, true);
    const std::vector<StereoBuffer> all = renderPorts(clap, kSongFrames, 512, asClapMidi(kSong), kAllPorts);
    const StereoBuffer vst2 = playVst2(kSong, kSongFrames, 512, gain100);
    EXPECT_TRUE(same(all[0].left, vst2.left) && same(all[0].right, vst2.right));
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(renderHash(all[0].left)));
    EXPECT_STREQ(hash, "a8bfbcb1a3a46aca") << "the main mix as it always was";
    ASSERT_GT(lastSound(all[1 + TriangleGroup].left), 12345);

    std::vector<ClapEvent> events;  // the song in one block
    for (const Timed& t : asClapMidi(kSong)) {
        events.push_back(t.event);
        events.back().header.time = static_cast<uint32_t>(t.frame);
    }
    constexpr float kUntouched = 1234.0f;
    const std::pair<uint32_t, uint32_t> none{99, 99};
    struct Case {
        uint32_t ports, noData;
        std::pair<uint32_t, uint32_t> noBuffer;  // port, channel
        uint32_t channels;
    };
    for (const Case& c : {Case{0, 99, none, 2}, Case{1, 99, none, 2}, Case{4, 2, {3, 0}, 2}, Case{7, 0, {1, 1}, 2},
                          Case{7, 99, none, 3}, Case{9, 99, none, 1}}) {
        ClapHost host;
        ASSERT_TRUE(host.load(clapUnderTest()));
        ASSERT_TRUE(host.loadState(gain100));
        host.start(kRate, kSongFrames, true);
        std::vector<std::vector<float>> channels(c.ports * 3, std::vector<float>(kSongFrames, kUntouched));
        std::vector<std::array<float*, 3>> pointers(c.ports);
        std::vector<clap_audio_buffer_t> buffers(c.ports);
        for (uint32_t p = 0; p < c.ports; ++p) {
            for (uint32_t ch = 0; ch < 3; ++ch)
                pointers[p][ch] = std::make_pair(p, ch) == c.noBuffer ? nullptr : channels[p * 3 + ch].data();
            buffers[p] = {p == c.noData ? nullptr : pointers[p].data(), nullptr, c.channels, 0, ~uint64_t{0}};
        }
        ASSERT_EQ(host.processPorts(events, buffers.data(), c.ports, kSongFrames), CLAP_PROCESS_CONTINUE);
        for (uint32_t p = 0; p < c.ports; ++p) {
            EXPECT_EQ(buffers[p].constant_mask, p < kAllPorts && p != c.noData ? 0u : ~uint64_t{0});
            for (uint32_t ch = 0; ch < 3; ++ch) {
                const bool written =
                    p < kAllPorts && p != c.noData && ch < c.channels && std::make_pair(p, ch) != c.noBuffer;
                const std::vector<float> expected = !written  ? std::vector<float>(kSongFrames, kUntouched)
                                                    : ch == 2 ? std::vector<float>(kSongFrames, 0.0f)
                                                    : ch == 0 ? all[p].left
                                                              : all[p].right;
                EXPECT_TRUE(same(channels[p * 3 + ch], expected))
                    << c.ports << " ports: port " << p << " channel " << ch;
            }
        }
    }
}

// ---- the adapter linked in, for what only the editor can do ----

namespace {

struct RecordingHost {
    clap_host_t host{CLAP_VERSION, this, "test", "", "", "", nullptr, nullptr, nullptr, nullptr};
    clap_host_params_t params{nullptr, nullptr,
                              [](const clap_host_t* h) { ++static_cast<RecordingHost*>(h->host_data)->flushes; }};
    int flushes = 0;
    RecordingHost()
    {
        host.get_extension = [](const clap_host_t* h, const char* id) -> const void* {
            return std::strcmp(id, CLAP_EXT_PARAMS) == 0 ? &static_cast<RecordingHost*>(h->host_data)->params : nullptr;
        };
    }
};

bool collect(const clap_output_events_t* list, const clap_event_header_t* event)
{
    ClapEvent copy{};
    std::memcpy(&copy, event, std::min<size_t>(event->size, sizeof copy));
    static_cast<std::vector<ClapEvent>*>(list->ctx)->push_back(copy);
    return true;
}

// What a flush hands over, to a list that takes at most room events.
std::vector<ClapEvent> flushed(const clap_plugin_t* plugin, size_t room = SIZE_MAX)
{
    struct Limited {
        std::vector<ClapEvent> out;
        size_t room;
    } limited{{}, room};
    const clap_output_events_t list{&limited, [](const clap_output_events_t* self, const clap_event_header_t* event) {
                                        auto& to = *static_cast<Limited*>(self->ctx);
                                        clap_output_events_t inner{&to.out, collect};
                                        return to.out.size() < to.room && collect(&inner, event);
                                    }};
    static_cast<const clap_plugin_params_t*>(plugin->get_extension(plugin, CLAP_EXT_PARAMS))
        ->flush(plugin, nullptr, &list);
    return limited.out;
}

// "b0 v0 e0": gesture steps with their parameter ids.
std::string steps(const std::vector<ClapEvent>& events)
{
    std::string text;
    for (const ClapEvent& e : events)
        text += std::string(e.header.type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? "b"
                            : e.header.type == CLAP_EVENT_PARAM_VALUE       ? "v"
                                                                            : "e") +
                std::to_string(e.header.type == CLAP_EVENT_PARAM_VALUE ? e.paramValue.param_id : e.gesture.param_id) +
                " ";
    return text;
}

}  // namespace

TEST(ClapEditorEdits, ReachTheHostAsGesturesThroughFlush)
{
    RecordingHost recording;
    auto* adapter = new ClapPlugin(&recording.host, nullptr);
    const clap_plugin_t* plugin = adapter->clapPlugin();
    ASSERT_TRUE(plugin->init(plugin));

    adapter->instrument.editParameter(kParamGain, 50);
    EXPECT_EQ(recording.flushes, 1) << "not processing: the host is asked to flush";
    std::vector<ClapEvent> out = flushed(plugin);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].header.type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out[1].header.type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(out[1].paramValue.param_id, kParamGain);
    EXPECT_EQ(out[1].paramValue.value, 50.0);
    EXPECT_EQ(out[2].header.type, CLAP_EVENT_PARAM_GESTURE_END);
    EXPECT_TRUE(flushed(plugin).empty()) << "each edit goes out once";

    // A burst larger than the ring: the first whole gestures reach the
    // host, the instrument keeps the last value.
    for (int i = 0; i < 100; ++i)
        adapter->instrument.editParameter(kParamGain, i);
    out = flushed(plugin);
    EXPECT_EQ(out.size(), GestureRing::kCapacity / 3 * 3);
    EXPECT_EQ(out[1].paramValue.value, 0.0);
    EXPECT_EQ(adapter->instrument.gain(), 99);

    // A host list that takes two events at a time: every begin that went
    // out has its end follow, in order, none lost.
    adapter->instrument.editParameter(kParamGain, 1);
    adapter->instrument.editParameter(kParamClock, 0);
    std::string inPairs;
    for (int flush = 0; flush < 4; ++flush)
        inPairs += steps(flushed(plugin, 2));
    EXPECT_EQ(inPairs, "b0 v0 e0 b1 v1 e1 ");

    // While processing, edits go out with the next block; ones left when
    // processing stops ask for a flush.
    ASSERT_TRUE(plugin->activate(plugin, 44100.0, 1, 64));
    ASSERT_TRUE(plugin->start_processing(plugin));
    recording.flushes = 0;
    adapter->instrument.editParameter(kParamPolyphony, 4);
    EXPECT_EQ(recording.flushes, 0);
    std::vector<ClapEvent> sent;
    float left[64], right[64];
    float* channels[2] = {left, right};
    clap_audio_buffer_t output{channels, nullptr, 2, 0, 0};
    const clap_output_events_t list{&sent, collect};
    const clap_process_t process{0, 64, nullptr, nullptr, &output, 0, 1, nullptr, &list};
    EXPECT_EQ(plugin->process(plugin, &process), CLAP_PROCESS_CONTINUE);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].paramValue.param_id, kParamPolyphony);
    EXPECT_EQ(sent[1].paramValue.value, 4.0);
    adapter->instrument.editParameter(kParamClock, 0);
    plugin->stop_processing(plugin);
    EXPECT_EQ(recording.flushes, 0) << "never from the audio thread";
    plugin->on_main_thread(plugin);
    EXPECT_EQ(recording.flushes, 1) << "but from the main thread";
    plugin->deactivate(plugin);

    if (const auto* gui = static_cast<const clap_plugin_gui_t*>(plugin->get_extension(plugin, CLAP_EXT_GUI))) {
        const char* api = nullptr;
        bool floating = true;
        ASSERT_TRUE(gui->get_preferred_api(plugin, &api, &floating));
        EXPECT_FALSE(floating);
        EXPECT_TRUE(gui->is_api_supported(plugin, api, false));
        EXPECT_FALSE(gui->is_api_supported(plugin, api, true)) << "embedded only";
        uint32_t width = 0, height = 0;
        ASSERT_TRUE(gui->get_size(plugin, &width, &height));
        EXPECT_EQ(width, 1261u) << "the panel, the extension area with its wave column, and the playing column";
        EXPECT_EQ(height, 255u);
    }
    plugin->destroy(plugin);
}

// A gesture that begins when the ring has just room for a begin and the
// ends under way gets in whole or not at all: never a begin and an end
// without the value between them.
TEST(ClapEditorEdits, AGestureGetsInWithItsValueOrNotAtAll)
{
    GestureRing ring;
    ring.begin(kParamGain);  // a drag under way: its end is kept
    // Values until three slots are left: a begin and the two ends.
    for (size_t i = 0; i < GestureRing::kCapacity - 4; ++i)
        ring.value(kParamGain, static_cast<double>(i));
    ring.value(kParamClock, 1.0);  // begins a gesture of its own
    ring.end(kParamClock);
    ring.end(kParamGain);

    std::string clockSteps;
    ParameterGesture gesture;
    size_t count = 0;
    while (ring.peek(gesture)) {
        if (gesture.id == kParamClock)
            clockSteps += gesture.step == GestureStep::Begin ? "b" : gesture.step == GestureStep::Value ? "v" : "e";
        ring.pop();
        ++count;
    }
    EXPECT_EQ(clockSteps, "") << "no room for the whole gesture";
    EXPECT_EQ(count, GestureRing::kCapacity - 2) << "the drag's begin, its values and its end";
}

TEST(ClapEditorEdits, ArriveInOrderWhileTheAudioThreadRuns)
{
    RecordingHost recording;
    auto* adapter = new ClapPlugin(&recording.host, nullptr);
    const clap_plugin_t* plugin = adapter->clapPlugin();
    ASSERT_TRUE(plugin->init(plugin));
    ASSERT_TRUE(plugin->activate(plugin, 44100.0, 1, 64));
    ASSERT_TRUE(plugin->start_processing(plugin));

    constexpr int kEdits = 200;  // the gain's whole range, each value once
    std::atomic<bool> done{false};
    std::thread editor([&] {
        for (int i = 1; i <= kEdits; ++i)
            adapter->instrument.editParameter(kParamGain, i);
        done = true;
    });
    std::vector<ClapEvent> sent;
    sent.reserve(3 * kEdits);
    float left[64], right[64];
    float* channels[2] = {left, right};
    clap_audio_buffer_t output{channels, nullptr, 2, 0, 0};
    const clap_output_events_t list{&sent, collect};
    const clap_process_t process{0, 64, nullptr, nullptr, &output, 0, 1, nullptr, &list};
    while (!done)
        plugin->process(plugin, &process);
    editor.join();
    plugin->process(plugin, &process);

    // Whole gestures, values in the order they were made (some dropped when
    // the ring was full).
    ASSERT_EQ(sent.size() % 3, 0u);
    int last = 0;
    for (size_t i = 0; i < sent.size(); i += 3) {
        ASSERT_EQ(sent[i].header.type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
        ASSERT_EQ(sent[i + 2].header.type, CLAP_EVENT_PARAM_GESTURE_END);
        ASSERT_EQ(sent[i + 1].header.type, CLAP_EVENT_PARAM_VALUE);
        const int value = static_cast<int>(sent[i + 1].paramValue.value);
        ASSERT_GT(value, last);
        last = value;
    }
    EXPECT_GT(sent.size(), 0u);
    EXPECT_EQ(adapter->instrument.gain(), kEdits);
    plugin->stop_processing(plugin);
    plugin->deactivate(plugin);
    plugin->destroy(plugin);
}

// Console mode through the CLAP build: a port holds its channel as the
// console plays it with nothing else sounding, and the main port the
// console's mix, the VST 2 build's, which is not the ports' sum: the two
// pulses share a stage of the mixer.
TEST_F(Clap, InConsoleModeEachPortIsItsChannelAloneAndTheMainTheConsolesMix)
{
    const std::vector<uint8_t> console =
        vst2Chunk(cells::Builder().cell(cells::gain).number(100).cell(cells::console).number(3).bytes());
    const std::vector<Timed> first = {midi(0, 0xC0, 2, 0), midi(100, 0x90, 69, 100)};
    const std::vector<Timed> second = {midi(0, 0xC1, 2, 0), midi(100, 0x91, 64, 100)};
    const std::vector<Timed> triangle = {midi(0, 0xC2, 3, 0), midi(100, 0x92, 45, 100)};
    const auto render = [&](const std::vector<Timed>& events, size_t ports) {
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        EXPECT_TRUE(host.loadState(console));
        host.start(kRate, 512, true);
        return renderPorts(host, 22050, 512, events, ports);
    };
    const std::vector<Timed> all = merged(merged(first, second), triangle);
    const std::vector<StereoBuffer> out = render(all, kAllPorts);
    EXPECT_TRUE(same(out[1 + PulseOneGroup].left, render(first, 1)[0].left));
    EXPECT_TRUE(same(out[1 + TriangleGroup].left, render(triangle, 1)[0].left));
    std::vector<TimedMidi> vst2Song;
    for (const Timed& t : all)
        vst2Song.push_back({t.frame, {t.event.midi.data[0], t.event.midi.data[1], t.event.midi.data[2]}});
    EXPECT_TRUE(same(out[0].left, playVst2(vst2Song, 22050, 512, console).left));
    float apart = 0.0f;
    for (size_t i = 0; i < out[0].left.size(); ++i)
        apart = std::max(apart, std::abs(out[0].left[i] - out[1 + PulseOneGroup].left[i] -
                                         out[1 + PulseTwoGroup].left[i] - out[1 + TriangleGroup].left[i]));
    EXPECT_GT(apart, 0.02f);
}

// A one-shot sample in console mode plays once beside the 2A03's other
// channels: their $4015 writes keep the bit the sample cleared at its end,
// where a remembered copy of the register would start it again each frame.
TEST_F(Clap, InConsoleModeAOneShotSampleEndsWhileAPulsePlaysBesideIt)
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(0).cell(cells::channelType).number(Sample);
    chunk.cell(cells::volume).string("15").cell(cells::gain).number(100);
    chunk.cell(cells::program).number(1).cell(cells::channelType).number(Pulse);
    chunk.cell(cells::channelPrograms).number(0);
    for (int channel = 1; channel < 16; ++channel)
        chunk.number(1);
    chunk.cell(cells::keyMap).number(0).string("36=kick:15");
    constexpr int kLength = 97;  // 776 bits at the fastest rate: about 0.0065 s
    chunk.cell(cells::sample).string("kick").number(kLength);
    for (int i = 0; i < kLength; i += 3)
        chunk.number(i < kLength / 2 ? 0xFFFFFF : 0);  // up, then down: each play a pulse of sound
    for (const ConsoleMode mode : {ConsoleNes, ConsoleUnfiltered}) {
        const std::vector<uint8_t> state =
            vst2Chunk(cells::Builder(chunk).cell(cells::console).number(mode).cell(cells::end).bytes());
        const std::vector<Timed> kick = {midi(0, 0x90, 36, 100)};
        const std::vector<Timed> pulse = {midi(0, 0x91, 69, 100)};
        const auto render = [&](const std::vector<Timed>& events) {
            ClapHost host;
            EXPECT_TRUE(host.load(clapUnderTest()));
            EXPECT_TRUE(host.loadState(state));
            host.start(kRate, 512, true);
            return renderPorts(host, 22050, 512, events, kAllPorts);
        };
        const std::vector<StereoBuffer> alone = render(kick);
        const std::vector<StereoBuffer> both = render(merged(kick, pulse));
        EXPECT_TRUE(same(both[1 + SampleGroup].left, alone[1 + SampleGroup].left)) << mode;
        // Played once: nothing sounds after its pulse has died away.
        const std::vector<float>& samples = both[1 + SampleGroup].left;
        const auto peak = [&](size_t from, size_t to) {
            float most = 0.0f;
            for (size_t i = from; i < to; ++i)
                most = std::max(most, std::abs(samples[i]));
            return most;
        };
        EXPECT_GT(peak(0, 2205), 0.01f) << mode;
        EXPECT_LT(peak(4410, samples.size()), 0.25f * peak(0, 2205)) << mode;
    }
}

// A triangle note ends and a noise note takes its voice while the voice's
// buffer still holds the triangle's last frame: those samples stay on the
// Triangle port, as when no note follows, and the Noise port starts with the
// noise's own first frame.
TEST_F(Clap, ANoteThatTakesAFreedVoiceLeavesTheOldNotesLastFrameOnItsOwnPort)
{
    const std::vector<Timed> triangle = {midi(0, 0xC0, 3, 0), midi(100, 0x90, 45, 100), midi(6000, 0x80, 45, 0)};
    const std::vector<Timed> noise = {midi(0, 0xC1, 4, 0), midi(6100, 0x91, 60, 100)};
    const auto render = [](const std::vector<Timed>& events) {
        ClapHost host;
        EXPECT_TRUE(host.load(clapUnderTest()));
        host.start(kRate, 256, true);
        return renderPorts(host, 13230, 256, events, kAllPorts);
    };
    const std::vector<StereoBuffer> both = render(merged(triangle, noise));
    const std::vector<StereoBuffer> triangleAlone = render(triangle);
    ASSERT_GT(lastSound(triangleAlone[1 + TriangleGroup].left), 6100);  // its last frame outlasts the next note-on
    EXPECT_TRUE(same(both[1 + TriangleGroup].left, triangleAlone[1 + TriangleGroup].left));
    const int64_t noiseStarts = firstSound(both[1 + NoiseGroup].left);
    EXPECT_GT(noiseStarts, lastSound(triangleAlone[1 + TriangleGroup].left));
    EXPECT_GT(lastSound(both[1 + NoiseGroup].left), 12000);
    // The ports add up to the main output, one voice sounding at a time.
    for (size_t i = 0; i < both[0].left.size(); ++i)
        ASSERT_EQ(both[0].left[i], both[1 + TriangleGroup].left[i] + both[1 + NoiseGroup].left[i]) << i;
}

// Console mode's filters flush their tiniest states at the same samples
// whatever the host's blocks, so every port is bit-identical across block
// sizes, into the song's silent tail, in each of the modes.
TEST_F(Clap, InConsoleModeTheOutputDoesNotDependOnTheBlockSize)
{
    const std::vector<Timed> events = asClapMidi(kSong);
    constexpr int64_t kFrames = 3 * kSongFrames;  // the filters' tails decay to nothing in it
    for (const ConsoleMode mode : {ConsoleNes, ConsoleFamicom, ConsoleUnfiltered}) {
        const std::vector<uint8_t> state =
            vst2Chunk(cells::Builder().cell(cells::gain).number(100).cell(cells::console).number(mode).bytes());
        const auto render = [&](int32_t block) {
            ClapHost host;
            EXPECT_TRUE(host.load(clapUnderTest()));
            EXPECT_TRUE(host.loadState(state));
            host.start(kRate, block, true);
            return renderPorts(host, kFrames, block, events, kAllPorts);
        };
        const std::vector<StereoBuffer> reference = render(512);
        ASSERT_GT(lastSound(reference[0].left), 16000) << mode;
        for (const int32_t block : {37, 4096}) {
            const std::vector<StereoBuffer> other = render(block);
            for (size_t port = 0; port < kAllPorts; ++port)
                EXPECT_TRUE(same(other[port].left, reference[port].left))
                    << "mode " << mode << ", block " << block << ", port " << port;
        }
    }
}
