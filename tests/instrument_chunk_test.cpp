// The state chunk through the host interface: the exact cells a new instance
// writes, byte-identical round trips, and the reader's tolerance of anything a
// host may hand back.
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

enum { Volume, Arp, Pitch, HiPitch, Duty };

struct ProgramState {
    std::string name;
    int channelType = 0;
    int multi = 0;
    std::array<std::string, 5> texts;
    bool operator==(const ProgramState&) const = default;
};

struct State {
    std::array<int, 16> channelPrograms{};
    std::array<ProgramState, 128> programs;
    int ntsc = 0;
    int gain = 0;
    int midiControllers = -1;  // absent
};

// Takes apart a chunk as the plug-in writes it, checking the order of the
// cells on the way.
State parseWritten(const std::vector<uint8_t>& bytes)
{
    const std::vector<float> chunk = cells::of(bytes);
    State state;
    size_t i = 0;
    auto expectCell = [&](float value) {
        EXPECT_LT(i, chunk.size());
        EXPECT_EQ(i < chunk.size() ? chunk[i] : NAN, value) << "cell " << i;
        ++i;
    };
    expectCell(cells::header);
    expectCell(cells::channelPrograms);
    for (int& program : state.channelPrograms)
        program = static_cast<int>(chunk.at(i++));
    for (int number = 0; number < 128; ++number) {
        ProgramState& program = state.programs[number];
        expectCell(cells::program);
        EXPECT_EQ(chunk.at(i++), static_cast<float>(number));
        expectCell(cells::channelType);
        program.channelType = static_cast<int>(chunk.at(i++));
        expectCell(cells::multi);
        program.multi = static_cast<int>(chunk.at(i++));
        expectCell(cells::name);
        program.name = cells::stringAt(chunk, i);
        for (int kind = 0; kind < 5; ++kind) {
            expectCell(cells::envelope[kind]);
            program.texts[kind] = cells::stringAt(chunk, i);
        }
    }
    expectCell(cells::ntsc);
    state.ntsc = static_cast<int>(chunk.at(i++));
    expectCell(cells::gain);
    state.gain = static_cast<int>(chunk.at(i++));
    if (i < chunk.size() && chunk[i] == cells::midiControllers) {
        ++i;
        state.midiControllers = static_cast<int>(chunk.at(i++));
    }
    expectCell(cells::end);
    EXPECT_EQ(i, chunk.size()) << "nothing after the end tag";
    return state;
}

// A chunk in the writer's own order for a given state.
cells::Builder chunkOf(const State& state)
{
    cells::Builder chunk;
    chunk.cell(cells::header).cell(cells::channelPrograms);
    for (int program : state.channelPrograms)
        chunk.number(program);
    for (int number = 0; number < 128; ++number) {
        const ProgramState& program = state.programs[number];
        chunk.cell(cells::program).number(number);
        chunk.cell(cells::channelType).number(program.channelType);
        chunk.cell(cells::multi).number(program.multi);
        chunk.cell(cells::name).string(program.name);
        for (int kind = 0; kind < 5; ++kind)
            chunk.cell(cells::envelope[kind]).string(program.texts[kind]);
    }
    chunk.cell(cells::ntsc).number(state.ntsc).cell(cells::gain).number(state.gain);
    if (state.midiControllers >= 0)
        chunk.cell(cells::midiControllers).number(state.midiControllers);
    chunk.cell(cells::end);
    return chunk;
}

// Every field away from its default: longest names and texts, high bytes,
// empty texts and a text that does not compile.
State customState()
{
    State state;
    for (int channel = 0; channel < 16; ++channel)
        state.channelPrograms[channel] = (channel * 37 + 5) % 128;
    for (int number = 0; number < 128; ++number) {
        ProgramState& program = state.programs[number];
        program.name = std::string(31, static_cast<char>('A' + number % 26));
        program.name[0] = static_cast<char>(0xE9);
        program.channelType = number % 3;
        program.multi = number % 2;
        program.texts = {"15 14 | 13", "0 12", "", "| -3", "2 1"};
        if (number == 17)
            program.texts[Pitch] = "3x 4";
    }
    std::string longText;
    while (longText.size() < 1023)
        longText += std::to_string(longText.size() % 10);
    state.programs[100].texts[Arp] = longText.substr(0, 1023);
    state.ntsc = 0;
    state.gain = 37;
    return state;
}

class Chunk : public LoadedPlugin {
protected:
    State stateNow() { return parseWritten(host.getChunk()); }
    void expectDisplayUpdateAnnounced()
    {
        host.clearCalls();
        dispatch(effGetProgram);
        EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    }
};

}  // namespace

TEST_F(Chunk, NewInstanceWritesTheDefaultBankCellByCell)
{
    const std::vector<uint8_t> bytes = host.getChunk();
    ASSERT_GE(bytes.size(), 20u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), (std::vector<uint8_t>{0x0C, 0x52, 0x03, 0x4D}));
    const std::vector<float> chunk = cells::of(bytes);
    EXPECT_EQ(chunk[0], 137699520.0f);
    EXPECT_EQ(chunk[1], 150251600.0f);
    for (int i = 2; i < 18; ++i)
        EXPECT_EQ(chunk[i], 0.0f);
    EXPECT_EQ(chunk[18], 150202704.0f);
    EXPECT_EQ(chunk[19], 0.0f);
    // The settings, the controller setting (on in a new instance) last; a
    // new instance's gain leaves an eight-voice chord unclipped.
    const std::vector<float> tail(chunk.end() - 7, chunk.end());
    EXPECT_EQ(tail, (std::vector<float>{175532480.0f, 1.0f, 164782272.0f, 50.0f, 181708224.0f, 1.0f, 145991616.0f}));

    const State state = parseWritten(bytes);
    EXPECT_EQ(state.programs[0].name, "001 Plain Pulse 12.5%");
    EXPECT_EQ(state.programs[6].texts[Pitch], "0 0 0 0 0 0 0 | 2 2 2 2 -2 -2 -2 -2");
    EXPECT_EQ(state.programs[8].channelType, 2);
    EXPECT_EQ(state.programs[127].name, "128 default");
    EXPECT_EQ(state.programs[127].texts, (std::array<std::string, 5>{"15", "0", "0", "0", "0"}));

    // The size follows from the bank: 25 cells plus 18 per program plus every
    // character of its name and texts.
    size_t expected = 25;
    for (const ProgramState& program : state.programs) {
        expected += 18 + program.name.size();
        for (const std::string& text : program.texts)
            expected += text.size();
    }
    EXPECT_EQ(bytes.size(), 4 * expected);
}

TEST_F(Chunk, PresetFlagMakesNoDifference)
{
    EXPECT_EQ(host.getChunk(true), host.getChunk(false));
    std::vector<uint8_t> bytes = chunkOf(customState()).bytes();
    EXPECT_EQ(dispatch(effSetChunk, 1, static_cast<VstIntPtr>(bytes.size()), bytes.data()), 0);
    EXPECT_EQ(host.getChunk(true), bytes);
}

TEST_F(Chunk, OneProgramBlockIsItsTagsNumbersAndStrings)
{
    cells::Builder load;
    load.cell(cells::program).number(5).cell(cells::name).string("Hi").cell(cells::channelType).number(1);
    load.cell(cells::multi).number(0);
    for (int kind = 0; kind < 5; ++kind)
        load.cell(cells::envelope[kind]).string(kind == Volume ? "15" : "");
    load.cell(cells::end);
    host.setChunk(load.bytes());

    const std::vector<float> chunk = cells::of(host.getChunk());
    const std::vector<float> block = {150202704.0f, 5.0f, 146025680.0f, 1.0f,  143910608.0f, 0.0f, 145973456.0f, 72.0f,
                                      105.0f,       0.0f, 160688960.0f, 49.0f, 53.0f,        0.0f, 169124032.0f, 0.0f,
                                      141895744.0f, 0.0f, 177480768.0f, 0.0f,  188031552.0f, 0.0f};
    auto found = std::search(chunk.begin(), chunk.end(), block.begin(), block.end());
    ASSERT_NE(found, chunk.end());
    EXPECT_EQ(found[22], 150202704.0f) << "the next block follows at once";
    EXPECT_EQ(found[23], 6.0f);
}

TEST_F(Chunk, CustomStateRoundTripsByteForByte)
{
    const std::vector<uint8_t> bytes = chunkOf(customState()).bytes();
    EXPECT_EQ(host.setChunk(bytes), 0);
    EXPECT_EQ(host.getChunk(), bytes);

    PluginHost other;
    ASSERT_TRUE(other.load(pluginUnderTest()));
    other.setChunk(host.getChunk());
    EXPECT_EQ(other.getChunk(), bytes);
    EXPECT_EQ(other.dispatch(effGetProgram), customState().channelPrograms[0]);
}

TEST_F(Chunk, LoadingIsAnnouncedToTheHost)
{
    dispatch(effGetProgram);
    host.setChunk(cells::Builder().cell(cells::end).bytes());
    expectDisplayUpdateAnnounced();
}

TEST_F(Chunk, ALoneEndTagChangesNothing)
{
    const std::vector<uint8_t> before = host.getChunk();
    EXPECT_EQ(host.setChunk(cells::Builder().cell(cells::end).bytes()), 0);
    EXPECT_EQ(host.getChunk(), before);
    EXPECT_EQ(host.setChunk({}), 0);
    EXPECT_EQ(host.getChunk(), before);
}

TEST_F(Chunk, HeaderIsOptional)
{
    cells::Builder withHeader = chunkOf(customState());
    std::vector<float> withoutHeader(withHeader.cells().begin() + 1, withHeader.cells().end());
    cells::Builder rebuilt;
    for (float cell : withoutHeader)
        rebuilt.cell(cell);
    host.setChunk(rebuilt.bytes());
    EXPECT_EQ(host.getChunk(), withHeader.bytes());
}

TEST_F(Chunk, TagsBeforeAnyProgramNumberFillProgramZero)
{
    host.setChunk(cells::Builder()
                      .cell(cells::channelType)
                      .number(2)
                      .cell(cells::name)
                      .string("Zero")
                      .cell(cells::duty)
                      .string("1")
                      .cell(cells::program)
                      .number(1)
                      .cell(cells::multi)
                      .number(1)
                      .bytes());
    const State state = stateNow();
    EXPECT_EQ(state.programs[0].channelType, 2);
    EXPECT_EQ(state.programs[0].name, "Zero");
    EXPECT_EQ(state.programs[0].texts[Duty], "1");
    EXPECT_EQ(state.programs[0].texts[Volume], "15") << "a string tag replaces only its own field";
    EXPECT_EQ(state.programs[1].multi, 1);
    EXPECT_EQ(state.programs[1].name, "002 Plain Pulse 25.0%");
}

TEST_F(Chunk, JunkBetweenTagsIsSkippedCellByCell)
{
    const float junk[] = {1.0f,
                          -5.0f,
                          0.0f,
                          1e30f,
                          -1e30f,
                          std::numeric_limits<float>::infinity(),
                          std::numeric_limits<float>::quiet_NaN(),
                          150202720.0f,
                          145991632.0f};  // the last two: next to tags
    cells::Builder chunk;
    for (float cell : junk)
        chunk.cell(cell);
    chunk.cell(cells::program).number(4);  // a payload cell is never junk
    for (float cell : junk)
        chunk.cell(cell);
    chunk.cell(cells::name).string("After junk");
    for (float cell : junk)
        chunk.cell(cell);
    chunk.cell(cells::gain).number(55).cell(cells::end).cell(cells::gain).number(1);
    host.setChunk(chunk.bytes());
    const State state = stateNow();
    EXPECT_EQ(state.programs[4].name, "After junk");
    EXPECT_EQ(state.gain, 55) << "nothing after the end tag is read";
}

TEST_F(Chunk, ReadingStopsAtTheDeliveredSize)
{
    std::vector<uint8_t> bytes = cells::Builder()
                                     .cell(cells::program)
                                     .number(3)
                                     .cell(cells::name)
                                     .string("Cut")
                                     .cell(cells::gain)
                                     .number(9)
                                     .bytes();
    bytes.resize(bytes.size() - 2);  // the last cell arrives only in part
    host.setChunk(bytes);
    const State state = stateNow();
    EXPECT_EQ(state.programs[3].name, "Cut");
    EXPECT_EQ(state.gain, 50) << "a partial cell is not read: the new instance's gain stays";

    // A string that runs to the end of the data ends there.
    host.setChunk(cells::Builder().cell(cells::program).number(3).cell(cells::name).cell(65.0f).cell(66.0f).bytes());
    EXPECT_EQ(stateNow().programs[3].name, "AB");
}

TEST_F(Chunk, StringsAreCutToTheirFieldsAndTheRestSkipped)
{
    std::string fortyChars;
    for (int i = 0; i < 40; ++i)
        fortyChars += static_cast<char>('a' + i % 26);
    std::string longText(1500, '7');
    host.setChunk(cells::Builder()
                      .cell(cells::program)
                      .number(2)
                      .cell(cells::name)
                      .string(fortyChars)
                      .cell(cells::arp)
                      .string(longText)
                      .cell(cells::multi)
                      .number(1)
                      .bytes());
    const State state = stateNow();
    EXPECT_EQ(state.programs[2].name, fortyChars.substr(0, 31));
    EXPECT_EQ(state.programs[2].texts[Arp], longText.substr(0, 1023));
    EXPECT_EQ(state.programs[2].multi, 1) << "the reader finds the next tag after the cut";
}

TEST_F(Chunk, HighBytesAreStoredAsNegativeCells)
{
    host.setChunk(cells::Builder().cell(cells::name).cell(-23.0f).cell(104.0f).cell(0.0f).bytes());
    const std::vector<float> chunk = cells::of(host.getChunk());
    EXPECT_EQ(chunk[25], -23.0f);
    EXPECT_EQ(chunk[26], 104.0f);
    EXPECT_EQ(stateNow().programs[0].name, "\xE9h");
    // Cells are truncated toward zero, and only the low byte counts.
    host.setChunk(cells::Builder().cell(cells::name).cell(65.9f).cell(322.0f).cell(-0.5f).bytes());
    EXPECT_EQ(stateNow().programs[0].name, "AB");
}

TEST_F(Chunk, ProgramNumbersOutsideTheBankAddressNothing)
{
    const std::vector<uint8_t> before = host.getChunk();
    for (float bad : {128.0f, -1.0f, 1e10f, -1e10f, std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity()}) {
        host.setChunk(cells::Builder()
                          .cell(cells::program)
                          .cell(bad)
                          .cell(cells::name)
                          .string("Nowhere")
                          .cell(cells::channelType)
                          .number(2)
                          .cell(cells::volume)
                          .string("1 2 3")
                          .bytes());
        EXPECT_EQ(host.getChunk(), before) << "program number " << bad;
    }
    host.setChunk(cells::Builder()
                      .cell(cells::program)
                      .number(300)
                      .cell(cells::name)
                      .string("Nowhere")
                      .cell(cells::program)
                      .number(127)
                      .cell(cells::name)
                      .string("Last")
                      .bytes());
    EXPECT_EQ(stateNow().programs[127].name, "Last");
}

TEST_F(Chunk, ChannelProgramsOutsideTheBankKeepTheirChannel)
{
    cells::Builder chunk;
    chunk.cell(cells::channelPrograms);
    const float values[16] = {
        5.0f, 128.0f, -1.0f, 127.0f, std::numeric_limits<float>::quiet_NaN(), 1e12f, 3.7f, 0.0f, 9.0f, 9.0f, 9.0f, 9.0f,
        9.0f, 9.0f,   9.0f,  200.0f};
    for (float value : values)
        chunk.cell(value);
    host.setChunk(chunk.bytes());
    const State state = stateNow();
    EXPECT_EQ(state.channelPrograms, (std::array<int, 16>{5, 0, 0, 127, 0, 0, 3, 0, 9, 9, 9, 9, 9, 9, 9, 0}));
}

TEST_F(Chunk, NumbersAreStoredAsReadUnlessNoIntegerHoldsThem)
{
    host.setChunk(cells::Builder()
                      .cell(cells::channelType)
                      .number(7)
                      .cell(cells::multi)
                      .number(-3)
                      .cell(cells::ntsc)
                      .number(5)
                      .cell(cells::gain)
                      .number(1000)
                      .bytes());
    State state = stateNow();
    EXPECT_EQ(state.programs[0].channelType, 7);
    EXPECT_EQ(state.programs[0].multi, -3);
    EXPECT_EQ(state.ntsc, 5);
    EXPECT_EQ(state.gain, 1000);

    host.setChunk(cells::Builder()
                      .cell(cells::gain)
                      .cell(std::numeric_limits<float>::quiet_NaN())
                      .cell(cells::ntsc)
                      .cell(3e9f)
                      .cell(cells::channelType)
                      .cell(-std::numeric_limits<float>::infinity())
                      .bytes());
    state = stateNow();
    EXPECT_EQ(state.gain, 1000);
    EXPECT_EQ(state.ntsc, 5);
    EXPECT_EQ(state.programs[0].channelType, 7);
}

TEST_F(Chunk, SizeLimitIsFiveMebibytes)
{
    std::vector<uint8_t> largest = cells::Builder().cell(cells::gain).number(42).cell(cells::end).bytes();
    largest.resize(5242880, 0);
    EXPECT_EQ(dispatch(effSetChunk, 0, static_cast<VstIntPtr>(largest.size()), largest.data()), 0);
    EXPECT_EQ(stateNow().gain, 42);

    std::vector<uint8_t> tooLarge = cells::Builder().cell(cells::gain).number(43).cell(cells::end).bytes();
    tooLarge.resize(5242881, 0);
    EXPECT_EQ(dispatch(effSetChunk, 0, static_cast<VstIntPtr>(tooLarge.size()), tooLarge.data()), 0);
    EXPECT_EQ(stateNow().gain, 42);

    std::vector<uint8_t> small = cells::Builder().cell(cells::gain).number(44).bytes();
    for (VstIntPtr size : {VstIntPtr{-1}, VstIntPtr{-8}, VstIntPtr{INT32_MIN}}) {
        EXPECT_EQ(dispatch(effSetChunk, 0, size, small.data()), 0);
        EXPECT_EQ(stateNow().gain, 42);
    }
    EXPECT_EQ(dispatch(effSetChunk, 0, 8, nullptr), 0);
    EXPECT_EQ(stateNow().gain, 42);
}

TEST_F(Chunk, HostMayHandBackTheBufferItWasGiven)
{
    host.setChunk(chunkOf(customState()).bytes());
    void* data = nullptr;
    const VstIntPtr size = dispatch(effGetChunk, 0, 0, &data);
    ASSERT_NE(data, nullptr);
    const std::vector<uint8_t> expected(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    EXPECT_EQ(dispatch(effSetChunk, 0, size, data), 0);
    EXPECT_EQ(host.getChunk(), expected);
    EXPECT_EQ(dispatch(effGetChunk, 0, 0, nullptr), 0);
}
