// Programs as a host sees them: selection, names, and the display update that
// announces a change.
#include "PluginUnderTest.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kFactoryNames[] = {"001 Plain Pulse 12.5%", "002 Plain Pulse 25.0%", "003 Plain Pulse 50.0%",
                                     "004 Plain Triangle",    "005 Plain White Noise", "006 Plain Periodic Noise",
                                     "007 Pulse Solo",        "008 Tri Kick",          "009 Noise Snare"};

// What a host reads back: names are cut to the published 23 characters.
std::string asHostSees(const std::string& name)
{
    return name.substr(0, 23);
}

}  // namespace

TEST_F(LoadedPlugin, NewInstanceShowsTheFactoryBankThenDefaults)
{
    EXPECT_EQ(dispatch(effGetProgram), 0);
    EXPECT_EQ(host.programName(), "001 Plain Pulse 12.5%");
    for (VstInt32 program = 0; program < 128; ++program) {
        dispatch(effSetProgram, 0, program);
        char expected[32];
        if (program < 9)
            std::snprintf(expected, sizeof expected, "%s", kFactoryNames[program]);
        else
            std::snprintf(expected, sizeof expected, "%03d default", program + 1);
        EXPECT_EQ(host.programName(), asHostSees(expected)) << "program " << program;
    }
}

TEST_F(LoadedPlugin, FirstProgramQueryIssuesExactlyOneDisplayUpdate)
{
    host.clearCalls();
    EXPECT_EQ(dispatch(effGetProgram), 0);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    EXPECT_EQ(dispatch(effGetProgram), 0);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
}

TEST_F(LoadedPlugin, FirstRenderCallIssuesTheDisplayUpdateInstead)
{
    host.start();
    host.clearCalls();
    std::vector<float> left(64), right(64);
    host.process(left.data(), right.data(), 64);
    host.process(left.data(), right.data(), 64);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    EXPECT_EQ(dispatch(effGetProgram), 0);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
}

TEST_F(LoadedPlugin, SelectingAProgramIsAnnouncedAtTheNextQuery)
{
    dispatch(effGetProgram);
    host.clearCalls();
    EXPECT_EQ(dispatch(effSetProgram, 0, 7), 0);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 0u) << "nothing happens at once";
    EXPECT_EQ(dispatch(effGetProgram), 7);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    EXPECT_EQ(host.programName(), "008 Tri Kick");
    // Selecting the same program again is no change.
    dispatch(effSetProgram, 0, 7);
    dispatch(effGetProgram);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
}

TEST_F(LoadedPlugin, ProgramNumbersOutsideTheBankAreIgnored)
{
    dispatch(effSetProgram, 0, 127);
    EXPECT_EQ(dispatch(effGetProgram), 127);
    EXPECT_EQ(host.programName(), "128 default");
    for (VstIntPtr bad : {VstIntPtr{128}, VstIntPtr{1000}, VstIntPtr{-1}, VstIntPtr{-128}, VstIntPtr{INT32_MIN}}) {
        dispatch(effSetProgram, 0, bad);
        EXPECT_EQ(dispatch(effGetProgram), 127) << "value " << bad;
    }
}

TEST_F(LoadedPlugin, ProgramNamesAreStoredPerProgram)
{
    char name[] = "Bass";
    dispatch(effSetProgram, 0, 12);
    dispatch(effSetProgramName, 0, 0, name);
    EXPECT_EQ(host.programName(), "Bass");
    dispatch(effSetProgram, 0, 11);
    EXPECT_EQ(host.programName(), "012 default");
    dispatch(effSetProgram, 0, 12);
    EXPECT_EQ(host.programName(), "Bass");

    char empty[] = "";
    dispatch(effSetProgramName, 0, 0, empty);
    EXPECT_EQ(host.programName(), "");
    dispatch(effSetProgramName, 0, 0, nullptr);
    EXPECT_EQ(host.programName(), "");
}

TEST_F(LoadedPlugin, ProgramNameReadBackNeverPassesTheHostLimit)
{
    char longName[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";  // 40 characters
    dispatch(effSetProgramName, 0, 0, longName);
    unsigned char buffer[64];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(dispatch(effGetProgramName, 0, 0, buffer), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "abcdefghijklmnopqrstuvw");
    EXPECT_EQ(buffer[23], 0);
    for (size_t i = 24; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0x5A) << "byte " << i << " was written";
}
