// The chunk's later cells, taken apart without a plug-in: the controller-
// handling setting sits just before the end tag, an older chunk loads it as
// absent (handling off), and old chunks still round-trip byte for byte.
#include "ChunkCells.h"
#include "EngineTestSupport.h"
#include "instrument/Chunk.h"

#include <gtest/gtest.h>

#include <cmath>
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
