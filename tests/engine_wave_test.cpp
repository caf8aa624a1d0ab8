// The wave language of FDS and N163 programs, the console 163's memory for
// its channels' waves, and the waves and the 163's channel count through the
// chunk (the text bank's keys: tools_bank_test.cpp).
#include "engine/N163Memory.h"
#include "engine/SharedSettings.h"
#include "engine/WaveCompiler.h"
#include "instrument/Chunk.h"
#include "instrument/FactoryPresets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct Bank {
    ProgramBank programs;
};

std::string numbers(int count, int (*value)(int))
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + std::to_string(value(i));
    return text;
}

const std::string kRamp64 = numbers(64, [](int i) { return i; });
const std::string kMod32 = numbers(32, [](int i) { return i % 8; });

}  // namespace

TEST(WaveCompiler, EachTextCompilesToItsWaveOrOneMessage)
{
    struct Case {
        std::string text;
        int32_t type;
        const char* error;  // null: compiles
        int32_t length, count;
    };
    const std::string square16 = "15 15 15 15 15 15 15 15 0 0 0 0 0 0 0 0";
    const Case cases[] = {
        {"", Fds, nullptr, 64, 1},  // the sine
        {"", N163, nullptr, 32, 1},
        {kRamp64, Fds, nullptr, 64, 1},
        {kRamp64 + " mod " + kMod32 + " mod-rate 4095 mod-depth 63 mod-delay 65535", Fds, nullptr, 64, 1},
        {kRamp64 + " mod-rate = 20", Fds, nullptr, 64, 1},
        {square16, N163, nullptr, 16, 1},
        {square16 + " ; " + square16 + ";" + square16, N163, nullptr, 16, 3},
        {numbers(240, [](int i) { return i % 16; }), N163, nullptr, 240, 1},
        {"1 2 3 4", N163, nullptr, 4, 1},
        {numbers(63, [](int i) { return i; }), Fds, kErrorFdsWaveLength, 0, 0},
        {numbers(64, [](int i) { return i + 1; }), Fds, kErrorFdsWaveValue, 0, 0},
        {kRamp64 + " ; " + kRamp64, Fds, kErrorFdsOneWave, 0, 0},
        {kRamp64 + " mod 1 2 3", Fds, kErrorFdsModLength, 0, 0},
        {kRamp64 + " mod " + numbers(32, [](int i) { return i; }), Fds, kErrorFdsModValue, 0, 0},
        {kRamp64 + " mod-rate 4096", Fds, kErrorFdsModSetting, 0, 0},
        {kRamp64 + " mod-depth 1 2", Fds, kErrorFdsModSetting, 0, 0},
        {kRamp64 + " mod-delay -1", Fds, kErrorFdsModSetting, 0, 0},
        {kRamp64 + " mod 0 mod 0", Fds, kErrorWaveNumber, 0, 0},
        {kRamp64 + " vibrato 3", Fds, kErrorWaveNumber, 0, 0},
        {"1 2 x 4", N163, kErrorWaveNumber, 0, 0},
        {"1 2 3", N163, kErrorN163WaveLength, 0, 0},
        {numbers(244, [](int) { return 0; }), N163, kErrorN163WaveLength, 0, 0},
        {"1 2 3 4 ; 1 2 3 4 5 6 7 8", N163, kErrorN163SameLength, 0, 0},
        {"1 2 3 16", N163, kErrorN163WaveValue, 0, 0},
        {"1 2 3 4 mod-rate 3", N163, kErrorN163NoMod, 0, 0},
        {"9999999999999", N163, kErrorWaveNumber, 0, 0},
        {"1 2 3 4" + std::string(1000, ';'), N163, kErrorWaveNumber, 0, 0},  // more waves than samples
    };
    for (const Case& c : cases) {
        WaveProgram wave;
        wave.length = -7;  // nothing of a previous compile may stay
        EXPECT_EQ(compileWave(c.text, c.type, wave), c.error) << c.text;
        // In error, the program keeps sounding: the blank text's sine.
        EXPECT_EQ(wave.length, c.error ? (c.type == Fds ? 64 : 32) : c.length) << c.text;
        EXPECT_EQ(wave.count, c.error ? 1 : c.count) << c.text;
    }
    // A VRC7 program's text names its patch.
    const struct {
        std::string text;
        const char* error;
        int32_t patch;
        bool sustain;
    } vrc7[] = {
        {"", nullptr, 1, false},
        {"patch 15 sustain on", nullptr, 15, true},
        {"patch = custom custom = 01 21 0 00 00 F0 00 0f", nullptr, 0, false},
        {"sustain off custom 1 2 3 4 5 6 7 8 patch 3", nullptr, 3, false},
        {"patch 0", kErrorVrc7Patch, 1, false},
        {"patch 16", kErrorVrc7Patch, 1, false},
        {"patch 03", kErrorVrc7Patch, 1, false},
        {"patch custom custom 01 02", kErrorVrc7Custom, 1, false},
        {"custom 100 0 0 0 0 0 0 0", kErrorVrc7Custom, 1, false},
        {"custom 0 0 0 0 0 0 0 0 0", kErrorVrc7Custom, 1, false},
        {"sustain yes", kErrorVrc7Sustain, 1, false},
        {"1 2 3 4", kErrorVrc7Wave, 1, false},
        {"mod-rate 3", kErrorN163NoMod, 1, false},
    };
    for (const auto& c : vrc7) {
        WaveProgram patch;
        EXPECT_EQ(compileWave(c.text, Vrc7, patch), c.error) << c.text;
        EXPECT_EQ(patch.patch, c.patch) << c.text;
        EXPECT_EQ(patch.sustain, c.sustain) << c.text;
        EXPECT_EQ(patch.length, 0) << c.text;
    }
    WaveProgram custom;
    ASSERT_EQ(compileWave("patch custom custom 01 21 0 00 00 F0 00 0f", Vrc7, custom), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(custom.custom, custom.custom + 8),
              (std::vector<uint8_t>{0x01, 0x21, 0, 0, 0, 0xF0, 0, 0x0F}));
    EXPECT_EQ(formatWave(custom, Vrc7), "patch custom custom 01 21 00 00 00 F0 00 0F");
    EXPECT_EQ(compileWave("patch 3", Fds, custom), kErrorVrc7Only);
    WaveProgram none;
    EXPECT_EQ(compileWave("nonsense", Pulse, none), nullptr);
    EXPECT_EQ(none.length, 0) << "a type without waves has none";
}

TEST(WaveCompiler, TheModulatorsNumbersLandInTheirFields)
{
    WaveProgram wave;
    ASSERT_EQ(compileWave(kRamp64 + " mod-delay 30 mod = " + kMod32 + " mod-depth 12 mod-rate 700", Fds, wave),
              nullptr);
    EXPECT_TRUE(wave.hasMod);
    EXPECT_EQ(wave.modRate, 700);
    EXPECT_EQ(wave.modDepth, 12);
    EXPECT_EQ(wave.modDelay, 30);
    for (int i = 0; i < kFdsModSteps; ++i)
        EXPECT_EQ(wave.mod[i], i % 8);
    for (int i = 0; i < kFdsWaveSteps; ++i)
        EXPECT_EQ(wave.samples[i], i);
    ASSERT_EQ(compileWave(kRamp64 + " mod-rate 5", Fds, wave), nullptr);
    EXPECT_FALSE(wave.hasMod) << "no table, no modulation";
}

// What the editor writes back after a drag compiles to the same program,
// and the text bank's parts join to the same text, for random programs.
TEST(WaveCompiler, FormattedProgramsAndJoinedPartsCompileBackExactly)
{
    std::mt19937 random(163);
    for (int round = 0; round < 200; ++round) {
        const bool fds = round % 2 == 0;
        WaveProgram wave;
        wave.length = fds ? 64 : 4 * static_cast<int32_t>(1 + random() % 24);
        wave.count = fds ? 1 : static_cast<int32_t>(1 + random() % 4);
        for (int32_t i = 0; i < wave.length * wave.count; ++i)
            wave.samples[i] = static_cast<uint8_t>(random() % (fds ? 64 : 16));
        if (fds && random() % 2) {
            wave.hasMod = true;
            for (uint8_t& code : wave.mod)
                code = static_cast<uint8_t>(random() % 8);
            wave.modRate = static_cast<int32_t>(random() % 4096);
            wave.modDepth = static_cast<int32_t>(random() % 64);
            wave.modDelay = static_cast<int32_t>(random() % 300);
        }
        const int32_t type = fds ? Fds : N163;
        const std::string text = formatWave(wave, type);
        WaveProgram back;
        ASSERT_EQ(compileWave(text, type, back), nullptr) << text;
        EXPECT_EQ(back.length, wave.length);
        EXPECT_EQ(back.count, wave.count);
        EXPECT_TRUE(std::equal(wave.samples, wave.samples + wave.length * wave.count, back.samples)) << text;
        EXPECT_EQ(back.hasMod, wave.hasMod);
        EXPECT_TRUE(!wave.hasMod || std::equal(wave.mod, wave.mod + kFdsModSteps, back.mod));
        EXPECT_EQ(back.modRate, wave.modRate);
        EXPECT_EQ(back.modDepth, wave.modDepth);
        EXPECT_EQ(back.modDelay, wave.modDelay);
        WaveTextParts parts;
        ASSERT_TRUE(splitWaveText(text, parts));
        EXPECT_EQ(joinWaveText(parts), text);
    }
}

TEST(N163Memory, NotesKeepTheirWavesShareEqualOnesAndLaterOnesFindNoRoom)
{
    uint8_t ram[N163Memory::ram_bytes] = {};
    auto read = [&ram](int32_t b) { return ram[b]; };
    auto put = [&ram](int32_t address, const std::vector<uint8_t>& wave) {
        for (size_t s = 0; s < wave.size(); s += 2)
            ram[address / 2 + s / 2] = static_cast<uint8_t>(wave[s] | wave[s + 1] << 4);
    };
    const std::vector<uint8_t> a(32, 3), b(32, 9), c(64, 12), d(32, 5), e(64, 1), f(256, 7), g(64, 3);
    N163Memory memory;  // eight channels: 64 bytes of waves, 128 samples
    ASSERT_EQ(memory.wave_bytes(), 64);
    auto place = [&](int32_t channel, const std::vector<uint8_t>& wave, int32_t length) {
        const int32_t at = memory.place(channel, wave.data(), length, read);
        if (at >= 0)
            put(at, std::vector<uint8_t>(wave.begin(), wave.begin() + length));
        return at;
    };
    EXPECT_EQ(place(0, a, 32), 0);
    EXPECT_EQ(place(1, a, 32), 0) << "an equal wave is read where it is";
    EXPECT_EQ(place(2, b, 32), 32);
    EXPECT_EQ(place(3, c, 64), 64);
    EXPECT_EQ(place(4, d, 32), -1) << "the first notes keep their waves";
    EXPECT_EQ(place(0, a, 32), 0) << "a channel keeps its region";
    EXPECT_EQ(place(1, b, 32), 32) << "a new wave of channel 1 is channel 2's: never over channel 0's";
    memory.keep_only(0b0001);  // only channel 0 still sounds
    EXPECT_EQ(place(4, d, 32), 32) << "the first bytes freed";
    memory.set_channels(1);  // 120 bytes of waves
    EXPECT_EQ(place(2, e, 64), 64);
    EXPECT_EQ(place(5, g, 64), 128) << "64 samples of 3 are not channel 0's 32";
    memory.set_channels(8);  // the registers take channel 5's bytes back
    EXPECT_EQ(place(5, g, 64), -1);
    EXPECT_EQ(place(6, f, 130), -1) << "longer than the memory";
    EXPECT_EQ(place(4, d, 32), 32) << "what stays inside keeps its place";
    memory.miss(17);
    EXPECT_EQ(memory.misses(), 1u);
    EXPECT_EQ(memory.missed_program(), 17);
}

TEST(WaveChunk, WaveTextsAndTheChannelCountRoundTripAndOlderChunksClearThem)
{
    auto saved = std::make_unique<Bank>();
    ProgramBank& bank = saved->programs;
    buildDefaultBank(bank);
    bank[5].channelType = Fds;
    copyTextField(bank[5].waveText, (kRamp64 + " mod " + kMod32).c_str());
    bank[9].channelType = N163;
    copyTextField(bank[9].waveText, "1 2 3 4 ; 5 6 7 8");
    chunk::Settings settings{};
    settings.gain = 100;
    settings.n163Channels = 3;
    const std::vector<unsigned char> bytes = chunk::write(bank, nullptr, settings);

    auto into = std::make_unique<Bank>();
    ProgramBank& loaded = into->programs;
    buildDefaultBank(loaded);
    copyTextField(loaded[2].waveText, "left over");
    chunk::Settings back{};
    chunk::read(bytes.data(), bytes.size(), loaded, back);
    for (int p = 0; p < kProgramCount; ++p)
        EXPECT_STREQ(loaded[p].waveText, bank[p].waveText) << p;
    EXPECT_EQ(back.n163Channels, 3);

    // Without the cells: the default count, no wave texts; and such a state
    // writes the bytes it wrote before waves existed.
    auto older = std::make_unique<Bank>();
    ProgramBank& plain = older->programs;
    buildDefaultBank(plain);
    chunk::Settings defaults{};
    defaults.gain = 100;
    const std::vector<unsigned char> old = chunk::write(plain, nullptr, defaults);
    chunk::read(old.data(), old.size(), loaded, back);
    EXPECT_EQ(back.n163Channels, kDefaultN163Channels);
    EXPECT_STREQ(loaded[5].waveText, "");
    // The count's two cells; each wave's tag, number, characters and end.
    const size_t cells =
        2 + (2 + std::strlen(bank[5].waveText) + 1) + (2 + std::strlen(bank[9].waveText) + 1);
    EXPECT_EQ(old.size(), bytes.size() - 4 * cells);
}
