// The host binding as a host sees it: entry point, AEffect record, every
// dispatcher opcode's answer, and the callbacks into the host.
#include "AudioMeasure.h"
#include "PluginUnderTest.h"

#include <cstring>
#include <vector>

namespace {

constexpr VstInt32 kNvEf = 1316373862;

// Opcodes that answer 0 and must leave a buffer they are given untouched.
const std::vector<VstInt32> kSilentOpcodes = {effGetVu,
                                              effEditDraw,
                                              effEditMouse,
                                              effEditKey,
                                              effEditTop,
                                              effEditSleep,
                                              effString2Parameter,
                                              effGetNumProgramCategories,
                                              effGetProgramNameIndexed,
                                              effCopyProgram,
                                              effConnectInput,
                                              effConnectOutput,
                                              effGetInputProperties,
                                              effGetOutputProperties,
                                              effGetCurrentPosition,
                                              effGetDestinationBuffer,
                                              effOfflineNotify,
                                              effOfflinePrepare,
                                              effOfflineRun,
                                              effProcessVarIo,
                                              effSetSpeakerArrangement,
                                              effSetBlockSizeAndSampleRate,
                                              effSetBypass,
                                              effGetErrorText,
                                              effGetProductString,
                                              effVendorSpecific,
                                              effIdle,
                                              effGetIcon,
                                              effSetViewPosition,
                                              effGetParameterProperties,
                                              effKeysRequired,
                                              effGetMidiProgramName,
                                              effGetMidiProgramCategory,
                                              effHasMidiProgramsChanged,
                                              effGetMidiKeyName,
                                              effBeginSetProgram,
                                              effEndSetProgram,
                                              effShellGetNextPlugin,
                                              effStartProcess,
                                              effStopProcess,
                                              effSetPanLaw,
                                              effBeginLoadBank,
                                              effBeginLoadProgram,
                                              effSetProcessPrecision,
                                              effGetParamLabel,
                                              effGetParamDisplay,
                                              effGetParamName,
                                              80,
                                              81,
                                              100,
                                              1000,
                                              -1};

struct Buffer {
    Buffer() { std::memset(bytes, 0x5A, sizeof bytes); }
    bool untouched() const
    {
        for (unsigned char byte : bytes)
            if (byte != 0x5A)
                return false;
        return true;
    }
    unsigned char bytes[512];
};

}  // namespace

TEST(EntryPoint, AnswersNullWhenTheHostVersionIsZero)
{
    PluginHost host;
    host.versionAnswer = 0;
    EXPECT_FALSE(host.load(pluginUnderTest()));
    EXPECT_EQ(host.effect(), nullptr);
    ASSERT_EQ(host.calls().size(), 1u);
    EXPECT_EQ(host.calls()[0].opcode, audioMasterVersion);
}

TEST(EntryPoint, AsksTheVersionWithNoEffectBeforeAnythingElse)
{
    PluginHost host;
    ASSERT_TRUE(host.load(pluginUnderTest())) << host.error();
    const std::vector<HostCall> calls = host.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].withEffect);
    EXPECT_EQ(calls[0].opcode, audioMasterVersion);
    EXPECT_EQ(calls[0].index, 0);
    EXPECT_EQ(calls[0].value, 0);
    EXPECT_EQ(calls[0].opt, 0.0f);
}

TEST(EntryPoint, EveryLoadMakesItsOwnInstance)
{
    PluginHost first;
    PluginHost second;
    ASSERT_TRUE(first.load(pluginUnderTest()));
    ASSERT_TRUE(second.load(pluginUnderTest()));
    EXPECT_NE(first.effect(), second.effect());
    first.dispatch(effSetProgram, 0, 5);
    EXPECT_EQ(second.dispatch(effGetProgram), 0);
    EXPECT_EQ(first.dispatch(effGetProgram), 5);
}

TEST_F(LoadedPlugin, AEffectDescribesAStereoSynthWith128Programs)
{
    EXPECT_EQ(effect().magic, vstFourCC('V', 's', 't', 'P'));
    EXPECT_EQ(effect().numPrograms, 128);
    EXPECT_EQ(effect().numParams, 0);
    EXPECT_EQ(effect().numInputs, 0);
    EXPECT_EQ(effect().numOutputs, 2);
    const VstInt32 required = effFlagsCanReplacing | effFlagsProgramChunks | effFlagsIsSynth;
    EXPECT_EQ(effect().flags & required, required);
    EXPECT_EQ(effect().flags & (effFlagsCanDoubleReplacing | effFlagsNoSoundInStop), 0);
    EXPECT_EQ(effect().flags & ~(required | effFlagsHasEditor), 0);
    EXPECT_TRUE(effect().flags & effFlagsHasEditor) << "every build has its editor";
    EXPECT_EQ(effect().initialDelay, 0);
    EXPECT_EQ(effect().ioRatio, 1.0f);
    EXPECT_NE(effect().object, nullptr);
    EXPECT_EQ(effect().user, nullptr);
    EXPECT_EQ(effect().uniqueID, vstFourCC('p', 'l', 'n', 'k'));
    EXPECT_EQ(effect().version, 1);
    EXPECT_NE(effect().dispatcher, nullptr);
    EXPECT_NE(effect().process, nullptr);
    EXPECT_NE(effect().processReplacing, nullptr);
    EXPECT_NE(effect().processDoubleReplacing, nullptr);
    EXPECT_NE(effect().setParameter, nullptr);
    EXPECT_NE(effect().getParameter, nullptr);
    EXPECT_EQ(effect().getParameter(&effect(), 0), 0.0f);
}

TEST_F(LoadedPlugin, AnswersItsIdentity)
{
    EXPECT_EQ(dispatch(effIdentify), kNvEf);
    EXPECT_EQ(dispatch(effIdentify, 7, 99, nullptr, 3.5f), kNvEf);

    char name[256] = "garbage";
    EXPECT_EQ(dispatch(effGetEffectName, 0, 0, name), 1);
    EXPECT_STREQ(name, "Plinka");
    char vendor[256] = "garbage";
    EXPECT_EQ(dispatch(effGetVendorString, 0, 0, vendor), 1);
    EXPECT_STREQ(vendor, "v0.1 06.05.19 Tovak");
    char product[256] = "abc";
    EXPECT_EQ(dispatch(effGetProductString, 0, 0, product), 0);
    EXPECT_STREQ(product, "abc");

    EXPECT_EQ(dispatch(effGetVendorVersion), 1000);
    EXPECT_EQ(dispatch(effGetVstVersion), 2400);
    EXPECT_EQ(dispatch(effGetPlugCategory), 2);
    EXPECT_EQ(dispatch(effGetNumMidiInputChannels), 16);
    EXPECT_EQ(dispatch(effGetNumMidiOutputChannels), 0);
    EXPECT_EQ(dispatch(effGetTailSize), 0);
}

TEST_F(LoadedPlugin, CanDoAnswersOneOnlyForItsTwoCapabilities)
{
    char events[] = "receiveVstEvents";
    char midi[] = "receiveVstMidiEvent";
    char otherCase[] = "receivevstevents";
    char empty[] = "";
    char send[] = "sendVstMidiEvent";
    EXPECT_EQ(dispatch(effCanDo, 0, 0, events), 1);
    EXPECT_EQ(dispatch(effCanDo, 0, 0, midi), 1);
    EXPECT_EQ(dispatch(effCanDo, 0, 0, otherCase), -1);
    EXPECT_EQ(dispatch(effCanDo, 0, 0, empty), -1);
    EXPECT_EQ(dispatch(effCanDo, 0, 0, send), -1);
    EXPECT_EQ(dispatch(effCanDo, 0, 0, nullptr), -1);
}

TEST_F(LoadedPlugin, BaseDefaultsAnswerAsPublished)
{
    EXPECT_EQ(dispatch(effCanBeAutomated, 0), 1);
    EXPECT_EQ(dispatch(effCanBeAutomated, 77), 1);
    EXPECT_EQ(dispatch(effCanBeAutomated, -3), 1);
    EXPECT_EQ(dispatch(effGetCurrentMidiProgram), -1);
    EXPECT_EQ(dispatch(effSetTotalSampleToProcess, 0, 12345), 12345);
    EXPECT_EQ(dispatch(effSetTotalSampleToProcess, 0, -7), -7);
    EXPECT_EQ(dispatch(effOpen), 0);
    EXPECT_EQ(dispatch(effSetSampleRate, 0, 0, nullptr, 48000.0f), 0);
    EXPECT_EQ(dispatch(effSetBlockSize, 0, 256), 0);
}

TEST_F(LoadedPlugin, SilentOpcodesAnswerZeroAndTouchNoBuffer)
{
    for (VstInt32 opcode : kSilentOpcodes) {
        Buffer buffer;
        EXPECT_EQ(dispatch(opcode, 3, 0, buffer.bytes, 1.0f), 0) << "opcode " << opcode;
        EXPECT_TRUE(buffer.untouched()) << "opcode " << opcode;
    }
    EXPECT_EQ(host.calls().size(), 1u) << "only the version query reached the host";
}

TEST_F(LoadedPlugin, SpeakerArrangementQueryWritesNullThroughBothPointers)
{
    int dummy = 0;
    void* input = &dummy;
    void* output = &dummy;
    EXPECT_EQ(dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
    EXPECT_EQ(dispatch(effGetSpeakerArrangement, 0, 0, nullptr), 0);
}

TEST_F(LoadedPlugin, EveryMainsOnAsksForMidi)
{
    host.clearCalls();
    dispatch(effMainsChanged, 0, 1);
    dispatch(effMainsChanged, 0, 1);
    dispatch(effMainsChanged, 0, 0);
    const std::vector<HostCall> calls = host.calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const HostCall& call : calls) {
        EXPECT_TRUE(call.withEffect);
        EXPECT_EQ(call.opcode, audioMasterWantMidi);
        EXPECT_EQ(call.index, 0);
        EXPECT_EQ(call.value, 1);
        EXPECT_EQ(call.opt, 0.0f);
    }
}

TEST_F(LoadedPlugin, EditorOpcodesAnswerZeroWithoutAnEditor)
{
    PLINKA_ONLY_IF(!(effect().flags & effFlagsHasEditor), "this build has an editor");
    ERect* rect = reinterpret_cast<ERect*>(this);
    EXPECT_EQ(dispatch(effEditGetRect, 0, 0, &rect), 0);
    EXPECT_EQ(rect, reinterpret_cast<ERect*>(this));
    EXPECT_EQ(dispatch(effEditOpen, 0, 0, nullptr), 0);
    EXPECT_EQ(dispatch(effEditClose), 0);
    EXPECT_EQ(dispatch(effEditIdle), 0);
    EXPECT_EQ(dispatch(effEditKeyDown, 'a', 65, nullptr, 1.0f), 0);
    EXPECT_EQ(dispatch(effEditKeyUp, 'a', 65, nullptr, 1.0f), 0);
    EXPECT_EQ(dispatch(effSetEditKnobMode, 0, 2), 0);
}

TEST_F(LoadedPlugin, RenderCallAsksTheSampleRateEveryBlockAndWritesSilence)
{
    host.start();
    host.clearCalls();
    std::vector<float> left(300, 1.0f);
    std::vector<float> right(300, -1.0f);
    for (int block = 0; block < 3; ++block)
        host.process(left.data(), right.data(), 300);
    EXPECT_EQ(host.countCalls(audioMasterGetSampleRate), 3u);
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(left[i], 0.0f);
        ASSERT_EQ(right[i], 0.0f);
    }
    for (const HostCall& call : host.calls()) {
        if (call.opcode == audioMasterGetSampleRate) {
            EXPECT_EQ(call.index, 0);
            EXPECT_EQ(call.value, 0);
            EXPECT_EQ(call.opt, 0.0f);
        }
    }
}

TEST_F(LoadedPlugin, RenderCallsOfNoLengthOrWithoutOutputsAreHarmless)
{
    host.start();
    host.process(nullptr, nullptr, 64);
    float* noOutputs[2] = {nullptr, nullptr};
    effect().processReplacing(&effect(), nullptr, noOutputs, 64);
    effect().processReplacing(&effect(), nullptr, nullptr, 64);
    std::vector<float> left(4, 1.0f), right(4, 1.0f);
    host.process(left.data(), right.data(), 0);
    host.process(left.data(), right.data(), -5);
    EXPECT_EQ(left[0], 1.0f) << "a block of no length writes nothing";
}

// A host may call processReplacing with no samples after processEvents to
// hand the events over: they act at the next block's first sample, whatever
// offsets they carried, and a note-off among them is never lost.
TEST_F(LoadedPlugin, EventsBeforeARenderOfNoSamplesActAtTheNextBlocksStart)
{
    constexpr VstInt32 kBlock = 512;
    constexpr int kBlocks = 16;
    constexpr int kOffBlock = 8;
    constexpr int64_t kChipFrame = 735;  // samples a chip may still hold: a frame of 1/60 s at 44.1 kHz
    const auto render = [](bool onApart, bool offApart) {
        PluginHost vst2;
        EXPECT_TRUE(vst2.load(pluginUnderTest())) << vst2.error();
        vst2.start(44100.0f, kBlock);
        std::vector<float> left(kBlock * kBlocks), right(kBlock * kBlocks);
        for (int block = 0; block < kBlocks; ++block) {
            float* l = left.data() + block * kBlock;
            float* r = right.data() + block * kBlock;
            const bool on = block == 0, off = block == kOffBlock;
            if (!on && !off) {
                vst2.process(l, r, kBlock);
                continue;
            }
            // Apart, the offset is one the empty render has no sample for.
            const bool apart = on ? onApart : offApart;
            vst2.sendMidi({{apart ? 7 : 0, {uint8_t(on ? 0x90 : 0x80), 69, uint8_t(on ? 100 : 0)}}});
            if (apart)
                vst2.process(l, r, 0);
            vst2.process(l, r, kBlock);
        }
        return left;
    };
    const std::vector<float> inBlocks = render(false, false);
    ASSERT_GE(lastSound(inBlocks), kOffBlock * kBlock - 1) << "the note sounds until its note-off";
    ASSERT_LT(lastSound(inBlocks), kOffBlock * kBlock + kChipFrame) << "and ends there";
    for (const auto& [onApart, offApart] : {std::pair{true, false}, {false, true}, {true, true}}) {
        const std::vector<float> out = render(onApart, offApart);
        EXPECT_TRUE(out == inBlocks) << "note-on apart " << onApart << ", note-off apart " << offApart;
        EXPECT_LT(lastSound(out), kOffBlock * kBlock + kChipFrame) << "no note left hanging";
    }
}

TEST_F(LoadedPlugin, NullPointersForEveryOpcodeAreHarmless)
{
    for (VstInt32 opcode = 0; opcode <= 90; ++opcode) {
        if (opcode == effClose)
            continue;
        dispatch(opcode, 0, 0, nullptr, 0.0f);
    }
    EXPECT_EQ(dispatch(effIdentify), kNvEf) << "still alive and answering";
}

TEST_F(LoadedPlugin, CloseAnswersOne)
{
    EXPECT_EQ(dispatch(effClose), 1);
}
