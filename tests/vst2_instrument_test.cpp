// The instrument object from the inside: what construction leaves, the default
// bank, and the per-channel addressing of programs, which a host cannot set up
// by itself.
#include "plugin/vst2/PLINKA.h"

#include "engine/EnvelopeCompiler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class VstInstrument : public ::testing::Test {
protected:
    std::unique_ptr<PLINKA> plinka = std::make_unique<PLINKA>(nullptr);

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr)
    {
        return plinka->dispatcher(opcode, index, value, ptr, 0.0f);
    }
    Instrument& core = plinka->instrument;
    const Program& program(int number) const
    {
        return plinka->instrument.readBank([&](const ProgramBank& bank) -> const Program& { return bank[number]; });
    }
};

}  // namespace

TEST_F(VstInstrument, ConstructionLeavesTheDocumentedSettings)
{
    EXPECT_EQ(core.editedChannel(), 0);
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        EXPECT_EQ(core.settings.channelProgram[channel].load(), 0);
    EXPECT_EQ(core.settings.ntsc.load(), 1);
    EXPECT_EQ(core.settings.polyphony.load(), 8);
    EXPECT_EQ(core.settings.gain.load(), 50) << "an eight-voice chord stays unclipped";
    EXPECT_EQ(core.settings.chipSampleRate.load(), -1.0f);
    EXPECT_TRUE(core.settings.programsChanged.load());
    EXPECT_EQ(plinka->getSampleRate(), 44100.0f);
    EXPECT_EQ(plinka->getBlockSize(), 1024);
}

TEST_F(VstInstrument, DefaultProgramsPlayAPlainPulse)
{
    EXPECT_STREQ(program(9).name, "010 default");
    EXPECT_STREQ(program(127).name, "128 default");
    for (int number : {9, 50, 127}) {
        EXPECT_EQ(program(number).channelType, Pulse);
        EXPECT_EQ(program(number).multi, 0);
        EXPECT_STREQ(program(number).envelopeText[Volume], "15");
        for (int kind = Arp; kind < kEnvelopeKindCount; ++kind)
            EXPECT_STREQ(program(number).envelopeText[kind], "0");
    }
    // The rest of each field stays zero.
    const Program& p = program(9);
    for (size_t i = std::strlen(p.name); i < sizeof p.name; ++i)
        ASSERT_EQ(p.name[i], 0);
}

TEST_F(VstInstrument, FactoryPresetsOverwriteTheFirstNinePrograms)
{
    EXPECT_STREQ(program(0).name, "001 Plain Pulse 12.5%");
    EXPECT_STREQ(program(5).name, "006 Plain Periodic Noise");
    EXPECT_EQ(program(5).channelType, Noise);
    EXPECT_STREQ(program(5).envelopeText[Duty], "1");
    EXPECT_STREQ(program(3).name, "004 Plain Triangle");
    EXPECT_EQ(program(3).channelType, Triangle);

    const Program& solo = program(6);
    EXPECT_STREQ(solo.name, "007 Pulse Solo");
    EXPECT_STREQ(solo.envelopeText[Arp], "12 0");
    EXPECT_STREQ(solo.envelopeText[Pitch], "0 0 0 0 0 0 0 | 2 2 2 2 -2 -2 -2 -2");
    EXPECT_STREQ(solo.envelopeText[Duty], "2");
    const Program& kick = program(7);
    EXPECT_STREQ(kick.name, "008 Tri Kick");
    EXPECT_EQ(kick.channelType, Triangle);
    EXPECT_STREQ(kick.envelopeText[Volume], "15 15 15 15 0");
    EXPECT_STREQ(kick.envelopeText[Pitch], "| 200");
    const Program& snare = program(8);
    EXPECT_STREQ(snare.name, "009 Noise Snare");
    EXPECT_EQ(snare.channelType, Noise);
    EXPECT_STREQ(snare.envelopeText[Volume], "15 14 12 12 10 10 8 8 8 8 0");
    EXPECT_STREQ(snare.envelopeText[Arp], "4 0 0 -4 -4 -4 -4 -1");
}

TEST_F(VstInstrument, WholeBankIsCompiledAtConstruction)
{
    EXPECT_EQ(core.editBank([](ProgramBank&) {}), nullptr);
    const ProgramEnvelope& vibrato = program(6).envelope[Pitch];
    EXPECT_EQ(vibrato.length, 15);
    EXPECT_EQ(vibrato.loopIndex, 7);
    EXPECT_TRUE(vibrato.hasLoop);
    const ProgramEnvelope& fall = program(7).envelope[Pitch];
    EXPECT_EQ(fall.length, 1);
    EXPECT_EQ(fall.values[0], 200);
    for (int number = 0; number < kProgramCount; ++number)
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            ASSERT_FALSE(program(number).envelope[kind].isEmpty) << number << "/" << kind;
}

TEST_F(VstInstrument, ProgramRequestsAddressTheEditedChannelOnly)
{
    core.setEditedChannel(3);
    core.settings.channelProgram[3] = 20;
    core.settings.channelProgram[0] = 4;
    char name[] = "Lead";
    dispatch(effSetProgramName, 0, 0, name);
    EXPECT_STREQ(program(20).name, "Lead");
    EXPECT_STREQ(program(4).name, "005 Plain White Noise");
    EXPECT_EQ(dispatch(effGetProgram), 20);
    dispatch(effSetProgram, 0, 9);
    EXPECT_EQ(core.settings.channelProgram[3].load(), 9);
    EXPECT_EQ(core.settings.channelProgram[0].load(), 4);
    core.setEditedChannel(0);
    EXPECT_EQ(dispatch(effGetProgram), 4);
}

TEST_F(VstInstrument, ProgramNamesKeepAtMost31Characters)
{
    char longName[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    plinka->setProgramName(longName);
    EXPECT_EQ(std::string(program(0).name), std::string(longName, 31));
    EXPECT_EQ(program(0).name[31], 0);
    char empty[] = "";
    plinka->setProgramName(empty);
    for (char c : program(0).name)
        ASSERT_EQ(c, 0);
}

TEST_F(VstInstrument, SetProgramLimitsFromAboveAndRefusesNegatives)
{
    plinka->setProgram(500);
    EXPECT_EQ(core.settings.channelProgram[0].load(), 127);
    plinka->setProgram(-1);
    EXPECT_EQ(core.settings.channelProgram[0].load(), 127);
}

TEST_F(VstInstrument, ParameterTextsAreLeftAlone)
{
    char text[] = "abc";
    plinka->getParameterName(0, text);
    plinka->getParameterLabel(0, text);
    plinka->getParameterDisplay(0, text);
    EXPECT_STREQ(text, "abc");
}

TEST_F(VstInstrument, ProgramChangesAreCountedOnceEach)
{
    const uint32_t start = core.programChangeCount();
    plinka->checkProgramChange();  // the construction's change; no host to tell
    EXPECT_FALSE(core.settings.programsChanged.load());
    EXPECT_EQ(core.programChangeCount(), start + 1);
    EXPECT_FALSE(core.checkProgramChange());
    core.settings.channelProgram[15] = 3;
    EXPECT_TRUE(core.checkProgramChange());
    EXPECT_FALSE(core.checkProgramChange());
    core.setEditedChannel(4);
    EXPECT_TRUE(core.checkProgramChange());
    EXPECT_EQ(core.programChangeCount(), start + 3);
}

// Idle blocks skip comparing the programs while no setting was stored: a
// program set by another thread must still reach the next block, be told
// once, and other settings stored meanwhile must tell nothing.
TEST_F(VstInstrument, ProgramsSetByAnotherThreadReachIdleBlocksOnceEach)
{
    constexpr int kChanges = 300;
    std::vector<float> left(64), right(64);
    core.render(left.data(), right.data(), 64, 44100.0f);  // the construction's change
    std::atomic<int> told{0};
    std::atomic<int> stored{0};
    std::thread editor([&] {
        for (int change = 1; change <= kChanges; ++change) {
            if (change % 3 == 0)
                core.setGain(change % 200);  // another setting's store in between
            core.setCurrentProgram(change % 2 == 0 ? 5 : 9);
            stored.store(change);
            while (told.load() < change)
                std::this_thread::yield();
        }
    });
    // The editor stores one change at a time and waits to hear of it: a
    // block that begins after a store was seen must report it, however the
    // threads were scheduled; one that does not means the change was lost.
    bool lost = false;
    while (!lost && told.load() < kChanges) {
        const int seen = stored.load();
        if (core.render(left.data(), right.data(), 64, 44100.0f))
            ++told;
        lost = told.load() < seen;
    }
    if (lost)
        told.store(kChanges);  // lets the editor finish
    editor.join();
    EXPECT_FALSE(lost);
    EXPECT_EQ(told.load(), kChanges);
    for (int block = 0; block < 8; ++block)
        EXPECT_FALSE(core.render(left.data(), right.data(), 64, 44100.0f));
    EXPECT_EQ(core.currentProgram(), 5);
}

namespace {

std::vector<unsigned char> cellBytes(std::initializer_list<float> values)
{
    std::vector<unsigned char> bytes;
    for (float value : values) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        for (int byte = 0; byte < 4; ++byte)
            bytes.push_back(static_cast<unsigned char>(bits >> (8 * byte)));
    }
    return bytes;
}

constexpr float kTagName = 145973456.0f;
constexpr float kTagEnd = 145991616.0f;
constexpr float kTagPitch = 141895744.0f;
constexpr float kTagArp = 169124032.0f;

}  // namespace

TEST_F(VstInstrument, LoadingAChunkRecompilesTheBankAndKeepsEditorSettings)
{
    core.setEditedChannel(5);
    core.settings.polyphony = 3;
    core.settings.programsChanged = false;
    std::vector<unsigned char> arp = cellBytes({kTagArp, '7', ' ', '8', ' ', '9', 0.0f, kTagEnd});
    EXPECT_EQ(plinka->setChunk(arp.data(), static_cast<VstInt32>(arp.size()), false), 0);
    EXPECT_EQ(program(0).envelope[Arp].length, 3);
    EXPECT_EQ(program(0).envelope[Arp].values[2], 9);
    EXPECT_TRUE(core.settings.programsChanged.load());
    EXPECT_EQ(core.editedChannel(), 5);
    EXPECT_EQ(core.settings.polyphony.load(), 3);
}

TEST_F(VstInstrument, ConsoleModeTravelsWithTheStateAndASongWithoutItLoadsItOff)
{
    auto saved = [&] {
        const unsigned char* data = nullptr;
        const size_t size = core.saveState(&data);
        return std::vector<unsigned char>(data, data + size);
    };
    EXPECT_EQ(core.console(), ConsoleOff);
    const std::vector<unsigned char> off = saved();
    for (int32_t refused : {-1, 4, 1 << 30}) {
        core.setConsole(refused);
        EXPECT_EQ(core.console(), ConsoleOff) << refused;
    }
    EXPECT_EQ(saved(), off);

    for (int32_t mode : {ConsoleNes, ConsoleFamicom, ConsoleUnfiltered}) {
        core.setConsole(mode);
        const std::vector<unsigned char> on = saved();
        PLINKA other(nullptr);
        other.instrument.setConsole(mode == ConsoleNes ? ConsoleUnfiltered : ConsoleNes);
        ASSERT_TRUE(other.instrument.loadState(on.data(), on.size()));
        EXPECT_EQ(other.instrument.console(), mode);
        EXPECT_EQ(other.instrument.bankExchange.acquire().loadConsole, mode) << "heard with the loaded bank";
        const unsigned char* again = nullptr;
        const size_t size = other.instrument.saveState(&again);
        EXPECT_EQ(std::vector<unsigned char>(again, again + size), on);

        // A song saved with the mode off, or before it existed, turns it off;
        // a chunk that is no whole song leaves it.
        ASSERT_TRUE(other.instrument.loadState(off.data(), off.size()));
        EXPECT_EQ(other.instrument.console(), ConsoleOff);
        EXPECT_EQ(other.instrument.bankExchange.acquire().loadConsole, ConsoleOff);
        other.instrument.setConsole(mode);
        const std::vector<unsigned char> arp = cellBytes({kTagArp, '7', 0.0f, kTagEnd});
        ASSERT_TRUE(other.instrument.loadState(arp.data(), arp.size()));
        EXPECT_EQ(other.instrument.console(), mode);
    }
}

TEST_F(VstInstrument, MpeTravelsWithTheStateAndASongWithoutItLoadsItOff)
{
    auto saved = [](Instrument& instrument) {
        const unsigned char* data = nullptr;
        const size_t size = instrument.saveState(&data);
        return std::vector<unsigned char>(data, data + size);
    };
    EXPECT_EQ(core.mpe(), MpeOff);
    const std::vector<unsigned char> off = saved(core);
    for (int32_t refused : {-1, 3, 1 << 30}) {
        core.setMpe(refused);
        EXPECT_EQ(core.mpe(), MpeOff) << refused;
    }
    EXPECT_EQ(saved(core), off);
    for (int32_t mode : {MpeLower, MpeUpper}) {
        core.setMpe(mode);
        const std::vector<unsigned char> on = saved(core);
        EXPECT_EQ(on.size(), off.size() + 8);
        PLINKA other(nullptr);
        other.instrument.setMpe(mode == MpeLower ? MpeUpper : MpeLower);
        ASSERT_TRUE(other.instrument.loadState(on.data(), on.size()));
        EXPECT_EQ(other.instrument.mpe(), mode);
        EXPECT_EQ(other.instrument.bankExchange.acquire().loadMpe, mode) << "heard with the loaded bank";
        EXPECT_EQ(saved(other.instrument), on);
        ASSERT_TRUE(other.instrument.loadState(off.data(), off.size()));
        EXPECT_EQ(other.instrument.mpe(), MpeOff) << "a song from before MPE";
        EXPECT_EQ(other.instrument.bankExchange.acquire().loadMpe, MpeOff);
    }
}

TEST_F(VstInstrument, TextsThatDoNotCompileAreLoadedAsTheyAre)
{
    std::vector<unsigned char> bytes = cellBytes({kTagPitch, '1', '|', 0.0f, kTagEnd});
    plinka->setChunk(bytes.data(), static_cast<VstInt32>(bytes.size()), false);
    EXPECT_STREQ(program(0).envelopeText[Pitch], "1|");
    EXPECT_TRUE(program(0).envelope[Pitch].isEmpty);
    EXPECT_EQ(core.editBank([](ProgramBank&) {}), kErrorLoopSpacing);
}

TEST_F(VstInstrument, ACellOfAWholeMultipleOf256StoresAZeroByteInsideTheString)
{
    std::vector<unsigned char> bytes = cellBytes({kTagName, 'a', 512.0f, 'b', 0.0f, kTagEnd});
    plinka->setChunk(bytes.data(), static_cast<VstInt32>(bytes.size()), false);
    EXPECT_EQ(std::string(program(0).name, 3), std::string("a\0b", 3));
    EXPECT_EQ(program(0).name[3], 0);
}

TEST_F(VstInstrument, ABlockNeverHearsSettingsThatAreNotItsBanks)
{
    // A note sounds at gain 100; then another thread's load stores gain 0.
    // While that store is under way, or once it holds a load whose bank has
    // not reached the audio thread, blocks keep the settings they had.
    const uint8_t note[3] = {0x90, 69, 100};
    core.queueMidi(0, note);
    float left[512], right[512];
    auto peak = [&] {
        core.render(left, right, 512, 44100.0f);
        float most = 0.0f;
        for (float sample : left)
            most = std::max(most, std::abs(sample));
        return most;
    };
    ASSERT_GT(peak(), 0.05f);

    core.settings.beginLoad();
    core.settings.gain = 0;
    EXPECT_GT(peak(), 0.05f) << "half-stored settings";
    core.settings.appliedLoadSerial = 7;
    core.settings.endLoad();
    EXPECT_GT(peak(), 0.05f) << "a later load's settings before its bank";

    core.settings.beginLoad();
    core.settings.appliedLoadSerial = 0;
    core.settings.endLoad();
    EXPECT_EQ(peak(), 0.0f) << "whole settings of this bank's load";
}

TEST_F(VstInstrument, ParametersAreTheSettingsInTheirRangesWithReadableTexts)
{
    core.setParameterValue(kParamGain, 37.4);
    EXPECT_EQ(core.gain(), 37);
    core.setParameterValue(kParamGain, 1e9);
    EXPECT_EQ(core.parameterValue(kParamGain), 200.0);
    core.setParameterValue(kParamGain, std::nan(""));
    core.setParameterValue(kParameterCount, 0.0);
    EXPECT_EQ(core.gain(), 200);
    core.setParameterValue(kParamPolyphony, 0.0);
    EXPECT_EQ(core.polyphony(), 1);
    core.settings.chipSampleRate = 44100.0f;
    core.setParameterValue(kParamClock, 1.0);
    EXPECT_EQ(core.settings.chipSampleRate.load(), 44100.0f) << "the same standard again sets nothing up";
    core.setParameterValue(kParamClock, 0.2);
    EXPECT_EQ(core.ntsc(), 0);

    char text[32];
    const std::pair<uint32_t, double> shown[] = {
        {kParamGain, 100}, {kParamClock, 1}, {kParamClock, 0}, {kParamPolyphony, 1}, {kParamPolyphony, 8}};
    const char* const expected[] = {"100 %", "NTSC", "PAL", "1 voice", "8 voices"};
    for (size_t i = 0; i < std::size(shown); ++i) {
        parameterText(shown[i].first, shown[i].second, text, sizeof text);
        EXPECT_STREQ(text, expected[i]);
        double back = -1;
        EXPECT_TRUE(parameterFromText(shown[i].first, text, back)) << text;
        EXPECT_EQ(back, shown[i].second) << text;
    }
    double value = 0;
    EXPECT_FALSE(parameterFromText(kParamClock, "SECAM", value));
    EXPECT_FALSE(parameterFromText(kParamGain, "loud", value));
    EXPECT_FALSE(parameterFromText(kParameterCount, "1", value));

    // An edit alone is a gesture of its own; inside one, a value of it.
    struct Recorder : EditListener {
        std::string steps;
        void parameterGestureBegan(uint32_t id) override { steps += "b" + std::to_string(id) + " "; }
        void parameterEdited(uint32_t, double edited) override { steps += std::to_string(int(edited)) + " "; }
        void parameterGestureEnded(uint32_t id) override { steps += "e" + std::to_string(id) + " "; }
        void stateEdited(bool) override {}
    } recorder;
    core.setEditListener(&recorder);
    core.editParameter(kParamGain, 250);
    core.beginParameterEdit(kParamGain);
    core.editParameter(kParamGain, 7);
    core.editParameter(kParamClock, 0);
    core.editParameter(kParamGain, 8);
    core.endParameterEdit(kParamGain);
    EXPECT_EQ(recorder.steps, "b0 200 e0 b0 7 b1 0 e1 8 e0 ");
    core.setEditListener(nullptr);
}
