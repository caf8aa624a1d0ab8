// The LV2 build as an LV2 host sees it, loaded from its bundle through lilv
// (tools/host/Lv2Host), against the VST 2 build: the description's ports
// and ranges, the same state bytes, the same samples for the same MIDI,
// control ports that act at the start of the block they change in, the
// host told of program changes, and bad state refused safely. The bundle
// itself passes lv2_validate and lilv's tools find and describe it (see
// tests/CMakeLists.txt).
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"
#include "TestPaths.h"
#include "instrument/Chunk.h"
#include "instrument/Parameters.h"
#include "tools/host/Lv2Host.h"

#include <lv2/atom/atom.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kPalClock = 1662607.0;
constexpr float kRate = 44100.0f;
constexpr char kUri[] = "https://plinka.invalid/plinka";
constexpr char kBankKey[] = "https://plinka.invalid/plinka#bank";
constexpr const char* kControlSymbols[kParameterCount] = {"gain", "clock", "polyphony"};

// Renders song in blocks, each message at its offset in its block.
StereoBuffer renderLv2(Lv2Host& host, int64_t frames, int32_t block, const std::vector<TimedMidi>& song)
{
    StereoBuffer out;
    out.left.resize(static_cast<size_t>(frames));
    out.right.resize(static_cast<size_t>(frames));
    size_t next = 0;
    for (int64_t at = 0; at < frames; at += block) {
        const auto length = static_cast<int32_t>(std::min<int64_t>(block, frames - at));
        BlockMidi midi;
        for (; next < song.size() && song[next].frame < at + length; ++next) {
            const TimedMidi& m = song[next];
            const size_t size = (m.bytes[0] & 0xF0) == 0xC0 ? 2 : 3;  // a program change has one data byte
            midi.push_back({static_cast<int32_t>(m.frame - at), std::vector<uint8_t>(m.bytes, m.bytes + size)});
        }
        host.process(midi, out.left.data() + at, out.right.data() + at, length);
    }
    return out;
}

bool same(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Notes, a bend, program changes, a controller and a second channel.
const std::vector<TimedMidi> kSong = {{0, {0xC0, 2, 0}},        {0, {0x90, 69, 100}},   {3000, {0xE0, 0x00, 0x50}},
                                      {6001, {0xC1, 3, 0}},     {6001, {0x91, 45, 90}}, {9000, {0xB0, 7, 60}},
                                      {12000, {0x80, 69, 0}},   {12345, {0x81, 45, 0}}, {13000, {0xC0, 6, 0}},
                                      {13000, {0x90, 64, 127}}, {16000, {0x80, 64, 0}}};
constexpr int64_t kSongFrames = 26460;

class Lv2 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lv2.load(testpaths::lv2Bundle)) << lv2.error(); }

    StereoBuffer play(const std::vector<TimedMidi>& song, int64_t frames, int32_t block = 512)
    {
        lv2.start(kRate, block, true);
        return renderLv2(lv2, frames, block, song);
    }
    static StereoBuffer playVst2(const std::vector<TimedMidi>& song, int64_t frames, int32_t block = 512,
                                 const std::vector<uint8_t>& chunk = {})
    {
        PluginHost vst2;
        EXPECT_TRUE(vst2.load(pluginUnderTest())) << vst2.error();
        if (!chunk.empty())
            vst2.setChunk(chunk);
        vst2.start(kRate, block);
        return vst2.render(frames, block, song);
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
        EXPECT_TRUE(lv2.saveState(bytes)) << lv2.error();
        return bytes;
    }
    size_t stateChanges() const
    {
        return std::count(lv2.outputEvents.begin(), lv2.outputEvents.end(), std::string(LV2_STATE__StateChanged));
    }

    Lv2Host lv2;
};

}  // namespace

TEST_F(Lv2, DescribesTheInstrumentWithTheParametersRanges)
{
    EXPECT_EQ(lv2.uri(), kUri);
    EXPECT_EQ(lv2.name(), "Plinka");
    EXPECT_EQ(lv2.vendor(), "Tovak") << "as the CLAP and VST3 builds name it, the version in a field of its own";
    EXPECT_EQ(lv2.outputChannels(), 2);
    EXPECT_EQ(lv2.fxIdentity().id, plinkaFxIdentity().id) << "its banks are the VST 2 build's";
    for (uint32_t id = 0; id < kParameterCount; ++id) {
        float minimum = 0, maximum = 0, defaultValue = 0;
        ASSERT_TRUE(lv2.controlRange(kControlSymbols[id], minimum, maximum, defaultValue)) << kControlSymbols[id];
        EXPECT_EQ(minimum, kParameterInfo[id].minimum) << kControlSymbols[id];
        EXPECT_EQ(maximum, kParameterInfo[id].maximum) << kControlSymbols[id];
        EXPECT_EQ(defaultValue, kParameterInfo[id].defaultValue) << kControlSymbols[id];
    }

    Lv2Host byUri;
    EXPECT_FALSE(byUri.load("https://plinka.invalid/none"));
    EXPECT_NE(byUri.error().find("no LV2 plug-in"), std::string::npos) << byUri.error();
}

TEST_F(Lv2, StateIsTheVst2ChunkByteForByteBothWays)
{
    std::vector<Lv2Host::Property> properties;
    ASSERT_TRUE(lv2.saveProperties(properties));
    ASSERT_EQ(properties.size(), 1u) << "the bank is the one property";
    EXPECT_EQ(properties[0].key, kBankKey);
    EXPECT_EQ(properties[0].type, LV2_ATOM__Chunk);
    EXPECT_EQ(properties[0].flags, uint32_t(LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE));
    EXPECT_EQ(properties[0].value, vst2Chunk()) << "a new instance";

    const std::vector<uint8_t> pal = cells::Builder()
                                         .cell(cells::ntsc)
                                         .number(0)
                                         .cell(cells::gain)
                                         .number(37)
                                         .cell(cells::console)
                                         .number(2)
                                         .bytes();
    const std::vector<uint8_t> fromVst2 = vst2Chunk(pal);
    EXPECT_EQ(cells::settingOf(cells::of(fromVst2), cells::console), 2);
    ASSERT_TRUE(lv2.loadState(fromVst2)) << lv2.error();
    EXPECT_EQ(state(), fromVst2);

    // Settings the host moves are in the next save, and the VST 2 build takes it.
    lv2.setControl("polyphony", 3);
    lv2.setControl("clock", 1);
    play({{0, {0xC3, 17, 0}}}, 64);
    const std::vector<uint8_t> fromLv2 = state();
    EXPECT_NE(fromLv2, fromVst2);
    EXPECT_EQ(vst2Chunk(fromLv2), fromLv2);
}

TEST_F(Lv2, BadStateIsRefusedOrLoadsAsTheVst2BuildLoadsIt)
{
    const std::vector<uint8_t> before = state();
    const std::vector<uint8_t> pal = vst2Chunk(cells::Builder().cell(cells::ntsc).number(0).bytes());

    const std::vector<Lv2Host::Property> wrongType = {{kBankKey, LV2_ATOM__String, pal, LV2_STATE_IS_POD}};
    EXPECT_EQ(lv2.restoreProperties(wrongType), LV2_STATE_ERR_BAD_TYPE);
    EXPECT_EQ(lv2.restoreProperties({}), LV2_STATE_ERR_NO_PROPERTY);
    const std::vector<Lv2Host::Property> tooLong = {
        {kBankKey, LV2_ATOM__Chunk, std::vector<uint8_t>(chunk::kMaxBytes + 1, 0), LV2_STATE_IS_POD}};
    EXPECT_EQ(lv2.restoreProperties(tooLong), LV2_STATE_ERR_UNKNOWN);
    EXPECT_EQ(state(), before) << "a refused state changes nothing";

    // Damaged chunks: whatever the VST 2 build makes of them, the LV2 one does.
    std::mt19937 random(11);
    for (int round = 0; round < 30; ++round) {
        std::vector<uint8_t> damaged(pal.begin(), pal.begin() + random() % (pal.size() + 1));
        for (int flips = 0; flips < 4 && !damaged.empty(); ++flips)
            damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
        Lv2Host fresh;
        ASSERT_TRUE(fresh.load(testpaths::lv2Bundle));
        ASSERT_TRUE(fresh.loadState(damaged)) << fresh.error();
        std::vector<uint8_t> loaded;
        ASSERT_TRUE(fresh.saveState(loaded));
        EXPECT_EQ(loaded, vst2Chunk(damaged)) << "round " << round << ", " << damaged.size() << " bytes";
    }
}

TEST_F(Lv2, MidiPlaysAsInTheVst2BuildSampleForSampleInAnyBlockSize)
{
    const StereoBuffer vst2 = playVst2(kSong, kSongFrames);
    const StereoBuffer out = play(kSong, kSongFrames);
    EXPECT_TRUE(same(out.left, vst2.left));
    EXPECT_TRUE(same(out.right, vst2.right));
    EXPECT_GT(lastSound(out.left), 16000);
    EXPECT_LT(lastSound(out.left), 16000 + 2000);
    for (int32_t block : {1, 64, 1000, 4096}) {
        Lv2Host other;
        ASSERT_TRUE(other.load(testpaths::lv2Bundle));
        other.start(kRate, block, true);
        EXPECT_TRUE(same(renderLv2(other, kSongFrames, block, kSong).left, vst2.left)) << "block " << block;
    }
    // Another rate: the host makes a new instance, which plays as the VST 2 build does there.
    Lv2Host other;
    ASSERT_TRUE(other.load(testpaths::lv2Bundle));
    other.start(48000.0, 512, true);
    PluginHost vst2At48k;
    ASSERT_TRUE(vst2At48k.load(pluginUnderTest()));
    vst2At48k.start(48000.0f, 512);
    EXPECT_TRUE(same(renderLv2(other, kSongFrames, 512, kSong).left, vst2At48k.render(kSongFrames, 512, kSong).left));
}

TEST_F(Lv2, ControlPortsActAtTheStartOfTheBlockTheyChangeIn)
{
    lv2.start(kRate, 512, true);
    const std::vector<TimedMidi> note = {{0, {0xC0, 2, 0}}, {0, {0x90, 69, 100}}};
    const StereoBuffer first = renderLv2(lv2, 512, 512, note);
    lv2.setControl("gain", 0);
    const StereoBuffer second = renderLv2(lv2, 512, 512, {});
    EXPECT_EQ(lastSound(first.left), 511);
    EXPECT_EQ(lastSound(second.left), -1) << "gain 0 silences from the block on";

    // A restored bank's gain gives way to the port's, which the host left
    // where it was (see PortsDecideOverARestoredBanksGainAndClock).
    ASSERT_TRUE(lv2.loadState(vst2Chunk(cells::Builder().cell(cells::gain).number(37).bytes())));
    renderLv2(lv2, 512, 512, {});
    EXPECT_EQ(state(), vst2Chunk(cells::Builder().cell(cells::gain).number(0).bytes()));

    // The clock port: PAL lowers the pitch, as the VST 2 build plays a PAL chunk.
    Lv2Host pal;
    ASSERT_TRUE(pal.load(testpaths::lv2Bundle));
    pal.start(kRate, 512, true);
    pal.setControl("clock", 0);
    const std::vector<TimedMidi> phrase = {{0, {0xC0, 2, 0}}, {300, {0x90, 69, 100}}};
    const std::vector<float> palOut = renderLv2(pal, 22050, 512, phrase).left;
    const double expected = kPalClock / (16.0 * (235 + 1));
    EXPECT_NEAR(frequencyOf(palOut, 4410, 22050, kRate), expected, expected * 0.002);
    const std::vector<uint8_t> palChunk = cells::Builder().cell(cells::ntsc).number(0).bytes();
    EXPECT_TRUE(same(palOut, playVst2(phrase, 22050, 512, palChunk).left));

    // Out of range is clamped, no number changes nothing.
    Lv2Host wild;
    ASSERT_TRUE(wild.load(testpaths::lv2Bundle));
    wild.start(kRate, 64, true);
    wild.setControl("clock", 0);
    renderLv2(wild, 64, 64, {});
    wild.setControl("gain", 1e9f);
    wild.setControl("polyphony", -5);
    wild.setControl("clock", std::nanf(""));
    renderLv2(wild, 64, 64, {});
    std::vector<uint8_t> clamped;
    ASSERT_TRUE(wild.saveState(clamped));
    EXPECT_EQ(clamped, vst2Chunk(cells::Builder()
                                     .cell(cells::ntsc)
                                     .number(0)
                                     .cell(cells::gain)
                                     .number(200)
                                     .cell(cells::midiControllers)
                                     .number(1)
                                     .bytes()));
}

// A host may run no samples to hand over events: they act at the next
// block's first sample, and a note-off among them is never lost.
TEST_F(Lv2, EventsOfARunOfNoSamplesActAtTheNextBlocksStart)
{
    constexpr int32_t kBlock = 512;
    constexpr int kBlocks = 16;
    constexpr int kOffBlock = 8;
    constexpr int64_t kChipFrame = 735;  // samples a chip may still hold: a frame of 1/60 s at 44.1 kHz
    const auto render = [](bool onApart, bool offApart) {
        Lv2Host host;
        EXPECT_TRUE(host.load(testpaths::lv2Bundle)) << host.error();
        host.start(kRate, kBlock, true);
        std::vector<float> left(kBlock * kBlocks), right(kBlock * kBlocks);
        for (int block = 0; block < kBlocks; ++block) {
            float* l = left.data() + block * kBlock;
            float* r = right.data() + block * kBlock;
            const bool on = block == 0, off = block == kOffBlock;
            const BlockMidi midi = {{0, {uint8_t(on ? 0x90 : 0x80), 69, uint8_t(on ? 100 : 0)}}};
            const bool apart = on ? onApart : offApart;
            if ((on || off) && apart)
                host.process(midi, l, r, 0);
            host.process((on || off) && !apart ? midi : BlockMidi{}, l, r, kBlock);
        }
        return left;
    };
    const std::vector<float> inBlocks = render(false, false);
    ASSERT_GE(lastSound(inBlocks), kOffBlock * kBlock - 1) << "the note sounds until its note-off";
    ASSERT_LT(lastSound(inBlocks), kOffBlock * kBlock + kChipFrame) << "and ends there";
    for (const auto& [onApart, offApart] : {std::pair{true, false}, {false, true}, {true, true}}) {
        const std::vector<float> out = render(onApart, offApart);
        EXPECT_TRUE(same(out, inBlocks)) << "note-on apart " << onApart << ", note-off apart " << offApart;
        EXPECT_LT(lastSound(out), kOffBlock * kBlock + kChipFrame) << "no note left hanging";
    }
}

// One rule, true both ways: the control ports decide. A restored bank's
// gain and clock give way to the ports' values from the next block on, even
// where the host never moves a port, so what plays is what the ports show;
// the bank's programs stay.
TEST_F(Lv2, PortsDecideOverARestoredBanksGainAndClock)
{
    const auto withSettings = [](int32_t ntsc, int32_t gain) {
        return vst2Chunk(cells::Builder()
                             .cell(cells::program)
                             .number(0)
                             .cell(cells::volume)
                             .string("9")
                             .cell(cells::ntsc)
                             .number(ntsc)
                             .cell(cells::gain)
                             .number(gain)
                             .bytes());
    };
    const struct {
        int32_t portNtsc, portGain, bankNtsc, bankGain;
    } cases[] = {{1, 100, 0, 50}, {0, 60, 1, 100}, {0, 150, 0, 20}};
    const std::vector<TimedMidi> phrase = {{100, {0x90, 69, 100}}, {15000, {0x80, 69, 0}}};
    for (const auto& c : cases) {
        Lv2Host host;
        ASSERT_TRUE(host.load(testpaths::lv2Bundle));
        host.setControl("clock", static_cast<float>(c.portNtsc));
        host.setControl("gain", static_cast<float>(c.portGain));
        host.start(kRate, 512, true);
        renderLv2(host, 512, 512, {});
        ASSERT_TRUE(host.loadState(withSettings(c.bankNtsc, c.bankGain))) << host.error();
        const std::vector<float> out = renderLv2(host, 22050, 512, phrase).left;
        const std::vector<uint8_t> expected = withSettings(c.portNtsc, c.portGain);
        EXPECT_TRUE(same(out, playVst2(phrase, 22050, 512, expected).left))
            << "ports " << c.portNtsc << "/" << c.portGain << ", bank " << c.bankNtsc << "/" << c.bankGain;
        const double clock = c.portNtsc == 1 ? 1789773.0 : kPalClock;
        const double pitch = clock / (16.0 * ((c.portNtsc == 1 ? 253 : 235) + 1));
        EXPECT_NEAR(frequencyOf(out, 2000, 14000, kRate), pitch, pitch * 0.002);
        std::vector<uint8_t> saved;
        ASSERT_TRUE(host.saveState(saved));
        EXPECT_EQ(saved, expected) << "the bank's programs with the ports' settings";
    }
}

TEST_F(Lv2, ProgramChangesTellTheHostTheStateChanged)
{
    lv2.start(kRate, 512, true);
    renderLv2(lv2, 1024, 512, {{0, {0x90, 60, 100}}});
    EXPECT_EQ(stateChanges(), 0u) << "a new instance and notes are no change of the song";
    renderLv2(lv2, 512, 512, {{100, {0xC4, 9, 0}}});
    EXPECT_EQ(stateChanges(), 1u);
    renderLv2(lv2, 1024, 512, {});
    EXPECT_EQ(stateChanges(), 1u) << "told once";
    ASSERT_TRUE(lv2.loadState(vst2Chunk()));
    renderLv2(lv2, 512, 512, {});
    EXPECT_EQ(stateChanges(), 1u) << "the host's own restore is no news to it";
}

// LV2 lets a host restore state on another thread while the instance runs:
// every restore reaches the audio thread whole, and the blocks around it play.
TEST_F(Lv2, StateRestoredWhileTheAudioThreadRunsArrivesWhole)
{
    const std::vector<uint8_t> pal = vst2Chunk(cells::Builder().cell(cells::ntsc).number(0).bytes());
    // Its programs tell it from the other; its gain and clock are the ports'.
    const std::vector<uint8_t> loud = vst2Chunk(cells::Builder()
                                                    .cell(cells::gain)
                                                    .number(180)
                                                    .cell(cells::program)
                                                    .number(0)
                                                    .cell(cells::volume)
                                                    .string("9")
                                                    .bytes());
    lv2.setControl("gain", 180);
    lv2.start(kRate, 256, true);
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int round = 0; round < 40; ++round)
            EXPECT_TRUE(lv2.loadState(round % 2 ? loud : pal));
        done = true;
    });
    std::vector<float> left(256), right(256);
    bool finite = true;
    for (int block = 0; !done || block < 8; ++block) {
        const BlockMidi midi = {{0, {0x90, uint8_t(60 + block % 12), 100}}, {200, {0x80, uint8_t(60 + block % 12), 0}}};
        lv2.process(midi, left.data(), right.data(), 256);
        finite = finite && std::all_of(left.begin(), left.end(), [](float v) { return std::isfinite(v); });
    }
    host.join();
    EXPECT_TRUE(finite);
    EXPECT_EQ(state(), loud) << "the last restore holds";
}

// Console mode travels in the state and plays as in the VST 2 build.
TEST_F(Lv2, ConsoleModePlaysAsInTheVst2Build)
{
    PluginHost vst2;
    ASSERT_TRUE(vst2.load(pluginUnderTest()));
    // At the gain port's own value: the ports decide over a restored state's.
    vst2.setChunk(cells::Builder().cell(cells::gain).number(50).cell(cells::console).number(1).bytes());
    const std::vector<uint8_t> console = vst2.getChunk();
    vst2.start(kRate, 512);
    const StereoBuffer expected = vst2.render(kSongFrames, 512, kSong);
    ASSERT_TRUE(lv2.loadState(console)) << lv2.error();
    const StereoBuffer out = play(kSong, kSongFrames);
    EXPECT_TRUE(same(out.left, expected.left));
    EXPECT_FALSE(same(out.left, playVst2(kSong, kSongFrames).left)) << "the console's mix, not the voices' sum";
}
