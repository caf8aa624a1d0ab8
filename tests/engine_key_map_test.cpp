// The bank's samples and the Sample programs' key map language: names and
// lengths a sample may have, keys as numbers and note names, entries with
// rate and flags, every message, and the silent map after a failure.
#include "engine/KeyMapCompiler.h"
#include "engine/SampleBank.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::unique_ptr<SampleBank> bankWith(std::initializer_list<const char*> names)
{
    auto bank = std::make_unique<SampleBank>();
    const std::vector<uint8_t> bytes(17, 0xAA);
    for (const char* name : names)
        EXPECT_EQ(bank->put(name, bytes.data(), 17), nullptr) << name;
    return bank;
}

bool allSilent(const KeyMap& map)
{
    for (const KeyEntry& entry : map.keys)
        if (!(entry == KeyEntry{}))
            return false;
    return true;
}

// Compiles over a map full of entries, so that a failure must clear it.
const char* compile(const std::string& text, const SampleBank& bank, KeyMap& map)
{
    for (KeyEntry& entry : map.keys)
        entry = {3, 7, true, 9};
    return compileKeyMap(text.c_str(), bank, map);
}

TEST(SampleBank, LegalLengthsAreSixteenTimesLPlusOne)
{
    int legal = 0;
    for (int32_t length = -20; length <= 5000; ++length)
        if (isLegalSampleLength(length)) {
            ++legal;
            EXPECT_EQ((length - 1) % 16, 0);
            EXPECT_EQ(sampleLengthRegister(length) * 16 + 1, length);
        }
    EXPECT_EQ(legal, 256);
    EXPECT_TRUE(isLegalSampleLength(1));
    EXPECT_TRUE(isLegalSampleLength(4081));
    EXPECT_FALSE(isLegalSampleLength(4097));
    EXPECT_FALSE(isLegalSampleLength(0));
}

TEST(SampleBank, PutReplacesByNameRemovesInOrderAndRefusesBadInput)
{
    auto bank = bankWith({"kick", "snare", "hat"});
    EXPECT_EQ(bank->count, 3);
    const std::vector<uint8_t> other(33, 0x0F);
    EXPECT_EQ(bank->put("snare", other.data(), 33), nullptr);
    EXPECT_EQ(bank->count, 3);
    EXPECT_EQ(bank->samples[1].length, 33);
    EXPECT_EQ(bank->samples[1].bytes[32], 0x0F);

    EXPECT_EQ(bank->put("bad name", other.data(), 33), kErrorSampleName);
    EXPECT_EQ(bank->put("", other.data(), 33), kErrorSampleName);
    EXPECT_EQ(bank->put(std::string(32, 'x'), other.data(), 33), kErrorSampleName);
    EXPECT_EQ(bank->put("a:b", other.data(), 33), kErrorSampleName);
    EXPECT_EQ(bank->put("long", other.data(), 32), kErrorSampleLength);
    EXPECT_EQ(bank->put("none", nullptr, 17), kErrorSampleLength);
    EXPECT_EQ(bank->count, 3);

    EXPECT_TRUE(bank->remove("kick"));
    EXPECT_FALSE(bank->remove("kick"));
    EXPECT_EQ(bank->find("snare"), 0);
    EXPECT_EQ(bank->find("hat"), 1);

    for (int i = bank->count; i < kMaxSamples; ++i)
        EXPECT_EQ(bank->put("s" + std::to_string(i), other.data(), 17), nullptr);
    EXPECT_EQ(bank->put("one-more", other.data(), 17), kErrorSampleBankFull);
    EXPECT_EQ(bank->put("hat", other.data(), 1), nullptr);  // replacing still works when full
    EXPECT_EQ(bank->count, kMaxSamples);
}

TEST(KeyMapCompiler, KeysAreNumbersOrNoteNamesFromCMinus1)
{
    EXPECT_EQ(keyOfToken("36"), 36);
    EXPECT_EQ(keyOfToken("036"), 36);
    EXPECT_EQ(keyOfToken("0"), 0);
    EXPECT_EQ(keyOfToken("127"), 127);
    EXPECT_EQ(keyOfToken("128"), -1);
    EXPECT_EQ(keyOfToken("C2"), 36);
    EXPECT_EQ(keyOfToken("c2"), 36);
    EXPECT_EQ(keyOfToken("C4"), 60);
    EXPECT_EQ(keyOfToken("C-1"), 0);
    EXPECT_EQ(keyOfToken("C#-1"), 1);
    EXPECT_EQ(keyOfToken("Cb-1"), -1);
    EXPECT_EQ(keyOfToken("G9"), 127);
    EXPECT_EQ(keyOfToken("G#9"), -1);
    EXPECT_EQ(keyOfToken("F#2"), 42);
    EXPECT_EQ(keyOfToken("Bb2"), 46);
    EXPECT_EQ(keyOfToken("bb2"), 46);
    EXPECT_EQ(keyOfToken("A4"), 69);
    EXPECT_EQ(keyOfToken("B-1"), 11);
    for (const char* bad : {"", "H2", "C", "C#", "C-", "C2x", "#2", "C99999999999", "-1", "3a"})
        EXPECT_EQ(keyOfToken(bad), -1) << bad;
}

TEST(KeyMapCompiler, WorkedExample)
{
    auto bank = bankWith({"kick", "snare", "hat", "bass"});
    KeyMap map;
    EXPECT_EQ(compile("36=kick:15 38=snare:14 42=hat:15:loop 43=bass:12:d64", *bank, map), nullptr);
    EXPECT_EQ(map.keys[36], (KeyEntry{0, 15, false, kNoStartLevel}));
    EXPECT_EQ(map.keys[38], (KeyEntry{1, 14, false, kNoStartLevel}));
    EXPECT_EQ(map.keys[42], (KeyEntry{2, 15, true, kNoStartLevel}));
    EXPECT_EQ(map.keys[43], (KeyEntry{3, 12, false, 64}));
    int sounding = 0;
    for (const KeyEntry& entry : map.keys)
        sounding += entry.sounds();
    EXPECT_EQ(sounding, 4);
    EXPECT_FALSE(map.at(-1).sounds());
    EXPECT_FALSE(map.at(128).sounds());

    // Note names, flags in either order, spare spaces and tabs, one sample on two keys.
    EXPECT_EQ(compile("  C2=kick:0:d0:loop\tD2=kick:7:loop:d127  ", *bank, map), nullptr);
    EXPECT_EQ(map.keys[36], (KeyEntry{0, 0, true, 0}));
    EXPECT_EQ(map.keys[38], (KeyEntry{0, 7, true, 127}));

    for (const char* blank : {"", "   ", "\t"}) {
        EXPECT_EQ(compile(blank, *bank, map), nullptr);
        EXPECT_TRUE(allSilent(map));
    }
    EXPECT_EQ(compileKeyMap(nullptr, *bank, map), nullptr);
    EXPECT_TRUE(allSilent(map));
}

TEST(KeyMapCompiler, EveryMistakeGetsItsMessageAndSilence)
{
    auto bank = bankWith({"kick", "snare"});
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"36", kErrorKeyMapEntry},
        {"36=kick", kErrorKeyMapEntry},
        {"36=kick:", kErrorKeyMapEntry},
        {"36=:15", kErrorKeyMapEntry},
        {"36=ki/ck:15", kErrorKeyMapEntry},
        {"36=kick:x", kErrorKeyMapEntry},
        {"36=kick:-1", kErrorKeyMapEntry},
        {"36=kick:1x", kErrorKeyMapEntry},
        {"=kick:15", kErrorKeyMapKey},
        {"128=kick:15", kErrorKeyMapKey},
        {"H2=kick:15", kErrorKeyMapKey},
        {"36=kick:16", kErrorKeyMapRate},
        {"36=kick:99999999999999", kErrorKeyMapRate},
        {"36=kick:15:", kErrorKeyMapFlag},
        {"36=kick:15:loops", kErrorKeyMapFlag},
        {"36=kick:15:d", kErrorKeyMapFlag},
        {"36=kick:15:d6x", kErrorKeyMapFlag},
        {"36=kick:15:LOOP", kErrorKeyMapFlag},
        {"36=kick:15:d128", kErrorKeyMapStartLevel},
        {"36=tom:15", kErrorKeyMapMissingSample},
        {"36=Kick:15", kErrorKeyMapMissingSample},
        {"36=kick:15 C2=snare:3", kErrorKeyMapKeyRedefinition},
        // The first mistake in the text is the one reported.
        {"36=tom:15 37=kick:16", kErrorKeyMapMissingSample},
        {"37=kick:16 36=tom:15", kErrorKeyMapRate},
    };
    KeyMap map;
    for (const auto& c : cases) {
        EXPECT_EQ(compile(c.text, *bank, map), c.message) << c.text;
        EXPECT_TRUE(allSilent(map)) << c.text;
    }
}

TEST(KeyMapCompiler, RandomTextsGiveAMapOrAMessageAndSilence)
{
    auto bank = bankWith({"kick", "a", "b.1"});
    const std::string alphabet = "0123456789=:abcdkiloopCDG#-. \t";
    std::mt19937 random(21);
    KeyMap map;
    int compiled = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = std::uniform_int_distribution<int>(0, 24)(random);
        for (int i = 0; i < length; ++i)
            text += alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
        if (round % 3 == 0)
            text = std::to_string(round % 130) + "=kick:" + text;
        const char* message = compile(text, *bank, map);
        if (message) {
            ASSERT_TRUE(allSilent(map)) << text;
            continue;
        }
        ++compiled;
        for (const KeyEntry& entry : map.keys) {
            ASSERT_GE(entry.sample, kNoSample);
            ASSERT_LT(entry.sample, bank->count);
            ASSERT_LE(entry.rate, kMaxRateIndex);
            ASSERT_GE(entry.startLevel, kNoStartLevel);
            if (!entry.sounds()) {
                ASSERT_TRUE(entry == KeyEntry{}) << text;
            }
        }
    }
    EXPECT_GT(compiled, 100);
}

}  // namespace
