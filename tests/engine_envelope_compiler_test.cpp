// The envelope language: worked examples, release parts and fixed notes,
// every message and which one wins, limits, and the default envelope after a
// failure.
#include "engine/EnvelopeCompiler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct Compiled {
    const char* message;
    std::vector<int32_t> steps;
    int32_t loopIndex;
    bool hasLoop;
    bool isEmpty;
};

Compiled compile(const std::string& text, bool holdLast = true)
{
    auto envelope = std::make_unique<Envelope>();
    // Garbage first, so that nothing passes by accident of a zeroed record.
    envelope->length = 77;
    envelope->loopIndex = 55;
    envelope->hasLoop = true;
    envelope->isEmpty = false;
    const char* message = compileEnvelope(text.c_str(), *envelope, holdLast);
    EXPECT_GE(envelope->length, 1);
    EXPECT_LE(envelope->length, kEnvelopeMaxSteps);
    EXPECT_GE(envelope->loopIndex, 0);
    EXPECT_LT(envelope->loopIndex, envelope->length);
    return {message, std::vector<int32_t>(envelope->values, envelope->values + envelope->length), envelope->loopIndex,
            envelope->hasLoop, envelope->isEmpty};
}

void expectDefault(const Compiled& result)
{
    EXPECT_EQ(result.steps, std::vector<int32_t>{0});
    EXPECT_EQ(result.loopIndex, 0);
    EXPECT_FALSE(result.hasLoop);
    EXPECT_TRUE(result.isEmpty);
}

void expectFailure(const std::string& text, const char* message)
{
    for (bool holdLast : {true, false}) {
        const Compiled result = compile(text, holdLast);
        ASSERT_NE(result.message, nullptr) << '"' << text << '"';
        EXPECT_STREQ(result.message, message) << '"' << text << '"';
        expectDefault(result);
    }
}

}  // namespace

TEST(EnvelopeCompiler, WorkedExamplesOfTheFactoryTexts)
{
    struct Example {
        const char* text;
        bool holdLast;
        std::vector<int32_t> steps;
        int32_t loopIndex;
        bool hasLoop;
    };
    const Example examples[] = {
        {"15", true, {15}, 0, false},
        {"0", true, {0}, 0, false},
        {"0", false, {0, 0}, 1, false},
        {"2", true, {2}, 0, false},
        {"12 0", true, {12, 0}, 1, false},
        {"0 0 0 0 0 0 0 | 2 2 2 2 -2 -2 -2 -2", false, {0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, -2, -2, -2, -2}, 7, true},
        {"| 200", false, {200}, 0, true},
        {"15 15 15 15 0", true, {15, 15, 15, 15, 0}, 4, false},
        {"15 14 12 12 10 10 8 8 8 8 0", true, {15, 14, 12, 12, 10, 10, 8, 8, 8, 8, 0}, 10, false},
        {"4 0 0 -4 -4 -4 -4 -1", true, {4, 0, 0, -4, -4, -4, -4, -1}, 7, false},
    };
    for (const Example& example : examples) {
        const Compiled result = compile(example.text, example.holdLast);
        EXPECT_EQ(result.message, nullptr) << example.text;
        EXPECT_EQ(result.steps, example.steps) << example.text;
        EXPECT_EQ(result.loopIndex, example.loopIndex) << example.text;
        EXPECT_EQ(result.hasLoop, example.hasLoop) << example.text;
        EXPECT_FALSE(result.isEmpty) << example.text;
    }
}

TEST(EnvelopeCompiler, BlankTextsGiveTheDefaultEnvelopeWithoutAnError)
{
    for (const char* text : {"", " ", "     ", "|", " | ", "|  "}) {
        for (bool holdLast : {true, false}) {
            const Compiled result = compile(text, holdLast);
            EXPECT_EQ(result.message, nullptr) << '"' << text << '"';
            expectDefault(result);
        }
    }
}

TEST(EnvelopeCompiler, MarkerAtTheEndLoopsOnTheLastValueAndAppendsNothing)
{
    const Compiled volume = compile("1 2 |", true);
    EXPECT_EQ(volume.message, nullptr);
    EXPECT_EQ(volume.steps, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(volume.loopIndex, 1);
    EXPECT_TRUE(volume.hasLoop);

    const Compiled pitch = compile("1 2 |", false);
    EXPECT_EQ(pitch.steps, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(pitch.loopIndex, 1);
    EXPECT_TRUE(pitch.hasLoop);

    const Compiled first = compile("| 3 4", false);
    EXPECT_EQ(first.steps, (std::vector<int32_t>{3, 4}));
    EXPECT_EQ(first.loopIndex, 0);
}

TEST(EnvelopeCompiler, NegativeValuesNeedADigitRightAfterTheSign)
{
    EXPECT_EQ(compile("-7").steps, std::vector<int32_t>{-7});
    EXPECT_EQ(compile("  -0  ").steps, std::vector<int32_t>{0});
    expectFailure("- 7", kErrorPrefix);
    expectFailure("-", kErrorPrefix);
    expectFailure("3 -", kErrorPrefix);
    expectFailure("--7", kErrorPrefix);
    expectFailure("+7", kErrorUnexpectedInString);
}

TEST(EnvelopeCompiler, LoopMarkerNeedsSpacesAndMayAppearOnce)
{
    expectFailure("1|", kErrorLoopSpacing);
    expectFailure("1 |2", kErrorLoopSpacing);
    expectFailure("|2", kErrorLoopSpacing);
    expectFailure("1 || 2", kErrorLoopSpacing);
    expectFailure("| 1 | 2", kErrorLoopRedefinition);
    expectFailure("| 1 |2", kErrorLoopRedefinition);
}

TEST(EnvelopeCompiler, UnexpectedCharactersInsideANumberAreReportedAtTheEnd)
{
    expectFailure("3x 4", kErrorUnexpectedInNumber);
    expectFailure("3x", kErrorUnexpectedInNumber);
    expectFailure("1 2 3-4", kErrorUnexpectedInNumber);
    // A hard failure later in the text wins over the pending one.
    expectFailure("3x |5", kErrorLoopSpacing);
    expectFailure("3x 4 +", kErrorUnexpectedInString);
    expectFailure("3x | 4 | 5", kErrorLoopRedefinition);
    expectFailure("3x -", kErrorPrefix);
}

TEST(EnvelopeCompiler, TerminatorsThatAreNotSeparatorsFailAsTheNextToken)
{
    expectFailure("15L", kErrorUnexpectedInString);
    expectFailure("15l", kErrorUnexpectedInString);
    expectFailure("15*", kErrorUnexpectedInString);
    expectFailure("1\t2", kErrorUnexpectedInString);
    expectFailure("1\r", kErrorUnexpectedInString);
    expectFailure("\t1", kErrorUnexpectedInString);
    expectFailure("7\xE9", kErrorUnexpectedInString);
    expectFailure("a", kErrorUnexpectedInString);
}

TEST(EnvelopeCompiler, CaseMakesNoDifference)
{
    for (const char* text : {"3x 4", "3X 4", "15l", "15L", "1 q", "1 Q", "9z", "9Z"}) {
        std::string upper = text;
        std::string lower = text;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const Compiled a = compile(upper);
        const Compiled b = compile(lower);
        ASSERT_NE(a.message, nullptr) << text;
        EXPECT_STREQ(a.message, b.message) << text;
    }
}

TEST(EnvelopeCompiler, ValuesAreLimitedToMinus32768Through32768)
{
    EXPECT_EQ(compile("40000").steps, std::vector<int32_t>{32768});
    EXPECT_EQ(compile("-40000").steps, std::vector<int32_t>{-32768});
    EXPECT_EQ(compile("32768").steps, std::vector<int32_t>{32768});
    EXPECT_EQ(compile("-32768").steps, std::vector<int32_t>{-32768});
    EXPECT_EQ(compile("32767 -32767").steps, (std::vector<int32_t>{32767, -32767}));
    // Far more digits than any accumulator holds.
    EXPECT_EQ(compile("99999999999999999999999999 -4294967296 2147483648").steps,
              (std::vector<int32_t>{32768, -32768, 32768}));
    EXPECT_EQ(compile("0000000000000000000000000007").steps, std::vector<int32_t>{7});
}

TEST(EnvelopeCompiler, AtMost2048StepsAreCompiled)
{
    std::string text;
    for (int i = 0; i < 2048; ++i)
        text += "1 ";
    const Compiled full = compile(text, true);
    EXPECT_EQ(full.message, nullptr);
    EXPECT_EQ(full.steps.size(), 2048u);
    EXPECT_EQ(full.loopIndex, 2047);

    // No room for the appended 0 of a relative kind.
    const Compiled relative = compile(text, false);
    EXPECT_STREQ(relative.message, kErrorTooLong);
    expectDefault(relative);

    const Compiled withMarker = compile(text + "|", false);
    EXPECT_EQ(withMarker.message, nullptr);
    EXPECT_EQ(withMarker.steps.size(), 2048u);

    expectFailure(text + "1", kErrorTooLong);
    expectFailure(text + "1x", kErrorTooLong);
}

TEST(EnvelopeCompiler, CompilingTheBankStopsAtTheFirstFailure)
{
    struct Holder {
        ProgramBank programs;
    };
    auto holder = std::make_unique<Holder>();
    ProgramBank* bank = &holder->programs;
    for (Program& program : *bank)
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            copyTextField(program.envelopeText[kind], "5");
            program.envelope[kind].length = 1;
            program.envelope[kind].values[0] = 99;  // marks "not compiled in this run"
        }
    copyTextField((*bank)[0].envelopeText[Volume], "1 |2");
    copyTextField((*bank)[3].envelopeText[Pitch], "z");

    EXPECT_STREQ(compileAllEnvelopes(*bank), kErrorLoopSpacing);
    EXPECT_TRUE((*bank)[0].envelope[Volume].isEmpty);
    EXPECT_EQ((*bank)[0].envelope[Volume].values[0], 0);
    EXPECT_EQ((*bank)[0].envelope[Arp].values[0], 99) << "nothing after the failure is compiled";

    copyTextField((*bank)[0].envelopeText[Volume], "1 2");
    EXPECT_STREQ(compileAllEnvelopes(*bank), kErrorUnexpectedInString);
    EXPECT_EQ((*bank)[3].envelope[Volume].values[0], 5);
    EXPECT_EQ((*bank)[3].envelope[Arp].values[0], 5);
    EXPECT_EQ((*bank)[3].envelope[Pitch].values[0], 0);
    EXPECT_EQ((*bank)[3].envelope[HiPitch].values[0], 99);

    copyTextField((*bank)[3].envelopeText[Pitch], "");
    EXPECT_EQ(compileAllEnvelopes(*bank), nullptr);
    EXPECT_EQ((*bank)[127].envelope[Duty].values[0], 5);
    // Relative kinds get their final 0, absolute kinds hold their last step.
    EXPECT_EQ((*bank)[127].envelope[HiPitch].length, 2);
    EXPECT_EQ((*bank)[127].envelope[Duty].length, 1);
}

// Callers (the editor's status line among them) may compare message pointers,
// so every message is one object for the whole program. Found by fuzzing.
TEST(EnvelopeCompiler, MessagesAreTheSharedConstants)
{
    EXPECT_EQ(compile("+7").message, kErrorUnexpectedInString);
    EXPECT_EQ(compile("-").message, kErrorPrefix);
    EXPECT_EQ(compile("| |").message, kErrorLoopRedefinition);
    EXPECT_EQ(compile("1|").message, kErrorLoopSpacing);
    EXPECT_EQ(compile("1x").message, kErrorUnexpectedInNumber);
}

namespace {

struct Released {
    const char* message;
    std::vector<int32_t> steps;
    int32_t loopIndex;
    int32_t releaseIndex;
};

Released compileKind(const std::string& text, int kind)
{
    auto envelope = std::make_unique<Envelope>();
    envelope->releaseIndex = 77;
    const char* message = compileEnvelopeOfKind(text.c_str(), *envelope, kind);
    return {message, std::vector<int32_t>(envelope->values, envelope->values + envelope->length), envelope->loopIndex,
            envelope->releaseIndex};
}

}  // namespace

TEST(EnvelopeCompiler, ReleasePartFollowsTheHeldPartAndItsAppendedZero)
{
    constexpr int32_t F = kFixedNoteBase;
    struct Example {
        const char* text;
        int kind;
        std::vector<int32_t> steps;
        int32_t loopIndex;
        int32_t releaseIndex;
    };
    const Example examples[] = {
        {"15 12 / 8 4 0", Volume, {15, 12, 8, 4, 0}, 1, 2},
        {"15 | 12 10 / 3", Volume, {15, 12, 10, 3}, 1, 3},
        {"1 2 | / 3", Duty, {1, 2, 3}, 1, 2},  // a loop marker at the end of the held part
        {"1 2 / 3 3", Pitch, {1, 2, 0, 3, 3}, 2, 3},
        {"| 4 / -4", HiPitch, {4, -4}, 0, 1},
        {"12 0", Volume, {12, 0}, 1, -1},
        {"@36 @36 0 | 12", Arp, {F + 36, F + 36, 0, 12}, 3, -1},
        {"@0 @127 -3 / @60", Arp, {F, F + 127, -3, F + 60}, 2, 3},
    };
    for (const Example& example : examples) {
        const Released result = compileKind(example.text, example.kind);
        EXPECT_EQ(result.message, nullptr) << example.text;
        EXPECT_EQ(result.steps, example.steps) << example.text;
        EXPECT_EQ(result.loopIndex, example.loopIndex) << example.text;
        EXPECT_EQ(result.releaseIndex, example.releaseIndex) << example.text;
    }
}

// Hard failures in text order; then a stray character in a number; then a
// release marker with nothing after it.
TEST(EnvelopeCompiler, ReleaseAndFixedNoteMessagesAndTheirPrecedence)
{
    struct Case {
        const char* text;
        int kind;
        const char* message;
    };
    const Case cases[] = {
        {"1 / 2 / 3", Volume, kErrorReleaseRedefinition},
        {"1 / 2 | 3", Volume, kErrorLoopAfterRelease},
        {"1 | 2 / 3 | 4", Volume, kErrorLoopAfterRelease},  // before the loop's own redefinition
        {"1 / 2 / 3 | 4", Volume, kErrorReleaseRedefinition},
        {"1 / 2 |3", Volume, kErrorLoopAfterRelease},  // before the loop's spacing
        {"/ 1", Volume, kErrorReleaseNeedsValues},
        {"| / 1", Volume, kErrorReleaseNeedsValues},
        {"/", Pitch, kErrorReleaseNeedsValues},
        {"1 /", Volume, kErrorReleaseNeedsValues},
        {"1 / ", Pitch, kErrorReleaseNeedsValues},
        {"1/ 2", Volume, kErrorReleaseSpacing},
        {"1 /2", Volume, kErrorReleaseSpacing},
        {"/1", Volume, kErrorReleaseSpacing},  // spacing before the missing value
        {"1 / / 2", Volume, kErrorReleaseRedefinition},
        {"1x /", Volume, kErrorUnexpectedInNumber},
        {"1 / 2x", Volume, kErrorUnexpectedInNumber},
        {"3x / 4 / 5", Volume, kErrorReleaseRedefinition},
        {"3x / 4 +", Volume, kErrorUnexpectedInString},
        {"@36", Volume, kErrorFixedNoteOutsideArp},
        {"0 @x", Duty, kErrorFixedNoteOutsideArp},  // before the missing number
        {"@36", Pitch, kErrorFixedNoteOutsideArp},
        {"@", Arp, kErrorPrefix},
        {"@ 36", Arp, kErrorPrefix},
        {"@-3", Arp, kErrorPrefix},
        {"@128", Arp, kErrorFixedNoteRange},
        {"@99999999999", Arp, kErrorFixedNoteRange},
        {"@200 /", Arp, kErrorFixedNoteRange},
        {"3x @200", Arp, kErrorFixedNoteRange},
        {"@36x", Arp, kErrorUnexpectedInNumber},
    };
    for (const Case& c : cases) {
        const Released result = compileKind(c.text, c.kind);
        EXPECT_EQ(result.message, c.message) << '"' << c.text << "\": " << (result.message ? result.message : "OK");
        EXPECT_EQ(result.steps, std::vector<int32_t>{0}) << c.text;
        EXPECT_EQ(result.releaseIndex, -1) << c.text;
    }
    // The plain entry point knows no kind, so it takes no fixed notes.
    EXPECT_EQ(compile("@36").message, kErrorFixedNoteOutsideArp);
}
