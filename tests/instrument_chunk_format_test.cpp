// The chunk's later cells, taken apart without a plug-in: the controller-
// handling setting sits just before the end tag, an older chunk loads it as
// absent (handling off), and old chunks still round-trip byte for byte; key
// maps and samples follow it, only when there are any, and a sample whose
// cells are unusable is left out; the console mode, and MPE at the very end,
// only when on.
#include "ChunkCells.h"
#include "EngineTestSupport.h"
#include "instrument/Chunk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr float kMidiControllersTag = cells::midiControllers;

std::vector<uint8_t> written(const ProgramBank& programs, int32_t midiControllers)
{
    chunk::Settings settings{};
    settings.ntsc = 1;
    settings.gain = 100;
    settings.channelProgram[3] = 42;
    settings.midiControllers = midiControllers;
    std::vector<uint8_t> bytes(chunk::kMaxWrittenBytes);
    bytes.resize(chunk::write(programs, settings, bytes.data()));
    return bytes;
}

chunk::Settings readBack(const std::vector<uint8_t>& bytes, ProgramBank& programs, int32_t before)
{
    chunk::Settings settings{};
    settings.midiControllers = before;
    chunk::read(bytes.data(), bytes.size(), programs, settings);
    return settings;
}

}  // namespace

TEST(ChunkFormat, ControllerSettingRoundTripsInTwoCellsBeforeTheEnd)
{
    auto bank = factoryBank();
    const std::vector<uint8_t> old = written(bank->programs, chunk::kSettingAbsent);
    for (int32_t value : {0, 1}) {
        const std::vector<uint8_t> bytes = written(bank->programs, value);
        const std::vector<float> cells = cells::of(bytes);
        ASSERT_EQ(bytes.size(), old.size() + 8);
        EXPECT_TRUE(std::equal(old.begin(), old.end() - 4, bytes.begin())) << "every older cell keeps its place";
        EXPECT_EQ(cells[cells.size() - 3], kMidiControllersTag);
        EXPECT_EQ(cells[cells.size() - 2], static_cast<float>(value));
        EXPECT_EQ(cells.back(), cells::end);
        const chunk::Settings loaded = readBack(bytes, bank->programs, 1 - value);
        EXPECT_EQ(loaded.midiControllers, value);
        EXPECT_EQ(loaded.channelProgram[3], 42);
        EXPECT_EQ(written(bank->programs, loaded.midiControllers), bytes);
    }
}

TEST(ChunkFormat, OlderChunksLoadWithTheHandlingAbsentAndRoundTripUnchanged)
{
    auto bank = factoryBank();
    const std::vector<uint8_t> old = written(bank->programs, chunk::kSettingAbsent);
    for (int32_t before : {0, 1}) {
        const chunk::Settings loaded = readBack(old, bank->programs, before);
        EXPECT_EQ(loaded.midiControllers, chunk::kSettingAbsent) << "whatever was set before";
        EXPECT_EQ(written(bank->programs, loaded.midiControllers), old);
    }
    // The tag must not be any older tag, nor a payload cell any tag.
    for (float tag :
         {cells::header, cells::channelPrograms, cells::program, cells::channelType, cells::multi, cells::name,
          cells::volume, cells::arp, cells::pitch, cells::hiPitch, cells::duty, cells::ntsc, cells::gain, cells::end}) {
        EXPECT_NE(tag, kMidiControllersTag);
        EXPECT_GT(tag, 1.0f);
    }
}

TEST(ChunkFormat, ControllerCellsWithoutAUsableValueCountAsAbsent)
{
    auto bank = factoryBank();
    // A saved chunk (it holds the gain) without a usable setting is an old one.
    for (float payload : {2.0f, -1.0f, NAN, 1e30f}) {
        const cells::Builder chunk =
            cells::Builder().cell(cells::gain).number(100).cell(kMidiControllersTag).cell(payload).cell(cells::end);
        EXPECT_EQ(readBack(chunk.bytes(), bank->programs, 1).midiControllers, chunk::kSettingAbsent) << payload;
    }
    const cells::Builder cut = cells::Builder().cell(cells::gain).number(100).cell(kMidiControllersTag);
    EXPECT_EQ(readBack(cut.bytes(), bank->programs, 1).midiControllers, chunk::kSettingAbsent);
    // Anything else that does not mention the setting leaves it as it was.
    const cells::Builder partial = cells::Builder().cell(kMidiControllersTag).number(7).cell(cells::end);
    EXPECT_EQ(readBack(partial.bytes(), bank->programs, 1).midiControllers, 1);
    const cells::Builder twice =
        cells::Builder().cell(kMidiControllersTag).number(0).cell(kMidiControllersTag).number(1);
    EXPECT_EQ(readBack(twice.bytes(), bank->programs, 0).midiControllers, 1) << "the last one counts";
}

namespace {

struct SampleState {
    std::unique_ptr<BankHolder> bank = factoryBank();
    std::unique_ptr<SampleBank> samples = std::make_unique<SampleBank>();
};

std::vector<uint8_t> writtenWith(const SampleState& state, int32_t console = 0)
{
    chunk::Settings settings{};
    settings.ntsc = 1;
    settings.gain = 100;
    settings.channelProgram[3] = 42;
    settings.midiControllers = 1;
    settings.console = console;
    std::vector<uint8_t> bytes(chunk::kMaxWrittenBytes);
    bytes.resize(chunk::write(state.bank->programs, state.samples.get(), settings, bytes.data()));
    return bytes;
}

std::vector<uint8_t> randomBytes(size_t count, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

void readInto(const std::vector<uint8_t>& bytes, SampleState& state)
{
    chunk::Settings settings{};
    chunk::read(bytes.data(), bytes.size(), state.bank->programs, state.samples.get(), settings);
}

}  // namespace

TEST(ChunkFormat, KeyMapsAndSamplesRoundTripInTaggedCellsBeforeTheEnd)
{
    SampleState state;
    copyTextField(state.bank->programs[5].keyMapText, "36=kick:15 42=hat:3:loop");
    const std::vector<uint8_t> kick = randomBytes(33, 1), hat = randomBytes(4081, 2);
    ASSERT_EQ(state.samples->put("kick", kick.data(), 33), nullptr);
    ASSERT_EQ(state.samples->put(std::string(31, 'h'), hat.data(), 4081), nullptr);
    const std::vector<uint8_t> bytes = writtenWith(state);
    const std::vector<float> all = cells::of(bytes);

    size_t at = 0;
    while (at < all.size() && all[at] != cells::midiControllers)
        ++at;
    at += 2;
    ASSERT_EQ(all.at(at++), cells::keyMap);
    EXPECT_EQ(all.at(at++), 5.0f);
    EXPECT_EQ(cells::stringAt(all, at), "36=kick:15 42=hat:3:loop");
    ASSERT_EQ(all.at(at++), cells::sample);
    EXPECT_EQ(cells::stringAt(all, at), "kick");
    EXPECT_EQ(all.at(at++), 33.0f);
    for (size_t i = 0; i < 33; i += 3)
        EXPECT_EQ(all.at(at++), static_cast<float>(kick[i] | kick[i + 1] << 8 | kick[i + 2] << 16)) << i;
    ASSERT_EQ(all.at(at++), cells::sample);
    EXPECT_EQ(cells::stringAt(all, at), std::string(31, 'h'));
    EXPECT_EQ(all.at(at++), 4081.0f);
    at += 1360;
    EXPECT_EQ(all.at(at++), static_cast<float>(hat[4080]));  // the last cell holds one byte
    EXPECT_EQ(all.at(at++), cells::end);
    EXPECT_EQ(at, all.size());

    // An older reader skips every one of these cells: none but the two new tags
    // comes near any tag.
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] != cells::keyMap && all[i] != cells::sample)
            continue;
        for (size_t j = i + 1; j < all.size() - 1 && all[j] != cells::keyMap && all[j] != cells::sample; ++j)
            ASSERT_LT(std::fabs(all[j]), 16777216.0f) << j;
    }
    for (float old : {cells::header, cells::channelPrograms, cells::program, cells::channelType, cells::multi,
                      cells::name, cells::volume, cells::arp, cells::pitch, cells::hiPitch, cells::duty, cells::ntsc,
                      cells::gain, cells::end, cells::midiControllers})
        for (float added : {cells::keyMap, cells::sample})
            EXPECT_NE(old, added);

    SampleState loaded;
    readInto(bytes, loaded);
    EXPECT_STREQ(loaded.bank->programs[5].keyMapText, "36=kick:15 42=hat:3:loop");
    ASSERT_EQ(loaded.samples->count, 2);
    EXPECT_EQ(loaded.samples->samples[0].length, 33);
    EXPECT_TRUE(std::equal(kick.begin(), kick.end(), loaded.samples->samples[0].bytes));
    EXPECT_EQ(loaded.samples->samples[1].length, 4081);
    EXPECT_TRUE(std::equal(hat.begin(), hat.end(), loaded.samples->samples[1].bytes));
    EXPECT_EQ(writtenWith(loaded), bytes);
}

TEST(ChunkFormat, WithoutKeyMapsOrSamplesTheChunkIsAsBeforeAndClearsThem)
{
    SampleState plain;
    const std::vector<uint8_t> before = written(plain.bank->programs, 1);
    EXPECT_EQ(writtenWith(plain), before);
    // A saved chunk from before samples: the key maps and samples go, the rest
    // loads as the older reader would.
    SampleState used;
    copyTextField(used.bank->programs[9].keyMapText, "36=kick:15");
    const std::vector<uint8_t> kick = randomBytes(17, 3);
    ASSERT_EQ(used.samples->put("kick", kick.data(), 17), nullptr);
    readInto(before, used);
    EXPECT_EQ(used.samples->count, 0);
    EXPECT_EQ(used.bank->programs[9].keyMapText[0], 0);
    EXPECT_EQ(writtenWith(used), before);
    // A partial chunk (no gain) leaves them as they are.
    copyTextField(used.bank->programs[9].keyMapText, "36=kick:15");
    ASSERT_EQ(used.samples->put("kick", kick.data(), 17), nullptr);
    readInto(cells::Builder().cell(cells::program).number(9).cell(cells::name).string("Kit").cell(cells::end).bytes(),
             used);
    EXPECT_EQ(used.samples->count, 1);
    EXPECT_STREQ(used.bank->programs[9].keyMapText, "36=kick:15");
}

TEST(ChunkFormat, UnusableSamplesAreLeftOutAndTheRestLoads)
{
    const auto good = [](cells::Builder& b, const std::string& name) -> cells::Builder& {
        b.cell(cells::sample).string(name).number(17);
        for (int i = 0; i < 6; ++i)
            b.number(0x0F0F0F);
        return b;
    };
    const std::vector<std::function<void(cells::Builder&)>> bad = {
        [](cells::Builder& b) { b.cell(cells::sample).string("x").number(18).number(1).number(2); },
        [](cells::Builder& b) { b.cell(cells::sample).string("a b").number(1).number(7); },
        [](cells::Builder& b) { b.cell(cells::sample).string("").number(1).number(7); },
        [](cells::Builder& b) { b.cell(cells::sample).string("big").number(1).number(16777216.0); },
        [](cells::Builder& b) { b.cell(cells::sample).string("neg").number(1).number(-1); },
        [](cells::Builder& b) { b.cell(cells::sample).string("nan").number(1).cell(NAN); },
        [](cells::Builder& b) { b.cell(cells::sample).string("x").number(4097); },
        [](cells::Builder& b) { b.cell(cells::sample).string("short").number(4081).number(5); },  // then a tag
        [](cells::Builder& b) { b.cell(cells::sample).string("cut").number(4081).number(5); },
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        cells::Builder chunk;
        chunk.cell(cells::gain).number(100);
        good(chunk, "first");
        bad[i](chunk);
        const bool cut = i + 1 == bad.size();  // runs to the end of the bytes
        if (!cut)
            good(chunk, "last").cell(cells::end);
        SampleState state;
        readInto(chunk.bytes(), state);
        ASSERT_EQ(state.samples->count, cut ? 1 : 2) << i;
        EXPECT_STREQ(state.samples->samples[0].name, "first");
        EXPECT_EQ(state.samples->samples[0].bytes[16], 0x0F);
    }
    // More than the bank holds: the first 64.
    cells::Builder many;
    for (int i = 0; i < 70; ++i)
        good(many, "s" + std::to_string(i));
    SampleState state;
    readInto(many.bytes(), state);
    EXPECT_EQ(state.samples->count, kMaxSamples);
    EXPECT_STREQ(state.samples->samples[63].name, "s63");
}

namespace {

int32_t consoleAfterReading(const std::vector<uint8_t>& bytes, int32_t before)
{
    auto bank = factoryBank();
    chunk::Settings settings{};
    settings.console = before;
    chunk::read(bytes.data(), bytes.size(), bank->programs, settings);
    return settings.console;
}

}  // namespace

TEST(ChunkFormat, ConsoleModeIsWrittenOnlyWhenOnInTwoCellsAfterTheSamplesAndRoundTrips)
{
    SampleState state;
    const std::vector<uint8_t> kick = randomBytes(17, 4);
    ASSERT_EQ(state.samples->put("kick", kick.data(), 17), nullptr);
    const std::vector<uint8_t> off = writtenWith(state);
    const std::vector<float> offCells = cells::of(off);
    EXPECT_EQ(std::count(offCells.begin(), offCells.end(), cells::console), 0)
        << "off, a song saves what it saved before the mode existed";
    EXPECT_EQ(consoleAfterReading(off, 3), 0) << "a saved chunk without the cell has the mode off";
    // Values no mode has are written as off, never as a cell a reader refuses.
    for (int32_t odd : {-1, 4, 1000})
        EXPECT_EQ(writtenWith(state, odd), off) << odd;

    for (int32_t mode : {1, 2, 3}) {
        const std::vector<uint8_t> bytes = writtenWith(state, mode);
        ASSERT_EQ(bytes.size(), off.size() + 8);
        EXPECT_TRUE(std::equal(off.begin(), off.end() - 4, bytes.begin())) << "every older cell keeps its place";
        const std::vector<float> all = cells::of(bytes);
        EXPECT_EQ(all[all.size() - 3], cells::console);
        EXPECT_EQ(all[all.size() - 2], static_cast<float>(mode));
        EXPECT_EQ(all.back(), cells::end);
        EXPECT_EQ(consoleAfterReading(bytes, 0), mode);
        SampleState loaded;
        chunk::Settings settings{};
        chunk::read(bytes.data(), bytes.size(), loaded.bank->programs, loaded.samples.get(), settings);
        EXPECT_EQ(settings.console, mode);
        ASSERT_EQ(loaded.samples->count, 1) << "the sample before the cell still loads whole";
        EXPECT_TRUE(std::equal(kick.begin(), kick.end(), loaded.samples->samples[0].bytes));
        EXPECT_EQ(writtenWith(loaded, settings.console), bytes);
    }
    for (float old : {cells::header, cells::channelPrograms, cells::program, cells::channelType, cells::multi,
                      cells::name, cells::volume, cells::arp, cells::pitch, cells::hiPitch, cells::duty, cells::ntsc,
                      cells::gain, cells::end, cells::midiControllers, cells::keyMap, cells::sample}) {
        EXPECT_NE(old, cells::console);
    }
    EXPECT_GE(cells::console, 16777216.0f) << "above every sample cell, so a sample's reading stops at it";
}

TEST(ChunkFormat, ConsoleCellsWithoutAKnownModeCountAsAbsent)
{
    // In a saved chunk (it holds the gain), absent means off.
    for (float payload : {4.0f, -1.0f, NAN, INFINITY, 1e30f}) {
        const cells::Builder chunk =
            cells::Builder().cell(cells::gain).number(100).cell(cells::console).cell(payload).cell(cells::end);
        EXPECT_EQ(consoleAfterReading(chunk.bytes(), 2), 0) << payload;
    }
    EXPECT_EQ(consoleAfterReading(cells::Builder().cell(cells::gain).number(100).cell(cells::console).bytes(), 2), 0)
        << "cut after the tag";
    // A chunk that is no saved one leaves the mode as it was, unless it names one.
    EXPECT_EQ(consoleAfterReading(cells::Builder().cell(cells::console).number(9).cell(cells::end).bytes(), 2), 2);
    EXPECT_EQ(consoleAfterReading(cells::Builder().cell(cells::ntsc).number(0).cell(cells::end).bytes(), 2), 2);
    EXPECT_EQ(consoleAfterReading(cells::Builder().cell(cells::console).number(3).cell(cells::end).bytes(), 1), 3);
    const cells::Builder twice = cells::Builder().cell(cells::console).number(1).cell(cells::console).number(2);
    EXPECT_EQ(consoleAfterReading(twice.bytes(), 0), 2) << "the last one counts";
}

// How a program is played: five cells (tag, program, mono, glide, tempo
// steps) before the end, only for programs with one of them on; a saved
// chunk without them plays every program as before, and damaged values leave
// the program as it was.
TEST(ChunkFormat, HowAProgramIsPlayedIsFiveCellsOnlyWhenOnAndBadValuesChangeNothing)
{
    auto bank = factoryBank();
    const std::vector<uint8_t> plain = written(bank->programs, 1);
    const std::vector<float> plainCells = cells::of(plain);
    EXPECT_EQ(std::count(plainCells.begin(), plainCells.end(), cells::playing), 0);
    bank->programs[5].mono = MonoLegato;
    bank->programs[5].glide = 120;
    bank->programs[9].tempoSteps = 4;
    const std::vector<uint8_t> bytes = written(bank->programs, 1);
    ASSERT_EQ(bytes.size(), plain.size() + 2 * 5 * 4);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end() - 4, bytes.begin())) << "every older cell keeps its place";
    const std::vector<float> all = cells::of(bytes);
    EXPECT_EQ(std::vector<float>(all.end() - 11, all.end()),
              (std::vector<float>{cells::playing, 5, MonoLegato, 120, 0, cells::playing, 9, 0, 0, 4, cells::end}));

    auto loaded = factoryBank();
    loaded->programs[7].mono = MonoOn;
    readBack(bytes, loaded->programs, 1);
    EXPECT_EQ(loaded->programs[5].mono, MonoLegato);
    EXPECT_EQ(loaded->programs[5].glide, 120);
    EXPECT_EQ(loaded->programs[9].tempoSteps, 4);
    EXPECT_EQ(loaded->programs[7].mono, MonoOff) << "a saved chunk holds every program's: none is off";
    EXPECT_EQ(written(loaded->programs, 1), bytes);

    // Values no writer makes, or a program outside the bank: nothing changes.
    for (const std::vector<float>& damaged : std::vector<std::vector<float>>{
             {5, 3, 0, 0}, {5, -1, 0, 0}, {5, 0, 10001, 0}, {5, 0, -5, 0}, {5, 0, 0, 97}, {128, 1, 0, 0}, {5, NAN, 0, 0}}) {
        auto kept = factoryBank();
        kept->programs[5].glide = 77;
        cells::Builder chunk;
        chunk.cell(cells::playing);
        for (const float value : damaged)
            chunk.cell(value);
        chunk.cell(cells::end);
        readBack(chunk.bytes(), kept->programs, 1);
        EXPECT_EQ(kept->programs[5].glide, 77) << damaged[0] << " " << damaged[1] << " " << damaged[2];
        EXPECT_EQ(kept->programs[5].mono, MonoOff);
    }
}

// MPE: two cells just before the end, only when on (a song with it off
// saves what it saved before); a saved chunk without them has it off, and a
// cell without a known mode counts as absent.
TEST(ChunkFormat, MpeIsTwoCellsAtTheEndOnlyWhenOnAndASongWithoutThemHasItOff)
{
    auto bank = factoryBank();
    bank->programs[5].mono = MonoOn;  // its playing cells come before
    const auto writtenWithMpe = [&](int32_t mode) {
        chunk::Settings settings{};
        settings.ntsc = 1;
        settings.gain = 100;
        settings.mpe = mode;
        std::vector<uint8_t> bytes(chunk::kMaxWrittenBytes);
        bytes.resize(chunk::write(bank->programs, settings, bytes.data()));
        return bytes;
    };
    const auto mpeAfterReading = [](const std::vector<uint8_t>& bytes, int32_t before) {
        auto programs = factoryBank();
        chunk::Settings settings{};
        settings.mpe = before;
        chunk::read(bytes.data(), bytes.size(), programs->programs, settings);
        return settings.mpe;
    };
    const std::vector<uint8_t> off = writtenWithMpe(MpeOff);
    const std::vector<float> offCells = cells::of(off);
    EXPECT_EQ(std::count(offCells.begin(), offCells.end(), cells::mpe), 0);
    for (int32_t odd : {-1, 3, 1000})
        EXPECT_EQ(writtenWithMpe(odd), off) << odd;
    EXPECT_EQ(mpeAfterReading(off, MpeUpper), MpeOff) << "a song from before MPE, or with it off";

    for (int32_t mode : {MpeLower, MpeUpper}) {
        const std::vector<uint8_t> bytes = writtenWithMpe(mode);
        ASSERT_EQ(bytes.size(), off.size() + 8);
        EXPECT_TRUE(std::equal(off.begin(), off.end() - 4, bytes.begin())) << "every older cell keeps its place";
        const std::vector<float> all = cells::of(bytes);
        EXPECT_EQ(std::vector<float>(all.end() - 3, all.end()),
                  (std::vector<float>{cells::mpe, static_cast<float>(mode), cells::end}));
        EXPECT_EQ(mpeAfterReading(bytes, MpeOff), mode);
    }

    for (float payload : {3.0f, -1.0f, NAN, INFINITY, 1e30f}) {
        const cells::Builder chunk =
            cells::Builder().cell(cells::gain).number(100).cell(cells::mpe).cell(payload).cell(cells::end);
        EXPECT_EQ(mpeAfterReading(chunk.bytes(), MpeUpper), MpeOff) << payload;
    }
    // A chunk that is no saved one leaves the mode as it was, unless it names one.
    EXPECT_EQ(mpeAfterReading(cells::Builder().cell(cells::ntsc).number(0).cell(cells::end).bytes(), MpeUpper),
              MpeUpper);
    EXPECT_EQ(mpeAfterReading(cells::Builder().cell(cells::mpe).number(1).cell(cells::end).bytes(), MpeUpper),
              MpeLower);
    for (float old : {cells::header,
                      cells::channelPrograms,
                      cells::program,
                      cells::channelType,
                      cells::multi,
                      cells::name,
                      cells::volume,
                      cells::arp,
                      cells::pitch,
                      cells::hiPitch,
                      cells::duty,
                      cells::ntsc,
                      cells::gain,
                      cells::end,
                      cells::midiControllers,
                      cells::keyMap,
                      cells::sample,
                      cells::console,
                      cells::n163Channels,
                      cells::wave,
                      cells::playing})
        EXPECT_NE(old, cells::mpe);
    EXPECT_GE(cells::mpe, 16777216.0f) << "above every sample cell";
}
