// Sample programs as a host hears them, through the plug-in's binary: a song
// whose chunk carries a key map and samples plays a loop at its rate's period
// on both clock standards, a one-shot that falls silent, and the same sound
// at every velocity.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kNtscClock = 1789773.0;
constexpr double kPalClock = 1662607.0;
constexpr float kRate = 44100.0f;
constexpr int kSample = 3;

// A Sample program (0 unless given) with the key map, and one sample of 17
// bytes whose bits go up as often as down, so that looped it repeats exactly.
std::vector<uint8_t> kitChunk(const std::string& keys, bool pal, int program = 0, const std::string& volume = "15")
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(program).cell(cells::channelType).number(kSample);
    chunk.cell(cells::volume).string(volume).cell(cells::ntsc).number(pal ? 0 : 1).cell(cells::gain).number(100);
    chunk.cell(cells::keyMap).number(program).string(keys);
    chunk.cell(cells::sample).string("wave").number(17);
    std::vector<int> bytes(17);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 2 ? 0x0F : 0x3C;
    bytes[16] = 0x33;
    for (size_t i = 0; i < bytes.size(); i += 3)
        chunk.number(bytes[i] | (i + 1 < 17 ? bytes[i + 1] << 8 : 0) | (i + 2 < 17 ? bytes[i + 2] << 16 : 0));
    return chunk.cell(cells::end).bytes();
}

std::vector<float> play(const std::vector<uint8_t>& chunk, double seconds, int velocity = 100, uint8_t key = 36)
{
    PluginHost host;
    EXPECT_TRUE(host.load(pluginUnderTest())) << host.error();
    host.setChunk(chunk);
    host.start(kRate, 512);
    const TimedMidi note{0, {0x90, key, static_cast<uint8_t>(velocity)}};
    return host.render(static_cast<int64_t>(seconds * kRate), 512, {note}).left;
}

// The kit as program 2 under a Multi program 0 (a pulse), so that every D
// plays the kit; or, not multi, program 0 alone.
std::vector<uint8_t> multiKitChunk(const std::string& keys, bool multi)
{
    cells::Builder lead;
    lead.cell(cells::program).number(0).cell(cells::channelType).number(0).cell(cells::multi).number(multi ? 1 : 0);
    lead.cell(cells::volume).string("15");
    std::vector<uint8_t> chunk = lead.bytes();
    const std::vector<uint8_t> kit = kitChunk(keys, false, 2);
    chunk.insert(chunk.end(), kit.begin(), kit.end());
    return chunk;
}

// A chip frequency as the output carries it: chip clocks become samples at
// the buffer's 16.16 fixed-point ratio.
double renderedHz(double chipHz, double clock)
{
    const double samplesPerClock = std::floor(kRate / clock * 65536.0 + 0.5) / 65536.0;
    return chipHz * kRate / (clock * samplesPerClock);
}

}  // namespace

TEST(SampleRender, ALoopRepeatsEvery136BitsOfItsRateOnBothClocks)
{
    for (const bool pal : {false, true}) {
        for (const int rate : {4, 12}) {
            const double clock = pal ? kPalClock : kNtscClock;
            const int ntscPeriods[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};
            const int palPeriods[16] = {398, 354, 316, 298, 276, 236, 210, 198, 176, 148, 132, 118, 98, 78, 66, 50};
            const double bitClocks = (pal ? palPeriods : ntscPeriods)[rate];
            const std::vector<float> out = play(kitChunk("C2=wave:" + std::to_string(rate) + ":loop", pal), 1.5);
            const double expected = renderedHz(clock / (17 * 8 * bitClocks), clock);
            const double measured = autocorrelationFrequency(out, 4410, out.size() - 1, kRate, expected);
            EXPECT_NEAR(measured, expected, expected * 2e-4) << pal << " rate " << rate;
        }
    }
}

TEST(SampleRender, AOneShotFallsSilentAndVelocityChangesNothing)
{
    const std::vector<float> loud = play(kitChunk("36=wave:0", false), 0.5, 127);
    // 17 bytes at 428 clocks a bit: 0.033 s, then the voice ends within frames.
    const int64_t last = lastSound(loud);
    EXPECT_GT(last, static_cast<int64_t>(0.03 * kRate));
    EXPECT_LT(last, static_cast<int64_t>(0.1 * kRate));
    for (int velocity : {1, 64})
        EXPECT_EQ(renderHash(play(kitChunk("36=wave:0", false), 0.5, velocity)), renderHash(loud)) << velocity;
    // A key the map leaves out stays silent.
    EXPECT_EQ(lastSound(play(kitChunk("37=wave:0", false), 0.2)), -1);
}

// Three keys of one kit at other rates, looped or not, one starting near the
// top so that steps are skipped: any change in how the channel's steps reach
// the output changes this hash. Every build must give the same one.
TEST(SampleRender, AKitRendersIdenticallyOnEveryBuild)
{
    PluginHost host;
    ASSERT_TRUE(host.load(pluginUnderTest())) << host.error();
    host.setChunk(kitChunk("36=wave:15 38=wave:0:loop 40=wave:9:loop:d124", false));
    host.start(kRate, 512);
    const std::vector<TimedMidi> midi = {{0, {0x90, 36, 100}},     {3000, {0x90, 38, 100}},
                                         {9000, {0x90, 40, 100}},  {20000, {0x80, 38, 0}},
                                         {26000, {0x80, 40, 0}},   {30000, {0x90, 38, 60}}};
    const std::vector<float> out = host.render(40000, 512, midi).left;
    EXPECT_GT(lastSound(out), 30000) << "the last note sounds";
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(renderHash(out)));
    EXPECT_STREQ(hash, "9e57b7f3a7f9291b");
}

// A Multi program's Sample member plays the key map entry of the key pressed,
// as the kit alone does, at each entry's own rate; a key its map leaves out
// stays silent. Every other member still sounds note 60 on each of its keys.
TEST(SampleRender, AMultiProgramsSampleMemberPlaysTheEntryOfEachKey)
{
    const std::string keys = "38=wave:4:loop 50=wave:12:loop";
    const int ntscPeriods[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};
    for (const auto& [key, rate] : {std::pair<uint8_t, int>{38, 4}, {50, 12}}) {
        const std::vector<float> out = play(multiKitChunk(keys, true), 1.0, 100, key);
        const double expected = renderedHz(kNtscClock / (17 * 8 * ntscPeriods[rate]), kNtscClock);
        ASSERT_GT(lastSound(out), 4410) << "key " << int(key) << " sounds";
        const double measured = autocorrelationFrequency(out, 4410, out.size() - 1, kRate, expected);
        EXPECT_NEAR(measured, expected, expected * 2e-4) << "key " << int(key);
    }
    EXPECT_EQ(lastSound(play(multiKitChunk(keys, true), 0.2, 100, 62)), -1) << "D4 has no entry";
    // The pulse on C: every C sounds as key 60 of the same program alone.
    const uint64_t alone = renderHash(play(multiKitChunk(keys, false), 0.3, 100, 60));
    for (const uint8_t c : {36, 48, 72})
        EXPECT_EQ(renderHash(play(multiKitChunk(keys, true), 0.3, 100, c)), alone) << "key " << int(c);
}

// A drum pad's note lasts a few milliseconds: a one-shot sample plays to its
// end all the same, exactly as under a held key; a looped one stops with the
// key, and a Volume step of 0 or a new note still ends a one-shot.
TEST(SampleRender, AOneShotPlaysToItsEndWhateverTheKeyDoes)
{
    const auto render = [](const std::vector<uint8_t>& chunk, const std::vector<TimedMidi>& midi) {
        PluginHost host;
        EXPECT_TRUE(host.load(pluginUnderTest())) << host.error();
        host.setChunk(chunk);
        host.start(kRate, 512);
        return host.render(static_cast<int64_t>(0.5 * kRate), 512, midi).left;
    };
    const TimedMidi on{0, {0x90, 36, 100}};
    const TimedMidi tapped{441, {0x80, 36, 0}};  // 10 ms
    const std::vector<float> held = render(kitChunk("36=wave:0", false), {on});
    EXPECT_GT(lastSound(held), static_cast<int64_t>(0.03 * kRate));
    EXPECT_EQ(render(kitChunk("36=wave:0", false), {on, tapped}), held);
    EXPECT_EQ(render(kitChunk("36=wave:0", false), {on, {0, {0xB0, 64, 127}}, tapped, {600, {0xB0, 64, 0}}}), held)
        << "through the pedal";

    const std::vector<float> loop = render(kitChunk("36=wave:0:loop", false), {on, tapped});
    EXPECT_LT(lastSound(loop), static_cast<int64_t>(0.02 * kRate)) << "a loop stops with its key";
    const std::vector<float> cut = render(kitChunk("36=wave:0", false, 0, "15 0"), {on, tapped});
    EXPECT_LT(lastSound(cut), lastSound(held)) << "a Volume step of 0 ends it";
    // A new note on the voice takes it over: the first sample's tail is cut there.
    const std::vector<float> twice = render(kitChunk("36=wave:0", false), {on, tapped, {900, {0x90, 36, 100}}});
    EXPECT_NE(twice, held);
    EXPECT_EQ(std::vector<float>(twice.begin(), twice.begin() + 735), std::vector<float>(held.begin(), held.begin() + 735));
}
