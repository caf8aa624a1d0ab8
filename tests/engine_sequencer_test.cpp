// The envelope sequencer: the exact register writes of each frame, the chip
// volume, the period table, noise indexes and self-ending notes; Sample
// programs' entries, restarts and ends; FDS and N163 frames sounding as when
// every write goes in.
#include "EngineTestSupport.h"
#include "engine/BankSnapshot.h"
#include "engine/EnvelopeSequencer.h"
#include "engine/VoicePool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Write = std::tuple<int32_t, unsigned, int>;  // time, address, data

// Stands in for a VoiceChip and records what a frame does to it.
struct RecordingChip {
    struct Registers {
        std::vector<Write>* log;
        void write_register(int32_t time, unsigned address, int data) { log->emplace_back(time, address, data); }
        // What the wave writers read back: RAM and registers that never hold
        // what they write, so that every write is made.
        int wave(int) const { return -1; }
        int table_position() const { return 0; }
        int ram(int) const { return -1; }
        int reg(int) const { return -1; }
    };
    std::vector<Write> writes;
    Registers chip{&writes};
    Registers expansionChip{&writes};
    int32_t write_time = 0;
    int32_t expansion_enables = 0;
    // As a voice chip: one expansion chip at a time, the last one asked for.
    template <class Chip> static const void* idOf()
    {
        static const char id = 0;
        return &id;
    }
    const void* held = nullptr;
    template <class Chip> Registers& expansion()
    {
        held = idOf<Chip>();
        return expansionChip;
    }
    template <class Chip> bool holds() const { return held == idOf<Chip>(); }
    int frames = 0;
    const uint8_t* loaded = nullptr;  // the last sample loaded
    int32_t loadedLength = 0;
    bool playing = false;  // what sample_playing answers
    void load_sample(const uint8_t* bytes, int32_t length)
    {
        loaded = bytes;
        loadedLength = length;
    }
    bool sample_playing() const { return playing; }
    void end_frame()
    {
        write_time = 0;
        ++frames;
    }
};

class Sequencer : public ::testing::Test {
protected:
    // A program of the given type and texts, started like a note on.
    void start(int32_t channelType, const char* volume, int32_t note, int32_t velocity, const char* arp = "0",
               const char* pitch = "0", const char* hiPitch = "0", const char* duty = "0")
    {
        Program& program = bank->programs[0];
        program.channelType = channelType;
        const char* texts[] = {volume, arp, pitch, hiPitch, duty};
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program.envelopeText[kind], texts[kind]);
        ASSERT_EQ(compileAllEnvelopes(bank->programs), nullptr);
        snapshot->capture(bank->programs, samples.get());
        voice = Voice{};
        voice.channelType = channelType;
        voice.note = note;
        voice.key = note;
        voice.velocity = std::min(velocity, 100);
    }
    // The key goes up, as the voice rules do it.
    void release()
    {
        const int32_t channelProgram[kMidiChannelCount] = {};
        pool.releaseVoice({*snapshot, channelProgram, 8}, voice);
    }
    // The 11-bit period a triangle frame wrote.
    static int32_t trianglePeriod(const std::vector<Write>& writes)
    {
        return std::get<2>(writes.at(2)) | (std::get<2>(writes.at(3)) << 8);
    }
    std::vector<Write> frame(float bend = 0.0f, int32_t clock = kNtscClockRate)
    {
        chip.writes.clear();
        stepVoiceFrame(voice, chip, snapshot->programs[0], bend, clock);
        return chip.writes;
    }

    std::unique_ptr<BankHolder> bank = factoryBank();
    std::unique_ptr<BankSnapshot> snapshot = std::make_unique<BankSnapshot>();
    std::unique_ptr<SampleBank> samples = std::make_unique<SampleBank>();
    Voice voice;
    RecordingChip chip;
    VoicePool pool;
};

}  // namespace

TEST_F(Sequencer, PulseFramesWriteTheirRegistersFourClocksApart)
{
    start(Pulse, "15", 69, 127, "0", "0", "0", "2");
    EXPECT_EQ(frame(),
              (std::vector<Write>{
                  {4, 0x4015, 0x01}, {8, 0x4000, 0xBF}, {12, 0x4001, 0x08}, {16, 0x4002, 0xFD}, {20, 0x4003, 0x00}}));
    EXPECT_EQ(frame(),
              (std::vector<Write>{{4, 0x4015, 0x01}, {8, 0x4000, 0xBF}, {12, 0x4001, 0x08}, {16, 0x4002, 0xFD}}))
        << "$4003 only when the period's high bits change";
    EXPECT_EQ(chip.frames, 2);
}

TEST_F(Sequencer, PulseRewritesHighBitsWhenThePeriodCrosses256)
{
    start(Pulse, "15", 60, 100, "0", "| 40");  // 466, 506, 546: crosses 512 on the third frame
    for (int i = 0; i < 2; ++i)
        frame();
    const std::vector<Write> writes = frame();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[3], (Write{16, 0x4002, 546 & 0xFF}));
    EXPECT_EQ(writes[4], (Write{20, 0x4003, 2}));
}

TEST_F(Sequencer, ChipVolumeIsVelocityTimesStepOverAHundred)
{
    start(Pulse, "15", 69, 64);
    EXPECT_EQ(std::get<2>(frame()[1]), 0x30 | 9);
    start(Pulse, "15", 69, 6);
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_FALSE(voice.isFree()) << "a silent frame does not end the note";
    start(Pulse, "-5 40", 69, 100);
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_EQ(std::get<2>(frame()[1]), 0x30 | 15) << "limited to 15";
}

TEST_F(Sequencer, VolumeEndingOnZeroFreesTheVoiceOneFrameLater)
{
    start(Triangle, "15 15 15 15 0", 45, 100);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(frame().size(), 4u) << "sounding frame " << i;
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_FALSE(voice.isFree());
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_TRUE(voice.isFree());
    EXPECT_TRUE(frame().empty());
    EXPECT_EQ(chip.frames, 6) << "a free voice ends no frame";
}

TEST_F(Sequencer, LoopedOrNonZeroEndingsSoundUntilReleased)
{
    start(Pulse, "15 | 0", 60, 100);
    for (int i = 0; i < 10; ++i)
        frame();
    EXPECT_FALSE(voice.isFree());
    start(Pulse, "15 3", 60, 100);
    for (int i = 0; i < 10; ++i)
        frame();
    EXPECT_FALSE(voice.isFree());
}

TEST_F(Sequencer, PulseSoundsAgainAfterASilentFrame)
{
    start(Pulse, "15 0 15", 69, 100);
    EXPECT_EQ(frame().size(), 5u);
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    const std::vector<Write> third = frame();
    ASSERT_EQ(third.size(), 5u) << "the length counter the silent frame cleared is reloaded";
    EXPECT_EQ(third[4], (Write{20, 0x4003, 0x00}));
}

TEST_F(Sequencer, TriangleAndNoiseWriteEveryFrame)
{
    start(Triangle, "15", 60, 100);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(frame(),
                  (std::vector<Write>{{4, 0x4015, 0x04}, {8, 0x4008, 0xFF}, {12, 0x400A, 212}, {16, 0x400B, 0}}));
    start(Noise, "15", 60, 50, "0", "0", "0", "3");
    EXPECT_EQ(frame(),
              (std::vector<Write>{{4, 0x4015, 0x08}, {8, 0x400C, 0xF7}, {12, 0x400E, 0x80 | 15}, {16, 0x400F, 0}}));
}

TEST_F(Sequencer, FallingTriangleGoesSilentButStaysBusy)
{
    start(Triangle, "15", 36, 100, "0", "| 200");
    int32_t expected = periodFromNote(Triangle, 0.0f, 36, 0, 0, kNtscClockRate);
    int sounding = 0;
    for (int i = 0; i < 20; ++i) {
        const std::vector<Write> writes = frame();
        expected += 200;
        if (expected <= 2047) {
            ASSERT_EQ(writes.size(), 4u);
            EXPECT_EQ(std::get<2>(writes[2]) | (std::get<2>(writes[3]) << 8), expected);
            ++sounding;
        } else {
            EXPECT_EQ(writes, (std::vector<Write>{{4, 0x4015, 0x00}}));
        }
    }
    EXPECT_GT(sounding, 3);
    EXPECT_FALSE(voice.isFree());
}

TEST_F(Sequencer, NoiseIndexFollowsNoteArpAndOffset)
{
    start(Noise, "15", 60, 100, "4 0 0 -4 -4 -4 -4 -1");
    const int expected[] = {11, 15, 15, 3, 3, 3, 3, 0, 0, 0};
    for (int index : expected)
        EXPECT_EQ(std::get<2>(frame()[2]) & 15, index);
    EXPECT_EQ(noiseIndexFromNote(75, 0, 0), 0);
    EXPECT_EQ(noiseIndexFromNote(76, 0, 0), 15);
    EXPECT_EQ(noiseIndexFromNote(60, 0, 16 * 7), 15) << "Hi-Pitch steps leave the index alone";
}

TEST_F(Sequencer, EnvelopesStepInTheirOrderAndPitchAccumulates)
{
    start(Pulse, "15 14", 69, 100, "0 12", "1 2", "| 1", "1 2 3");
    frame();
    EXPECT_EQ(voice.volumeValue, 15);
    EXPECT_EQ(voice.arpValue, 0);
    EXPECT_EQ(voice.dutyValue, 1);
    EXPECT_EQ(voice.pitchOffset, 1 + 16);
    frame();
    EXPECT_EQ(voice.arpValue, 12);
    EXPECT_EQ(voice.pitchOffset, 1 + 16 + 2 + 16);
    frame();
    EXPECT_EQ(voice.volumeValue, 14);
    EXPECT_EQ(voice.dutyValue, 3);
    EXPECT_EQ(voice.pitchOffset, 1 + 16 + 2 + 16 + 0 + 16) << "Pitch ended on its appended 0";
}

TEST_F(Sequencer, PitchOffsetSaturatesInsteadOfOverflowing)
{
    start(Noise, "15", 60, 100, "0", "| 32768", "| 32768");
    for (int i = 0; i < 2000; ++i)
        frame();
    EXPECT_EQ(voice.pitchOffset, kPitchOffsetLimit);
    start(Pulse, "15", 60, 100, "0", "| -32768", "| -32768");
    for (int i = 0; i < 2000; ++i)
        frame();
    EXPECT_EQ(voice.pitchOffset, -kPitchOffsetLimit);
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
}

TEST_F(Sequencer, NotesBeyondEveryPeriodAreSilentFrames)
{
    start(Pulse, "15", 60, 100, "32768");
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    start(Triangle, "15", 60, 100, "-32768", "| -32768");
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    for (float bend : {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), 1e30f})
        EXPECT_EQ(periodFromNote(Pulse, bend, 60, 0, 0, kNtscClockRate), -1);
}

TEST_F(Sequencer, UnknownChannelTypesOnlyEndTheirFrames)
{
    start(kChannelTypeCount, "15", 60, 100);
    EXPECT_TRUE(frame().empty());
    EXPECT_EQ(chip.frames, 1);
    start(-1, "0", 60, 100);
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
}

// The 5B's registers as a frame wrote them, by their selects ($C000) and
// data ($E000), and the tone's period and the buzz's envelope period are the
// nearest the note allows: the tone's truncated as every chip's, the buzz's
// (8 at A4, where a step is 12 %) rounded.
TEST_F(Sequencer, S5bFramesWriteTheTonePeriodAndTheBuzzEnvelopeOfTheNote)
{
    auto registers = [](const std::vector<Write>& writes) {
        std::map<int, int> regs;
        for (size_t i = 0; i + 1 < writes.size(); ++i)
            if (std::get<1>(writes[i]) == 0xC000 && std::get<1>(writes[i + 1]) == 0xE000)
                regs[std::get<2>(writes[i])] = std::get<2>(writes[i + 1]);
        return regs;
    };
    for (int note = 24; note <= 100; note += 7) {
        const double f = 440.0 * std::pow(2.0, (note - 69) / 12.0);
        start(S5b, "15", note, 100);
        std::map<int, int> regs = registers(frame());
        EXPECT_EQ(regs[0x00] | regs[0x01] << 8, static_cast<int>(kNtscClockRate / (32.0 * f))) << note;
        EXPECT_EQ(regs[0x07], 0x3E) << "tone A only";
        EXPECT_EQ(regs[0x08], 15);
        for (const auto& [duty, divider, shape] : {std::tuple{"3", 512.0, 0x08}, std::tuple{"4", 1024.0, 0x0A}}) {
            start(S5b, "15", note, 100, "0", "0", "0", duty);
            regs = registers(frame());
            EXPECT_EQ(regs[0x0B] | regs[0x0C] << 8, std::lround(kNtscClockRate / (divider * f))) << note;
            EXPECT_EQ(regs[0x0D], shape);
            EXPECT_EQ(regs[0x07], 0x3F) << "tone and noise off: the envelope is the level";
            EXPECT_EQ(regs[0x08], 0x10);
            EXPECT_EQ(registers(frame()).count(0x0D), 0u) << "the envelope restarts only with the note";
        }
    }
}

TEST_F(Sequencer, Vrc6FramesKeepThe2A03SilentAndWriteTheirChannel)
{
    // Duty 13 keeps its three low bits, 5; the period 253 of A4 on 16 steps.
    start(Vrc6Pulse, "15", 69, 127, "0", "0", "0", "13");
    const std::vector<Write> pulse = {{4, 0x4015, 0x00}, {8, 0x9000, 0x5F}, {12, 0x9001, 0xFD}, {16, 0x9002, 0x80}};
    EXPECT_EQ(frame(), pulse);
    EXPECT_EQ(frame(), pulse) << "the period's high bits every frame: they never restart the duty";
    EXPECT_EQ(chip.expansion_enables, kVrc6PulseBit);

    // The saw's Volume is its rate, up to 63; A4 on 14 steps is 289.
    start(Vrc6Saw, "80", 69, 100);
    EXPECT_EQ(frame(),
              (std::vector<Write>{
                  {4, 0x4015, 0x00}, {8, 0x9002, 0x00}, {12, 0xB000, 63}, {16, 0xB001, 0x21}, {20, 0xB002, 0x81}}))
        << "the pulse the chip had on goes off first";
    start(Vrc6Saw, "42", 69, 50);
    EXPECT_EQ(std::get<2>(frame().at(1)), 21) << "velocity scales the rate";
    EXPECT_EQ(chip.expansion_enables, kVrc6SawBit);

    // A silent frame turns the channel off once; a 2A03 program after it
    // turns off what is left on, after its own writes.
    start(Vrc6Saw, "42 0 0", 69, 100);
    frame();
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}, {8, 0xB002, 0x00}}));
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    start(Vrc6Pulse, "15", 69, 100);
    frame();
    start(Triangle, "15", 69, 100);
    EXPECT_EQ(frame(), (std::vector<Write>{
                           {4, 0x4015, 0x04}, {8, 0x4008, 0xFF}, {12, 0x400A, 126}, {16, 0x400B, 0}, {20, 0x9002, 0}}));
    EXPECT_EQ(frame().size(), 4u);
    EXPECT_EQ(chip.expansion_enables, 0);
}

TEST(PeriodTable, NtscAndPalPeriodsOfTheWorkedNotes)
{
    struct Row {
        int32_t note, ntscPulse, ntscTriangle, palPulse, palTriangle;
    };
    const Row rows[] = {
        {33, 2032, 1015, 1888, 943}, {45, 1015, 507, 943, 471}, {60, 426, 212, 396, 197}, {69, 253, 126, 235, 117},
        {81, 126, 62, 117, 58},      {93, 62, 30, 58, 28},      {127, 7, 3, 7, 3}};
    for (const Row& row : rows) {
        EXPECT_EQ(periodFromNote(Pulse, 0.0f, row.note, 0, 0, kNtscClockRate), row.ntscPulse) << row.note;
        EXPECT_EQ(periodFromNote(Triangle, 0.0f, row.note, 0, 0, kNtscClockRate), row.ntscTriangle) << row.note;
        EXPECT_EQ(periodFromNote(Pulse, 0.0f, row.note, 0, 0, kPalClockRate), row.palPulse) << row.note;
        EXPECT_EQ(periodFromNote(Triangle, 0.0f, row.note, 0, 0, kPalClockRate), row.palTriangle) << row.note;
    }
}

TEST(PeriodTable, AVoicesRememberedPowerGivesTheSamePeriods)
{
    // Random runs of held and changing pitches, bends of every kind (NaN,
    // infinite, -0, huge) among them: a voice's remembered power of two gives
    // what working each period out afresh gives.
    std::mt19937 random(11);
    const float bends[] = {0.0f, -0.0f, 0.5f, -1.25f, std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(), -3.0e38f, 7.0e3f};
    const int32_t types[] = {Pulse, Triangle, Vrc6Pulse, Vrc6Saw};
    PitchPower memo;
    float bend = 0.0f;
    int32_t note = 60, arp = 0;
    for (int frame = 0; frame < 5000; ++frame) {
        switch (random() % 4) {
        case 0:
            bend = bends[random() % std::size(bends)];
            break;
        case 1:
            note = static_cast<int32_t>(random() % 128);
            arp = static_cast<int32_t>(random() % 49) - 24;
            break;
        default:
            break;  // held
        }
        const int32_t type = types[random() % std::size(types)];
        const int32_t offset = static_cast<int32_t>(random() % 9) - 4;
        const int32_t clock = random() % 2 ? kNtscClockRate : kPalClockRate;
        ASSERT_EQ(periodFromNote(type, bend, note, arp, offset, clock, memo),
                  periodFromNote(type, bend, note, arp, offset, clock))
            << "frame " << frame;
    }
}

TEST(PeriodTable, LowestNotesInRange)
{
    EXPECT_GE(periodFromNote(Pulse, 0.0f, 33, 0, 0, kNtscClockRate), 0);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 32, 0, 0, kNtscClockRate), -1);
    EXPECT_GE(periodFromNote(Triangle, 0.0f, 21, 0, 0, kNtscClockRate), 0);
    EXPECT_EQ(periodFromNote(Triangle, 0.0f, 20, 0, 0, kNtscClockRate), -1);
    EXPECT_GE(periodFromNote(Pulse, 0.0f, 32, 0, 0, kPalClockRate), 0);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 31, 0, 0, kPalClockRate), -1);
    EXPECT_GE(periodFromNote(Triangle, 0.0f, 20, 0, 0, kPalClockRate), 0);
    EXPECT_EQ(periodFromNote(Triangle, 0.0f, 19, 0, 0, kPalClockRate), -1);
}

// The VRC6's 12 bits reach notes below the 2A03 pulse's lowest (33 and 32).
TEST(PeriodTable, Vrc6PeriodsOfSixteenAndFourteenStepsReachLowerNotes)
{
    struct Row {
        int32_t note, ntscPulse, ntscSaw, palPulse, palSaw;
    };
    const Row rows[] = {{19, -1, -1, -1, -1},         {20, -1, -1, 4002, -1},
                        {21, 4066, -1, 3777, -1},     {22, 3838, -1, 3565, 4075},
                        {24, 3419, 3908, 3176, 3630}, {33, 2032, 2323, 1888, 2158},
                        {69, 253, 289, 235, 268},     {127, 7, 9, 7, 8}};
    for (const Row& row : rows) {
        EXPECT_EQ(periodFromNote(Vrc6Pulse, 0.0f, row.note, 0, 0, kNtscClockRate), row.ntscPulse) << row.note;
        EXPECT_EQ(periodFromNote(Vrc6Saw, 0.0f, row.note, 0, 0, kNtscClockRate), row.ntscSaw) << row.note;
        EXPECT_EQ(periodFromNote(Vrc6Pulse, 0.0f, row.note, 0, 0, kPalClockRate), row.palPulse) << row.note;
        EXPECT_EQ(periodFromNote(Vrc6Saw, 0.0f, row.note, 0, 0, kPalClockRate), row.palSaw) << row.note;
    }
    EXPECT_EQ(periodFromNote(Vrc6Pulse, 0.0f, 21, 0, 29, kNtscClockRate), 4095) << "the offset up to the top";
    EXPECT_EQ(periodFromNote(Vrc6Pulse, 0.0f, 21, 0, 30, kNtscClockRate), -1);
}

TEST(PeriodTable, BendArpAndOffsetMoveThePeriod)
{
    EXPECT_EQ(periodFromNote(Pulse, 12.0f, 57, 0, 0, kNtscClockRate), 253);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 57, 12, 0, kNtscClockRate), 253);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 69, 0, 10, kNtscClockRate), 263) << "a positive offset lowers the pitch";
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 69, 0, -254, kNtscClockRate), -1);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 69, 0, -253, kNtscClockRate), 0);
}

TEST_F(Sequencer, ReleasePartPlaysFromTheNextFrameThenFreesTheVoice)
{
    start(Pulse, "15 | 12 / 6 3", 69, 127, "0 / 12", "0", "0", "0 | 1 / 3");
    const int held[] = {15, 12, 12, 12};
    for (int volume : held)
        EXPECT_EQ(std::get<2>(frame()[1]) & 15, volume);
    release();
    EXPECT_FALSE(voice.isFree());
    // Arp 12 takes the period from 253 to 126; the high bits stay 0.
    EXPECT_EQ(frame(),
              (std::vector<Write>{{4, 0x4015, 0x01}, {8, 0x4000, 0xF6}, {12, 0x4001, 0x08}, {16, 0x4002, 126}}));
    EXPECT_EQ(frame(),
              (std::vector<Write>{{4, 0x4015, 0x01}, {8, 0x4000, 0xF3}, {12, 0x4001, 0x08}, {16, 0x4002, 126}}));
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}})) << "every release part has played: a silent frame";
    EXPECT_TRUE(voice.isFree());
    EXPECT_TRUE(frame().empty());
}

TEST_F(Sequencer, EnvelopesWithoutReleaseRunOnAndRelativeOnesStopAfterTheirs)
{
    start(Pulse, "15 / 9 9 9", 69, 100, "0", "1 / 2 2", "0", "1 | 2 3");
    frame();
    frame();
    EXPECT_EQ(voice.pitchOffset, 1) << "the held part ends on its appended 0";
    release();
    const int32_t offsets[] = {3, 5, 5};
    const int32_t duties[] = {3, 2, 3};
    for (int i = 0; i < 3; ++i) {
        frame();
        EXPECT_EQ(voice.volumeValue, 9);
        EXPECT_EQ(voice.pitchOffset, offsets[i]) << "frame " << i;
        EXPECT_EQ(voice.dutyValue, duties[i]) << "frame " << i;
    }
    EXPECT_FALSE(voice.isFree()) << "the longest release part, Volume's, has just played its last value";
    frame();
    EXPECT_TRUE(voice.isFree());

    start(Pulse, "15", 69, 100, "0 | 12 0");
    frame();
    release();
    EXPECT_TRUE(voice.isFree()) << "a program without release parts stops at the key";
}

TEST_F(Sequencer, FixedNotesSoundTheirNoteOnEveryKeyAndBendStillApplies)
{
    for (int32_t key : {40, 60, 83}) {
        start(Triangle, "15", key, 100, "@36 @36 0 | 12");
        const int32_t note36 = periodFromNote(Triangle, 0.0f, 36, 0, 0, kNtscClockRate);
        EXPECT_EQ(trianglePeriod(frame()), note36) << key;
        EXPECT_EQ(trianglePeriod(frame(1.0f)), periodFromNote(Triangle, 0.0f, 37, 0, 0, kNtscClockRate)) << key;
        EXPECT_EQ(trianglePeriod(frame()), periodFromNote(Triangle, 0.0f, key, 0, 0, kNtscClockRate)) << key;
        EXPECT_EQ(trianglePeriod(frame()), periodFromNote(Triangle, 0.0f, key + 12, 0, 0, kNtscClockRate)) << key;
        start(Noise, "15", key, 100, "@40 2");
        EXPECT_EQ(std::get<2>(frame()[2]) & 15, noiseIndexFromNote(40, 0, 0)) << key;
        EXPECT_EQ(std::get<2>(frame()[2]) & 15, noiseIndexFromNote(key, 2, 0)) << key;
    }
}

// ---- Sample programs ----

class SampleSequencer : public Sequencer {
protected:
    void SetUp() override
    {
        const std::vector<uint8_t> kick(33, 0xF0), snare(17, 0x0F);
        ASSERT_EQ(samples->put("kick", kick.data(), 33), nullptr);
        ASSERT_EQ(samples->put("snare", snare.data(), 17), nullptr);
    }
    void startSample(const char* keys, int32_t key, const char* volume = "15", const char* arp = "0",
                     int32_t velocity = 100)
    {
        copyTextField(bank->programs[0].keyMapText, keys);
        start(Sample, volume, key, velocity, arp);
    }
    // The writes that start a sample of length register L.
    static std::vector<Write> starting(int reg0, int startLevel, int lengthRegister, int32_t from = 0)
    {
        std::vector<Write> writes = {{from + 4, 0x4015, 0x00}, {from + 8, 0x4010, reg0}};
        int32_t t = from + 8;
        if (startLevel >= 0)
            writes.emplace_back(t += 4, 0x4011, startLevel);
        writes.emplace_back(t += 4, 0x4012, 0x00);
        writes.emplace_back(t += 4, 0x4013, lengthRegister);
        writes.emplace_back(t += 4, 0x4015, 0x10);
        return writes;
    }
};

TEST_F(SampleSequencer, NoteStartsItsEntryOnceWithRateLoopLevelAndLength)
{
    startSample("36=kick:9:d100 C#2=snare:15:loop", 36);
    EXPECT_EQ(frame(), starting(0x09, 100, 2));
    EXPECT_EQ(chip.loaded, snapshot->samples[0].bytes);
    EXPECT_EQ(chip.loadedLength, 33);
    EXPECT_TRUE(std::equal(chip.loaded, chip.loaded + 33, std::vector<uint8_t>(33, 0xF0).begin()));
    chip.playing = true;
    for (int f = 0; f < 5; ++f)
        EXPECT_EQ(frame(), std::vector<Write>{}) << f;  // it plays on

    startSample("36=kick:9:d100 C#2=snare:15:loop", 37);
    EXPECT_EQ(frame(), starting(0x4F, -1, 1));
    EXPECT_EQ(chip.loadedLength, 17);
}

TEST_F(SampleSequencer, VelocityAndVolumeLevelChangeNothingButZeroEndsTheNote)
{
    std::vector<Write> first;
    for (int32_t velocity : {1, 50, 100}) {
        for (const char* volume : {"1 1 0", "15 7 0"}) {
            startSample("36=kick:3", 36, volume, "0", velocity);
            const std::vector<Write> writes = frame();
            if (first.empty())
                first = writes;
            EXPECT_EQ(writes, first) << velocity << " " << volume;
            chip.playing = true;
            EXPECT_EQ(frame(), std::vector<Write>{});
            EXPECT_FALSE(voice.isFree());
            // The 0 step ends the note in its own frame, looped sample or not.
            EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
            EXPECT_TRUE(voice.isFree());
        }
    }
}

TEST_F(SampleSequencer, OneShotEndEndsTheVoiceAndLoopsPlayOn)
{
    startSample("36=kick:15", 36);
    frame();
    chip.playing = true;
    frame();
    EXPECT_FALSE(voice.isFree());
    chip.playing = false;
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_TRUE(voice.isFree());
}

TEST_F(SampleSequencer, AReleaseThatPlaysOutStopsTheChannel)
{
    startSample("36=kick:15:loop", 36, "15 / 15");
    frame();
    chip.playing = true;
    release();
    EXPECT_EQ(frame(), std::vector<Write>{});  // the release step plays on
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));
    EXPECT_TRUE(voice.isFree());
}

TEST_F(SampleSequencer, ArpChoosesAnotherEntryAndRestartsOnlyWhenItChanges)
{
    // 36 and 37 hold one entry; 38 another; 39 none.
    startSample("36=kick:15 37=kick:15 38=snare:2:d5", 36, "15", "| 0 1 2 3 2");
    chip.playing = true;
    EXPECT_EQ(frame(), starting(0x0F, -1, 2));
    EXPECT_EQ(frame(), std::vector<Write>{});  // the same entry on another key plays on
    EXPECT_EQ(frame(), starting(0x02, 5, 1));
    EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}}));  // a silent key: the voice waits
    EXPECT_FALSE(voice.isFree());
    EXPECT_EQ(frame(), starting(0x02, 5, 1));
    EXPECT_EQ(frame(), starting(0x0F, -1, 2));
    // A fixed Arp note chooses its own entry.
    startSample("36=kick:15 38=snare:2", 60, "15", "@38");
    EXPECT_EQ(frame(), starting(0x02, -1, 1));
}

TEST_F(SampleSequencer, WithoutAKeyMapASampleProgramPlaysAsItAlwaysDid)
{
    for (const char* keys : {"", "36=tom:3"}) {  // blank, or in error
        startSample(keys, 36, "15 0");
        EXPECT_EQ(frame(), std::vector<Write>{}) << keys;
        EXPECT_EQ(frame(), (std::vector<Write>{{4, 0x4015, 0x00}})) << keys;
        EXPECT_FALSE(voice.isFree());
        EXPECT_EQ(chip.loaded, nullptr);
    }
    // Without a key map, every key takes a voice as before; with one, only its keys.
    const int32_t channelProgram[kMidiChannelCount] = {};
    VoicePool voices;
    startSample("", 36);
    voices.noteOn({*snapshot, channelProgram, 8}, 0, 50, 100);
    EXPECT_FALSE(voices.voices[0].isFree());
    startSample("36=kick:15", 36);
    VoicePool mapped;
    mapped.noteOn({*snapshot, channelProgram, 8}, 0, 50, 100);
    mapped.noteOn({*snapshot, channelProgram, 1}, 0, 51, 100);  // mono too
    for (const Voice& v : mapped.voices)
        EXPECT_TRUE(v.isFree());
    mapped.noteOn({*snapshot, channelProgram, 8}, 0, 36, 100);
    EXPECT_FALSE(mapped.voices[0].isFree());
}

// Far above the range the quotient's floor is 0 and the period is the offset
// less one, also where 2 to the power no longer fits single precision (from
// 128 up: note 69 with Arp 1536).
TEST(PeriodTable, ArpsBeyondSinglePrecisionFollowTheFormula)
{
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 69, 95, 10, kNtscClockRate), 10);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 69, 96, 10, kNtscClockRate), 9);
    for (int32_t arp : {1535, 1536, 1600, 32768}) {
        for (int32_t note : {60, 69}) {
            EXPECT_EQ(periodFromNote(Pulse, 0.0f, note, arp, 100, kNtscClockRate), 99) << arp;
            EXPECT_EQ(periodFromNote(Triangle, 0.0f, note, arp, 2048, kPalClockRate), 2047) << arp;
            EXPECT_EQ(periodFromNote(Pulse, 0.0f, note, arp, 2049, kNtscClockRate), -1) << arp;
            EXPECT_EQ(periodFromNote(Pulse, 0.0f, note, arp, 1, kNtscClockRate), 0) << arp;
            EXPECT_EQ(periodFromNote(Pulse, 0.0f, note, arp, 0, kNtscClockRate), -1) << arp;
        }
    }
    EXPECT_EQ(periodFromNote(Pulse, std::numeric_limits<float>::max(), 60, 0, 100, kNtscClockRate), 99);
    EXPECT_EQ(periodFromNote(Pulse, std::nanf(""), 60, 0, 100, kNtscClockRate), -1);
    EXPECT_EQ(periodFromNote(Pulse, 0.0f, 60, -32768, kPitchOffsetLimit, kNtscClockRate), -1);
}

namespace {

// A real FDS and a real 163 behind a voice chip's face, each frame ended at
// an NTSC frame's length and its samples kept. A forgetful one tells the
// writers that the FDS's registers and channel 8's bytes ($78-$7F) never hold
// what they would write, so that every write of a frame goes in; the waves
// it answers truly, as a chip that holds them would.
struct WaveChips {
    static constexpr int32_t kFrameClocks = 29780;
    struct Apu {
        void write_register(int32_t, unsigned, int) {}
    };
    struct Port {
        WaveChips* chips;
        void write_register(int32_t time, unsigned address, int data)
        {
            ++chips->writes;
            if (address >= 0x4800)
                chips->n163.write_register(time, address, data);
            else
                chips->fds.write_register(time, address, data);
        }
        int wave(int i) const { return chips->fds.wave(i); }
        int table_position() const { return chips->fds.table_position(); }
        int reg(int i) const { return chips->forgetful ? -1 : chips->fds.reg(i); }
        int ram(int i) const { return chips->forgetful && i >= 0x78 ? -1 : chips->n163.ram(i); }
    };

    explicit WaveChips(bool forgets) : forgetful(forgets)
    {
        for (Band_Buffer& buffer : buffers) {
            buffer.set_clock_rate(kNtscClockRate);
            EXPECT_EQ(buffer.set_sample_rate(44100), nullptr);
        }
        fds.set_output(&buffers[0]);
        n163.set_output(&buffers[1]);
    }
    template <class Chip> Port& expansion()
    {
        held = RecordingChip::idOf<Chip>();
        return port;
    }
    template <class Chip> bool holds() const { return held == RecordingChip::idOf<Chip>(); }
    void load_sample(const uint8_t*, int32_t) {}
    bool sample_playing() const { return false; }
    void end_frame()
    {
        fds.end_frame(kFrameClocks);
        n163.end_frame(kFrameClocks);
        for (int b = 0; b < 2; ++b) {
            buffers[b].end_frame(kFrameClocks);
            const size_t have = samples[b].size();
            samples[b].resize(have + static_cast<size_t>(buffers[b].samples_avail()));
            buffers[b].read_samples(samples[b].data() + have, buffers[b].samples_avail());
        }
        write_time = 0;
    }

    bool forgetful;
    Apu chip;
    Port port{this};
    int32_t write_time = 0;
    int32_t expansion_enables = 0;
    const void* held = nullptr;
    Chip_Fds fds;
    Chip_N163 n163;
    Band_Buffer buffers[2];
    std::vector<short> samples[2];
    int writes = 0;
};

}  // namespace

TEST_F(Sequencer, FdsAndN163FramesSoundAsWhenEveryWriteGoesIn)
{
    // The writers leave out a steady write over the value a register holds,
    // but its clocks pass: the writes after it keep their times, and the
    // chips their samples.
    std::string ramp;
    for (int i = 0; i < 64; ++i)
        ramp += std::to_string(i) + " ";
    struct Case {
        int32_t type;
        std::string wave;
        const char *volume, *arp, *pitch, *duty;
    };
    const Case cases[] = {
        {Fds,
         ramp + "mod 1 1 7 7 0 0 2 6 1 1 7 7 0 0 2 6 3 3 5 5 4 0 0 0 1 2 3 4 5 6 7 0 mod-rate 300 mod-depth 9 "
                "mod-delay 5",
         "32 30 | 28 / 16 8 0", "0", "0 0 | 1 1 -1 -1", "0"},
        {Fds, ramp, "20", "| 0 0 12 12", "0", "0"},
        {N163, "0 3 6 9 12 15 12 9 ; 15 0 15 0 7 7 8 8", "15 | 12 / 6 0", "0", "0 | 2 -2", "0 | 1 1 0 0"},
        {N163, "1 4 9 15 8 2 0 6", "9", "0", "0", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wave);
        copyTextField(bank->programs[0].waveText, c.wave.c_str());
        start(c.type, c.volume, 57, 127, c.arp, c.pitch, "0", c.duty);
        WaveChips remembering(false), forgetful(true);
        Voice voices[2] = {voice, voice};
        const int32_t channelProgram[kMidiChannelCount] = {};
        for (int frame = 0; frame < 90; ++frame) {
            if (frame == 60)
                for (Voice& v : voices)
                    pool.releaseVoice({*snapshot, channelProgram, 8}, v);
            stepVoiceFrame(voices[0], remembering, snapshot->programs[0], 0.0f, kNtscClockRate);
            stepVoiceFrame(voices[1], forgetful, snapshot->programs[0], 0.0f, kNtscClockRate);
        }
        const int b = c.type == Fds ? 0 : 1;
        EXPECT_EQ(remembering.samples[b], forgetful.samples[b]);
        const auto loud = std::max_element(remembering.samples[b].begin(), remembering.samples[b].end());
        EXPECT_GT(*loud, 1000) << "the note sounded";
        EXPECT_LT(remembering.writes + 60, forgetful.writes) << "steady frames left writes out";
    }
}
