// Bank files for the command-line tools: the exact bytes of .fxb/.fxp files,
// the text bank's exact form and its byte-identical round trips through the
// instrument's own chunk code, every error message, random states and random
// damage, and the plinka-bank program end to end.
#include "FtiBuilder.h"
#include "MidiFileWriter.h"
#include "ModuleBuilder.h"
#include "TestPaths.h"
#include "WavBytes.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/WaveCompiler.h"
#include "instrument/BankText.h"
#include "instrument/DpcmEncoder.h"
#include "instrument/FactoryPresets.h"
#include "instrument/FtiConversion.h"
#include "instrument/FtiFile.h"
#include "instrument/ModuleFile.h"
#include "plugin/vst2/PLINKA.h"
#include "tools/bank/FxFile.h"
#include "tools/bank/TextBank.h"
#include "tools/bank/WholeFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

constexpr int32_t kPlnk = fx::fourCC('p', 'l', 'n', 'k');

Bytes bytesOf(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<unsigned char>(v));
    return out;
}

void append(Bytes& out, const std::string& text)
{
    out.insert(out.end(), text.begin(), text.end());
}

void appendBigEndian(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

std::string readError(const Bytes& bytes)
{
    fx::File file;
    std::string error;
    EXPECT_FALSE(fx::read(bytes.data(), bytes.size(), file, error));
    return error;
}

fx::File readOk(const Bytes& bytes)
{
    fx::File file;
    std::string error;
    EXPECT_TRUE(fx::read(bytes.data(), bytes.size(), file, error)) << error;
    return file;
}

fx::File smallBank()
{
    fx::File file;
    file.fxID = kPlnk;
    file.fxVersion = 1;
    file.numPrograms = 128;
    file.chunk = bytesOf({0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    return file;
}

// The header of a bank file as laid down field by field.
Bytes bankHeader(uint32_t byteSize, const char* magic, int32_t version, uint32_t chunkSize)
{
    Bytes out;
    append(out, "CcnK");
    appendBigEndian(out, byteSize);
    append(out, magic);
    appendBigEndian(out, static_cast<uint32_t>(version));
    append(out, "plnk");
    appendBigEndian(out, 1);
    appendBigEndian(out, 128);
    out.resize(156, 0);
    appendBigEndian(out, chunkSize);
    return out;
}

std::unique_ptr<textbank::State> stateOfChunk(const Bytes& chunk)
{
    auto state = textbank::makeDefault();
    textbank::loadChunk(chunk.data(), chunk.size(), *state);
    return state;
}

std::unique_ptr<textbank::State> parseOk(const std::string& text)
{
    auto state = textbank::makeDefault();
    std::vector<std::string> errors;
    EXPECT_TRUE(textbank::parse(text, "bank.txt", *state, errors)) << (errors.empty() ? "" : errors.front());
    return state;
}

std::vector<std::string> parseErrors(const std::string& text)
{
    auto state = textbank::makeDefault();
    std::vector<std::string> errors;
    EXPECT_FALSE(textbank::parse(text, "bank.txt", *state, errors)) << text;
    return errors;
}

std::string firstParseError(const std::string& text)
{
    const std::vector<std::string> errors = parseErrors(text);
    return errors.empty() ? "" : errors.front();
}

void setText(Program& program, int kind, const std::string& text)
{
    copyTextField(program.envelopeText[kind], text.c_str());
}

// A state that stretches every field: full-length names and texts, bytes of
// every value, empty and space-edged texts, a text the compiler refuses, and
// numbers outside the usual ones.
std::unique_ptr<textbank::State> unusualState()
{
    auto state = textbank::makeDefault();
    textbank::State& s = *state;
    copyTextField(s.programs[0].name, "0123456789012345678901234567890");  // 31 bytes
    copyTextField(s.programs[1].name, "Caf\xE9 \"Lead\" \\ #1\t\x01\x7F\xFF");
    copyTextField(s.programs[2].name, "");
    copyTextField(s.programs[3].name, "  spaced  ");
    copyTextField(s.programs[4].name, "\"starts with a quote");
    copyTextField(s.programs[5].name, "ends in a space ");
    std::string longText;
    for (int i = 0; longText.size() < 1023; ++i)
        longText += static_cast<char>(1 + i % 255);
    longText.resize(1023);
    setText(s.programs[0], Volume, longText);
    setText(s.programs[0], Arp, std::string(1023, '7'));
    setText(s.programs[1], Volume, "");
    setText(s.programs[1], Arp, "  12 0  ");
    setText(s.programs[1], Pitch, "1|2");  // refused by the compiler, kept as written
    setText(s.programs[1], HiPitch, "\r\n\t");
    setText(s.programs[1], Duty, "| 0 1 # not a comment");
    setText(s.programs[127], Duty, "\"");
    setText(s.programs[126], Volume, "15 |\t");
    setText(s.programs[126], Arp, "0 ");
    s.programs[5].channelType = 3;
    s.programs[6].channelType = -1;
    s.programs[7].channelType = 16777216;
    s.programs[8].channelType = -2147483647 - 1;
    s.programs[40].multi = 1;
    s.programs[41].multi = 5;
    s.programs[42].multi = -3;
    s.programs[43].multi = 2147483520;  // the largest int32 a chunk cell holds
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        s.settings.channelProgram[channel] = channel * 8 + 7;
    s.settings.ntsc = 7;
    s.settings.gain = -100000;
    // Samples of the shortest and longest lengths, a longest name, and key
    // maps that name them as typed, spaces included.
    std::vector<uint8_t> bytes(4081);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 37 + i / 256);
    EXPECT_EQ(s.samples.put("k", bytes.data(), 1), nullptr);
    EXPECT_EQ(s.samples.put("Long.Name-of_31.characters.abcd", bytes.data(), 4081), nullptr);
    copyTextField(s.programs[5].keyMapText, "  36=k:15 C#2=Long.Name-of_31.characters.abcd:3:loop:d0 ");
    copyTextField(s.programs[50].keyMapText, "127=k:0");
    return state;
}

std::string fieldString(const char* field)
{
    return field;
}

}  // namespace

// ---- .fxb / .fxp ----

TEST(FxFileLayout, BankBytesAreExactBigEndianFieldsAtTheirOffsets)
{
    Bytes expected;
    append(expected, "CcnK");
    appendBigEndian(expected, 160 - 8 + 5);  // everything after the size field
    append(expected, "FBCh");
    appendBigEndian(expected, 1);
    append(expected, "plnk");
    appendBigEndian(expected, 1);
    appendBigEndian(expected, 128);
    expected.resize(156, 0);  // 128 reserved bytes
    appendBigEndian(expected, 5);
    for (int b : {0xDE, 0xAD, 0xBE, 0xEF, 0x01})
        expected.push_back(static_cast<unsigned char>(b));

    const Bytes written = fx::write(smallBank());
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written.size(), fx::kBankHeaderBytes + 5);
    EXPECT_EQ(readOk(written), smallBank());
}

TEST(FxFileLayout, ProgramBytesAreExactWithTheNameNulPadded)
{
    fx::File file = smallBank();
    file.kind = fx::Kind::Program;
    file.numPrograms = 0;
    file.fxVersion = 0x01020304;
    file.programName = "001 Lead";

    Bytes expected;
    append(expected, "CcnK");
    appendBigEndian(expected, 60 - 8 + 5);
    append(expected, "FPCh");
    appendBigEndian(expected, 1);
    append(expected, "plnk");
    append(expected, std::string("\x01\x02\x03\x04", 4));
    appendBigEndian(expected, 0);
    append(expected, "001 Lead");
    expected.resize(56, 0);
    appendBigEndian(expected, 5);
    for (int b : {0xDE, 0xAD, 0xBE, 0xEF, 0x01})
        expected.push_back(static_cast<unsigned char>(b));

    const Bytes written = fx::write(file);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(readOk(written), file);
}

TEST(FxFileLayout, ProgramNameIsCutTo27BytesAndKeepsHighBytes)
{
    fx::File file = smallBank();
    file.kind = fx::Kind::Program;
    file.programName = "\xE9" + std::string(40, 'n');
    const Bytes written = fx::write(file);
    EXPECT_EQ(written[28], 0xE9);
    EXPECT_EQ(written[28 + 26], 'n');
    EXPECT_EQ(written[28 + 27], 0) << "the 28th byte is always the terminator";
    EXPECT_EQ(readOk(written).programName, file.programName.substr(0, 27));
}

TEST(FxFileLayout, Version2BankKeepsItsCurrentProgramAndVersion1WritesZeros)
{
    fx::File file = smallBank();
    file.version = 2;
    file.currentProgram = 0x0A0B0C0D;
    Bytes written = fx::write(file);
    EXPECT_EQ(Bytes(written.begin() + 28, written.begin() + 32), bytesOf({0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(readOk(written), file);

    file.version = 1;
    written = fx::write(file);
    EXPECT_EQ(Bytes(written.begin() + 28, written.begin() + 156), Bytes(128, 0));
    // A version 1 bank's reserved bytes mean nothing, whatever they hold.
    written[28] = 0x55;
    EXPECT_EQ(readOk(written).currentProgram, 0);
}

TEST(FxFileLayout, EmptyChunkAndBytesAfterTheDeclaredEndAreAccepted)
{
    fx::File file = smallBank();
    file.chunk.clear();
    Bytes written = fx::write(file);
    EXPECT_EQ(written.size(), 160u);
    EXPECT_EQ(readOk(written), file);
    written.push_back(0x99);  // past byteSize: left alone
    EXPECT_EQ(readOk(written), file);
}

TEST(FxFileLayout, ForeignIdIsReadAndLeftToTheCaller)
{
    fx::File file = smallBank();
    file.fxID = fx::fourCC('A', 'b', 'c', 'D');
    const fx::File read = readOk(fx::write(file));
    EXPECT_EQ(read.fxID, file.fxID);
    EXPECT_EQ(fx::foreignIdMessage(read, kPlnk, "Plinka"), "made for plug-in 'AbcD', not Plinka 'plnk'");
    EXPECT_EQ(fx::foreignIdMessage(smallBank(), kPlnk, "Plinka"), "");
    EXPECT_EQ(fx::idText(fx::fourCC('\x01', '\'', 'z', '\xFF')), "\\x01\\x27z\\xFF");
    EXPECT_EQ(fx::idText(kPlinkaUniqueId), "plnk") << "the plug-in's own id";
}

TEST(FxFileErrors, EachDamageHasItsOwnMessage)
{
    EXPECT_EQ(readError({}), "not a VST bank or program file (it does not start with 'CcnK')");
    EXPECT_EQ(readError(bytesOf({'C', 'c', 'n'})), "not a VST bank or program file (it does not start with 'CcnK')");
    EXPECT_EQ(readError(bytesOf({'K', 'n', 'c', 'C', 0, 0})),
              "not a VST bank or program file (it does not start with 'CcnK')");

    Bytes good = fx::write(smallBank());
    EXPECT_EQ(readError(Bytes(good.begin(), good.begin() + 20)), "truncated: 20 bytes, less than a header");
    EXPECT_EQ(readError(Bytes(good.begin(), good.begin() + 100)), "truncated: 100 bytes, less than a header");
    EXPECT_EQ(readError(Bytes(good.begin(), good.end() - 1)),
              "truncated: the header gives 157 bytes after its size field, the file holds 156");

    Bytes params = good;
    std::memcpy(params.data() + 8, "FxBk", 4);
    EXPECT_EQ(readError(params), "a bank of parameter values ('FxBk'), not of a plug-in chunk");
    std::memcpy(params.data() + 8, "FxCk", 4);
    EXPECT_EQ(readError(params), "a program of parameter values ('FxCk'), not of a plug-in chunk");
    std::memcpy(params.data() + 8, "ABCD", 4);
    EXPECT_EQ(readError(params), "unknown kind 'ABCD' (expected 'FBCh' or 'FPCh')");

    Bytes version = good;
    version[15] = 3;
    EXPECT_EQ(readError(version), "unsupported format version 3 (1 and 2 are known)");

    EXPECT_EQ(readError(bankHeader(100, "FBCh", 1, 0)), "byte size 100 is too small for the header");
    Bytes longChunk = bankHeader(152 + 4, "FBCh", 1, 5);
    longChunk.resize(164, 0);
    EXPECT_EQ(readError(longChunk), "truncated: the chunk should hold 5 bytes, 4 follow");
    Bytes hugeChunk = bankHeader(152, "FBCh", 1, 0xFFFFFFFF);
    EXPECT_EQ(readError(hugeChunk), "truncated: the chunk should hold 4294967295 bytes, 0 follow");
    Bytes hugeSize = bankHeader(0xFFFFFFFF, "FBCh", 1, 0);
    EXPECT_EQ(readError(hugeSize),
              "truncated: the header gives 4294967295 bytes after its size field, the file holds 152");
}

TEST(FxFileErrors, EveryPrefixOfAValidFileIsRefusedAsTruncated)
{
    for (fx::Kind kind : {fx::Kind::Bank, fx::Kind::Program}) {
        fx::File file = smallBank();
        file.kind = kind;
        const Bytes good = fx::write(file);
        for (size_t size = 4; size < good.size(); ++size) {
            const std::string error = readError(Bytes(good.begin(), good.begin() + static_cast<long>(size)));
            EXPECT_EQ(error.rfind("truncated: ", 0), 0u) << size << ": " << error;
        }
    }
}

TEST(FxFileErrors, FilesAreNamedInErrorsAndFailedWritesLeaveNothing)
{
    fx::File file;
    std::string error;
    EXPECT_FALSE(fx::readFile("/nonexistent/bank.fxb", file, error));
    EXPECT_EQ(error, "/nonexistent/bank.fxb: cannot open: No such file or directory");

    EXPECT_FALSE(fx::writeFile("/nonexistent/dir/x.fxb", smallBank(), error));
    EXPECT_EQ(error, "/nonexistent/dir/x.fxb: cannot write: No such file or directory");
    EXPECT_FALSE(fs::exists("/nonexistent/dir/x.fxb"));

    const fs::path dir = fs::temp_directory_path() / ("plinka-fx-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    EXPECT_FALSE(fx::writeFile(dir.string(), smallBank(), error));
    EXPECT_EQ(error, dir.string() + ": is a directory");

    const std::string path = (dir / "bank.fxb").string();
    {
        std::ofstream(path) << "old contents";
    }
    ASSERT_TRUE(fx::writeFile(path, smallBank(), error)) << error;
    ASSERT_TRUE(fx::readFile(path, file, error)) << error;
    EXPECT_EQ(file, smallBank());
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir))
        ++entries;
    EXPECT_EQ(entries, 1u) << "no temporary file is left beside the target";

    {
        std::ofstream(path, std::ios::binary) << "CcnK";
    }
    EXPECT_FALSE(fx::readFile(path, file, error));
    EXPECT_EQ(error, path + ": truncated: 4 bytes, less than a header");
    fs::remove_all(dir);
}

// ---- chunk and text bank ----

TEST(TextBankState, DefaultIsWhatANewInstanceSaves)
{
    const auto plinka = std::make_unique<PLINKA>(nullptr);  // too large for the stack
    void* data = nullptr;
    const VstInt32 size = plinka->getChunk(&data, false);
    const auto* bytes = static_cast<const unsigned char*>(data);
    EXPECT_EQ(textbank::toChunk(*textbank::makeDefault()), Bytes(bytes, bytes + size));
}

TEST(TextBankState, DefaultBankThroughFxbTextFxbIsByteIdentical)
{
    auto state = textbank::makeDefault();
    fx::File bank = smallBank();
    bank.chunk = textbank::toChunk(*state);
    const Bytes fxb = fx::write(bank);

    const fx::File read = readOk(fxb);
    const std::string text = textbank::write(*stateOfChunk(read.chunk));
    fx::File again = bank;
    again.chunk = textbank::toChunk(*parseOk(text));
    EXPECT_EQ(fx::write(again), fxb);
}

TEST(TextBankState, ChunksAreRecognisedByTheirFirstAndLastCells)
{
    const Bytes chunk = textbank::toChunk(*textbank::makeDefault());
    EXPECT_TRUE(textbank::startsLikeAChunk(chunk.data(), chunk.size()));
    EXPECT_TRUE(textbank::endsLikeAChunk(chunk.data(), chunk.size()));
    EXPECT_FALSE(textbank::endsLikeAChunk(chunk.data(), chunk.size() - 4));
    EXPECT_FALSE(textbank::endsLikeAChunk(chunk.data(), chunk.size() - 1)) << "only whole cells";
    EXPECT_FALSE(textbank::startsLikeAChunk(chunk.data() + 4, chunk.size() - 4));
    EXPECT_FALSE(textbank::startsLikeAChunk(chunk.data(), 3));
    EXPECT_FALSE(textbank::endsLikeAChunk(chunk.data(), 0));
}

TEST(TextBankState, UnusualStateRoundTripsByteIdenticallyBothWays)
{
    const auto original = unusualState();
    const Bytes chunk = textbank::toChunk(*original);
    // What the chunk holds of it is exactly what was set.
    ASSERT_TRUE(textbank::sameContent(*stateOfChunk(chunk), *original));

    const std::string text = textbank::write(*stateOfChunk(chunk));
    const auto parsed = parseOk(text);
    EXPECT_EQ(textbank::toChunk(*parsed), chunk);
    EXPECT_EQ(textbank::write(*parsed), text);
    EXPECT_EQ(textbank::write(*stateOfChunk(textbank::toChunk(*parsed))), text);
}

TEST(TextBankState, WrittenProgramHasTheExactForm)
{
    auto state = textbank::makeDefault();
    Program& p = state->programs[41];
    copyTextField(p.name, "042 Caf\xE9");
    p.channelType = Noise;
    p.multi = 1;
    setText(p, Volume, "15 | 0 ");
    setText(p, Arp, " 12");
    setText(p, Pitch, "");
    setText(p, HiPitch, "\"q\" \\");
    setText(p, Duty, "1 \"2\"");
    const std::string text = textbank::write(*state);
    EXPECT_NE(text.find("\n[program 42]\n"
                        "name = \"042 Caf\\xE9\"\n"
                        "channel = noise\n"
                        "multi = yes\n"
                        "volume = \"15 | 0 \"\n"
                        "arp = \" 12\"\n"
                        "pitch = \"\"\n"
                        "hi-pitch = \"\\\"q\\\" \\\\\"\n"
                        "duty = 1 \"2\"\n"),
              std::string::npos)
        << text;
}

TEST(TextBankState, SamplesAndKeyMapsHaveTheExactForm)
{
    auto state = textbank::makeDefault();
    std::vector<uint8_t> bytes(33);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 9);
    ASSERT_EQ(state->samples.put("kick", bytes.data(), 33), nullptr);
    ASSERT_EQ(state->samples.put("hat", bytes.data(), 1), nullptr);
    state->programs[9].channelType = Sample;
    copyTextField(state->programs[9].keyMapText, "36=kick:15 F#2=hat:3:loop");
    const std::string text = textbank::write(*state);
    EXPECT_NE(text.find("channel = sample\nmulti = no\nvolume = 15\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 0\n"
                        "keys = 36=kick:15 F#2=hat:3:loop\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n[sample kick]\nlength = 33\nbytes = 0009121B242D363F48515A636C757E87 "
                        "9099A2ABB4BDC6CFD8E1EAF3FC050E17 20\n\n[sample hat]\nlength = 1\nbytes = 00\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("keys ="), text.rfind("keys ="));  // only programs with a key map have the line
    const auto parsed = parseOk(text);
    EXPECT_EQ(textbank::toChunk(*parsed), textbank::toChunk(*state));
    EXPECT_EQ(parsed->samples.count, 2);
    EXPECT_STREQ(parsed->programs[9].keyMapText, "36=kick:15 F#2=hat:3:loop");
    // The bytes may be grouped in any way, in either case; names keep theirs.
    const auto regrouped = parseOk("[sample Kick]\nbytes = 0 0 0a Ff 1\t0" + std::string(26, '0') +
                                   "\nlength = 17\n[sample kick]\nlength=1\n"
                                   "bytes=7f\n[program 2]\nkeys = 1=Kick:1 2=kick:2\n");
    ASSERT_EQ(regrouped->samples.count, 2);
    EXPECT_STREQ(regrouped->samples.samples[0].name, "Kick");
    EXPECT_EQ(std::vector<uint8_t>(regrouped->samples.samples[0].bytes, regrouped->samples.samples[0].bytes + 4),
              (std::vector<uint8_t>{0x00, 0x0A, 0xFF, 0x10}));
}

TEST(TextBankErrors, EachSampleAndKeyMapMistakeIsOneLine)
{
    const std::string ok = "length = 1\nbytes = 00\n";
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {"[sample a b]\n" + ok, "bank.txt:1: sample name \"a b\" is not 1 to 31 letters, digits, '_', '-' or '.'"},
        {"[sample]\n", "bank.txt:1: unknown section \"[sample]\" (sections are [channels], [program 1] to "
                       "[program 128] and [sample NAME])"},
        {"[sample k]\n" + ok + "[sample k]\n" + ok, "bank.txt:4: duplicate section [sample k] (first on line 1)"},
        {"[sample k]\nlength = 18\nbytes = 00\n",
         "bank.txt:2: sample k: length \"18\" is not 16 * L + 1 with L from 0 to 255 (1, 17, 33, ... 4081)"},
        {"[sample k]\nlength = 1\nbytes = 0g\n", "bank.txt:3: sample k: bytes must be hex digits, not \"g\""},
        {"[sample k]\nlength = 1\nbytes = 000\n",
         "bank.txt:3: sample k: bytes end with half a byte (an odd number of hex digits)"},
        {"[sample k]\nlength = 17\nbytes = 00\n", "bank.txt:1: sample k has 1 bytes, but its length is 17"},
        {"[sample k]\nlength = 1\n[program 1]\n", "bank.txt:1: sample k needs both length and bytes"},
        {"[sample k]\nlength = 1\nbytes = " + std::string(8164, '0') + "\n",
         "bank.txt:3: sample k: more than 4081 bytes"},
        {"[sample k]\nsize = 1\n", "bank.txt:2: unknown key \"size\" (a sample has length, bytes and level)"},
        {"[sample k]\n" + ok + "level = 128\n", "bank.txt:4: sample k: level \"128\" is not 0 to 127"},
        {"[sample k]\n" + ok + "level = -1\n", "bank.txt:4: sample k: level \"-1\" is not 0 to 127"},
        {"[sample k]\n" + ok + "length = 1\n", "bank.txt:4: duplicate key \"length\" (first on line 2)"},
        {"[program 3]\nkeys = " + std::string(1024, '1') + "\n",
         "bank.txt:2: keys text is 1024 bytes long; a text holds at most 1023"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(firstParseError(c.text), c.error) << c.text;
    // A sample named after the program that uses it is fine; the 65th is not.
    std::string many;
    for (int i = 0; i < 65; ++i)
        many += "[sample s" + std::to_string(i) + "]\n" + ok;
    EXPECT_EQ(firstParseError(many), "bank.txt:193: sample s64: Error: The bank holds 64 samples already");
}

TEST(TextBankState, SettingsAreWrittenAsWordsWhereUsualAndNumbersOtherwise)
{
    auto state = textbank::makeDefault();
    state->settings.channelProgram[9] = 127;
    const std::string text = textbank::write(*state);
    EXPECT_EQ(text.substr(text.find("clock")), [] {
        std::string expected = "clock = ntsc\ngain = 50\ncontrollers = on\nconsole = off\n\n[channels]\n";
        for (int channel = 1; channel <= 16; ++channel)
            expected += std::to_string(channel) + " = " + (channel == 10 ? "128" : "1") + "\n";
        return expected;
    }() + text.substr(text.find("\n[program 1]")));

    state->settings.ntsc = 0;
    EXPECT_NE(textbank::write(*state).find("clock = pal\n"), std::string::npos);
    state->settings.ntsc = -5;
    state->programs[3].channelType = 99;
    state->programs[3].multi = 2;
    const std::string odd = textbank::write(*state);
    EXPECT_NE(odd.find("clock = -5\n"), std::string::npos);
    EXPECT_NE(odd.find("[program 4]\nname = 004 Plain Triangle\nchannel = 99\nmulti = 2\n"), std::string::npos);
}

TEST(TextBankState, EveryChannelTypeIsWrittenAsItsWordAndReadBack)
{
    const char* const words[] = {"pulse", "triangle", "noise", "sample", "vrc6-pulse", "vrc6-saw"};
    for (int32_t type = 0; type < 6; ++type) {
        auto state = textbank::makeDefault();
        state->programs[20].channelType = type;
        copyTextField(state->programs[20].name, "Kit");
        const std::string text = textbank::write(*state);
        EXPECT_NE(text.find("[program 21]\nname = Kit\nchannel = " + std::string(words[type]) + "\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(parseOk(text)->programs[20].channelType, type) << words[type];
    }
}

TEST(TextBankState, ControllerHandlingIsWrittenOnlyWhenTheBankHasIt)
{
    // The default bank has it on, as a new instance; a bank without the line
    // was made before the setting and stays without it.
    EXPECT_NE(textbank::write(*textbank::makeDefault()).find("gain = 50\ncontrollers = on\n"), std::string::npos);
    EXPECT_EQ(textbank::write(*parseOk("gain = 100\n")).find("controllers"), std::string::npos);
    for (const char* word : {"on", "off"}) {
        const auto state = parseOk(std::string("controllers = ") + word + "\n");
        const std::string text = textbank::write(*state);
        EXPECT_NE(text.find(std::string("gain = 100\ncontrollers = ") + word + "\n"), std::string::npos);
        const auto back = stateOfChunk(textbank::toChunk(*state));
        EXPECT_EQ(back->settings.midiControllers, word[1] == 'n' ? 1 : 0);
        EXPECT_EQ(textbank::write(*back), text);
    }
    EXPECT_EQ(firstParseError("controllers = 2\n"), "bank.txt:1: controllers must be on or off, not \"2\"");
    EXPECT_EQ(firstParseError("controllers = yes\n"),
              "bank.txt:1: controllers must be off, on or a number, not \"yes\"");
}

TEST(TextBankState, ConsoleModeRoundTripsThroughTheChunkInEachSpellingAndALeftOutLineMeansOff)
{
    const char* const words[] = {"off", "nes", "famicom", "unfiltered"};
    for (int32_t mode = 0; mode < 4; ++mode) {
        const std::string line = std::string("console = ") + words[mode] + "\n";
        const auto state = parseOk("gain = 100\ncontrollers = on\n" + line);
        EXPECT_EQ(state->settings.console, mode) << words[mode];
        const std::string text = textbank::write(*state);
        EXPECT_NE(text.find("controllers = on\n" + line + "\n[channels]"), std::string::npos) << text;
        const auto back = stateOfChunk(textbank::toChunk(*state));
        EXPECT_EQ(back->settings.console, mode) << words[mode];
        EXPECT_EQ(textbank::write(*back), text);
    }
    EXPECT_EQ(parseOk("CONSOLE = Famicom\n")->settings.console, 2);
    EXPECT_EQ(parseOk("console = 3\n")->settings.console, 3);
    // A text without the line was made before the mode, which it has off,
    // even when read over a state that had it on.
    auto over = textbank::makeDefault();
    over->settings.console = 3;
    std::vector<std::string> errors;
    ASSERT_TRUE(textbank::parse("gain = 100\n", "bank.txt", *over, errors));
    EXPECT_EQ(over->settings.console, 0);
    EXPECT_TRUE(textbank::sameContent(*parseOk(""), *parseOk("console = off\n")));

    EXPECT_EQ(firstParseError("console = pal\n"),
              "bank.txt:1: console must be off, nes, famicom, unfiltered or a number, not \"pal\"");
    EXPECT_EQ(firstParseError("console = 4\n"),
              "bank.txt:1: console must be off, nes, famicom or unfiltered, not \"4\"");
    EXPECT_EQ(firstParseError("\nconsole = nes\nconsole = off\n"),
              "bank.txt:3: duplicate key \"console\" (first on line 2)");
}

// MPE: written only when on, just after the console line; each spelling
// round-trips through the chunk, and a bank without the line has it off.
TEST(TextBankState, MpeRoundTripsThroughTheChunkAndIsWrittenOnlyWhenOn)
{
    const char* const words[] = {"off", "on", "upper"};
    for (int32_t mode = 0; mode < 3; ++mode) {
        const auto state = parseOk(std::string("gain = 100\nmpe = ") + words[mode] + "\n");
        EXPECT_EQ(state->settings.mpe, mode) << words[mode];
        const std::string text = textbank::write(*state);
        const std::string line = std::string("mpe = ") + words[mode] + "\n";
        EXPECT_EQ(text.find(line) != std::string::npos, mode != 0) << text;
        if (mode != 0) {
            EXPECT_NE(text.find("console = off\n" + line + "\n[channels]"), std::string::npos) << text;
        }
        const auto back = stateOfChunk(textbank::toChunk(*state));
        EXPECT_EQ(back->settings.mpe, mode) << words[mode];
        EXPECT_EQ(textbank::write(*back), text);
    }
    EXPECT_EQ(parseOk("MPE = Upper\n")->settings.mpe, 2);
    EXPECT_EQ(parseOk("mpe = 1\n")->settings.mpe, 1);
    auto over = textbank::makeDefault();
    over->settings.mpe = 2;
    std::vector<std::string> errors;
    ASSERT_TRUE(textbank::parse("gain = 100\n", "bank.txt", *over, errors));
    EXPECT_EQ(over->settings.mpe, 0) << "a bank without the line has it off";
    EXPECT_TRUE(textbank::sameContent(*parseOk(""), *parseOk("mpe = off\n")));

    EXPECT_EQ(firstParseError("mpe = lower\n"), "bank.txt:1: mpe must be off, on, upper or a number, not \"lower\"");
    EXPECT_EQ(firstParseError("mpe = 3\n"), "bank.txt:1: mpe must be off, on or upper, not \"3\"");
    EXPECT_EQ(firstParseError("mpe = on\nmpe = off\n"), "bank.txt:2: duplicate key \"mpe\" (first on line 1)");
}

TEST(TextBankState, ListsFactorySlotsAndChangedProgramsOrAllOnRequest)
{
    auto state = textbank::makeDefault();
    auto count = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("[program "); at != std::string::npos; at = text.find("[program ", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(textbank::write(*state)), 9u);
    EXPECT_EQ(count(textbank::write(*state, {true})), 128u);
    state->programs[99].multi = 1;
    const std::string text = textbank::write(*state);
    EXPECT_EQ(count(text), 10u);
    EXPECT_NE(text.find("[program 100]\nname = 100 default\n"), std::string::npos);
    // Written in full or not, the text means the same bank.
    EXPECT_TRUE(textbank::sameContent(*parseOk(text), *parseOk(textbank::write(*state, {true}))));
}

TEST(TextBankRead, ProgramsAndKeysLeftOutKeepTheDefaultBank)
{
    const auto state = parseOk("[program 5]\nname = Mine\n\n[program 128]\nduty = 2\n");
    const auto defaults = textbank::makeDefault();
    EXPECT_EQ(fieldString(state->programs[4].name), "Mine");
    EXPECT_EQ(state->programs[4].channelType, Noise) << "program 5 is the white noise preset";
    EXPECT_EQ(fieldString(state->programs[4].envelopeText[Volume]), "15");
    EXPECT_EQ(fieldString(state->programs[127].envelopeText[Duty]), "2");
    EXPECT_EQ(fieldString(state->programs[127].name), "128 default");
    copyTextField(defaults->programs[4].name, "Mine");
    setText(defaults->programs[127], Duty, "2");
    // The settings a text must name: a text without them plays as texts did
    // before they existed, without controllers and at gain 100.
    defaults->settings.midiControllers = chunk::kSettingAbsent;
    defaults->settings.gain = 100;
    EXPECT_TRUE(textbank::sameContent(*state, *defaults));
    const auto untouched = textbank::makeDefault();
    untouched->settings.midiControllers = chunk::kSettingAbsent;
    untouched->settings.gain = 100;
    EXPECT_TRUE(textbank::sameContent(*parseOk(""), *untouched));
    EXPECT_EQ(parseOk("gain = 50\n")->settings.gain, 50);
}

TEST(TextBankRead, ForgivesCaseCrlfByteOrderMarkAndSpacing)
{
    const auto state = parseOk("\xEF\xBB\xBF# comment\r\n"
                               "  CLOCK\t=  PAL  \r\n"
                               "\r\n"
                               "[ Channels ]\r\n"
                               "  3=7\r\n"
                               "[PROGRAM 012]\r\n"
                               "   # an indented comment\r\n"
                               "Name = Lead # not a comment\r\n"
                               "Channel = Triangle\r\n"
                               "HI-PITCH =\t| 5\t\r\n"
                               "multi = YES");
    EXPECT_EQ(state->settings.ntsc, 0);
    EXPECT_EQ(state->settings.channelProgram[2], 6);
    EXPECT_EQ(fieldString(state->programs[11].name), "Lead # not a comment");
    EXPECT_EQ(state->programs[11].channelType, Triangle);
    EXPECT_EQ(state->programs[11].multi, 1);
    EXPECT_EQ(fieldString(state->programs[11].envelopeText[HiPitch]), "| 5");
}

TEST(TextBankRead, QuotedValuesDecodeEveryEscapeAndBareValuesStayVerbatim)
{
    const auto state = parseOk("[program 1]\n"
                               "name = \"\\x01a\\\\b\\\"c\\xe9\\xFF \"  \n"
                               "volume = a \"b\" \\c\n"
                               "arp = \"\"\n"
                               "pitch = \xC3\xA9t\xE9\n");
    EXPECT_EQ(fieldString(state->programs[0].name), "\x01"
                                                    "a\\b\"c\xE9\xFF ");
    EXPECT_EQ(fieldString(state->programs[0].envelopeText[Volume]), "a \"b\" \\c");
    EXPECT_EQ(fieldString(state->programs[0].envelopeText[Arp]), "");
    EXPECT_EQ(fieldString(state->programs[0].envelopeText[Pitch]), "\xC3\xA9t\xE9");
    EXPECT_EQ(textbank::quoted("a\"b\\c\x01\x7F\xE9 "), "\"a\\\"b\\\\c\\x01\\x7F\\xE9 \"");
}

TEST(TextBankRead, NumbersUpToTheLimitsAChunkCellKeeps)
{
    const auto state =
        parseOk("gain = -2147483648\nclock = +16777216\n[program 1]\nchannel = 2147483520\nmulti = -0\n");
    EXPECT_EQ(state->settings.gain, -2147483647 - 1);
    EXPECT_EQ(state->settings.ntsc, 16777216);
    EXPECT_EQ(state->programs[0].channelType, 2147483520);
    EXPECT_EQ(state->programs[0].multi, 0);
}

TEST(TextBankErrors, EachMistakeIsNamedWithItsLine)
{
    EXPECT_EQ(firstParseError("[program 12]\nvolum = 15\n"),
              "bank.txt:2: unknown key \"volum\" (a program has name, channel, multi, volume, arp, pitch, hi-pitch, "
              "duty, keys, mono, glide, tempo-steps, wave, mod, mod-rate, mod-depth, mod-delay, patch, custom and sustain)");
    EXPECT_EQ(firstParseError("gian = 5\n"),
              "bank.txt:1: unknown key \"gian\" (before the first section: clock, gain, controllers, console, "
              "n163-channels, mpe; programs start with [program N])");
    EXPECT_EQ(firstParseError("[channels]\n17 = 1\n"),
              "bank.txt:2: unknown key \"17\" in [channels] (MIDI channels are 1 to 16)");
    EXPECT_EQ(firstParseError("[channels]\n1 = 0\n"), "bank.txt:2: MIDI channel 1: program \"0\" is not one of 1..128");
    EXPECT_EQ(firstParseError("[channels]\n16 = 129\n"),
              "bank.txt:2: MIDI channel 16: program \"129\" is not one of 1..128");
    EXPECT_EQ(firstParseError("[program 3]\n\n[program 3]\n"),
              "bank.txt:3: duplicate section [program 3] (first on line 1)");
    EXPECT_EQ(firstParseError("[channels]\n[channels]\n"),
              "bank.txt:2: duplicate section [channels] (first on line 1)");
    EXPECT_EQ(firstParseError("[program 0]\n"), "bank.txt:1: program number \"0\" is not one of 1..128");
    EXPECT_EQ(firstParseError("[program 129]\n"), "bank.txt:1: program number \"129\" is not one of 1..128");
    EXPECT_EQ(firstParseError("[program x]\n"), "bank.txt:1: program number \"x\" is not one of 1..128");
    EXPECT_EQ(firstParseError("[settings]\n"),
              "bank.txt:1: unknown section \"[settings]\" (sections are [channels], [program 1] to [program 128] "
              "and [sample NAME])");
    EXPECT_EQ(firstParseError("[program 1\n"), "bank.txt:1: missing ']' in section header \"[program 1\"");
    EXPECT_EQ(firstParseError("\n\n[program 1]\nvolume 15\n"),
              "bank.txt:4: missing '=' in \"volume 15\" (expected key = value, [section] or # comment)");
    EXPECT_EQ(firstParseError("= 4\n"), "bank.txt:1: missing key before '='");
    EXPECT_EQ(firstParseError("[program 1]\narp = 1\nARP = 2\n"),
              "bank.txt:3: duplicate key \"ARP\" (first on line 2)");
    EXPECT_EQ(firstParseError("gain = 1\ngain = 2\n"), "bank.txt:2: duplicate key \"gain\" (first on line 1)");
    EXPECT_EQ(firstParseError("[channels]\n2 = 1\n02 = 1\n"), "bank.txt:3: duplicate key \"02\" (first on line 2)");
}

// mono, glide and tempo-steps: each spelling in, the words out, a chunk cell
// only for a program with one of them on; out of range, one line and the
// program as it was.
TEST(TextBankState, HowAProgramIsPlayedRoundTripsAndBadValuesAreOneLine)
{
    const auto state = parseOk("[program 1]\nmono = legato\nglide = 250\ntempo-steps = 4\n"
                               "[program 2]\nmono = 1\ntempo-steps = off\n[program 3]\nmono = off\nglide = 0\n");
    EXPECT_EQ((std::vector<int32_t>{state->programs[0].mono, state->programs[0].glide, state->programs[0].tempoSteps}),
              (std::vector<int32_t>{MonoLegato, 250, 4}));
    EXPECT_EQ((std::vector<int32_t>{state->programs[1].mono, state->programs[1].glide, state->programs[1].tempoSteps}),
              (std::vector<int32_t>{MonoOn, 0, 0}));
    const std::string written = textbank::write(*state);
    EXPECT_NE(written.find("mono = legato\nglide = 250\ntempo-steps = 4\n"), std::string::npos) << written;
    EXPECT_NE(written.find("mono = on\n\n"), std::string::npos) << written;
    EXPECT_EQ(written.find("mono = off"), std::string::npos) << "off is not written";
    const Bytes chunk = textbank::toChunk(*state);
    EXPECT_EQ(textbank::toChunk(*parseOk(written)), chunk);
    // Two programs' cells: the tag, the number and three values each.
    const Bytes plain = textbank::toChunk(*parseOk("[program 3]\n"));
    EXPECT_EQ(chunk.size() - plain.size(), 2u * 5u * 4u);

    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {"mono = poly", "mono must be off, on, legato or a number, not \"poly\""},
             {"mono = 3", "mono must be off, on or legato, not \"3\""},
             {"glide = -1", "glide must be 0 to 10000 milliseconds, not \"-1\""},
             {"glide = 10001", "glide must be 0 to 10000 milliseconds, not \"10001\""},
             {"glide = fast", "glide: \"fast\" is not a number"},
             {"tempo-steps = 97", "tempo-steps must be off or 1 to 96 steps a quarter note, not \"97\""},
             {"tempo-steps = on", "tempo-steps must be off or a number, not \"on\""}}) {
        EXPECT_EQ(firstParseError("[program 1]\n" + line + "\n"), "bank.txt:2: " + error);
        auto kept = textbank::makeDefault();
        std::vector<std::string> errors;
        textbank::parse("[program 1]\n" + line + "\n", "bank.txt", *kept, errors);
        EXPECT_TRUE(textbank::sameContent(*kept, *parseOk("[program 1]\n"))) << line;
    }
}

TEST(TextBankErrors, LengthsAreCheckedNotCut)
{
    EXPECT_EQ(firstParseError("[program 1]\nname = " + std::string(32, 'n') + "\n"),
              "bank.txt:2: name is 32 bytes long; a name holds at most 31");
    EXPECT_EQ(firstParseError("[program 1]\nhi-pitch = " + std::string(1024, '1') + "\n"),
              "bank.txt:2: Hi-Pitch text is 1024 bytes long; a text holds at most 1023");
    // The limit counts decoded bytes: 31 escapes are 31 bytes.
    std::string escaped;
    for (int i = 0; i < 31; ++i)
        escaped += "\\xE9";
    const auto state = parseOk("[program 1]\nname = \"" + escaped + "\"\n");
    EXPECT_EQ(fieldString(state->programs[0].name), std::string(31, '\xE9'));
}

TEST(TextBankErrors, BadNumbersAndWordsSayWhatIsExpected)
{
    EXPECT_EQ(firstParseError("gain = loud\n"), "bank.txt:1: gain: \"loud\" is not a number");
    EXPECT_EQ(firstParseError("gain = 1 00\n"), "bank.txt:1: gain: \"1 00\" is not a number");
    EXPECT_EQ(firstParseError("gain = -\n"), "bank.txt:1: gain: \"-\" is not a number");
    EXPECT_EQ(firstParseError("gain = 99999999999999999999999\n"),
              "bank.txt:1: gain: 99999999999999999999999 is out of range");
    EXPECT_EQ(firstParseError("gain = 2147483648\n"), "bank.txt:1: gain: 2147483648 is out of range");
    EXPECT_EQ(firstParseError("gain = 16777217\n"),
              "bank.txt:1: gain: 16777217 cannot be stored exactly in a bank (nearest: 16777216)");
    EXPECT_EQ(firstParseError("gain = 2147483647\n"),
              "bank.txt:1: gain: 2147483647 cannot be stored exactly in a bank (nearest: 2147483648)");
    EXPECT_EQ(firstParseError("clock = secam\n"), "bank.txt:1: clock must be ntsc, pal or a number, not \"secam\"");
    EXPECT_EQ(
        firstParseError("[program 1]\nchannel = square\n"),
        "bank.txt:2: channel must be pulse, triangle, noise, sample, vrc6-pulse, vrc6-saw, 5b, mmc5-pulse, fds, n163, vrc7 or a number, not \"square\"");
    EXPECT_EQ(firstParseError("[program 1]\nmulti = maybe\n"),
              "bank.txt:2: multi must be no, yes or a number, not \"maybe\"");
    EXPECT_EQ(firstParseError("[program 1]\nmulti = 1x\n"), "bank.txt:2: \"1x\" is not a number");
}

TEST(TextBankErrors, QuotingMistakesAndFilesThatAreNotTextAreNamed)
{
    EXPECT_EQ(firstParseError("[program 1]\nname = \"open\n"), "bank.txt:2: missing closing quote");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"ends in a backslash\\\"\n"), "bank.txt:2: missing closing quote");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"a\" b\n"), "bank.txt:2: text after the closing quote: \" b\"");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"\\q\"\n"),
              "bank.txt:2: unknown escape '\\q' (quoted values know \\\\, \\\" and \\xHH)");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"\\xG1\"\n"), "bank.txt:2: \\x must be followed by two hex digits");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"\\x1\"\n"), "bank.txt:2: \\x must be followed by two hex digits");
    EXPECT_EQ(firstParseError("[program 1]\nname = \"\\x00\"\n"),
              "bank.txt:2: \\x00 cannot be stored: texts end at a zero byte");
    EXPECT_EQ(firstParseError(std::string("[program 1]\n\nname = a\0b\n", 22)),
              "bank.txt:3: holds a NUL byte: not a text bank");
    EXPECT_EQ(firstParseError(std::string("\xFF\xFEg\0a\0", 6)),
              "bank.txt:1: is UTF-16 text; save it as UTF-8 or ANSI");
}

TEST(TextBankErrors, EveryProblemIsReportedNotOnlyTheFirst)
{
    const std::vector<std::string> errors = parseErrors("gain = x\n"
                                                        "[program 200]\n"
                                                        "bogus = ignored under a broken header\n"
                                                        "[program 2]\n"
                                                        "volum = 1\n"
                                                        "duty = 0\n"
                                                        "duty = 1\n");
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "bank.txt:1: gain: \"x\" is not a number",
                          "bank.txt:2: program number \"200\" is not one of 1..128",
                          "bank.txt:5: unknown key \"volum\" (a program has name, channel, multi, volume, arp, pitch, "
                          "hi-pitch, duty, keys, mono, glide, tempo-steps, wave, mod, mod-rate, mod-depth, mod-delay, patch, custom and sustain)",
                          "bank.txt:7: duplicate key \"duty\" (first on line 6)",
                      }));
}

TEST(TextBankErrors, LongOrStrangeWordsAreShownQuotedAndCut)
{
    EXPECT_EQ(firstParseError("gain = " + std::string(50, 'x') + "\n"),
              "bank.txt:1: gain: \"" + std::string(40, 'x') + "\"... is not a number");
    EXPECT_EQ(firstParseError("g\xE9\x01 = 1\n"),
              "bank.txt:1: unknown key \"g\\xE9\\x01\" (before the first section: clock, gain, controllers, "
              "console, n163-channels, mpe; programs start with [program N])");
}

// ---- envelope check ----

TEST(EnvelopeCheck, EveryFailingTextIsReportedWithTheCompilersMessage)
{
    EXPECT_TRUE(textbank::checkEnvelopes(*textbank::makeDefault()).empty()) << "the default bank compiles";
    auto state = textbank::makeDefault();
    copyTextField(state->programs[11].name, "Lead");
    setText(state->programs[11], Arp, "0 1|2");
    setText(state->programs[11], Pitch, "| 1 | 2");  // the same program's next text is checked too
    setText(state->programs[11], Duty, "");          // blank compiles
    setText(state->programs[40], Volume, "15 x");
    setText(state->programs[40], HiPitch, "1x");
    setText(state->programs[127], Duty, "- 1");
    setText(state->programs[12], Arp, "@36 0 | 12 / @40");  // fixed notes belong in Arp
    setText(state->programs[12], Volume, "15 / 8 0");
    const std::vector<textbank::EnvelopeError> errors = textbank::checkEnvelopes(*state);
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_EQ(errors[0].message, kErrorLoopSpacing);
    EXPECT_EQ(errors[1].message, kErrorLoopRedefinition);
    EXPECT_EQ(errors[2].message, kErrorUnexpectedInString);
    EXPECT_EQ(errors[3].message, kErrorUnexpectedInNumber);
    EXPECT_EQ(errors[4].message, kErrorPrefix);
    EXPECT_EQ(textbank::describe(*state, errors[0]),
              "program 12 \"Lead\", Arp: Error: Loop marker should be preceded and followed with spacing");
    EXPECT_EQ(textbank::describe(*state, errors[3]),
              "program 41 \"041 default\", Hi-Pitch: Error: Unexpected character while parsing a number");
    EXPECT_EQ(textbank::describe(*state, errors[4]), "program 128 \"128 default\", Duty: Error Prefix is not "
                                                     "followed by a number");
}

TEST(EnvelopeCheck, ParsedTextsRememberTheirLines)
{
    auto state = textbank::makeDefault();
    textbank::SourceLines lines;
    std::vector<std::string> errors;
    ASSERT_TRUE(textbank::parse("[program 7]\n\nduty = 1\n[program 2]\nvolume = 3\n", "b", *state, errors, &lines));
    EXPECT_EQ(lines.envelope[6][Duty], 3);
    EXPECT_EQ(lines.envelope[1][Volume], 5);
    EXPECT_EQ(lines.envelope[1][Arp], 0);
    EXPECT_EQ(lines.envelope[0][Volume], 0);
}

// ---- random states and random damage ----

namespace {

// A number that a chunk cell keeps exactly.
int32_t randomStorableNumber(std::mt19937& random)
{
    switch (random() % 4) {
    case 0:
        return static_cast<int32_t>(random() % 5) - 1;
    case 1:
        return static_cast<int32_t>(random() % 2000001) - 1000000;
    default: {
        const float cell = static_cast<float>(static_cast<int32_t>(random()));
        return cell >= 2147483648.0f ? 0 : static_cast<int32_t>(cell);
    }
    }
}

std::string randomText(std::mt19937& random, size_t maxBytes)
{
    static const std::string usual = " 0123456789|-\"\\#=[]";
    const size_t length = random() % 4 == 0 ? maxBytes - random() % 3 : random() % 24;
    // Half the texts are what musicians type, the rest any bytes at all.
    const bool anyBytes = random() % 2 == 0;
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += anyBytes && random() % 2 ? static_cast<char>(1 + random() % 255) : usual[random() % usual.size()];
    return text;
}

}  // namespace

TEST(TextBankProperties, RandomStatesRoundTripExactly)
{
    std::mt19937 random(20260508);
    for (int round = 0; round < 40; ++round) {
        auto state = textbank::makeDefault();
        const int programs = static_cast<int>(random() % 12);
        for (int i = 0; i < programs; ++i) {
            Program& p = state->programs[random() % kProgramCount];
            copyTextField(p.name, randomText(random, 31).c_str());
            p.channelType = randomStorableNumber(random);
            p.multi = randomStorableNumber(random);
            for (auto& text : p.envelopeText)
                copyTextField(text, randomText(random, 1023).c_str());
            p.mono = static_cast<int32_t>(random() % kMonoModeCount);
            p.glide = static_cast<int32_t>(random() % 2) * static_cast<int32_t>(random() % (kMaxGlideMs + 1));
            p.tempoSteps = static_cast<int32_t>(random() % 2) * static_cast<int32_t>(random() % (kMaxTempoSteps + 1));
        }
        for (int32_t& program : state->settings.channelProgram)
            program = static_cast<int32_t>(random() % kProgramCount);
        state->settings.ntsc = randomStorableNumber(random);
        state->settings.gain = randomStorableNumber(random);

        const Bytes chunk = textbank::toChunk(*state);
        const std::string text = textbank::write(*stateOfChunk(chunk), {random() % 2 == 0});
        const auto parsed = parseOk(text);
        ASSERT_EQ(textbank::toChunk(*parsed), chunk) << "round " << round << "\n" << text;
        fx::File file = smallBank();
        file.chunk = chunk;
        ASSERT_EQ(readOk(fx::write(file)), file);
    }
}

TEST(TextBankProperties, RandomDamageNeverCrashesAndWhatReadsIsSound)
{
    std::mt19937 random(7);
    const auto state = unusualState();
    fx::File file = smallBank();
    file.chunk = textbank::toChunk(*state);
    const Bytes fxb = fx::write(file);
    const std::string text = textbank::write(*state);
    for (int round = 0; round < 300; ++round) {
        Bytes damagedFx(fxb.begin(), fxb.begin() + static_cast<long>(random() % 400));
        std::string damagedText = text;
        for (int edit = 0, edits = 1 + static_cast<int>(random() % 8); edit < edits; ++edit) {
            const size_t where = random() % damagedText.size();
            damagedText[where] = static_cast<char>(random() % 256);
            if (!damagedFx.empty())
                damagedFx[random() % damagedFx.size()] = static_cast<unsigned char>(random() % 256);
        }
        fx::File read;
        std::string error;
        if (fx::read(damagedFx.data(), damagedFx.size(), read, error)) {
            EXPECT_LE(read.programName.size(), 27u);
            EXPECT_EQ(readOk(fx::write(read)), read);
        } else {
            EXPECT_FALSE(error.empty());
        }
        auto parsed = textbank::makeDefault();
        std::vector<std::string> errors;
        if (textbank::parse(damagedText, "bank.txt", *parsed, errors)) {
            EXPECT_TRUE(errors.empty());
            const Bytes chunk = textbank::toChunk(*parsed);
            EXPECT_EQ(textbank::toChunk(*parseOk(textbank::write(*parsed))), chunk);
        } else {
            ASSERT_FALSE(errors.empty());
            for (const std::string& line : errors)
                EXPECT_EQ(line.rfind("bank.txt:", 0), 0u) << line;
        }
    }
}

// ---- the plinka-bank program ----

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PlinkaBank : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device entropy;
        dir = fs::temp_directory_path() / ("plinka-bank-test-" + std::to_string(entropy()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    void put(const std::string& name, const std::string& contents) const
    {
        std::ofstream(dir / name, std::ios::binary) << contents;
    }

    ToolRun run(const std::string& arguments) const
    {
        const std::string command = std::string("'") + testpaths::bankTool + "' " + arguments + " >'" + path("stdout") +
                                    "' 2>'" + path("stderr") + "'";
        const int status = std::system(command.c_str());
        ToolRun result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "stdout"), slurp(dir / "stderr")};
        fs::remove(dir / "stdout");
        fs::remove(dir / "stderr");
        return result;
    }

    fs::path dir;
};

}  // namespace

TEST_F(PlinkaBank, DefaultThroughFxbAndBackGivesTheSameText)
{
    ASSERT_EQ(run("default -o " + path("a.txt")).status, 0);
    const ToolRun toFxb = run("to-fxb " + path("a.txt") + " -o " + path("a.fxb"));
    EXPECT_EQ(toFxb.status, 0) << toFxb.err;
    EXPECT_EQ(toFxb.out + toFxb.err, "");
    const ToolRun toText = run("to-text " + path("a.fxb"));
    EXPECT_EQ(toText.status, 0) << toText.err;
    EXPECT_EQ(toText.out, slurp(dir / "a.txt"));
    EXPECT_EQ(run("default").out, toText.out);

    const auto plinka = std::make_unique<PLINKA>(nullptr);  // too large for the stack
    fx::File file;
    std::string error;
    ASSERT_TRUE(fx::readFile(path("a.fxb"), file, error)) << error;
    EXPECT_EQ(file.kind, fx::Kind::Bank);
    EXPECT_EQ(file.fxID, plinka->getAeffect()->uniqueID);
    EXPECT_EQ(file.fxVersion, plinka->getAeffect()->version);
    EXPECT_EQ(file.numPrograms, plinka->getAeffect()->numPrograms);
    EXPECT_EQ(file.chunk, textbank::toChunk(*textbank::makeDefault()));
}

TEST_F(PlinkaBank, ProgramFileCarriesTheWholeStateNamedAfterChannelOnesProgram)
{
    put("b.txt", "[channels]\n1 = 8\n[program 3]\nname = Changed\n");
    ASSERT_EQ(run("to-fxp " + path("b.txt") + " -o " + path("b.fxp")).status, 0);
    fx::File file;
    std::string error;
    ASSERT_TRUE(fx::readFile(path("b.fxp"), file, error)) << error;
    EXPECT_EQ(file.kind, fx::Kind::Program);
    EXPECT_EQ(file.programName, "008 Tri Kick");
    EXPECT_EQ(file.numPrograms, std::make_unique<PLINKA>(nullptr)->getAeffect()->numParams);
    const ToolRun text = run("to-text " + path("b.fxp"));
    EXPECT_NE(text.out.find("[program 3]\nname = Changed\n"), std::string::npos);
    EXPECT_NE(text.out.find("\n1 = 8\n"), std::string::npos);
}

// A key map that does not compile (one naming a sample the song gets later,
// say) is kept as typed, as the instrument keeps it, and reported like an
// envelope: a bank the instrument saved always converts both ways.
TEST_F(PlinkaBank, KeyMapsThatDoNotCompileAreReportedAndKeptAsTyped)
{
    put("kit.txt", "[program 12]\n"
                   "channel = sample\n"
                   "keys = 36=tom:15\n"
                   "\n"
                   "[program 13]\n"
                   "keys = 36=k:16\n"
                   "\n"
                   "[sample k]\n"
                   "length = 1\n"
                   "bytes = 00\n");
    const ToolRun check = run("check " + path("kit.txt"));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, path("kit.txt") + ":3: program 12 \"012 default\", Keys: " + kErrorKeyMapMissingSample + "\n" +
                             path("kit.txt") + ":6: program 13 \"013 default\", Keys: " + kErrorKeyMapRate + "\n" +
                             path("kit.txt") + ": 2 key maps do not compile\n");

    const ToolRun convert = run("to-fxb " + path("kit.txt") + " -o " + path("kit.fxb"));
    EXPECT_EQ(convert.status, 0);
    EXPECT_EQ(convert.err, check.out.substr(0, check.out.rfind(path("kit.txt") + ": 2")) + path("kit.txt") +
                               ": warning: 2 key maps do not compile; written as typed\n");
    const ToolRun back = run("to-text " + path("kit.fxb") + " -o " + path("again.txt"));
    EXPECT_EQ(back.status, 0);
    ASSERT_EQ(run("to-fxb " + path("again.txt") + " -o " + path("again.fxb")).status, 0);
    EXPECT_EQ(slurp(dir / "again.fxb"), slurp(dir / "kit.fxb"));
    EXPECT_NE(slurp(dir / "again.txt").find("keys = 36=tom:15\n"), std::string::npos);
}

TEST_F(PlinkaBank, CheckReportsEachBadEnvelopeWithItsLineAndExits1)
{
    put("bad.txt", "[program 12]\n"
                   "name = Lead\n"
                   "arp = 0 1|2\n"
                   "\n"
                   "duty = x\n");
    const ToolRun check = run("check " + path("bad.txt"));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, path("bad.txt") +
                             ":3: program 12 \"Lead\", Arp: Error: Loop marker should be preceded and "
                             "followed with spacing\n" +
                             path("bad.txt") +
                             ":5: program 12 \"Lead\", Duty: Error: Unexpected character while "
                             "parsing string\n" +
                             path("bad.txt") + ": 2 of 640 envelope texts do not compile\n");
    EXPECT_EQ(check.err, "");

    // Converted anyway, with the same lines as warnings; the .fxb names no lines.
    const ToolRun convert = run("to-fxb " + path("bad.txt") + " -o " + path("bad.fxb"));
    EXPECT_EQ(convert.status, 0);
    EXPECT_EQ(convert.err, check.out.substr(0, check.out.rfind(path("bad.txt") + ": 2")) + path("bad.txt") +
                               ": warning: 2 envelope texts do not compile; written as they are\n");
    const ToolRun checkFxb = run("check " + path("bad.fxb"));
    EXPECT_EQ(checkFxb.status, 1);
    EXPECT_NE(checkFxb.out.find(path("bad.fxb") + ": program 12 \"Lead\", Arp: Error: Loop marker"), std::string::npos);

    EXPECT_EQ(run("check " + path("bad.fxb") + " --ignore-id").status, 1);
    put("empty.txt", "");
    const ToolRun good = run("check " + path("empty.txt"));
    EXPECT_EQ(good.status, 0) << "an empty text bank is the default bank";
    EXPECT_EQ(good.out, path("empty.txt") + ": all 640 envelope texts compile\n");
}

TEST_F(PlinkaBank, UnwritableOutputIsOneLineExit2AndNoFile)
{
    ASSERT_EQ(run("default -o " + path("a.txt")).status, 0);
    const ToolRun result = run("to-fxb " + path("a.txt") + " -o /nonexistent/dir/x.fxb");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "/nonexistent/dir/x.fxb: cannot write: No such file or directory\n");
    EXPECT_FALSE(fs::exists("/nonexistent/dir/x.fxb"));

    const ToolRun intoDirectory = run("default -o " + dir.string());
    EXPECT_EQ(intoDirectory.status, 2);
    EXPECT_EQ(intoDirectory.err, dir.string() + ": is a directory\n");
}

TEST_F(PlinkaBank, BadInputsAreOneLineErrorsAndLeaveTheOutputAlone)
{
    put("out.fxb", "keep me");
    const auto expectError = [&](const std::string& arguments, const std::string& message) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err, message + "\n") << arguments;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(slurp(dir / "out.fxb"), "keep me");
    };
    expectError("to-fxb " + path("missing.txt") + " -o " + path("out.fxb"),
                path("missing.txt") + ": cannot open: No such file or directory");

    put("typo.txt", "[program 1]\nvolum = 1\n");
    expectError("to-fxb " + path("typo.txt") + " -o " + path("out.fxb"),
                path("typo.txt") + ":2: unknown key \"volum\" (a program has name, channel, multi, volume, arp, "
                                   "pitch, hi-pitch, duty, keys, mono, glide, tempo-steps, wave, mod, mod-rate, mod-depth, mod-delay, patch, custom and sustain)");

    fx::File bank = smallBank();
    bank.chunk = textbank::toChunk(*textbank::makeDefault());
    Bytes fxb = fx::write(bank);
    put("cut.fxb", std::string(fxb.begin(), fxb.end() - 10));
    expectError("to-text " + path("cut.fxb") + " -o " + path("out.fxb"),
                path("cut.fxb") + ": truncated: the header gives " + std::to_string(fxb.size() - 8) +
                    " bytes after its size field, the file holds " + std::to_string(fxb.size() - 18));

    bank.fxID = fx::fourCC('X', 'y', 'z', '1');
    fxb = fx::write(bank);
    put("other.fxb", std::string(fxb.begin(), fxb.end()));
    expectError("to-text " + path("other.fxb") + " -o " + path("out.fxb"),
                path("other.fxb") + ": made for plug-in 'Xyz1', not Plinka 'plnk' (--ignore-id reads it anyway)");
    const ToolRun ignored = run("to-text " + path("other.fxb") + " --ignore-id");
    EXPECT_EQ(ignored.status, 0);
    EXPECT_EQ(ignored.err, path("other.fxb") + ": warning: made for plug-in 'Xyz1', not Plinka 'plnk'\n");

    bank.fxID = kPlnk;
    bank.chunk = bytesOf({1, 2, 3, 4, 5});
    fxb = fx::write(bank);
    put("garbage.fxb", std::string(fxb.begin(), fxb.end()));
    expectError("check " + path("garbage.fxb"),
                path("garbage.fxb") + ": its chunk is not a Plinka state (it does not start with Plinka's header)");

    put("text.fxb", "gain = 100\n");
    expectError("check " + path("text.fxb"),
                path("text.fxb") + ": not a VST bank or program file (it does not start with 'CcnK')");
    put("bank.txt", "gain = 100\n");
    expectError("to-text " + path("bank.txt"),
                path("bank.txt") + ": not a VST bank or program file (it does not start with 'CcnK')");
    expectError("to-fxp " + path("other.fxb") + " -o " + path("out.fxb"),
                path("other.fxb") + ": is a VST bank or program file; to-fxp reads text banks (to-text converts this "
                                    "one)");
    Bytes params = fx::write(smallBank());
    std::memcpy(params.data() + 8, "FxBk", 4);
    put("params.fxb", std::string(params.begin(), params.end()));
    expectError("check " + path("params.fxb"),
                path("params.fxb") + ": a bank of parameter values ('FxBk'), not of a plug-in chunk");
}

TEST_F(PlinkaBank, ACutChunkIsReadWithAWarningAndTheRestFromTheDefaultBank)
{
    auto state = textbank::makeDefault();
    copyTextField(state->programs[0].name, "First");
    copyTextField(state->programs[127].name, "Last");
    fx::File bank = smallBank();
    bank.chunk = textbank::toChunk(*state);
    bank.chunk.resize(bank.chunk.size() / 2 / 4 * 4);
    const Bytes fxb = fx::write(bank);
    put("cut.fxb", std::string(fxb.begin(), fxb.end()));
    const ToolRun result = run("to-text " + path("cut.fxb"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, path("cut.fxb") + ": warning: its chunk is cut short or damaged (no end mark); what it "
                                            "lacks is taken from the default bank\n");
    EXPECT_NE(result.out.find("[program 1]\nname = First\n"), std::string::npos);
    EXPECT_EQ(result.out.find("Last"), std::string::npos);
}

TEST_F(PlinkaBank, UsageMistakesExit2AndHelpExits0)
{
    const ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage:\n  plinka-bank to-text", 0), 0u);
    for (const char* arguments :
         {"", "frobnicate", "to-fxb x.txt", "to-text", "default x.txt", "check a b", "to-text a.fxb -o",
          "check a.txt -o b", "default --ignore-id", "to-fxb a --all -o b", "to-text a.fxb --what"}) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err.rfind("plinka-bank: ", 0), 0u) << arguments;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << arguments;
    }
}

// ---- tracker instruments (.fti) ----

namespace {

using ftitest::FtiBuilder;
using ftitest::FtiSequence;
using ftitest::off;
using ftitest::seq;

fti::Instrument ftiReadOk(const Bytes& bytes)
{
    fti::Instrument instrument;
    std::string error;
    EXPECT_TRUE(fti::read(bytes.data(), bytes.size(), instrument, error)) << error;
    return instrument;
}

std::string ftiReadError(const Bytes& bytes)
{
    fti::Instrument instrument;
    std::string error;
    EXPECT_FALSE(fti::read(bytes.data(), bytes.size(), instrument, error));
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

// The five texts and the notes of an instrument imported as a pulse program.
struct Imported {
    std::vector<std::string> texts;
    std::vector<std::string> notes;
};

Imported import(const fti::Instrument& instrument, Program& program)
{
    Imported result;
    fticonversion::toProgram(instrument, Pulse, program, result.notes);
    for (const auto& text : program.envelopeText)
        result.texts.emplace_back(text);
    return result;
}

}  // namespace

TEST(FtiFile, EachVersionReadsItsFieldsAndTheWriterLaysDownVersion24Exactly)
{
    for (const char* version : {"2.0", "2.1", "2.2", "2.3", "2.4", "2.5"}) {
        FtiBuilder file;
        file.version = version;
        file.sequences[0] = seq({15, 10, 5, 0}, 1, 2, 0);
        file.sequences[1] = seq({0, -12, 45}, -1, -1, 1);
        file.dpcmKeys = {{50, 1, 0x8C, 0x40}, {12, 2, 0x03, 0x80}};
        file.dpcmSamples = {{0, "kick", "\x01\x02\x03"}, {1, "snare drum", std::string(17, '\xAA')}};
        const fti::Instrument instrument = ftiReadOk(file.bytes());
        const int number = (version[0] - '0') * 10 + (version[2] - '0');
        EXPECT_EQ(instrument.version, number);
        EXPECT_EQ(instrument.name, "Inst");
        EXPECT_EQ(instrument.sequences[0].items, (std::vector<int8_t>{15, 10, 5, 0})) << version;
        EXPECT_EQ(instrument.sequences[0].loop, 1);
        EXPECT_EQ(instrument.sequences[0].release, number >= 21 ? 2 : -1) << version;
        EXPECT_EQ(instrument.sequences[1].setting, number >= 22 ? 1 : 0) << version;
        EXPECT_EQ(instrument.sequences[1].items, (std::vector<int8_t>{0, -12, 45}));
        EXPECT_FALSE(instrument.sequences[2].enabled);
        // Before 2.4 a key has no delta byte: none is read.
        EXPECT_EQ(instrument.dpcmKeys, (std::vector<fti::DpcmKey>{{50, 1, 0x8C, uint8_t(number >= 24 ? 0x40 : 0xFF)},
                                                                  {12, 2, 0x03, uint8_t(number >= 24 ? 0x80 : 0xFF)}}))
            << version;
        ASSERT_EQ(instrument.dpcmSamples.size(), 2u);
        EXPECT_EQ(instrument.dpcmSamples[0], (fti::DpcmSample{0, "kick", {1, 2, 3}}));
        EXPECT_EQ(instrument.dpcmSamples[1], (fti::DpcmSample{1, "snare drum", std::vector<uint8_t>(17, 0xAA)}));
    }
    FtiBuilder file;
    file.sequences[0] = seq({15, 10, 5, 0}, 1, 2, 0);
    file.sequences[1] = seq({0, -12, 45}, -1, -1, 1);
    fti::Instrument instrument = ftiReadOk(file.bytes());
    EXPECT_EQ(fti::write(instrument), file.bytes());
    instrument.version = 20;  // always written as 2.4
    EXPECT_EQ(fti::write(instrument), file.bytes());
    file.dpcmKeys = {{0, 1, 0x0F, 0x7F}, {95, 1, 0x80, 0xFF}};
    file.dpcmSamples = {{0, std::string(256, 'n'), std::string(4081, '\x12')}};
    EXPECT_EQ(fti::write(ftiReadOk(file.bytes())), file.bytes());
    file.dpcmKeys.clear();
    file.dpcmSamples.clear();

    file.type = 0;                       // also a 2A03
    file.sequences.resize(7, seq({1}));  // sequences past the fifth are read past
    file.sequences.resize(3);
    EXPECT_EQ(ftiReadOk(file.bytes()).sequences[3], fti::Sequence{});

    // A VRC6 instrument has no DPCM part, and is written back as it came.
    for (const char* version : {"2.0", "2.4"}) {
        FtiBuilder vrc6;
        vrc6.version = version;
        vrc6.type = 2;
        vrc6.sequences[0] = seq({40, 20, 0}, -1, -1, fti::kVolume64Steps);
        vrc6.sequences[4] = seq({7, 0, 5}, 1);
        instrument = ftiReadOk(vrc6.bytes());
        EXPECT_EQ(instrument.type, fti::kTypeVrc6);
        EXPECT_EQ(instrument.sequences[4].items, (std::vector<int8_t>{7, 0, 5})) << version;
        EXPECT_EQ(instrument.sequences[0].setting, version[2] == '4' ? fti::kVolume64Steps : 0);
        if (version[2] == '4') {
            EXPECT_EQ(fti::write(instrument), vrc6.bytes());
        }
    }
}

TEST(FtiFile, EachDamageHasItsOwnLineAndEveryPrefixIsRefused)
{
    FtiBuilder good;
    good.sequences[0] = seq({15, 0}, -1, 0, 0);
    good.dpcmKeys = {{36, 1, 0x0F, 0x20}};
    good.dpcmSamples = {{0, "kick", "ab"}};
    const Bytes bytes = good.bytes();
    for (size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(ftiReadError(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size))).empty());
    FtiBuilder older = good;  // keys without the delta byte
    older.version = "2.3";
    older.dpcmSamples.push_back({1, "snare", std::string(17, 's')});
    const Bytes olderBytes = older.bytes();
    for (size_t size = 0; size < olderBytes.size(); ++size)
        EXPECT_FALSE(
            ftiReadError(Bytes(olderBytes.begin(), olderBytes.begin() + static_cast<std::ptrdiff_t>(size))).empty());
    FtiBuilder newer = good;
    newer.version = "2.5";
    const Bytes newerBytes = newer.bytes();
    for (size_t size = 0; size < newerBytes.size(); ++size)
        EXPECT_FALSE(
            ftiReadError(Bytes(newerBytes.begin(), newerBytes.begin() + static_cast<std::ptrdiff_t>(size))).empty());
    FtiBuilder vrc6 = good;
    vrc6.type = 2;
    const Bytes vrc6Bytes = vrc6.bytes();
    for (size_t size = 0; size < vrc6Bytes.size(); ++size)
        EXPECT_FALSE(
            ftiReadError(Bytes(vrc6Bytes.begin(), vrc6Bytes.begin() + static_cast<std::ptrdiff_t>(size))).empty());

    const auto with = [&](auto change) {
        FtiBuilder file = good;
        change(file);
        return ftiReadError(file.bytes());
    };
    const auto patched = [&](size_t at, int32_t value) {
        Bytes damaged = bytes;
        for (int i = 0; i < 4; ++i)
            damaged[at + static_cast<size_t>(i)] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
        return ftiReadError(damaged);
    };
    const size_t nameLength = 7;
    const size_t itemCount = nameLength + 4 + 4 + 1 + 1;
    EXPECT_EQ(ftiReadError(bytesOf({'F', 'T', 'X', '2', '.', '4'})),
              "not a tracker instrument (it does not start with 'FTI')");
    EXPECT_EQ(with([](FtiBuilder& f) { f.version = "2.6"; }), "version 2.6 is not read (versions 2.0 to 2.5 are)");
    EXPECT_EQ(with([](FtiBuilder& f) { f.version = "3.0"; }), "version 3.0 is not read (versions 2.0 to 2.5 are)");
    EXPECT_EQ(with([](FtiBuilder& f) { f.version = "1.9"; }), "version 1.9 is not read (versions 2.0 to 2.5 are)");
    EXPECT_EQ(with([](FtiBuilder& f) { f.version = "2x4"; }),
              "unknown version (the bytes after 'FTI' are not a version like 2.4)");
    EXPECT_EQ(with([](FtiBuilder& f) { f.type = 7; }), "unknown instrument type 7");
    EXPECT_EQ(with([](FtiBuilder& f) { f.type = 9; }), "unknown instrument type 9");
    EXPECT_EQ(with([](FtiBuilder& f) { f.name = std::string(129, 'x'); }), "name length 129 is longer than 128");
    EXPECT_EQ(patched(nameLength, -1), "negative name length (-1)");
    EXPECT_EQ(patched(nameLength, 100), "cut short in the name");
    EXPECT_EQ(patched(itemCount, -5), "sequence 1 has a negative item count (-5)");
    EXPECT_EQ(patched(itemCount, 1000), "sequence 1 counts 1000 items, the file holds 36 more bytes");
    EXPECT_EQ(patched(bytes.size() - 30, -3), "negative DPCM key count (-3)");
    EXPECT_EQ(patched(bytes.size() - 30, 1 << 30),
              "the DPCM key map counts 1073741824 entries, more than the file holds");
    EXPECT_EQ(patched(bytes.size() - 22, -1), "negative DPCM sample count (-1)");
    EXPECT_EQ(patched(bytes.size() - 14, -4), "DPCM sample 1 has a name length of -4 bytes, the file holds 10 more");
    EXPECT_EQ(patched(bytes.size() - 6, 3), "DPCM sample 1 has 3 bytes of data, the file holds 2 more");
    EXPECT_EQ(patched(bytes.size() - 14, 257), "DPCM sample 1 has a name length of 257 bytes, the file holds 10 more");
    EXPECT_EQ(with([](FtiBuilder& f) { f.dpcmSamples[0].name = std::string(257, 'x'); }),
              "DPCM sample 1's name length 257 is longer than 256");
    EXPECT_EQ(ftiReadError(Bytes(bytes.begin(), bytes.begin() + 20)), "cut short in sequence 1's item count");
}

// A 5B file is the sequence part alone; one that stops right after its name
// is a new instrument, any other cut is damage.
TEST(FtiFile, A5bInstrumentEndsWithItsSequencesAndOneStoppingAfterItsNameIsNew)
{
    FtiBuilder file;
    file.type = 6;
    file.name = "Buzz";
    file.sequences = {seq({15, 11}, 1), off(), seq({-2}), off(), seq({0x40, 0xDF, 0x20}, -1, 1)};
    const Bytes bytes = file.bytes();
    fti::Instrument instrument = ftiReadOk(bytes);
    EXPECT_EQ(instrument.type, fti::kTypeS5b);
    EXPECT_FALSE(instrument.nameOnly);
    EXPECT_EQ(instrument.sequences[Duty], (fti::Sequence{true, -1, 1, 0, {0x40, -0x21, 0x20}}));
    EXPECT_TRUE(instrument.dpcmKeys.empty());
    EXPECT_EQ(fti::write(instrument), bytes);

    const size_t nameEnd = 7 + 4 + file.name.size();
    for (size_t size = 0; size < bytes.size(); ++size) {
        const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        if (size != nameEnd) {
            EXPECT_FALSE(ftiReadError(cut).empty()) << size;
            continue;
        }
        instrument = ftiReadOk(cut);
        EXPECT_TRUE(instrument.nameOnly);
        EXPECT_EQ(instrument.name, "Buzz");
        for (const fti::Sequence& sequence : instrument.sequences)
            EXPECT_EQ(sequence, fti::Sequence{});
        // Written back whole, with its five sequences off.
        FtiBuilder whole;
        whole.type = 6;
        whole.name = "Buzz";
        EXPECT_EQ(fti::write(instrument), whole.bytes());
    }
    // Only the 5B's and the VRC7's files may stop there.
    file.type = 2;
    const Bytes vrc6 = file.bytes();
    EXPECT_EQ(ftiReadError(Bytes(vrc6.begin(), vrc6.begin() + static_cast<std::ptrdiff_t>(nameEnd))),
              "cut short before the sequence count");
}

// A VRC7 file is its patch and the custom patch's eight bytes, there
// whatever the patch; one that stops right after its name is a new
// instrument (the custom patch with the trackers' default bytes); a patch
// past 15 and any other cut are damage.
TEST(FtiFile, AVrc7InstrumentIsItsPatchAndCustomBytesAndOneStoppingAfterItsNameIsNew)
{
    const Bytes custom = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    // The layout laid down by hand: header, type 3, name, patch, bytes.
    Bytes expected = {'F', 'T', 'I', '2', '.', '4', 3, 2, 0, 0, 0, 'F', 'M', 7, 0, 0, 0};
    expected.insert(expected.end(), custom.begin(), custom.end());
    fti::Instrument written;
    written.type = fti::kTypeVrc7;
    written.name = "FM";
    written.vrc7.patch = 7;
    std::copy(custom.begin(), custom.end(), written.vrc7.custom.begin());
    EXPECT_EQ(fti::write(written), expected);

    for (const int32_t patch : {0, 1, 15}) {
        FtiBuilder file;
        file.type = 3;
        file.name = "FM";
        file.vrc7Patch = patch;
        file.vrc7Custom.assign(custom.begin(), custom.end());
        file.sequences.assign(5, seq({1}));  // a VRC7 file has none: not written
        const Bytes bytes = file.bytes();
        fti::Instrument instrument = ftiReadOk(bytes);
        EXPECT_EQ(instrument.type, fti::kTypeVrc7);
        EXPECT_FALSE(instrument.nameOnly);
        EXPECT_EQ(instrument.vrc7.patch, patch);
        EXPECT_TRUE(std::equal(custom.begin(), custom.end(), instrument.vrc7.custom.begin()));
        for (const fti::Sequence& sequence : instrument.sequences)
            EXPECT_EQ(sequence, fti::Sequence{});
        EXPECT_EQ(fti::write(instrument), bytes) << patch;
    }

    FtiBuilder file;
    file.type = 3;
    file.name = "FM";
    file.vrc7Patch = 4;
    const Bytes bytes = file.bytes();
    const size_t nameEnd = 7 + 4 + file.name.size();
    for (size_t size = 0; size < bytes.size(); ++size) {
        const Bytes cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        if (size != nameEnd) {
            EXPECT_FALSE(ftiReadError(cut).empty()) << size;
            continue;
        }
        const fti::Instrument instrument = ftiReadOk(cut);
        EXPECT_TRUE(instrument.nameOnly);
        EXPECT_EQ(instrument.vrc7, (fti::Vrc7Part{0, {0x01, 0x21, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x0F}}));
        FtiBuilder whole;  // written back whole, its patch the custom one with the default bytes
        whole.type = 3;
        whole.name = "FM";
        EXPECT_EQ(fti::write(instrument), whole.bytes());
    }
    const struct {
        int32_t patch;
        size_t keep;  // bytes kept of the file
        const char* error;
    } damage[] = {
        {16, bytes.size(), "the VRC7 patch 16 is not 0 (custom) to 15"},
        {-1, bytes.size(), "the VRC7 patch -1 is not 0 (custom) to 15"},
        {1 << 30, bytes.size(), "the VRC7 patch 1073741824 is not 0 (custom) to 15"},
        {4, nameEnd + 3, "cut short in the VRC7 patch"},
        {4, nameEnd + 4, "cut short in the VRC7 custom patch's bytes"},
        {4, bytes.size() - 1, "cut short in the VRC7 custom patch's bytes"},
    };
    for (const auto& example : damage) {
        FtiBuilder damaged = file;
        damaged.vrc7Patch = example.patch;
        const Bytes whole = damaged.bytes();
        EXPECT_EQ(ftiReadError(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(example.keep))),
                  example.error);
    }
}

namespace {

// An FDS instrument as a tracker writes it: a triangle wave, a modulation
// table that swings, its speed, depth and delay, and three sequences.
FtiBuilder fdsFile()
{
    FtiBuilder file;
    file.type = 4;
    file.name = "Organ";
    for (int i = 0; i < 64; ++i)
        file.fdsWave[static_cast<size_t>(i)] = i < 32 ? 2 * i : 127 - 2 * i;
    file.fdsMod = {0, 1, 2, 3, 4, 5, 6, 7, 7, 6, 5, 4, 3, 2, 1, 0, 1, 1, 1, 1, 7, 7, 7, 7, 0, 0, 0, 0, 0, 0, 0, 0};
    file.modSpeed = 300;
    file.modDepth = 12;
    file.modDelay = 30;
    file.fdsSequences = {seq({31, 24, 16, 8, 0}, 1, 3), seq({48, 60}, -1, -1, fti::kArpFixed), seq({2, -2}, 0)};
    return file;
}

// An N163 instrument of three waves of 8 samples, its fifth sequence the wave.
FtiBuilder n163File(int32_t position = 16)
{
    FtiBuilder file;
    file.type = 5;
    file.name = "Bell";
    file.sequences = {seq({15, 9, 4}), off(), off(), seq({1}), seq({0, 1, 2}, 2)};
    file.waveSize = 8;
    file.wavePosition = position;
    file.waves = {{0, 2, 4, 6, 8, 10, 12, 15}, {15, 12, 10, 8, 6, 4, 2, 0}, {7, 7, 7, 7, 8, 8, 8, 8}};
    return file;
}

std::string fdsWaveTextOf(const FtiBuilder& file)
{
    std::string text;
    for (int step : file.fdsWave)
        text += (text.empty() ? "" : " ") + std::to_string(step);
    std::string mod;
    for (int code : file.fdsMod)
        mod += (mod.empty() ? "" : " ") + std::to_string(code);
    return text + " mod " + mod + " mod-rate 300 mod-depth 12 mod-delay 30";
}

}  // namespace

TEST(FtiFile, FdsAndN163FilesReadTheirOwnPartsAndWriteBackByteForByte)
{
    const FtiBuilder fds = fdsFile();
    fti::Instrument instrument = ftiReadOk(fds.bytes());
    EXPECT_EQ(instrument.type, fti::kTypeFds);
    EXPECT_EQ(instrument.name, "Organ");
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(instrument.fds.wave[i], fds.fdsWave[static_cast<size_t>(i)]) << i;
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(instrument.fds.mod[i], fds.fdsMod[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(instrument.fds.modSpeed, 300);
    EXPECT_EQ(instrument.fds.modDepth, 12);
    EXPECT_EQ(instrument.fds.modDelay, 30);
    EXPECT_EQ(instrument.sequences[Volume], (fti::Sequence{true, 1, 3, 0, {31, 24, 16, 8, 0}}));
    EXPECT_EQ(instrument.sequences[Arp], (fti::Sequence{true, -1, -1, fti::kArpFixed, {48, 60}}));
    EXPECT_EQ(instrument.sequences[Pitch], (fti::Sequence{true, 0, -1, 0, {2, -2}}));
    EXPECT_EQ(instrument.sequences[HiPitch], fti::Sequence{});
    EXPECT_EQ(instrument.sequences[Duty], fti::Sequence{});
    EXPECT_EQ(fti::write(instrument), fds.bytes());
    // Steps and codes past their bits are masked; files before 2.3 count the
    // volume in 16 steps and are doubled (to at most 31).
    FtiBuilder older = fds;
    older.version = "2.2";
    older.fdsWave[0] = 0xFF;
    older.fdsMod[0] = 0x0F;
    older.fdsSequences[0] = seq({15, 8, 20, 0});
    instrument = ftiReadOk(older.bytes());
    EXPECT_EQ(instrument.fds.wave[0], 0x3F);
    EXPECT_EQ(instrument.fds.mod[0], 7);
    EXPECT_EQ(instrument.sequences[Volume].items, (std::vector<int8_t>{30, 16, 31, 0}));

    const FtiBuilder n163 = n163File();
    instrument = ftiReadOk(n163.bytes());
    EXPECT_EQ(instrument.type, fti::kTypeN163);
    EXPECT_EQ(instrument.n163.waveSize, 8);
    EXPECT_EQ(instrument.n163.wavePosition, 16);
    EXPECT_EQ(instrument.n163.waveCount, 3);
    EXPECT_EQ(instrument.n163.waves,
              (std::vector<uint8_t>{0, 2, 4, 6, 8, 10, 12, 15, 15, 12, 10, 8, 6, 4, 2, 0, 7, 7, 7, 7, 8, 8, 8, 8}));
    EXPECT_EQ(instrument.sequences[Duty], (fti::Sequence{true, 2, -1, 0, {0, 1, 2}}));
    EXPECT_EQ(fti::write(instrument), n163.bytes());
}

TEST(FtiFile, FdsAndN163DamageIsOneLineAndEveryPrefixIsRefused)
{
    FtiBuilder flagged = n163File();  // 2.5, with the auto position flag and without
    flagged.version = "2.5";
    flagged.autoPosition = 0;
    FtiBuilder unflagged = flagged;
    unflagged.autoPosition.reset();
    for (const FtiBuilder& file : {fdsFile(), n163File(), flagged, unflagged}) {
        const Bytes bytes = file.bytes();
        for (size_t size = 0; size < bytes.size(); ++size)
            EXPECT_FALSE(ftiReadError(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size))).empty())
                << file.type << " " << size;
    }
    const Bytes fds = fdsFile().bytes();
    const size_t volumeCount = 7 + 4 + 5 + 64 + 32 + 12;
    const auto patched = [](Bytes bytes, size_t at, int32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<size_t>(i)] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
        return ftiReadError(bytes);
    };
    const auto n163 = [](auto change) {
        FtiBuilder file = n163File();
        change(file);
        return ftiReadError(file.bytes());
    };
    // A 2.5 file with the auto position flag, less its last bytes.
    const auto cut25 = [](int32_t flag, size_t drop) {
        FtiBuilder file = n163File();
        file.version = "2.5";
        file.autoPosition = flag;
        const Bytes bytes = file.bytes();
        return ftiReadError(Bytes(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(drop)));
    };
    const std::pair<std::string, std::string> cases[] = {
        {patched(fds, volumeCount, -1), "the FDS volume sequence has a negative item count (-1)"},
        {patched(fds, volumeCount, 1000), "the FDS volume sequence counts 1000 items, the file holds 41 more bytes"},
        {ftiReadError(Bytes(fds.begin(), fds.begin() + 60)), "cut short in the FDS wave and modulation table"},
        {ftiReadError(Bytes(fds.begin(), fds.begin() + static_cast<std::ptrdiff_t>(volumeCount) - 2)),
         "cut short in the FDS modulation speed, depth and delay"},
        {n163([](FtiBuilder& f) { f.waveSize = 6; }),
         "the N163 wave size 6 is not a multiple of 4 from 4 to 240, which Plinka's waves hold"},
        {n163([](FtiBuilder& f) { f.waveSize = 244; }),
         "the N163 wave size 244 is not a multiple of 4 from 4 to 240, which Plinka's waves hold"},
        {n163([](FtiBuilder& f) { f.waveSize = -8; }),
         "the N163 wave size -8 is not a multiple of 4 from 4 to 240, which Plinka's waves hold"},
        {n163([](FtiBuilder& f) { f.waves.clear(); }), "the N163 instrument counts 0 waves (1 to 64)"},
        {n163([](FtiBuilder& f) { f.waves.assign(65, std::vector<int>(8, 1)); }),
         "the N163 instrument counts 65 waves (1 to 64)"},
        {n163([](FtiBuilder& f) { f.waveSize = 12; }), "the N163 waves take 36 bytes, the file holds 24 more"},
        // A 2.5 file cut short is read in the layout its bytes have.
        {cut25(1, 10), "the N163 waves take 24 bytes, the file holds 14 more"},
        {cut25(0, 23), "the N163 waves take 24 bytes, the file holds 1 more"},
        {cut25(1, 26), "cut short in the N163 wave size, position and count"},
        {n163([](FtiBuilder& f) {
             f.version = "2.5";
             f.waveSize = 12;
         }),
         "the N163 waves take 36 bytes, the file holds 24 more"},
        {n163([](FtiBuilder& f) {
             f.version = "2.5";
             f.autoPosition = 0;
             f.waves.clear();
         }),
         "the N163 instrument counts 0 waves (1 to 64)"},
    };
    for (const auto& [error, expected] : cases)
        EXPECT_EQ(error, expected);
}

// A 2.5 file of any kind reads as its 2.4 twin and is written as that twin;
// an N163 one may hold the auto position flag after its position, told by
// where its waves end, and with the flag on the tracker places the wave in
// RAM itself as Plinka does: the position is no loss and gets no note.
TEST(FtiFile, Version25FilesReadAsTheir24TwinsAndAnN163OneMayHoldTheAutoPositionFlag)
{
    FtiBuilder pulse;
    pulse.sequences[0] = seq({15, 10, 5, 0}, 1, 2, 0);
    pulse.sequences[4] = seq({2, 1}, 0);
    pulse.dpcmKeys = {{50, 1, 0x8C, 0x40}};
    pulse.dpcmSamples = {{0, "kick", "\x01\x02\x03"}};
    FtiBuilder typeNone = pulse;
    typeNone.type = 0;
    FtiBuilder vrc6;
    vrc6.type = 2;
    vrc6.sequences[0] = seq({40, 20, 0}, -1, -1, fti::kVolume64Steps);
    FtiBuilder vrc7;
    vrc7.type = 3;
    vrc7.vrc7Patch = 5;
    FtiBuilder s5b;
    s5b.type = 6;
    s5b.sequences[4] = seq({0x40, 0xDF, 0x20}, -1, 1);
    const struct {
        FtiBuilder file;
        std::optional<int32_t> flag;  // of an N163 file, after its position
        size_t keep = 0;              // bytes kept of the file; 0: all
    } twins[] = {
        {pulse, {}}, {typeNone, {}}, {vrc6, {}},       {vrc7, {}},      {vrc7, {}, 7 + 4 + 4}, {fdsFile(), {}},
        {s5b, {}},   {s5b, {}, 15},  {n163File(), {}}, {n163File(), 0}, {n163File(), 1},
    };
    for (const auto& twin : twins) {
        SCOPED_TRACE(std::to_string(twin.file.type) + " " + std::to_string(twin.flag.value_or(-1)));
        FtiBuilder newer = twin.file;
        newer.version = "2.5";
        newer.autoPosition = twin.flag;
        const auto kept = [&](const FtiBuilder& file) {
            const Bytes bytes = file.bytes();
            return twin.keep == 0 ? bytes
                                  : Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(twin.keep));
        };
        const fti::Instrument older = ftiReadOk(kept(twin.file));
        fti::Instrument instrument = ftiReadOk(kept(newer));
        EXPECT_EQ(instrument.version, 25);
        EXPECT_EQ(instrument.n163.autoWavePosition, twin.flag == 1);
        instrument.version = older.version;
        instrument.n163.autoWavePosition = false;
        EXPECT_EQ(instrument, older);
        EXPECT_EQ(fti::write(ftiReadOk(kept(newer))), fti::write(older));  // as 2.4, the flag left out
    }

    // One wave puts a 1 where the flag would be: the file's end tells them
    // apart, and so it does when a 4-sample wave starts as a wave count would.
    for (const std::vector<int>& wave : {std::vector<int>{3, 1, 4, 1, 5, 9, 2, 6}, std::vector<int>{2, 0, 0, 0}})
        for (const std::optional<int32_t> flag : {std::optional<int32_t>{}, std::optional<int32_t>{1}}) {
            FtiBuilder file = n163File();
            file.version = "2.5";
            file.autoPosition = flag;
            file.waveSize = static_cast<int32_t>(wave.size());
            file.waves = {wave};
            const fti::Instrument instrument = ftiReadOk(file.bytes());
            EXPECT_EQ(instrument.n163.autoWavePosition, flag.has_value());
            EXPECT_EQ(instrument.n163.waveCount, 1);
            EXPECT_EQ(instrument.n163.waves, std::vector<uint8_t>(wave.begin(), wave.end()));
        }

    // Imported, the flag on drops the position's note; exported, nothing of it is written.
    for (const int32_t flag : {0, 1}) {
        FtiBuilder file = n163File();
        file.version = "2.5";
        file.autoPosition = flag;
        auto program = std::make_unique<Program>();
        std::vector<std::string> notes;
        fticonversion::toProgram(ftiReadOk(file.bytes()), N163, *program, notes);
        EXPECT_EQ(notes, flag ? std::vector<std::string>{}
                              : std::vector<std::string>{"Wave: the tracker's wave position 16 left out; Plinka "
                                                         "places each wave in the chip's RAM itself"});
        fti::Instrument exported;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_FALSE(exported.n163.autoWavePosition);
        EXPECT_EQ(fti::write(exported), n163File(0).bytes());
    }
}

TEST(FtiConversion, FdsAndN163InstrumentsBecomeWaveProgramsAndGoOutAsTheSameFiles)
{
    auto program = std::make_unique<Program>();
    std::vector<std::string> notes;
    const FtiBuilder fds = fdsFile();
    fticonversion::toProgram(ftiReadOk(fds.bytes()), Fds, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(program->channelType, Fds);
    const char* fdsTexts[] = {"31 | 24 16 8 / 0", "@60 @72", "| 2 -2", "0", "0"};
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        EXPECT_STREQ(program->envelopeText[kind], fdsTexts[kind]) << kind;
    EXPECT_EQ(std::string(program->waveText), fdsWaveTextOf(fds));
    fti::Instrument exported;
    std::string error;
    ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(fti::write(exported), fds.bytes());

    // A table of codes 0 bends nothing: no "mod" in the text, zeros in the file.
    // Any other table is kept, even with no speed or depth to play it.
    for (const bool swings : {false, true}) {
        FtiBuilder plain = fds;
        plain.fdsMod.assign(32, 0);
        plain.fdsMod[31] = swings ? 3 : 0;
        plain.modSpeed = plain.modDepth = plain.modDelay = 0;
        fticonversion::toProgram(ftiReadOk(plain.bytes()), Fds, *program, notes);
        EXPECT_EQ(std::string(program->waveText).find(" mod 0 0") != std::string::npos, swings) << program->waveText;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_EQ(fti::write(exported), plain.bytes());
    }

    notes.clear();
    fticonversion::toProgram(ftiReadOk(n163File().bytes()), N163, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{"Wave: the tracker's wave position 16 left out; Plinka places each "
                                              "wave in the chip's RAM itself"});
    const char* n163Texts[] = {"15 9 4", "0", "0", "1", "0 1 | 2"};
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        EXPECT_STREQ(program->envelopeText[kind], n163Texts[kind]) << kind;
    EXPECT_STREQ(program->waveText, "0 2 4 6 8 10 12 15 ; 15 12 10 8 6 4 2 0 ; 7 7 7 7 8 8 8 8");
    notes.clear();
    ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(fti::write(exported), n163File(0).bytes());  // the position Plinka's RAM has no use for: 0
}

// What a program says that the tracker's FDS and N163 instruments cannot, and
// tracker waves a wave text cannot hold: each a note, the rest kept.
TEST(FtiConversion, WhatTheWaveInstrumentsCannotCarryIsANote)
{
    struct Export {
        int32_t channel;
        const char* texts[kEnvelopeKindCount];
        const char* wave;
        std::vector<std::string> notes;
        std::vector<int8_t> volumeItems, dutyItems;
    };
    const Export exports[] = {
        {Fds,
         {"32 31", "0", "0", "1", "2"},
         "mod-delay 300",
         {"Wave: mod-delay 300 written as 255 frames, the longest a tracker waits",
          "Volume: values outside 0..31 moved to the nearest",
          "Hi-Pitch: left out; an FDS instrument has no hi-pitch "
          "sequence",
          "Duty: left out; an FDS instrument has no duty sequence"},
         {31, 31},
         {}},
        {Vrc7,
         {"12", "0 4", "0", "0", "0"},
         "patch 4 sustain on",
         {"Patch: sustain on left out; a tracker instrument has no place for it",
          "Volume: left out; a VRC7 instrument has no sequences", "Arp: left out; a VRC7 instrument has no sequences"},
         {},
         {}},
        {N163,
         {"15", "0", "0", "0", "0 3 1"},
         "1 2 3 4 ; 5 6 7 8",
         {"Duty: values outside 0..1, the program's waves, written as the nearest wave"},
         {},
         {0, 1, 1}},
    };
    auto program = std::make_unique<Program>();
    for (const Export& example : exports) {
        *program = Program{};
        program->channelType = example.channel;
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program->envelopeText[kind], example.texts[kind]);
        copyTextField(program->waveText, example.wave);
        fti::Instrument exported;
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_EQ(notes, example.notes);
        EXPECT_EQ(exported.sequences[Volume].items, example.volumeItems);
        EXPECT_EQ(exported.sequences[Duty].items, example.dutyItems);
        EXPECT_EQ(ftiReadOk(fti::write(exported)), exported);
    }
    // A wave text that does not compile is the export's one error.
    copyTextField(program->waveText, "1 2 3");
    fti::Instrument exported;
    std::vector<std::string> notes;
    std::string error;
    EXPECT_FALSE(fticonversion::fromProgram(*program, exported, notes, error));
    EXPECT_EQ(error, std::string("Wave: ") + kErrorN163WaveLength);
    program->channelType = Vrc7;
    copyTextField(program->waveText, "patch 16");
    EXPECT_FALSE(fticonversion::fromProgram(*program, exported, notes, error));
    EXPECT_EQ(error, std::string("Patch: ") + kErrorVrc7Patch);

    // 64 waves of 32 samples: 10 fit a wave text (98 characters each with
    // the separator); the others are said. An FDS wave on a pulse is said too.
    FtiBuilder many = n163File(0);
    many.waveSize = 32;
    many.waves.assign(64, std::vector<int>(32, 15));
    notes.clear();
    fticonversion::toProgram(ftiReadOk(many.bytes()), N163, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{"Wave: 54 of the 64 waves left out, more than a wave text holds; Duty "
                                              "steps past wave 9 play the last kept"});
    EXPECT_EQ(std::string(program->waveText).size(), 10u * 98 - 3);
    notes.clear();
    fticonversion::toProgram(ftiReadOk(fdsFile().bytes()), Pulse, *program, notes);
    EXPECT_EQ(notes, (std::vector<std::string>{"Volume: values outside 0..15 moved to the nearest",
                                               "Wave: left out; only an FDS program plays it"}));
    EXPECT_STREQ(program->waveText, "");
}

// A VRC7 instrument is a VRC7 program of its patch, its envelopes a new
// program's, and goes out as the same file: the custom bytes of a built-in
// patch are in the text only when they are not a new instrument's.
TEST(FtiConversion, Vrc7InstrumentsBecomeVrc7ProgramsOfTheirPatchAndGoOutAsTheSameFiles)
{
    const std::vector<int> kDefault = {0x01, 0x21, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x0F};
    const std::vector<int> kOwn = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    const struct {
        int32_t patch;
        std::vector<int> custom;
        const char* wave;
    } examples[] = {
        {3, kDefault, "patch 3"},
        {15, kOwn, "patch 15 custom 12 34 56 78 9A BC DE F0"},
        {0, kOwn, "patch custom custom 12 34 56 78 9A BC DE F0"},
        {0, kDefault, "patch custom custom 01 21 00 00 00 F0 00 0F"},
    };
    auto program = std::make_unique<Program>();
    for (const auto& example : examples) {
        SCOPED_TRACE(example.wave);
        FtiBuilder file;
        file.type = 3;
        file.name = "Brass";
        file.vrc7Patch = example.patch;
        file.vrc7Custom = example.custom;
        const fti::Instrument instrument = ftiReadOk(file.bytes());
        EXPECT_EQ(fticonversion::chooseChannel(instrument).channelType, Vrc7);
        EXPECT_EQ(fticonversion::channelFor(instrument, Pulse), Vrc7);
        std::vector<std::string> notes;
        copyTextField(program->envelopeText[Volume], "1 2 3");  // a program's texts all go
        fticonversion::toProgram(instrument, Vrc7, *program, notes);
        EXPECT_EQ(notes, std::vector<std::string>{});
        EXPECT_EQ(program->channelType, Vrc7);
        const char* fresh[] = {"15", "0", "0", "0", "0"};
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            EXPECT_STREQ(program->envelopeText[kind], fresh[kind]) << kind;
        EXPECT_STREQ(program->waveText, example.wave);
        fti::Instrument exported;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_EQ(notes, std::vector<std::string>{});
        EXPECT_EQ(fti::write(exported), file.bytes());
    }
    // Typed texts: a custom patch without bytes goes out with a new
    // instrument's, the text's bytes go out for a built-in patch too.
    for (const auto& [typed, patch, custom] : {std::tuple{"", 1, kDefault}, std::tuple{"patch custom", 0, kDefault},
                                               std::tuple{"patch 9 custom 12 34 56 78 9a bc de f0", 9, kOwn}}) {
        *program = Program{};
        program->channelType = Vrc7;
        copyTextField(program->waveText, typed);
        fti::Instrument exported;
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_EQ(exported.type, fti::kTypeVrc7);
        EXPECT_EQ(exported.vrc7.patch, patch) << typed;
        EXPECT_TRUE(std::equal(custom.begin(), custom.end(), exported.vrc7.custom.begin())) << typed;
    }

    // The patch plays on a VRC7 program only; another instrument there plays patch 1.
    FtiBuilder file;
    file.type = 3;
    std::vector<std::string> notes;
    fticonversion::toProgram(ftiReadOk(file.bytes()), Pulse, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{"Patch: left out; only a VRC7 program plays it"});
    EXPECT_STREQ(program->waveText, "");
    notes.clear();
    FtiBuilder pulse;
    pulse.sequences[Volume] = seq({9});
    fticonversion::toProgram(ftiReadOk(pulse.bytes()), Vrc7, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{"Patch: the instrument has no VRC7 patch; patch 1 plays"});
    EXPECT_STREQ(program->envelopeText[Volume], "9");
    EXPECT_STREQ(program->waveText, "");
    // A file that stops after its name: a new instrument, and a note.
    const Bytes bytes = file.bytes();
    notes.clear();
    fticonversion::toProgram(ftiReadOk(Bytes(bytes.begin(), bytes.end() - 12)), Vrc7, *program, notes);
    EXPECT_EQ(notes, std::vector<std::string>{"the file stops after the name, as an early tracker would have saved "
                                              "it: a new VRC7 instrument, its custom patch a new instrument's"});
    EXPECT_STREQ(program->waveText, "patch custom custom 01 21 00 00 00 F0 00 0F");
}

// Random FDS, N163 and VRC7 instruments come back from their programs with
// every field the file carries: wave, modulator, volume, waves, patch.
TEST(FtiConversion, RandomWaveInstrumentsComeBackFromTheirProgramsExactly)
{
    std::mt19937 random(20261210);
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    auto program = std::make_unique<Program>();
    for (int round = 0; round < 450; ++round) {
        fti::Instrument instrument;
        instrument.name = "r" + std::to_string(round);
        if (round % 3 == 2) {
            instrument.type = fti::kTypeVrc7;
            instrument.vrc7.patch = pick(0, 15);
            // A built-in patch keeps the default bytes half the time.
            if (instrument.vrc7.patch == 0 || pick(0, 1) != 0)
                for (uint8_t& value : instrument.vrc7.custom)
                    value = static_cast<uint8_t>(pick(0, 255));
        } else if (round % 3 == 0) {
            instrument.type = fti::kTypeFds;
            for (uint8_t& step : instrument.fds.wave)
                step = static_cast<uint8_t>(pick(0, 63));
            const bool swings = pick(0, 3) != 0;
            for (uint8_t& code : instrument.fds.mod)
                code = static_cast<uint8_t>(swings ? pick(0, 7) : 0);
            instrument.fds.modSpeed = pick(0, 4095);
            instrument.fds.modDepth = pick(0, 63);
            instrument.fds.modDelay = pick(0, 255);
        } else {
            instrument.type = fti::kTypeN163;
            instrument.n163.waveSize = 4 * pick(1, 8);
            instrument.n163.waveCount = pick(1, 4);
            instrument.n163.waves.resize(static_cast<size_t>(instrument.n163.waveSize * instrument.n163.waveCount));
            for (uint8_t& sample : instrument.n163.waves)
                sample = static_cast<uint8_t>(pick(0, 15));
            instrument.sequences[Duty] = {true, -1, -1, 0, {0, static_cast<int8_t>(instrument.n163.waveCount - 1)}};
        }
        const int32_t top = instrument.type == fti::kTypeFds ? 31 : 15;
        if (instrument.type != fti::kTypeVrc7)
            instrument.sequences[Volume] = {true, -1, -1, 0, {static_cast<int8_t>(pick(0, top)), 0}};
        std::vector<std::string> notes;
        fticonversion::toProgram(instrument, fticonversion::chooseChannel(instrument).channelType, *program, notes);
        EXPECT_EQ(notes, std::vector<std::string>{}) << round;
        fti::Instrument exported;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, exported, notes, error)) << error;
        EXPECT_EQ(notes, std::vector<std::string>{}) << round;
        EXPECT_EQ(exported, instrument) << round;
        EXPECT_EQ(ftiReadOk(fti::write(exported)), instrument) << round;
    }
}

TEST(FtiConversion, SequencesBecomeTheEnvelopeTextsWithANoteForWhatIsNotExact)
{
    struct Case {
        int kind;
        FtiSequence sequence;
        std::string text;
        std::string note;  // empty: exact
    };
    const std::vector<int> long300(300, 1);
    const std::vector<Case> cases = {
        {Volume, seq({15, 12, 10, 8, 0}, 1, 3), "15 | 12 10 8 / 0", ""},
        {Volume, seq({15, 12, 10}, 2, -1), "15 12 | 10", ""},
        {Volume, off(), "15", ""},
        {Volume, seq({}), "15", ""},
        {Volume, seq({20, -1, 4}), "15 0 4", "Volume: values outside 0..15 moved to the nearest"},
        {Volume, seq({15, 8, 4}, -1, 0), "15 / 8 4",
         "Volume: the release ends at volume 4, which the tracker holds; Plinka ends the note there"},
        {Volume, seq({15, 8, 0}, 2, 0), "15 / 8 0",
         "Volume: the loop comes after the release point, which Plinka cannot play; the loop is left out"},
        {Volume, seq({15, 8}, -1, 1), "15 8",
         "Volume: the release ends at volume 8, which the tracker holds; Plinka ends the note there"},
        {Volume, seq({15, 0}, 5, -1), "15 0", "Volume: loop point 5 lies outside the sequence; left out"},
        {Volume, seq({15, 0}, -1, -7), "15 0", "Volume: release point -7 lies outside the sequence; left out"},
        {Volume, seq(long300), "", "Volume: 300 items; the tracker plays the first 252, and so does this program"},
        {Arp, seq({0, 4, 7}, 0, -1, fti::kArpAbsolute), "| 0 4 7", ""},
        {Arp, seq({45, -12, 0, 120}, -1, -1, fti::kArpFixed), "@57 @0 @12 @127",
         "Arp: fixed notes outside @0..@127 moved to the nearest"},
        {Arp, seq({0, 12, -5}, -1, 1, fti::kArpRelative), "0 12 / 7", ""},
        {Arp, seq({0, 12, -5}, 1, -1, fti::kArpRelative), "0 | 12 7",
         "Arp: relative arpeggio made into steps from the note; they no longer add up each time the loop repeats"},
        {Arp, seq({3}, -1, -1, 4), "3", "Arp: unknown arpeggio setting 4, read as absolute"},
        // The scheme: an offset in the low six bits (37..63 wrapping to
        // -27..-1), x, y or -y in the top two, which count as 0 here.
        {Arp, seq({0, 76, -128, 12, 64, -116}, 0, -1, fti::kArpScheme), "| 0 12 0 12 0 12",
         "Arp: scheme arpeggio: Plinka has no chord arguments, so x and y count as 0 and each item plays its offset "
         "alone"},
        {Arp, seq({0, 7, 36, 52, 37}, -1, -1, fti::kArpScheme), "0 7 36 -12 -27", ""},
        {Arp, seq(std::vector<int>(252, 115), -1, -1, fti::kArpFixed), "",
         "Arp: longer than an envelope text holds; cut to its first 204 values"},
        {Pitch, seq({2, -3}, 1, -1, fti::kPitchRelative), "2 | -3", ""},
        {Pitch, seq({2, 5, 5, -1}, -1, 2, fti::kPitchAbsolute), "2 3 0 / -6", ""},
        {Pitch, seq({2, 5}, 0, -1, fti::kPitchAbsolute), "| 2 3",
         "Pitch: absolute pitch made into relative steps; the loop now moves the pitch on each time it repeats"},
        {Pitch, seq({100, -100, 0}, -1, -1, fti::kPitchAbsolute), "100 -128 28",
         "Pitch: steps beyond -128..127, which a tracker sequence cannot hold, moved to the nearest"},
        {Arp, seq({100, 100, -128}, -1, -1, fti::kArpRelative), "100 127 72",
         "Arp: steps beyond -128..127, which a tracker sequence cannot hold, moved to the nearest"},
        {HiPitch, seq({-128, 127}), "-128 127", ""},
        {HiPitch, off(), "0", ""},
        {Duty, seq({0, 3, 5}, 0), "| 0 3 3", "Duty: values outside 0..3 moved to the nearest"},
    };
    auto program = std::make_unique<Program>();
    for (const Case& c : cases) {
        fti::Instrument instrument;
        const FtiSequence& s = c.sequence;
        instrument.sequences[c.kind] = {s.enabled, s.loop, s.release, s.setting,
                                        std::vector<int8_t>(s.items.begin(), s.items.end())};
        const Imported imported = import(instrument, *program);
        std::string expected = c.text;
        if (c.kind == Volume && s.items.size() == 300) {
            expected = "1";
            for (int i = 1; i < 252; ++i)
                expected += " 1";
        } else if (c.kind == Arp && s.items.size() == 252) {
            expected = "@127";
            for (int i = 1; i < 204; ++i)
                expected += " @127";
        }
        EXPECT_EQ(imported.texts[c.kind], expected) << c.note;
        EXPECT_EQ(imported.notes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note})
            << c.text;
        Envelope envelope;
        EXPECT_EQ(compileEnvelopeOfKind(expected.c_str(), envelope, c.kind), nullptr) << expected;
    }

    fti::Instrument instrument;
    instrument.name = std::string(40, 'n');
    instrument.dpcmKeys.resize(1);
    instrument.dpcmSamples.resize(2);
    const Imported imported = import(instrument, *program);
    EXPECT_EQ(std::string(program->name), std::string(31, 'n'));
    EXPECT_EQ(imported.notes,
              (std::vector<std::string>{"name: \"" + std::string(40, 'n') + "\" cut to 31 bytes",
                                        "DPCM: 1 key assignment and 2 samples left out; only a Sample program plays them"}));
}

TEST(FtiConversion, Vrc6WidthsAndTheSawsRatesComeInByTheProgramsChannel)
{
    struct Case {
        int type;
        int32_t channel;
        int kind;
        FtiSequence sequence;
        std::string text;
        std::string note;  // empty: exact
    };
    const std::string rounded = "Volume: the tracker's 16 volume steps made into the saw's rates (volume 15 is rate "
                                "42), some rounded to the nearest rate";
    const std::vector<Case> cases = {
        {fti::kTypeVrc6, Vrc6Pulse, Duty, seq({0, 7, 9}), "0 7 7", "Duty: values outside 0..7 moved to the nearest"},
        {fti::kType2A03, Vrc6Pulse, Duty, seq({5}), "5", ""},
        {fti::kTypeVrc6, Pulse, Duty, seq({5}), "3", "Duty: values outside 0..3 moved to the nearest"},
        {fti::kTypeVrc6, Vrc6Pulse, Volume, seq({15, 7}), "15 7", ""},
        {fti::kTypeVrc6, Vrc6Saw, Volume, seq({15, 10, 5, 0}), "42 28 14 0", ""},
        {fti::kTypeVrc6, Vrc6Saw, Volume, seq({1, 14}), "3 39", rounded},
        {fti::kType2A03, Vrc6Saw, Volume, seq({15, 20}), "42 42", "Volume: values outside 0..15 moved to the nearest"},
        {fti::kTypeVrc6, Vrc6Saw, Volume, seq({63, 43, 0}, -1, -1, fti::kVolume64Steps), "63 43 0", ""},
        {fti::kTypeVrc6, Vrc6Saw, Volume, seq({70}, -1, -1, fti::kVolume64Steps), "63",
         "Volume: values outside 0..63 moved to the nearest"},
        {fti::kTypeVrc6, Vrc6Pulse, Volume, seq({42, 28, 20, 0}, -1, -1, fti::kVolume64Steps), "15 10 7 0", ""},
        {fti::kTypeVrc6, Vrc6Pulse, Volume, seq({21, 63}, -1, -1, fti::kVolume64Steps), "8 15",
         "Volume: the 64-step volume made into 16 steps (rate 42 is volume 15), some rounded to the nearest step"},
        {fti::kType2A03, Pulse, Volume, seq({9}, -1, -1, fti::kVolume64Steps), "9", ""},
        {fti::kTypeVrc6, Vrc6Saw, Volume, seq({5}, -1, -1, 2), "14",
         "Volume: unknown volume setting 2, read as 16 steps"},
    };
    auto program = std::make_unique<Program>();
    for (const Case& c : cases) {
        fti::Instrument instrument;
        instrument.type = c.type;
        const FtiSequence& s = c.sequence;
        instrument.sequences[c.kind] = {s.enabled, s.loop, s.release, s.setting,
                                        std::vector<int8_t>(s.items.begin(), s.items.end())};
        std::vector<std::string> notes;
        fticonversion::toProgram(instrument, c.channel, *program, notes);
        EXPECT_EQ(program->channelType, c.channel);
        EXPECT_STREQ(program->envelopeText[c.kind], c.text.c_str()) << c.note;
        EXPECT_EQ(notes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note}) << c.text;
    }
}

// The 5B's duty sequence is a bit field (0x80 noise, 0x40 tone, 0x20 the
// chip's envelope, 0x1F the noise period); Plinka's 5B Duty is a mode.
TEST(FtiConversion, The5bDutyBitFieldBecomesItsModesAndTheModesGoBackAsTheBitField)
{
    const std::string silent = "Duty: steps with neither tone, noise nor envelope on, silent in the tracker, play "
                               "the tone";
    const std::string envelope = "Duty: the chip's envelope, whose shape and period the tracker's patterns set, made "
                                 "into the saw buzz at the key's pitch";
    const std::string period = "Duty: the tracker's fixed noise periods left out; Plinka's follows the key";
    struct In {
        std::vector<int> items;
        const char* text;
        std::vector<std::string> notes;
    };
    const In imports[] = {
        {{0x40, 0x80, 0xC0}, "0 1 2", {}},
        {{0x5F, 0x80, 0xC0}, "0 1 2", {}},  // a period under the tone alone plays nothing
        {{0x40, 0x8C, 0xC1}, "0 1 2", {period}},
        {{0x20, 0x60, 0xE7}, "3 3 3", {envelope}},
        {{0x00, 0x1F, 0x80}, "0 0 1", {silent}},
        {{0x00, 0x20, 0x9F}, "0 3 1", {silent, envelope, period}},
    };
    auto program = std::make_unique<Program>();
    for (const In& c : imports) {
        fti::Instrument instrument;
        instrument.type = fti::kTypeS5b;
        instrument.sequences[Duty] = {true, 1, -1, 0, std::vector<int8_t>(c.items.begin(), c.items.end())};
        std::vector<std::string> notes;
        fticonversion::toProgram(instrument, S5b, *program, notes);
        EXPECT_EQ(std::string(program->envelopeText[Duty]), std::string(c.text).insert(2, "| ")) << c.text;
        EXPECT_EQ(notes, c.notes) << c.text;
    }

    const std::string buzz = "Duty: the buzz written as the tracker's envelope bit, whose shape and period its "
                             "patterns set";
    struct Out {
        const char* text;
        std::vector<int8_t> items;
        std::vector<std::string> notes;
    };
    const Out exports[] = {
        {"0 1 2", {0x40, -0x80, -0x40}, {}},
        {"3 0", {0x20, 0x40}, {buzz}},
        {"4", {0x20}, {buzz + "; the triangle buzz comes back as the saw"}},
        {"5 -1 7",
         {0x40, 0x20, -0x40},
         {"Duty: values outside 0..4 written as the mode they play, the value modulo 5",
          buzz + "; the triangle buzz comes back as the saw"}},
    };
    program->channelType = S5b;
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        copyTextField(program->envelopeText[kind], "");
    for (const Out& c : exports) {
        copyTextField(program->envelopeText[Duty], c.text);
        fti::Instrument instrument;
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, instrument, notes, error)) << error;
        EXPECT_EQ(instrument.type, fti::kTypeS5b);
        EXPECT_EQ(instrument.sequences[Duty].items, c.items) << c.text;
        EXPECT_EQ(notes, c.notes) << c.text;
    }
}

TEST(FtiConversion, ASawExportsTheTrackers16VolumeStepsWhereTheyHoldItsRatesElse64)
{
    auto program = std::make_unique<Program>();
    copyTextField(program->name, "Saw");
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        copyTextField(program->envelopeText[kind], "0");
    copyTextField(program->envelopeText[Duty], "7 5");
    program->channelType = Vrc6Saw;
    const auto exported = [&](const char* volume, std::vector<std::string>& notes) {
        copyTextField(program->envelopeText[Volume], volume);
        fti::Instrument instrument;
        std::string error;
        EXPECT_TRUE(fticonversion::fromProgram(*program, instrument, notes, error)) << error;
        EXPECT_EQ(instrument.type, fti::kTypeVrc6);
        EXPECT_EQ(instrument.sequences[Duty].items, (std::vector<int8_t>{7, 5}));
        return instrument.sequences[Volume];
    };
    std::vector<std::string> notes;
    EXPECT_EQ(exported("42 | 20 3 0", notes), (fti::Sequence{true, 1, -1, fti::kVolume16Steps, {15, 7, 1, 0}}));
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(exported("42 21", notes), (fti::Sequence{true, -1, -1, fti::kVolume64Steps, {42, 21}}));
    EXPECT_EQ(exported("63", notes), (fti::Sequence{true, -1, -1, fti::kVolume64Steps, {63}}));
    EXPECT_EQ(notes, std::vector<std::string>(2, "Volume: the saw's rates written as a 64-step volume, which trackers "
                                                 "without it read as 16 steps"));
    program->channelType = Vrc6Pulse;
    notes.clear();
    EXPECT_EQ(exported("15 7", notes), (fti::Sequence{true, -1, -1, 0, {15, 7}}));
    EXPECT_EQ(notes, std::vector<std::string>{});
}

TEST(FtiConversion, ExportWritesTheSequencesAndSaysWhatATrackerCannotHold)
{
    auto program = std::make_unique<Program>();
    copyTextField(program->name, "Drum");
    copyTextField(program->envelopeText[Volume], "15 | 12 10 / 8 0");
    copyTextField(program->envelopeText[Arp], "@57 @12 @0");
    copyTextField(program->envelopeText[Pitch], "1 2 300 |");
    copyTextField(program->envelopeText[HiPitch], "");
    copyTextField(program->envelopeText[Duty], "2 @60");
    fti::Instrument instrument;
    std::vector<std::string> notes;
    std::string error;
    EXPECT_FALSE(fticonversion::fromProgram(*program, instrument, notes, error));
    EXPECT_EQ(error, "Duty: Error: Fixed notes (@) belong in the Arp envelope only");

    copyTextField(program->envelopeText[Duty], "2 | 1");
    notes.clear();
    ASSERT_TRUE(fticonversion::fromProgram(*program, instrument, notes, error)) << error;
    EXPECT_EQ(instrument.name, "Drum");
    EXPECT_EQ(instrument.sequences[Volume], (fti::Sequence{true, 1, 2, 0, {15, 12, 10, 8, 0}}));
    EXPECT_EQ(instrument.sequences[Arp], (fti::Sequence{true, -1, -1, fti::kArpFixed, {45, 0, 0}}));
    EXPECT_EQ(instrument.sequences[Pitch], (fti::Sequence{true, 2, -1, 0, {1, 2, 127}}));
    EXPECT_EQ(instrument.sequences[HiPitch], fti::Sequence{});
    EXPECT_EQ(instrument.sequences[Duty], (fti::Sequence{true, 1, -1, 0, {2, 1}}));
    EXPECT_EQ(notes, (std::vector<std::string>{"Arp: fixed notes outside the tracker's C-0 to B-7 (@12 to @107) "
                                               "moved to the nearest",
                                               "Pitch: values outside -128..127 moved to the nearest"}));

    notes.clear();
    copyTextField(program->envelopeText[Arp], "0 @60 4");
    ASSERT_TRUE(fticonversion::fromProgram(*program, instrument, notes, error));
    EXPECT_EQ(instrument.sequences[Arp], (fti::Sequence{true, -1, -1, fti::kArpAbsolute, {0, 0, 4}}));
    EXPECT_EQ(notes, (std::vector<std::string>{"Arp: fixed notes among steps from the note, which a tracker "
                                               "sequence cannot mix; they are written as step 0",
                                               "Pitch: values outside -128..127 moved to the nearest"}));
}

TEST(FtiConversion, ExportKeepsEveryItemInsideTheTrackersRangeForItsKind)
{
    struct Case {
        int kind;
        const char* text;
        std::vector<int8_t> items;
        std::string note;  // empty: exact
    };
    const Case cases[] = {
        {Volume, "0 15", {0, 15}, ""},
        {Volume, "16 -1 40", {15, 0, 15}, "Volume: values outside 0..15 moved to the nearest"},
        {Arp, "@12 @107", {0, 95}, ""},
        {Arp,
         "@0 @11 @108 @127",
         {0, 0, 95, 95},
         "Arp: fixed notes outside the tracker's C-0 to B-7 (@12 to @107) moved to the nearest"},
        {Arp, "-96 96", {-96, 96}, ""},
        {Arp, "-97 200", {-96, 96}, "Arp: values outside -96..96 moved to the nearest"},
        {Pitch, "-128 127", {-128, 127}, ""},
        {Pitch, "-129 300", {-128, 127}, "Pitch: values outside -128..127 moved to the nearest"},
        {HiPitch, "-200 5", {-128, 5}, "Hi-Pitch: values outside -128..127 moved to the nearest"},
        {Duty, "0 3", {0, 3}, ""},
        {Duty, "4 5 -1", {0, 1, 3}, "Duty: values outside 0..3 written as the duty they play, the value modulo 4"},
    };
    auto program = std::make_unique<Program>();
    for (const Case& c : cases) {
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program->envelopeText[kind], kind == c.kind ? c.text : "");
        fti::Instrument instrument;
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(*program, instrument, notes, error)) << error;
        EXPECT_EQ(instrument.sequences[c.kind].items, c.items) << c.text;
        EXPECT_EQ(notes, c.note.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.note}) << c.text;
    }
}

TEST(FtiConversion, RandomInstrumentsImportExportAndImportToTheSameProgram)
{
    std::mt19937 random(20261209);
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    // What the tracker accepts of each kind, by setting: [kind][fixed arpeggio].
    const int range[kEnvelopeKindCount][2][2] = {{{0, 15}, {0, 15}},
                                                 {{-96, 96}, {0, 95}},
                                                 {{-128, 127}, {-128, 127}},
                                                 {{-128, 127}, {-128, 127}},
                                                 {{0, 3}, {0, 3}}};
    // A VRC6 instrument's eight duties, and the saw's rates as a 64-step volume;
    // a 5B instrument's duty is a bit field, any byte.
    const auto boundsOf = [&](int kind, int32_t setting, int type) -> std::array<int, 2> {
        const bool vrc6 = type == fti::kTypeVrc6;
        if (vrc6 && kind == Duty)
            return {0, 7};
        if (type == fti::kTypeS5b && kind == Duty)
            return {-128, 127};
        if (vrc6 && kind == Volume && setting == fti::kVolume64Steps)
            return {0, 63};
        const int* bounds = range[kind][kind == Arp && setting == fti::kArpFixed];
        return {bounds[0], bounds[1]};
    };
    auto first = std::make_unique<Program>();
    auto again = std::make_unique<Program>();
    for (int round = 0; round < 500; ++round) {
        // Mostly as a tracker writes them; every fourth with any byte.
        const bool anyByte = round % 4 == 0;
        fti::Instrument instrument;
        constexpr int kTypes[] = {fti::kType2A03, fti::kTypeVrc6, fti::kTypeS5b};
        instrument.type = kTypes[pick(0, 2)];
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            fti::Sequence& sequence = instrument.sequences[kind];
            sequence.enabled = pick(0, 5) != 0;
            sequence.setting = pick(0, 3);
            const auto bounds = boundsOf(kind, sequence.setting, instrument.type);
            sequence.items.resize(static_cast<size_t>(pick(0, pick(0, 1) ? 8 : 300)));
            for (int8_t& item : sequence.items)
                item = static_cast<int8_t>(anyByte ? pick(-128, 127) : pick(bounds[0], bounds[1]));
            const int size = static_cast<int>(sequence.items.size());
            sequence.loop = pick(0, 2) ? -1 : pick(-2, size);
            sequence.release = pick(0, 2) ? -1 : pick(-2, size);
        }
        std::vector<std::string> notes;
        constexpr int32_t kChannels[] = {Pulse, Triangle, Noise, Vrc6Pulse, Vrc6Saw, S5b, Mmc5Pulse};
        fticonversion::toProgram(instrument, kChannels[pick(0, 6)], *first, notes);
        fti::Instrument exported;
        std::string error;
        notes.clear();
        ASSERT_TRUE(fticonversion::fromProgram(*first, exported, notes, error)) << error;
        const Bytes bytes = fti::write(exported);
        ASSERT_EQ(ftiReadOk(bytes), exported);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const fti::Sequence& sequence = exported.sequences[kind];
            const auto bounds = boundsOf(kind, sequence.setting, exported.type);
            for (int8_t item : sequence.items)
                ASSERT_TRUE(item >= bounds[0] && item <= bounds[1]) << round << " kind " << kind << ": " << int{item};
            // The 5B's modes go out as the four fields the tracker's editor makes, noise period 0.
            if (exported.type == fti::kTypeS5b && kind == Duty) {
                for (int8_t item : sequence.items)
                    ASSERT_TRUE(item == 0x40 || item == -0x80 || item == -0x40 || item == 0x20) << int{item};
            }
        }
        // What the export said it moved may come back otherwise; the rest imports exactly, and only
        // what Plinka plays differently is said again.
        const std::vector<std::string> exportNotes = notes;
        const auto moved = [&](const std::string& note) {
            const std::string kind = note.substr(0, note.find(':') + 1);
            return std::any_of(exportNotes.begin(), exportNotes.end(),
                               [&](const std::string& said) { return said.rfind(kind, 0) == 0; });
        };
        notes.clear();
        fticonversion::toProgram(exported, first->channelType, *again, notes);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            const std::string name = banktext::kEnvelopeKindName[kind];
            if (!moved(name + ":")) {
                ASSERT_STREQ(again->envelopeText[kind], first->envelopeText[kind]) << round;
            }
        }
        for (const std::string& note : notes)
            EXPECT_TRUE(note.rfind("Volume: the release ends at volume ", 0) == 0 ||
                        note.rfind("Volume: the tracker's 16 volume steps made into the saw's rates", 0) == 0 || moved(note))
                << note;
        EXPECT_EQ(exported.type, channelKind(first->channelType).ftiType);
    }
}

namespace {

struct SampleImport {
    bool ok = false;
    std::string keys;
    std::vector<std::string> notes;
    std::string error;
};

SampleImport importSamples(const FtiBuilder& file, Program& program, SampleBank& bank)
{
    SampleImport result;
    const fti::Instrument instrument = ftiReadOk(file.bytes());
    result.ok = fticonversion::toProgram(instrument, fticonversion::channelFor(instrument, Pulse), program, bank,
                                         result.notes, result.error);
    result.keys = program.keyMapText;
    return result;
}

std::string bytesOfSample(const SampleBank& bank, const char* name)
{
    const int index = bank.find(name);
    if (index < 0)
        return "(none)";
    const DpcmSample& sample = bank.samples[index];
    return std::string(reinterpret_cast<const char*>(sample.bytes), static_cast<size_t>(sample.length));
}

}  // namespace

TEST(FtiConversion, DpcmKeysBecomeASampleProgramsKeyMapAndTheirSamplesGoIntoTheBank)
{
    const auto program = std::make_unique<Program>();
    const auto bank = std::make_unique<SampleBank>();
    FtiBuilder kit;
    kit.version = "2.4";
    kit.sequences[0] = seq({15, 8, 0});
    // Tracker notes: C-2 (24), D-2, F#2, C-0, B-7; the sample numbers count from 1.
    kit.dpcmKeys = {{24, 1, 0x0F, 0xFF}, {26, 2, 0x0E, 0x40}, {30, 1, 0x8C, 0x80},
                    {0, 3, 0x00, 0x00},  {95, 3, 0x8F, 0x7F}, {40, 0, 0x0F, 0xFF}};
    kit.dpcmSamples = {{1, "snare", std::string(33, '\x5A')},
                       {0, "kick", std::string(17, '\x0F')},
                       {2, "bass slap!", std::string(1, '\xF0')}};
    SampleImport imported = importSamples(kit, *program, *bank);
    ASSERT_TRUE(imported.ok) << imported.error;
    EXPECT_EQ(program->channelType, Sample);
    // The tracker's sample channel plays no instrument volume: neither does the kit.
    EXPECT_EQ(std::string(program->envelopeText[Volume]), "15");
    // The tracker's C-0 is key 12, as for fixed Arp notes; its "no sample" is silent.
    EXPECT_EQ(imported.keys,
              "12=bass_slap_:0:d0 36=kick:15 38=snare:14:d64 42=kick:12:loop 107=bass_slap_:15:loop:d127");
    EXPECT_EQ(imported.notes,
              (std::vector<std::string>{"Volume: left out, as the tracker's sample channel plays no instrument volume",
                                        "DPCM: sample \"bass slap!\" is bass_slap_ in the bank"}));
    ASSERT_EQ(bank->count, 3);
    EXPECT_STREQ(bank->samples[0].name, "bass_slap_");  // in the order the keys first play them
    EXPECT_EQ(bytesOfSample(*bank, "kick"), std::string(17, '\x0F'));
    EXPECT_EQ(bytesOfSample(*bank, "snare"), std::string(33, '\x5A'));
    EXPECT_EQ(bytesOfSample(*bank, "bass_slap_"), std::string(1, '\xF0'));
    const auto map = std::make_unique<KeyMap>();
    EXPECT_EQ(compileKeyMap(program->keyMapText, *bank, *map), nullptr);
    EXPECT_EQ(map->entryCount, 5);

    // Again: the identical samples are reused; a different kick gets a number.
    FtiBuilder other = kit;
    other.dpcmSamples[1].bytes = std::string(17, '\x01');
    imported = importSamples(other, *program, *bank);
    ASSERT_TRUE(imported.ok) << imported.error;
    EXPECT_EQ(bank->count, 4);
    EXPECT_EQ(bytesOfSample(*bank, "kick"), std::string(17, '\x0F'));
    EXPECT_EQ(bytesOfSample(*bank, "kick-2"), std::string(17, '\x01'));
    EXPECT_EQ(imported.keys,
              "12=bass_slap_:0:d0 36=kick-2:15 38=snare:14:d64 42=kick-2:12:loop 107=bass_slap_:15:loop:d127");
    ASSERT_EQ(imported.notes.size(), 3u);
    EXPECT_EQ(imported.notes[2], "DPCM: sample \"kick\" is kick-2 in the bank, another sample having its name");

    // Lengths the console cannot play: padded with level-holding 0x55, or cut at 4081.
    FtiBuilder odd;
    odd.dpcmKeys = {{36, 1}, {37, 2}, {38, 3}, {39, 4}};
    odd.dpcmSamples = {{0, "short", "ab"},
                       {1, "long", std::string(5000, '\x33')},
                       {2, "empty", ""},
                       {3, "unused", "x"},
                       {3, "twin", "y"},
                       {0x7FFFFFFF, "far", "z"},  // numbers no key can name
                       {-1, "before", "z"}};
    odd.dpcmKeys.pop_back();
    odd.dpcmKeys.push_back({36, 5});  // a sample the file does not hold
    odd.dpcmKeys.push_back({36, 2});  // the later assignment of a note wins
    odd.dpcmKeys.push_back({100, 1});
    const auto fresh = std::make_unique<SampleBank>();
    imported = importSamples(odd, *program, *fresh);
    ASSERT_TRUE(imported.ok) << imported.error;
    EXPECT_EQ(imported.keys, "48=long:15 49=long:15 50=empty:15");
    EXPECT_EQ(imported.notes, (std::vector<std::string>{
                                  "DPCM: note 100 past the tracker's B-7 (95) left out",
                                  "DPCM: key 48 plays a sample the file does not hold; left out",
                                  "DPCM: key 48 assigned more than once; the last assignment kept",
                                  "DPCM: sample \"long\" has 5000 bytes; cut to the console's 4081",
                                  "DPCM: sample \"empty\" padded from 0 to 1 bytes, a length the console plays",
                                  "DPCM: 5 samples that no key plays left out",
                              }));
    EXPECT_EQ(bytesOfSample(*fresh, "long"), std::string(4081, '\x33'));
    EXPECT_EQ(bytesOfSample(*fresh, "empty"), std::string(1, '\x55'));
    odd.dpcmKeys = {{36, 1}};
    imported = importSamples(odd, *program, *fresh);
    EXPECT_EQ(bytesOfSample(*fresh, "short"), "ab" + std::string(15, '\x55'));

    // A bank without room takes nothing, and the program stays as it was.
    const auto full = std::make_unique<SampleBank>();
    for (int i = 0; i < kMaxSamples - 2; ++i)
        ASSERT_EQ(full->put("s" + std::to_string(i), reinterpret_cast<const uint8_t*>("a"), 1), nullptr);
    const auto before = std::make_unique<SampleBank>(*full);
    copyTextField(program->keyMapText, "");
    copyTextField(program->name, "untouched");
    imported = importSamples(kit, *program, *full);
    EXPECT_FALSE(imported.ok);
    EXPECT_EQ(imported.error, "DPCM: the instrument's samples do not fit beside the bank's 62; a bank holds 64");
    EXPECT_EQ(std::memcmp(full.get(), before.get(), sizeof(SampleBank)), 0);
    EXPECT_STREQ(program->name, "untouched");
    EXPECT_EQ(imported.keys, "");

    // A 2A03 instrument without DPCM imports exactly as before, key map untouched.
    FtiBuilder plain;
    plain.sequences[0] = seq({9, 3});
    const auto empty = std::make_unique<SampleBank>();
    copyTextField(program->keyMapText, "36=x:1");
    imported = importSamples(plain, *program, *empty);
    EXPECT_TRUE(imported.ok);
    EXPECT_EQ(program->channelType, Pulse);
    EXPECT_EQ(imported.keys, "36=x:1");
    EXPECT_EQ(imported.notes, std::vector<std::string>{});
    EXPECT_EQ(empty->count, 0);
}

TEST(FtiConversion, AKitTooLongForAKeysTextKeepsTheKeysThatFitAndOnlyTheirSamples)
{
    FtiBuilder kit;
    for (int note = 0; note < fti::kDpcmNotes; ++note) {
        kit.dpcmKeys.push_back({note, note / 2 + 1, 0x8F, 0x7F});
        if (note % 2 == 0)
            kit.dpcmSamples.push_back({note / 2, "sample-with-a-long-name-" + std::to_string(note / 2), "s"});
    }
    const auto program = std::make_unique<Program>();
    const auto bank = std::make_unique<SampleBank>();
    const SampleImport imported = importSamples(kit, *program, *bank);
    ASSERT_TRUE(imported.ok) << imported.error;
    ASSERT_EQ(imported.notes.size(), 1u);
    EXPECT_EQ(imported.notes[0].rfind("DPCM: the key map is longer than a program's keys text holds; cut to its "
                                      "first ",
                                      0),
              0u);
    EXPECT_LE(imported.keys.size(), kEnvelopeTextSize - 1);
    const auto map = std::make_unique<KeyMap>();
    ASSERT_EQ(compileKeyMap(program->keyMapText, *bank, *map), nullptr);
    // Every sample in the bank plays on some kept key.
    for (int index = 0; index < bank->count; ++index)
        EXPECT_TRUE(std::any_of(std::begin(map->keys), std::end(map->keys), [&](const KeyEntry& entry) {
            return entry.sample == index;
        })) << bank->samples[index].name;
    EXPECT_EQ(bank->count, (map->entryCount + 1) / 2);
}

TEST(FtiConversion, ASampleProgramExportsItsKeysAndSamplesAndComesBackByteForByte)
{
    const auto program = std::make_unique<Program>();
    const auto bank = std::make_unique<SampleBank>();
    const std::string kick(17, '\x0F');
    const std::string slap(49, '\x3C');
    ASSERT_EQ(bank->put("unused", reinterpret_cast<const uint8_t*>("u"), 1), nullptr);
    ASSERT_EQ(bank->put("slap", reinterpret_cast<const uint8_t*>(slap.data()), 49), nullptr);
    ASSERT_EQ(bank->put("kick", reinterpret_cast<const uint8_t*>(kick.data()), 17), nullptr);
    program->channelType = Sample;
    copyTextField(program->name, "Kit");
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        copyTextField(program->envelopeText[kind], kind == Volume ? "15" : "0");
    copyTextField(program->keyMapText, "C2=kick:15 11=kick:1 D2=slap:9:loop:d30 108=slap:2 107=kick:0:d127");
    fti::Instrument instrument;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(fticonversion::fromProgram(*program, *bank, instrument, notes, error)) << error;
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "Keys: keys 11, 108 outside the tracker's C-0 to B-7 (keys 12 to 107) left out"}));
    // Samples numbered as the keys first name them; the unused one stays home.
    EXPECT_EQ(instrument.dpcmKeys,
              (std::vector<fti::DpcmKey>{{24, 1, 0x0F, 0xFF}, {26, 2, 0x89, 30}, {95, 1, 0x00, 127}}));
    ASSERT_EQ(instrument.dpcmSamples.size(), 2u);
    EXPECT_EQ(instrument.dpcmSamples[0], (fti::DpcmSample{0, "kick", std::vector<uint8_t>(kick.begin(), kick.end())}));
    EXPECT_EQ(instrument.dpcmSamples[1], (fti::DpcmSample{1, "slap", std::vector<uint8_t>(slap.begin(), slap.end())}));

    // The written file imports into a fresh bank and exports to the same bytes.
    const Bytes written = fti::write(instrument);
    const auto again = std::make_unique<Program>();
    const auto fresh = std::make_unique<SampleBank>();
    fti::Instrument reread = ftiReadOk(written);
    notes.clear();
    ASSERT_TRUE(
        fticonversion::toProgram(reread, fticonversion::channelFor(reread, Pulse), *again, *fresh, notes, error));
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_STREQ(again->keyMapText, "36=kick:15 38=slap:9:loop:d30 107=kick:0:d127");
    EXPECT_STREQ(again->envelopeText[Volume], "15");
    fti::Instrument exported;
    ASSERT_TRUE(fticonversion::fromProgram(*again, *fresh, exported, notes, error)) << error;
    EXPECT_EQ(exported, reread);
    EXPECT_EQ(fti::write(exported), written);

    // A key map that does not compile is an error, as an envelope's is.
    copyTextField(program->keyMapText, "36=missing:1");
    EXPECT_FALSE(fticonversion::fromProgram(*program, *bank, instrument, notes, error));
    EXPECT_EQ(error, std::string("Keys: ") + kErrorKeyMapMissingSample);
}

TEST_F(PlinkaBank, FtiFilesBecomeProgramsThatSoundAsTheSameEnvelopesTypedByHand)
{
    FtiBuilder drum;
    drum.version = "2.2";
    drum.name = "Tom";
    drum.sequences[0] = seq({15, 13, 11, 9, 7, 0}, 3, 4);
    drum.sequences[1] = seq({48, 45, 40}, -1, -1, fti::kArpFixed);
    drum.sequences[2] = seq({0, 2, 5}, 1, -1, fti::kPitchAbsolute);
    drum.dpcmKeys = {{24, 1}};
    drum.dpcmSamples = {{0, "kick", "abc"}};
    FtiBuilder lead;
    lead.version = "2.0";
    lead.name = "Lead";
    lead.sequences[0] = seq({12, 10, 8});
    lead.sequences[1] = seq({0, 4, 7}, 0);
    lead.sequences[4] = seq({2, 1}, 1);
    for (const auto& [name, file] : {std::pair{"drum.fti", drum}, std::pair{"lead.fti", lead}}) {
        const Bytes bytes = file.bytes();
        put(name, std::string(bytes.begin(), bytes.end()));
    }

    const ToolRun imported = run("from-fti " + path("drum.fti") + " " + path("lead.fti") +
                                 " --program 20 --channel triangle -o " + path("imported.txt"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.out, "");
    EXPECT_EQ(imported.err, path("drum.fti") +
                                ": Pitch: absolute pitch made into relative steps; the loop now moves the pitch on "
                                "each time it repeats\n" +
                                path("drum.fti") +
                                ": DPCM: 1 key assignment and 1 sample left out; only a Sample program plays them\n");
    const std::string handTyped = "[program 20]\n"
                                  "name = Tom\n"
                                  "channel = triangle\n"
                                  "multi = no\n"
                                  "volume = 15 13 11 | 9 7 / 0\n"
                                  "arp = @60 @57 @52\n"
                                  "pitch = 0 | 2 3\n"
                                  "hi-pitch = 0\n"
                                  "duty = 0\n"
                                  "\n"
                                  "[program 21]\n"
                                  "name = Lead\n"
                                  "channel = triangle\n"
                                  "multi = no\n"
                                  "volume = 12 10 8\n"
                                  "arp = | 0 4 7\n"
                                  "pitch = 0\n"
                                  "hi-pitch = 0\n"
                                  "duty = 2 | 1\n";
    const std::string text = slurp(dir / "imported.txt");
    EXPECT_NE(text.find(handTyped), std::string::npos) << text;
    put("hand.txt", "gain = 50\n" + handTyped);  // the imported bank's, a new instance's

    // A held note through the loop, then its release; both programs, each on its own channel.
    MidiFileWriter song;
    const int track = song.addTrack();
    song.note(track, 0, 0, 480, 57);
    song.note(track, 1, 480, 240, 64);
    const std::vector<uint8_t> midi = song.bytes(0);
    put("song.mid", std::string(midi.begin(), midi.end()));
    const auto render = [&](const std::string& bank, const std::string& wav) {
        const std::string command = std::string("'") + testpaths::render + "' " + path("song.mid") + " -q --tail 1" +
                                    " --program 1:20 --program 2:21 --bank " + path(bank) + " -o " + path(wav);
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return slurp(dir / wav);
    };
    const std::string fromFti = render("imported.txt", "imported.wav");
    EXPECT_GT(fromFti.size(), 44000u);
    EXPECT_EQ(fromFti, render("hand.txt", "hand.wav"));
    put("empty.txt", "");
    EXPECT_NE(fromFti, render("empty.txt", "default.wav"));

    // Back out and in again: the same programs, with nothing more to say.
    ASSERT_EQ(run("to-fti " + path("imported.txt") + " --program 20 -o " + path("tom.fti")).status, 0);
    const ToolRun exported = run("to-fti " + path("imported.txt") + " --program 21 -o " + path("lead2.fti"));
    EXPECT_EQ(exported.status, 0);
    EXPECT_EQ(exported.out + exported.err, "");
    const ToolRun again = run("from-fti " + path("tom.fti") + " " + path("lead2.fti") +
                              " --program 20 --channel triangle -o " + path("again.txt"));
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(slurp(dir / "again.txt"), text);
    EXPECT_EQ(slurp(dir / "tom.fti").substr(0, 7), "FTI2.4\x01");
}

TEST_F(PlinkaBank, Vrc6InstrumentsComeInAsVrc6PulseAndGoOutAsVrc6)
{
    FtiBuilder file;
    file.type = 2;
    file.name = "Castle";
    file.sequences = {seq({15, 12, 9}, 2), seq({0, 12}), off(), off(), seq({7, 3})};
    const Bytes bytes = file.bytes();
    put("castle.fti", std::string(bytes.begin(), bytes.end()));
    const ToolRun imported =
        run("from-fti " + path("castle.fti") + " " + path("castle.fti") + " --program 30 -o " + path("imported.txt"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.err, "");
    const std::string text = slurp(dir / "imported.txt");
    EXPECT_NE(text.find("[program 30]\nname = Castle\nchannel = vrc6-pulse\nmulti = no\nvolume = 15 12 | 9\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("duty = 7 3\n\n[program 31]\n"), std::string::npos) << text;

    EXPECT_EQ(run("to-fti " + path("imported.txt") + " --program 30 -o " + path("again.fti")).status, 0);
    EXPECT_EQ(slurp(dir / "again.fti"), std::string(bytes.begin(), bytes.end())) << "the same file, byte for byte";

    const ToolRun saw = run("from-fti " + path("castle.fti") + " --channel vrc6-saw -o " + path("saw.txt"));
    EXPECT_EQ(saw.err, path("castle.fti") + ": Volume: the tracker's 16 volume steps made into the saw's rates "
                                            "(volume 15 is rate 42), some rounded to the nearest rate\n");
    EXPECT_NE(slurp(dir / "saw.txt").find("channel = vrc6-saw\nmulti = no\nvolume = 42 34 | 25\n"), std::string::npos);
}

TEST_F(PlinkaBank, FiveBInstrumentsComeInOn5bAndGoOutByteForByteAnd2A03OnesMayPlayMmc5Pulse)
{
    FtiBuilder buzz;
    buzz.type = 6;
    buzz.name = "Buzz";
    buzz.sequences = {seq({15, 11, 7}, 1), seq({0, 12}, 0), seq({1, -1}), off(), seq({0x40, 0x80, 0xC0, 0x20}, 1)};
    FtiBuilder lead;
    lead.name = "Lead";
    lead.sequences[0] = seq({12, 8});
    lead.sequences[4] = seq({1, 3}, 1);
    FtiBuilder old;  // as one tracker saves every 5B instrument: nothing after the name
    old.type = 6;
    old.name = "Old";
    const Bytes oldBytes = old.bytes();
    put("old.fti", std::string(oldBytes.begin(), oldBytes.begin() + 7 + 4 + 3));
    for (const auto& [name, file] : {std::pair{"buzz.fti", buzz}, std::pair{"lead.fti", lead}}) {
        const Bytes bytes = file.bytes();
        put(name, std::string(bytes.begin(), bytes.end()));
    }
    const std::string envelope = ": Duty: the chip's envelope, whose shape and period the tracker's patterns set, "
                                 "made into the saw buzz at the key's pitch\n";

    const ToolRun imported = run("from-fti " + path("buzz.fti") + " " + path("old.fti") + " " + path("lead.fti") +
                                 " --channel lead.fti=mmc5-pulse --program 40 -o " + path("imported.txt"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.err, path("buzz.fti") + envelope + path("old.fti") +
                                ": the file stops after the name, as one tracker saves its 5B instruments: a new 5B "
                                "instrument, its sequences off\n");
    const std::string text = slurp(dir / "imported.txt");
    EXPECT_NE(text.find("[program 40]\nname = Buzz\nchannel = 5b\nmulti = no\nvolume = 15 | 11 7\narp = | 0 12\n"
                        "pitch = 1 -1\nhi-pitch = 0\nduty = 0 | 1 2 3\n\n"
                        "[program 41]\nname = Old\nchannel = 5b\nmulti = no\nvolume = 15\narp = 0\npitch = 0\n"
                        "hi-pitch = 0\nduty = 0\n\n"
                        "[program 42]\nname = Lead\nchannel = mmc5-pulse\nmulti = no\nvolume = 12 8\narp = 0\n"
                        "pitch = 0\nhi-pitch = 0\nduty = 1 | 3\n"),
              std::string::npos)
        << text;

    // Out again: the 5B's file and the 2A03's, byte for byte; the buzz is said once more.
    const ToolRun exported = run("to-fti " + path("imported.txt") + " --program 40 -o " + path("buzz2.fti"));
    EXPECT_EQ(exported.status, 0);
    EXPECT_EQ(exported.err, path("imported.txt") +
                                ": program 40, Duty: the buzz written as the tracker's envelope bit, whose shape and "
                                "period its patterns set\n");
    EXPECT_EQ(slurp(dir / "buzz2.fti"), slurp(dir / "buzz.fti"));
    ASSERT_EQ(run("to-fti " + path("imported.txt") + " --program 42 -o " + path("lead2.fti")).err, "");
    EXPECT_EQ(slurp(dir / "lead2.fti"), slurp(dir / "lead.fti"));
    ASSERT_EQ(run("to-fti " + path("imported.txt") + " --program 41 -o " + path("old2.fti")).err, "");
    // The new instrument written whole: its five sequences off.
    EXPECT_EQ(slurp(dir / "old2.fti"), std::string(oldBytes.begin(), oldBytes.end()));
}

TEST_F(PlinkaBank, KitsComeInAsSampleProgramsWithTheirSamplesAndGoOutByteForByte)
{
    FtiBuilder kit;
    kit.name = "Kit";
    kit.sequences = {seq({15, 0}), seq({0}), seq({0}), seq({0}), seq({0})};
    kit.dpcmKeys = {{24, 1, 0x0F, 0xFF}, {25, 2, 0x8A, 0x40}, {26, 1, 0x03, 0xFF}};
    kit.dpcmSamples = {{0, "kick", std::string(17, '\x0F')}, {1, "hat", "\x01\x02"}};
    const Bytes bytes = kit.bytes();
    put("kit.fti", std::string(bytes.begin(), bytes.end()));
    const ToolRun imported = run("from-fti " + path("kit.fti") + " " + path("kit.fti") + " -o " + path("kit.txt"));
    EXPECT_EQ(imported.status, 0);
    // Said once per file; the second file's identical samples are the first's.
    // The Volume is said and left out: the tracker's sample channel plays none.
    const std::string padded = ": Volume: left out, as the tracker's sample channel plays no instrument volume\n" +
                               path("kit.fti") +
                               ": DPCM: sample \"hat\" padded from 2 to 17 bytes, a length the console plays\n";
    EXPECT_EQ(imported.err, path("kit.fti") + padded + path("kit.fti") + padded);
    const std::string text = slurp(dir / "kit.txt");
    EXPECT_NE(text.find("[program 1]\nname = Kit\nchannel = sample\n"), std::string::npos) << text;
    EXPECT_NE(text.find("keys = 36=kick:15 37=hat:10:loop:d64 38=kick:3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample kick]\nlength = 17\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample hat]\nlength = 17\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("[sample kick-2]"), std::string::npos) << text;
    EXPECT_EQ(run("check " + path("kit.txt")).status, 0);

    // Out, in again, out again: the second file is the first, byte for byte.
    const ToolRun exported = run("to-fti " + path("kit.txt") + " --program 2 -o " + path("out.fti"));
    EXPECT_EQ(exported.status, 0);
    EXPECT_EQ(exported.err, "");
    ASSERT_EQ(run("from-fti " + path("out.fti") + " -o " + path("again.txt")).status, 0);
    ASSERT_EQ(run("to-fti " + path("again.txt") + " --program 1 -o " + path("again.fti")).status, 0);
    EXPECT_EQ(slurp(dir / "again.fti"), slurp(dir / "out.fti"));
    // Its sequences went out disabled, as the tracker plays a kit.
    kit.dpcmSamples[1].bytes += std::string(15, '\x55');
    kit.sequences = std::vector<FtiSequence>(5, off());
    const Bytes paddedKit = kit.bytes();
    EXPECT_EQ(slurp(dir / "out.fti"), std::string(paddedKit.begin(), paddedKit.end()));

    // A key past the tracker's notes is said and left out.
    put("wide.txt", "[program 1]\nchannel = sample\nkeys = 36=kick:15 120=kick:1\n\n[sample kick]\nlength = 1\n"
                    "bytes = 0F\n");
    const ToolRun wide = run("to-fti " + path("wide.txt") + " --program 1 -o " + path("wide.fti"));
    EXPECT_EQ(wide.status, 0);
    EXPECT_EQ(wide.err, path("wide.txt") +
                            ": program 1, Keys: key 120 outside the tracker's C-0 to B-7 (keys 12 to 107) left out\n");
}

TEST_F(PlinkaBank, BadFtiFilesAndProgramsAreOneLineAndChangeNothing)
{
    put("out.txt", "keep me");
    const auto expectError = [&](const std::string& arguments, const std::string& message) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err, message + "\n") << arguments;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(slurp(dir / "out.txt"), "keep me");
    };
    const Bytes good = FtiBuilder().bytes();
    put("good.fti", std::string(good.begin(), good.end()));
    FtiBuilder unknown;
    unknown.type = 7;
    const Bytes foreign = unknown.bytes();
    put("sid.fti", std::string(foreign.begin(), foreign.end()));
    FtiBuilder vrc7;
    vrc7.type = 3;
    vrc7.vrc7Patch = 16;
    const Bytes patch16 = vrc7.bytes();
    put("vrc7.fti", std::string(patch16.begin(), patch16.end()));
    put("cut.fti", std::string(good.begin(), good.end() - 1));
    vrc7.vrc7Patch = 4;
    const Bytes patch4 = vrc7.bytes();
    put("cut7.fti", std::string(patch4.begin(), patch4.end() - 1));
    expectError("from-fti " + path("good.fti") + " " + path("sid.fti") + " -o " + path("out.txt"),
                path("sid.fti") + ": unknown instrument type 7");
    expectError("from-fti " + path("good.fti") + " " + path("vrc7.fti") + " -o " + path("out.txt"),
                path("vrc7.fti") + ": the VRC7 patch 16 is not 0 (custom) to 15");
    expectError("from-fti " + path("cut7.fti") + " -o " + path("out.txt"),
                path("cut7.fti") + ": cut short in the VRC7 custom patch's bytes");
    expectError("from-fti " + path("cut.fti") + " -o " + path("out.txt"),
                path("cut.fti") + ": cut short before the DPCM sample count");
    expectError("from-fti " + path("missing.fti") + " -o " + path("out.txt"),
                path("missing.fti") + ": cannot open: No such file or directory");

    put("bank.txt", "[program 5]\narp = 1|2\n\n[program 6]\nchannel = vrc7\npatch = 16\n");
    expectError("to-fti " + path("bank.txt") + " --program 5 -o " + path("out.txt"),
                path("bank.txt") + ": program 5, Arp: Error: Loop marker should be preceded and followed with spacing");
    expectError("to-fti " + path("bank.txt") + " --program 6 -o " + path("out.txt"),
                path("bank.txt") + ": program 6, Patch: Error: A VRC7 patch is 1 to 15, or custom");
    for (const char* arguments :
         {"to-fti a.txt -o b.fti", "to-fti a.txt --program 0 -o b.fti", "to-fti a.txt --program 129 -o b.fti",
          "from-fti a.fti b.fti --program 128", "from-fti a.fti --channel dpcm", "to-text a.fxb --program 2",
          "to-fti a.txt --program 1 --channel noise -o b.fti", "from-fti"}) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err.rfind("plinka-bank: ", 0), 0u) << arguments << result.err;
    }
}

TEST_F(PlinkaBank, DmcFilesGoIntoTheBankAndComeOutByteForByte)
{
    std::string kick, hat(4081, '\0');
    for (int i = 0; i < 33; ++i)
        kick += static_cast<char>(i * 7);
    for (size_t i = 0; i < hat.size(); ++i)
        hat[i] = static_cast<char>(i ^ (i >> 8));
    put("kick.dmc", kick);
    put("Hat.DMC", hat);
    put("take 2.dmc", std::string(17, '\x55'));
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);

    ToolRun added = run("add-sample " + path("bank.txt") + " " + path("kick.dmc") + " " + path("Hat.DMC") + " -o " +
                        path("kit.txt"));
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out + added.err, "");
    added = run("add-sample " + path("kit.txt") + " '" + path("take 2.dmc") + "' --name snare --rate 15 -o " +
                path("kit2.txt"));
    ASSERT_EQ(added.status, 0) << added.err;
    ASSERT_EQ(run("to-fxb " + path("kit2.txt") + " -o " + path("kit.fxb")).status, 0);  // a bank file holds them too
    const std::string text = run("to-text " + path("kit.fxb")).out;
    EXPECT_NE(text.find("[sample kick]\nlength = 33\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample Hat]\nlength = 4081\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample snare]\nlength = 17\nbytes = 55555555"), std::string::npos) << text;

    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"kick", kick}, {"Hat", hat}}) {
        const ToolRun exported = run("export-dmc " + path("kit.fxb") + " --sample " + name + " -o " + path("out.dmc"));
        ASSERT_EQ(exported.status, 0) << exported.err;
        EXPECT_EQ(slurp(dir / "out.dmc"), bytes) << name;
    }
    // The same name again replaces the sample.
    put("kick.dmc", std::string(1, '\x0F'));
    ASSERT_EQ(run("add-sample " + path("kit.txt") + " " + path("kick.dmc") + " -o " + path("kit.txt")).status, 0);
    EXPECT_NE(slurp(dir / "kit.txt").find("[sample kick]\nlength = 1\nbytes = 0F\n"), std::string::npos);
}

// A command that makes a bank writes the kind of file -o names, so that a
// host loads what was named .fxb; one whose name says another kind than its
// command writes is refused with one line and writes nothing.
TEST_F(PlinkaBank, OutputsAreTheKindTheirNameSaysOrRefused)
{
    put("kick.dmc", std::string(17, '\x33'));
    FtiBuilder lead;
    lead.name = "Lead";
    lead.sequences[0] = seq({12, 10, 8});
    const Bytes fti = lead.bytes();
    put("lead.fti", std::string(fti.begin(), fti.end()));
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);

    struct Case {
        std::string arguments;  // before -o
        std::string inText;     // what to-text shows of the output
    };
    const Case cases[] = {
        {"add-sample " + path("bank.txt") + " " + path("kick.dmc"), "[sample kick]\nlength = 17\n"},
        {"from-fti " + path("lead.fti") + " --program 7", "[program 7]\nname = Lead\n"},
        {"default", "[program 1]\n"},
    };
    for (const Case& c : cases)
        for (const auto& [name, kind] :
             {std::pair{"out.fxb", fx::Kind::Bank}, std::pair{"Out.FXP", fx::Kind::Program}}) {
            const ToolRun written = run(c.arguments + " -o " + path(name));
            ASSERT_EQ(written.status, 0) << c.arguments << " " << written.err;
            fx::File file;
            std::string error;
            ASSERT_TRUE(fx::readFile(path(name), file, error)) << c.arguments << " -o " << name << ": " << error;
            EXPECT_EQ(file.kind, kind) << c.arguments;
            const ToolRun back = run("to-text " + path(name));
            ASSERT_EQ(back.status, 0) << back.err;
            EXPECT_NE(back.out.find(c.inText), std::string::npos) << c.arguments << " -o " << name << "\n" << back.out;
            fs::remove(dir / name);
        }
    // A bank given as its own output comes back a bank, with the sample in.
    ASSERT_EQ(run("to-fxb " + path("bank.txt") + " -o " + path("song.fxb")).status, 0);
    ASSERT_EQ(run("add-sample " + path("song.fxb") + " " + path("kick.dmc") + " -o " + path("song.fxb")).status, 0);
    EXPECT_NE(run("to-text " + path("song.fxb")).out.find("[sample kick]\nlength = 17\n"), std::string::npos);

    ASSERT_EQ(run("to-fxb " + path("bank.txt") + " -o " + path("kit.fxb")).status, 0);
    ASSERT_EQ(run("add-sample " + path("kit.fxb") + " " + path("kick.dmc") + " -o " + path("kit.fxb")).status, 0);
    const std::pair<std::string, std::string> refused[] = {
        {"to-text " + path("kit.fxb") + " -o " + path("x.fxb"), "to-text writes a text bank, not a VST bank (.fxb)"},
        {"to-fxb " + path("bank.txt") + " -o " + path("x.fxp"),
         "to-fxb writes a VST bank (.fxb), not a VST program file (.fxp)"},
        {"to-fxp " + path("bank.txt") + " -o " + path("x.txt"),
         "to-fxp writes a VST program file (.fxp), not a text bank"},
        {"to-fti " + path("bank.txt") + " --program 1 -o " + path("x.fxb"),
         "to-fti writes a tracker instrument (.fti), not a VST bank (.fxb)"},
        {"export-dmc " + path("kit.fxb") + " --sample kick -o " + path("x.fxp"),
         "export-dmc writes a sample's bytes (.dmc), not a VST program file (.fxp)"},
        {"add-sample " + path("bank.txt") + " " + path("kick.dmc") + " -o " + path("x.fti"),
         "add-sample writes a text bank, not a tracker instrument (.fti)"},
        {"from-fti " + path("lead.fti") + " -o " + path("x.dmc"),
         "from-fti writes a text bank, not a sample's bytes (.dmc)"},
    };
    for (const auto& [arguments, message] : refused) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err.substr(0, result.err.find('\n')),
                  "plinka-bank: " + message + " as -o " +
                      fs::path(arguments.substr(arguments.rfind(' ') + 1)).filename().string() + " says")
            << arguments;
        EXPECT_FALSE(fs::exists(dir / fs::path(arguments.substr(arguments.rfind(' ') + 1)).filename())) << arguments;
    }
}

// A recording becomes a sample at the rate asked for: as long as the sound
// at that rate's bits per second, padded to a length the console plays, its
// levels following the wave; one too long for a sample is cut, with a line.
TEST_F(PlinkaBank, WavFilesBecomeSamplesThatFollowTheirWave)
{
    // 0.4 s of a 25 Hz square wave between -0.5 and +0.5 at 44.1 kHz: each
    // half period outlasts the channel's slowest climb from one level to the
    // other (32 bits at rate 0).
    std::vector<int16_t> square(17640);
    for (size_t i = 0; i < square.size(); ++i)
        square[i] = (i / 882) % 2 ? -16384 : 16384;
    const std::vector<unsigned char> wav = pcm16MonoWav(square, 44100);
    put("square.wav", std::string(wav.begin(), wav.end()));
    put("short.dmc", std::string(16, '\x01'));
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);

    for (const int rate : {0, 8, 15}) {
        const ToolRun added = run("add-sample " + path("bank.txt") + " " + path("square.wav") + " --rate " +
                                  std::to_string(rate) + " -o " + path("kit.txt"));
        ASSERT_EQ(added.status, 0) << added.err;
        EXPECT_EQ(added.err, "") << "a sound that fits needs no note";
        ASSERT_EQ(run("export-dmc " + path("kit.txt") + " --sample square -o " + path("square.dmc")).status, 0);
        const std::string bytes = slurp(dir / "square.dmc");
        EXPECT_EQ((bytes.size() - 1) % 16, 0u) << rate;
        const double bits = 0.4 * dpcm::bitRate(rate);
        EXPECT_GE(bytes.size() * 8.0, bits) << rate;
        EXPECT_LT(bytes.size() * 8.0, bits + 17 * 8) << rate;

        // Over the second half of each half period the level has reached the
        // wave: 64 + 32 while it is high, 64 - 32 while low.
        const std::vector<uint8_t> levels =
            dpcm::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), dpcm::kDefaultStartLevel);
        const double half = dpcm::bitRate(rate) / 50.0;  // bits per half period
        for (int part = 0; part < 20; ++part) {
            double sum = 0;
            int count = 0;
            for (auto bit = static_cast<size_t>((part + 0.5) * half); bit < static_cast<size_t>((part + 1) * half);
                 ++bit, ++count)
                sum += levels[bit];
            EXPECT_NEAR(sum / count, part % 2 ? 32.0 : 96.0, 2.0) << "rate " << rate << ", half period " << part;
        }
    }

    // Two seconds do not fit at rate 15: cut to the longest sample, with a note.
    std::vector<int16_t> longSound(88200, 1000);
    const std::vector<unsigned char> longWav = pcm16MonoWav(longSound, 44100);
    put("long.wav", std::string(longWav.begin(), longWav.end()));
    ToolRun added = run("add-sample " + path("bank.txt") + " " + path("long.wav") + " " + path("short.dmc") +
                        " -o " + path("kit.txt"));
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.err, path("long.wav") + ": the sound lasts 2.00 s; a sample at rate 15 holds 0.99 s (4081 bytes): "
                                            "the rest is cut\n" +
                             path("short.dmc") + ": padded from 16 to 17 bytes, a length the channel plays\n");
    const std::string text = slurp(dir / "kit.txt");
    EXPECT_NE(text.find("[sample long]\nlength = 4081\n"), std::string::npos);
    EXPECT_NE(text.find("[sample short]\nlength = 17\nbytes = 01010101010101010101010101010101 55\n"),
              std::string::npos)
        << text;
}

// A recording's conversion starts from level 64, so the sample plays from
// there whether or not its key says d64, on the first note and on one after
// another sample has moved the level; a .dmc file, which says nothing of its
// level, goes on from where the channel is, as it always has.
TEST_F(PlinkaBank, ARecordingPlaysFromTheLevelItsConversionStartedAt)
{
    // A snare-like burst that swings below the middle first: its down-steps
    // would be lost against level 0.
    std::vector<int16_t> burst(4410);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<int16_t>((i / 40) % 2 ? 12000 : -12000);
    const std::vector<unsigned char> wav = pcm16MonoWav(burst, 44100);
    put("snare.wav", std::string(wav.begin(), wav.end()));
    put("rise.dmc", std::string(65, '\xFF'));
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);
    const ToolRun added =
        run("add-sample " + path("bank.txt") + " " + path("snare.wav") + " " + path("rise.dmc") + " -o " + path("kit.txt"));
    ASSERT_EQ(added.status, 0) << added.err;
    const std::string kit = slurp(dir / "kit.txt");
    EXPECT_NE(kit.find("[sample snare]\nlength = "), std::string::npos) << kit;
    EXPECT_NE(kit.find("level = 64\nbytes = "), std::string::npos) << kit;
    EXPECT_EQ(kit.find("[sample rise]\nlength = 65\nlevel"), std::string::npos) << kit;
    // A song keeps the level, in a cell that readers from before it skip.
    ASSERT_EQ(run("to-fxb " + path("kit.txt") + " -o " + path("kit.fxb")).status, 0);
    EXPECT_EQ(run("to-text " + path("kit.fxb")).out, kit);

    // The rise, then the snare, then the snare again.
    MidiFileWriter song;
    const int track = song.addTrack();
    song.note(track, 0, 0, 120, 40);
    song.note(track, 0, 240, 240, 36);
    song.note(track, 0, 720, 240, 36);
    const std::vector<uint8_t> midi = song.bytes(0);
    put("song.mid", std::string(midi.begin(), midi.end()));
    const auto render = [&](const std::string& keys, const std::string& name) {
        put(name + ".txt", kit + "\n[program 20]\nchannel = sample\nvolume = 15\nkeys = " + keys + "\n");
        const std::string command = std::string("'") + testpaths::render + "' " + path("song.mid") +
                                    " -q --tail 1 --program 1:20 --bank " + path(name + ".txt") + " -o " +
                                    path(name + ".wav");
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return slurp(dir / (name + ".wav"));
    };
    const std::string plain = render("36=snare:15 40=rise:15", "plain");
    EXPECT_GT(plain.size(), 44000u);
    EXPECT_EQ(plain, render("36=snare:15:d64 40=rise:15", "d64"));
    // The rise plays from wherever the channel is: here, a fresh voice's 0.
    EXPECT_EQ(plain, render("36=snare:15:d64 40=rise:15:d0", "rise-d0"));
    EXPECT_NE(plain, render("36=snare:15:d64 40=rise:15:d32", "rise-d32"));
}

TEST_F(PlinkaBank, BadSampleFilesAndNamesAreOneLineAndChangeNothing)
{
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);
    put("good.dmc", std::string(17, '\x01'));
    put("empty.dmc", "");
    put("beat.wav", "RIFF");
    put("beat.raw", std::string(17, '\x01'));
    put("out.txt", "untouched");
    const auto expectError = [&](const std::string& arguments, const std::string& message) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err, message + "\n") << arguments;
        EXPECT_EQ(slurp(dir / "out.txt"), "untouched") << arguments;
    };
    const std::string add = "add-sample " + path("bank.txt") + " " + path("good.dmc") + " ";
    expectError(add + path("empty.dmc") + " -o " + path("out.txt"), path("empty.dmc") + ": the .dmc file is empty");
    expectError(add + path("beat.wav") + " -o " + path("out.txt"),
                path("beat.wav") + ": the WAV file is cut short in its header");
    expectError(add + path("beat.raw") + " -o " + path("out.txt"),
                path("beat.raw") + ": not a sample file (samples come from .wav and .dmc files)");
    expectError(add + path("missing.dmc") + " -o " + path("out.txt"),
                path("missing.dmc") + ": cannot open: No such file or directory");
    expectError("export-dmc " + path("bank.txt") + " --sample kick -o " + path("out.txt"),
                path("bank.txt") + ": no sample named \"kick\" (the bank has none)");

    // More than 64 samples.
    std::string many = "add-sample " + path("bank.txt");
    for (int i = 0; i < 65; ++i) {
        put("s" + std::to_string(i) + ".dmc", std::string(1, '\x02'));
        many += " " + path("s" + std::to_string(i) + ".dmc");
    }
    expectError(many + " -o " + path("out.txt"), path("s64.dmc") + ": Error: The bank holds 64 samples already");

    for (const std::string& usage :
         {"add-sample " + path("bank.txt") + " -o " + path("out.txt"),
          "add-sample " + path("bank.txt") + " " + path("good.dmc"),
          add + path("good.dmc") + " --name x -o " + path("out.txt"), add + "--name 'a b' -o " + path("out.txt"),
          add + "--rate 16 -o " + path("out.txt"), "export-dmc " + path("bank.txt") + " -o " + path("out.dmc"),
          "to-text " + path("bank.txt") + " --sample kick", "to-text " + path("bank.txt") + " --rate 3"}) {
        const ToolRun result = run(usage);
        EXPECT_EQ(result.status, 2) << usage;
        EXPECT_EQ(result.err.rfind("plinka-bank: ", 0), 0u) << usage << ": " << result.err;
        EXPECT_EQ(slurp(dir / "out.txt"), "untouched") << usage;
    }
}

// Several files are named after themselves as a drop on the editor names
// them, with no --name; a .dmc file longer than a sample is cut, as a long
// recording is, with a note.
TEST_F(PlinkaBank, AddSampleNamesEachFileAfterItselfAndCutsAnOverlongDmc)
{
    ASSERT_EQ(run("default -o " + path("bank.txt")).status, 0);
    std::string longBytes(4097, '\0');
    for (size_t i = 0; i < longBytes.size(); ++i)
        longBytes[i] = static_cast<char>(i * 13 + 5);
    put("long.dmc", longBytes);
    put("two words.dmc", std::string(1, '\x01'));
    put("Kick-1.dmc", std::string(17, '\x0F'));
    const ToolRun added = run("add-sample " + path("bank.txt") + " '" + path("two words.dmc") + "' " +
                              path("Kick-1.dmc") + " " + path("long.dmc") + " -o " + path("kit.txt"));
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.err, path("two words.dmc") +
                             ": named two_words (a sample name is 1 to 31 letters, digits, '_', '-' or '.')\n" +
                             path("long.dmc") +
                             ": the .dmc file holds 4097 bytes; a sample holds 4081: the rest is cut\n");
    const std::string text = slurp(dir / "kit.txt");
    EXPECT_NE(text.find("[sample two_words]\nlength = 1\nbytes = 01\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample Kick-1]\nlength = 17\n"), std::string::npos) << text;
    ASSERT_EQ(run("export-dmc " + path("kit.txt") + " --sample long -o " + path("out.dmc")).status, 0);
    EXPECT_EQ(slurp(dir / "out.dmc"), longBytes.substr(0, 4081)) << "the start of the sample, as the file has it";
}

namespace {

// A song of one note per key given, each a quarter second, on channel 1.
std::string notesSong(const std::vector<int>& keys)
{
    MidiFileWriter song;
    const int track = song.addTrack();
    for (size_t i = 0; i < keys.size(); ++i)
        song.note(track, 0, static_cast<int64_t>(i) * 240, 200, keys[i]);
    const std::vector<uint8_t> midi = song.bytes(0);
    return std::string(midi.begin(), midi.end());
}

float peakOf(const std::string& wav)
{
    float peak = 0.0f;
    for (size_t at = 44; at + 2 <= wav.size(); at += 2) {
        const auto sample =
            static_cast<int16_t>(static_cast<uint8_t>(wav[at]) | static_cast<uint8_t>(wav[at + 1]) << 8);
        peak = std::max(peak, std::abs(sample) / 32768.0f);
    }
    return peak;
}

}  // namespace

// The tracker's sample channel plays no instrument volume or arpeggio: a kit
// sounds the same with them as without, as it does in the tracker. Here an
// Arp of | -3 3 would move every key onto keys with no sample.
TEST_F(PlinkaBank, AKitPlaysTheSameWithAndWithoutItsVolumeAndArpSequences)
{
    FtiBuilder plain;
    plain.name = "Kit";
    plain.dpcmKeys = {{24, 1, 0x0F, 0xFF}, {26, 2, 0x0E, 0xFF}};
    std::string kick(161, '\0'), snare(97, '\0');
    for (size_t i = 0; i < kick.size(); ++i)
        kick[i] = static_cast<char>(i % 3 ? 0xFF : 0x0F);
    for (size_t i = 0; i < snare.size(); ++i)
        snare[i] = static_cast<char>(i * 37);
    plain.dpcmSamples = {{0, "kick", kick}, {1, "snare", snare}};
    FtiBuilder shaped = plain;
    shaped.sequences[0] = seq({15, 8, 4, 0});
    shaped.sequences[1] = seq({-3, 3}, 0);
    for (const auto& [name, file] : {std::pair{"plain", plain}, std::pair{"shaped", shaped}}) {
        const Bytes bytes = file.bytes();
        put(std::string(name) + ".fti", std::string(bytes.begin(), bytes.end()));
    }
    const ToolRun imported = run("from-fti " + path("shaped.fti") + " -o " + path("shaped.txt"));
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.err, path("shaped.fti") +
                                ": Volume: left out, as the tracker's sample channel plays no instrument volume\n" +
                                path("shaped.fti") +
                                ": Arp: left out, as the tracker's sample channel plays no instrument arpeggio\n");
    ASSERT_EQ(run("from-fti " + path("plain.fti") + " -o " + path("plain.txt")).status, 0);

    put("kit.mid", notesSong({36, 38, 36, 38}));
    const auto render = [&](const std::string& bank) {
        const std::string command = std::string("'") + testpaths::render + "' " + path("kit.mid") +
                                    " -q --tail 0.5 --program 1:1 --bank " + path(bank + ".txt") + " -o " +
                                    path(bank + ".wav");
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return slurp(dir / (bank + ".wav"));
    };
    const std::string played = render("shaped");
    EXPECT_GT(peakOf(played), 0.05f) << "the kit sounds";
    EXPECT_EQ(played, render("plain"));
}

// Tracker instruments do not store their channel: a noise drum is told by its
// name or by fixed notes below the pulse's range, and the note says which
// channel and why; --channel FILE=TYPE sets one file's.
TEST_F(PlinkaBank, NoiseDrumsImportAsNoiseProgramsThatSoundAndEachFileMayHaveItsChannel)
{
    FtiBuilder hat;
    hat.name = "Closed Hat";
    hat.sequences[0] = seq({15, 10, 6, 3, 0});
    FtiBuilder drum;
    drum.name = "Drum 2";
    drum.sequences[0] = seq({15, 12, 9, 6, 3, 0});
    drum.sequences[1] = seq({12, 8, 4, 2}, -1, -1, fti::kArpFixed);
    FtiBuilder lead;
    lead.name = "Lead";
    lead.sequences[0] = seq({12, 10, 8});
    FtiBuilder bass = lead;
    bass.name = "Bass";
    for (const auto& [name, file] : {std::pair{"hat.fti", hat}, std::pair{"drum.fti", drum},
                                     std::pair{"lead.fti", lead}, std::pair{"bass.fti", bass}}) {
        const Bytes bytes = file.bytes();
        put(name, std::string(bytes.begin(), bytes.end()));
    }
    const ToolRun imported = run("from-fti " + path("hat.fti") + " " + path("drum.fti") + " " + path("lead.fti") + " " +
                                 path("bass.fti") + " --channel bass.fti=triangle -o " + path("mixed.txt"));
    ASSERT_EQ(imported.status, 0) << imported.err;
    const std::string other = "; --channel FILE=TYPE chooses another)\n";
    EXPECT_EQ(imported.err,
              path("hat.fti") + ": channel: noise (its name says \"hat\"" + other + path("drum.fti") +
                  ": channel: noise (its fixed notes lie below the pulse's range, where only the noise sounds" + other +
                  path("lead.fti") + ": channel: pulse (nothing in it says noise" + other);
    const std::string text = slurp(dir / "mixed.txt");
    for (const char* expected :
         {"[program 1]\nname = Closed Hat\nchannel = noise\n",
          "[program 2]\nname = Drum 2\nchannel = noise\nmulti = no\nvolume = 15 12 9 6 3 0\n"
          "arp = @24 @20 @16 @14\n",
          "[program 3]\nname = Lead\nchannel = pulse\n", "[program 4]\nname = Bass\nchannel = triangle\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    put("drums.mid", notesSong({60}));
    for (const char* program : {"1", "2"}) {
        const std::string wav = path(std::string("drum") + program + ".wav");
        const std::string command = std::string("'") + testpaths::render + "' " + path("drums.mid") +
                                    " -q --tail 0.2 --program 1:" + program + " --bank " + path("mixed.txt") + " -o " +
                                    wav;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_GT(peakOf(slurp(wav)), 0.05f) << "program " << program << " sounds";
    }

    const ToolRun unknown = run("from-fti " + path("hat.fti") + " --channel snare.fti=noise -o " + path("x.txt"));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(
        unknown.err.rfind("plinka-bank: --channel snare.fti=...: snare.fti is not among the instruments given", 0), 0u)
        << unknown.err;
}

// Instruments go into the bank you have: its programs and samples stay, and
// the instruments fill the programs a text bank leaves out.
TEST_F(PlinkaBank, FromFtiIntoABankKeepsItsProgramsAndSamples)
{
    put("own.dmc", std::string(33, '\x3C'));
    put("bank.txt", "[program 10]\nname = Mine\nchannel = triangle\n");
    ASSERT_EQ(run("add-sample " + path("bank.txt") + " " + path("own.dmc") + " -o " + path("bank.txt")).status, 0);
    FtiBuilder kit;
    kit.name = "Kit";
    kit.dpcmKeys = {{24, 1, 0x0F, 0xFF}};
    kit.dpcmSamples = {{0, "kick", std::string(17, '\x0F')}};
    const Bytes bytes = kit.bytes();
    put("kit.fti", std::string(bytes.begin(), bytes.end()));
    const std::string before = slurp(dir / "bank.txt");

    const ToolRun into = run("from-fti " + path("kit.fti") + " " + path("kit.fti") + " --into " + path("bank.txt"));
    ASSERT_EQ(into.status, 0) << into.err;
    EXPECT_EQ(into.err, path("bank.txt") + ": the instruments go into it, its samples kept: programs 11, 12\n");
    const std::string text = slurp(dir / "bank.txt");
    EXPECT_NE(text.find("[program 10]\nname = Mine\nchannel = triangle\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[program 11]\nname = Kit\nchannel = sample\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[program 12]\nname = Kit\nchannel = sample\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample own]\nlength = 33\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[sample kick]\nlength = 17\n"), std::string::npos) << text;
    // Everything the bank had is still there, as it was.
    EXPECT_NE(text.find(before.substr(before.find("[program 10]"),
                                      before.find("[sample own]") - before.find("[program 10]"))),
              std::string::npos);

    // -o naming an existing bank adds to it too, after saying so; --program places them.
    put("song.txt", before);
    const ToolRun named = run("from-fti " + path("kit.fti") + " --program 40 -o " + path("song.txt"));
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.err, path("song.txt") + ": exists; the instruments go into it, its samples kept: program 40\n");
    const std::string song = slurp(dir / "song.txt");
    EXPECT_NE(song.find("[program 10]\nname = Mine\n"), std::string::npos) << song;
    EXPECT_NE(song.find("[program 40]\nname = Kit\n"), std::string::npos) << song;
    EXPECT_NE(song.find("[sample own]\nlength = 33\n"), std::string::npos) << song;

    // A bank the tool cannot read is not replaced.
    put("notes.txt", "[progrm 3]\n");
    const ToolRun refused = run("from-fti " + path("kit.fti") + " -o " + path("notes.txt"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(slurp(dir / "notes.txt"), "[progrm 3]\n");
}

// ---- tracker modules ----

namespace {

using ftmtest::ModInstrument;
using ftmtest::ModKey;
using ftmtest::ModSample;
using ftmtest::ModSequence;
using ftmtest::ModuleBuilder;

// One set of instruments as a tracker of each generation saves it: what the
// older blocks cannot hold (release points, settings, DPCM deltas) is left out.
struct ModuleGeneration {
    const char* what;
    const char* signature;
    uint32_t version;
    int instruments, sequences, vrc6;
    bool points;  // release points and settings stored
    bool deltas;
};
constexpr ModuleGeneration kGenerations[] = {
    {"0.4.x, 0CC", "FamiTracker Module", 0x0440, 6, 6, 6, true, true},
    {"Dn 0.5", "Dn-FamiTracker Module", 0x0450, 6, 6, 6, true, true},
    {"0.5.0 beta, sparse keys", "FamiTracker Module", 0x0450, 7, 6, 6, true, true},
    {"0.3.6", "FamiTracker Module", 0x0420, 4, 6, 6, true, false},
    {"0.3.5, release table", "FamiTracker Module", 0x0420, 2, 5, 5, true, false},
    {"development, inline points", "FamiTracker Module", 0x0420, 3, 4, 4, true, false},
    {"0.3.0", "FamiTracker Module", 0x0300, 2, 3, 1, false, false},
};

const std::string kKick(17, '\x0F');
const std::string kSnare = std::string(32, '\x33') + "\x01";

ModuleBuilder songOf(const ModuleGeneration& generation)
{
    ModuleBuilder song;
    song.signature = generation.signature;
    song.version = generation.version;
    song.instrumentsVersion = generation.instruments;
    song.sequencesVersion = generation.sequences;
    song.vrc6Version = generation.vrc6;
    const auto points = [&](ModSequence s) {
        if (!generation.points)
            s.release = -1, s.setting = 0;
        return s;
    };
    song.sequences = {points({0, 0, {15, 12, 10, 8, 6}, 1, 3}),
                      points({0, 1, {0, 4, 7}, 0}),
                      points({0, 4, {2, 1}}),
                      points({1, 0, {15}}),
                      points({1, 1, {36, 38}, -1, -1, fti::kArpFixed}),
                      points({2, 2, {1, -1}, 0, -1, 0})};
    // The VRC6's index 0 is not the 2A03's.
    song.vrc6Sequences = {{0, 0, {15, 10, 5}}, {0, 4, {7, 3}, 1}};
    // The FDS record's inline sequences: two in blocks before version 3.
    std::string fds(108, '\0');
    for (int i = 0; i < (generation.instruments >= 3 ? 3 : 2); ++i)
        fds += std::string(13, '\0');
    song.instruments = {
        {0, 1, "Lead", {0, 0, 2, -1, 0}, {}, ""},
        {1, 1, "Bass", {1, 1, -1, -1, -1}, {}, ""},
        {2, 1, "Kit", {1, -1, -1, -1, -1}, {{24, 1, 0x0F, 0xFF}, {25, 3, 0x8A, generation.deltas ? 0x40 : 0xFF}}, ""},
        {3, 3, "FM", {}, {}, std::string("\x01\0\0\0", 4) + std::string(8, '\x21')},
        {4, 4, "Wave", {}, {}, fds},
        {0x25, 2, "Saw", {0, -1, -1, -1, 0}, {}, ""},
    };
    song.samples = {{2, "snare", kSnare}, {0, "kick", kKick}, {1, "spare", kKick}};
    return song;
}

std::string expectedPrograms(const ModuleGeneration& generation, int first)
{
    std::string zeros63;  // the rest of the FDS record's wave of zeros
    for (int i = 1; i < 64; ++i)
        zeros63 += " 0";
    const auto header = [&](int program, const char* name, const char* channel) {
        return "[program " + std::to_string(first + program) + "]\nname = " + name + "\nchannel = " + channel +
               "\nmulti = no\n";
    };
    return header(0, "Lead", "pulse") + "volume = 15 | 12 10 8 " + (generation.points ? "/ " : "") +
           "6\narp = | 0 4 7\npitch = | 1 -1\nhi-pitch = 0\nduty = 2 1\n\n" + header(1, "Bass", "pulse") +
           "volume = 15\narp = " + (generation.points ? "@48 @50" : "36 38") +
           "\npitch = 0\nhi-pitch = 0\nduty = 0\n\n" + header(2, "Kit", "sample") +
           "volume = 15\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 0\nkeys = 36=kick:15 37=snare:10:loop" +
           (generation.deltas ? ":d64" : "") + "\n\n" + header(3, "FM", "vrc7") +
           "volume = 15\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 0\npatch = 1\ncustom = 21 21 21 21 21 21 21 21\n\n" +
           header(4, "Wave", "fds") + "volume = 31\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 0\nwave = 0" + zeros63 +
           "\n\n" + header(5, "Saw", "vrc6-pulse") +
           "volume = 15 10 5\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 7 | 3\n\n";
}

// A text bank's bytes: hex, 16 to a group.
std::string hexOf(const std::string& bytes)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(bytes[i]));
        text += (i != 0 && i % 16 == 0 ? " " : "") + std::string(two);
    }
    return text;
}

}  // namespace

TEST_F(PlinkaBank, ModulesOfEachGenerationImportExactlyTheirInstrumentsSequencesKeysAndSamples)
{
    for (const ModuleGeneration& generation : kGenerations) {
        SCOPED_TRACE(generation.what);
        put("song.ftm", songOf(generation).bytes());
        fs::remove(dir / "song.txt");
        const ToolRun imported = run("from-module " + path("song.ftm") + " --program 10 -o " + path("song.txt"));
        EXPECT_EQ(imported.status, 0);
        const std::string song = path("song.ftm") + ": instrument ";
        const std::string release = generation.points
                                        ? song + "00 \"Lead\": Volume: the release ends at volume 6, which the tracker "
                                                 "holds; Plinka ends the note there\n"
                                        : "";
        EXPECT_EQ(imported.err, song + "00 \"Lead\": channel: pulse (nothing in it says noise)\n" + release + song +
                                    "01 \"Bass\": channel: pulse (nothing in it says noise)\n");
        const std::string text = slurp(dir / "song.txt");
        const size_t programs = text.find("[program 10]");
        const size_t samples = text.find("[sample ");
        ASSERT_NE(programs, std::string::npos) << text;
        ASSERT_NE(samples, std::string::npos) << text;
        EXPECT_EQ(text.substr(programs, samples - programs), expectedPrograms(generation, 10));
        // Only the samples a key plays join the bank, byte for byte.
        EXPECT_EQ(text.substr(samples), "[sample kick]\nlength = 17\nbytes = " + hexOf(kKick) +
                                            "\n\n[sample snare]\nlength = 33\nbytes = " + hexOf(kSnare) + "\n");
        EXPECT_EQ(run("check " + path("song.txt")).status, 0);
    }
}

TEST_F(PlinkaBank, OldModulesUnrollTheirValueLengthPairsWithTheirLoops)
{
    // Version 1 pools have no types: an index is one sequence whatever uses it.
    for (const auto& [version, blocks] : {std::pair{0x0201u, 1}, std::pair{0x0203u, 2}}) {
        SCOPED_TRACE(blocks);
        ModuleBuilder song;
        song.version = version;
        song.instrumentsVersion = blocks;
        song.sequencesVersion = blocks;
        // (value, length): length more ticks; a negative length loops back over that many pairs.
        song.sequences = {{0, 0, {15, 0, 12, 2, 8, 0, 0, -2}}, {1, 2, {3, 1, -1, 0}}, {2, 1, {0, 0, 7, 1, 0, -1}}};
        song.instruments = {{0, 1, "Old", {0, 2, 1, -1, -1}, {{60, 1, 0x0F, 0xFF}}, ""}};
        song.samples = {{0, "kick", kKick}};
        put("old.ftm", song.bytes());
        fs::remove(dir / "old.txt");
        const ToolRun imported = run("from-module " + path("old.ftm") + " -o " + path("old.txt"));
        EXPECT_EQ(imported.status, 0);
        const std::string text = slurp(dir / "old.txt");
        // A kit: the sample channel plays no Volume or Arp, which are said and left out.
        EXPECT_NE(text.find("[program 1]\nname = Old\nchannel = sample\nmulti = no\nvolume = 15\narp = 0\n"
                            "pitch = 3 0 -1\nhi-pitch = 0\nduty = 0\nkeys = 72=kick:15\n"),
                  std::string::npos)
            << text;
        EXPECT_NE(imported.err.find("Volume: left out"), std::string::npos) << imported.err;
        // The same module as a 2A03 pulse instrument shows the unrolled Volume and Arp.
        song.instruments[0].keys.clear();
        put("old.ftm", song.bytes());
        fs::remove(dir / "old.txt");
        ASSERT_EQ(run("from-module " + path("old.ftm") + " -o " + path("old.txt")).status, 0);
        EXPECT_NE(slurp(dir / "old.txt")
                      .find("channel = pulse\nmulti = no\nvolume = 15 | 12 12 12 8\narp = 0 | 7 7\npitch = 3 0 -1\n"),
                  std::string::npos)
            << slurp(dir / "old.txt");
    }
}

TEST_F(PlinkaBank, DamagedModulesAreOneLineExit2AndNoFile)
{
    ModuleBuilder kit;
    kit.instruments = {{0, 1, "Kit", {-1, -1, -1, -1, -1}, {{24, 1, 0x0F, 0xFF}}, ""}};
    kit.samples = {{0, "kick", kKick}};
    const std::string good = kit.bytes();

    std::string vrc6Record;
    ModuleBuilder::int32(vrc6Record, 0);
    vrc6Record += '\x02';
    ModuleBuilder::int32(vrc6Record, 5);
    vrc6Record += std::string(10, '\0');
    const auto instruments = [&](int32_t count, const std::string& records) {
        std::string payload;
        ModuleBuilder::int32(payload, count);
        ModuleBuilder song = kit;
        song.rawInstruments = payload + records;
        return song.bytes();
    };
    std::string named = vrc6Record;
    ModuleBuilder::int32(named, 3);
    std::string unended = vrc6Record;
    ModuleBuilder::int32(unended, 100);
    std::string unknown = vrc6Record;
    unknown[4] = '\x09';
    ModuleBuilder outOfRange = kit;
    outOfRange.sequences = {{200, 0, {15}}};
    ModuleBuilder wrongType = kit;
    wrongType.sequences = {{1, 5, {15}}};
    ModuleBuilder big = kit;
    big.samples = {{0, "big", std::string(0x8000, '\x55')}};
    std::string old = good;
    old[18] = '\x00';
    old[19] = '\x01';

    const std::pair<std::string, std::string> cases[] = {
        {"not a module", "not a tracker module (it does not start with 'FamiTracker Module')"},
        {old, "file version 0100 is not read (versions 0200 to 0460 are)"},
        {good.substr(0, good.size() - 8), "DPCM SAMPLES: the block counts 31 bytes, the file holds 26 more"},
        {good.substr(0, 30), "cut short in the header of a block after the file version"},
        {good.substr(0, 22) + ModuleBuilder::block("X\nY", 1, "") + "Z",
         "cut short in the header of a block after \"X\\x0AY\""},
        {instruments(64, named + "abc"), "INSTRUMENTS: counts 64 instruments, more than the block holds"},
        {instruments(-1, named + "abc"), "INSTRUMENTS: counts -1 instruments (0 to 64)"},
        {instruments(1, unended + "abc"), "INSTRUMENTS: instrument 00's name runs past the end of the block"},
        {instruments(1, unknown + "abc"), "INSTRUMENTS: instrument 00 has unknown type 9"},
        {outOfRange.bytes(), "SEQUENCES: sequence 1 has index 200 (0 to 127)"},
        {wrongType.bytes(), "SEQUENCES: sequence 1 has type 5 (0 to 4)"},
        {big.bytes(), "DPCM SAMPLES: sample 1 \"big\" has 32768 bytes; a tracker loads 0 to 32767"},
    };
    for (const auto& [bytes, message] : cases) {
        SCOPED_TRACE(message);
        put("bad.ftm", bytes);
        const ToolRun result = run("from-module " + path("bad.ftm") + " -o " + path("out.txt"));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, path("bad.ftm") + ": " + message + "\n");
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(fs::exists(dir / "out.txt"));
        EXPECT_EQ(run("from-module " + path("bad.ftm") + " --list").status, 2);
    }
    // Every cut of a good module is refused or reads what it holds; none crashes.
    for (size_t size = 0; size < good.size(); ++size) {
        put("cut.ftm", good.substr(0, size));
        const ToolRun result = run("from-module " + path("cut.ftm") + " --list");
        EXPECT_TRUE(result.status == 0 || result.status == 2) << size;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << size << result.err;
    }
}

TEST_F(PlinkaBank, ModuleListSaysWhatWouldComeInAndAnInstrumentAloneIsSkippedWithItsLine)
{
    ModuleBuilder module = songOf(kGenerations[0]);
    module.instruments.push_back({0x30, 1, "Broken", {-1, 200, -1, -1, -1}, {}, ""});
    put("song.ftm", module.bytes());
    const ToolRun list = run("from-module " + path("song.ftm") + " --list --program 3");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, "");
    const std::string song = path("song.ftm") + ": instrument ";
    EXPECT_EQ(list.out,
              song + "00 \"Lead\": 2A03, program 3, pulse (nothing in it says noise), 4 of 5 sequences\n" + song +
                  "01 \"Bass\": 2A03, program 4, pulse (nothing in it says noise), 2 of 5 sequences\n" + song +
                  "02 \"Kit\": 2A03, program 5, sample (it has DPCM keys), 1 of 5 sequences, 2 DPCM keys over 2 "
                  "samples\n" +
                  song + "03 \"FM\": VRC7, program 6, vrc7 (a VRC7 instrument), patch 1\n" + song +
                  "04 \"Wave\": FDS, program 7, fds (an FDS instrument), 0 of 3 sequences, no modulation\n" + song +
                  "25 \"Saw\": VRC6, program 8, vrc6-pulse (a VRC6 instrument), 2 of 5 sequences\n" + song +
                  "30 \"Broken\": skipped (its Arp sequence index 200 is out of range (0 to 127))\n");
    EXPECT_FALSE(fs::exists(dir / "song.txt"));

    // A bank with room for one more sample: the kit's two do not fit. It is
    // skipped with one line, its program left alone; the others come in.
    std::string bank;
    for (int i = 0; i < kMaxSamples - 1; ++i)
        bank += "[sample s" + std::to_string(i) + "]\nlength = 1\nbytes = 00\n\n";
    put("bank.txt", bank);
    const ToolRun into = run("from-module " + path("song.ftm") + " --program 20 --into " + path("bank.txt"));
    EXPECT_EQ(into.status, 0);
    EXPECT_NE(into.err.find(song + "02 \"Kit\": DPCM: the instrument's samples do not fit beside the bank's 63; a "
                                   "bank holds 64; skipped, program 22 left as it was\n"),
              std::string::npos)
        << into.err;
    EXPECT_NE(into.err.find(song + "30 \"Broken\": its Arp sequence index 200 is out of range (0 to 127), skipped\n"),
              std::string::npos)
        << into.err;
    const std::string text = slurp(dir / "bank.txt");
    EXPECT_NE(text.find("[program 21]\nname = Bass\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[program 23]\nname = FM\nchannel = vrc7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[program 24]\nname = Wave\nchannel = fds\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[program 25]\nname = Saw\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("[program 22]"), std::string::npos) << text;
    EXPECT_EQ(text.find("[sample kick]"), std::string::npos) << text;

    for (const char* arguments : {"from-module a.ftm --list -o b.txt", "from-fti a.fti --list",
                                  "from-module a.ftm --channel noise", "from-module a.ftm b.ftm"}) {
        const ToolRun result = run(arguments);
        EXPECT_EQ(result.status, 2) << arguments;
        EXPECT_EQ(result.err.rfind("plinka-bank: ", 0), 0u) << arguments << result.err;
    }
}

TEST_F(PlinkaBank, A5bModulesInstrumentsComeInFromTheModules5bPoolAndAreListed)
{
    ModuleBuilder song;
    song.sequences = {{0, 0, {15, 12}}, {0, 4, {2}}};
    // The 5B pool's index 0 is not the 2A03's.
    song.s5bSequences = {{0, 0, {15, 9, 3}, 1}, {0, 4, {0xC0, 0x9F}, 0}, {3, 1, {0, 7}, 0}};
    song.instruments = {{0, 1, "Lead", {0, -1, -1, -1, 0}, {}, ""},
                        {1, 6, "Chip", {0, 3, -1, -1, 0}, {}, ""},
                        {2, 6, "Bare", {5, -1, -1, -1, -1}, {}, ""}};  // no sequence at 5: none played
    put("song.ftm", song.bytes());
    const std::string who = path("song.ftm") + ": instrument ";
    const ToolRun list = run("from-module " + path("song.ftm") + " --list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, who + "00 \"Lead\": 2A03, program 1, pulse (nothing in it says noise), 2 of 5 sequences\n" +
                            who + "01 \"Chip\": 5B, program 2, 5b (a 5B instrument), 3 of 5 sequences\n" + who +
                            "02 \"Bare\": 5B, program 3, 5b (a 5B instrument), 0 of 5 sequences\n");

    const ToolRun imported = run("from-module " + path("song.ftm") + " -o " + path("song.txt"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.err, who + "00 \"Lead\": channel: pulse (nothing in it says noise)\n" + who +
                                "01 \"Chip\": Duty: the tracker's fixed noise periods left out; Plinka's follows "
                                "the key\n");
    const std::string text = slurp(dir / "song.txt");
    EXPECT_NE(text.find("[program 1]\nname = Lead\nchannel = pulse\nmulti = no\nvolume = 15 12\narp = 0\npitch = 0\n"
                        "hi-pitch = 0\nduty = 2\n\n"
                        "[program 2]\nname = Chip\nchannel = 5b\nmulti = no\nvolume = 15 | 9 3\narp = | 0 7\n"
                        "pitch = 0\nhi-pitch = 0\nduty = | 2 1\n\n"
                        "[program 3]\nname = Bare\nchannel = 5b\nmulti = no\nvolume = 15\narp = 0\npitch = 0\n"
                        "hi-pitch = 0\nduty = 0\n"),
              std::string::npos)
        << text;

    // A damaged 5B pool is one line, and so is every cut of the module.
    ModuleBuilder damaged = song;
    damaged.s5bSequences[1].index = 200;
    put("bad.ftm", damaged.bytes());
    const ToolRun bad = run("from-module " + path("bad.ftm") + " --list");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, path("bad.ftm") + ": SEQUENCES_S5B: sequence 2 has index 200 (0 to 127)\n");
    const std::string bytes = song.bytes();
    for (size_t size = bytes.find("SEQUENCES_S5B"); size < bytes.size(); ++size) {
        put("cut.ftm", bytes.substr(0, size));
        const ToolRun result = run("from-module " + path("cut.ftm") + " --list");
        EXPECT_TRUE(result.status == 0 || result.status == 2) << size;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << size << result.err;
    }
}

// An FDS and an N163 file go into a VST bank and out of it again byte for
// byte (the N163 wave position, which Plinka does not keep, as 0); a 2.5
// N163 file whose tracker places its wave itself comes out as 2.4.
TEST_F(PlinkaBank, FdsAndN163FtiFilesGoThroughABankAndComeOutByteForByte)
{
    const Bytes fds = fdsFile().bytes();
    const Bytes n163 = n163File().bytes();
    FtiBuilder chime = n163File();
    chime.version = "2.5";
    chime.autoPosition = 1;
    const Bytes chimeBytes = chime.bytes();
    put("organ.fti", std::string(fds.begin(), fds.end()));
    put("bell.fti", std::string(n163.begin(), n163.end()));
    put("chime.fti", std::string(chimeBytes.begin(), chimeBytes.end()));
    const ToolRun imported = run("from-fti " + path("organ.fti") + " " + path("bell.fti") + " " + path("chime.fti") +
                                 " --program 7 -o " + path("bank.fxb"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.err, path("bell.fti") + ": Wave: the tracker's wave position 16 left out; Plinka places each "
                                               "wave in the chip's RAM itself\n");
    const Bytes n163Written = n163File(0).bytes();
    for (const auto& [program, expected] : {std::pair{7, fds}, std::pair{8, n163Written}, std::pair{9, n163Written}}) {
        const ToolRun exported =
            run("to-fti " + path("bank.fxb") + " --program " + std::to_string(program) + " -o " + path("out.fti"));
        EXPECT_EQ(exported.status, 0) << program;
        EXPECT_EQ(exported.err, "") << program;
        EXPECT_EQ(slurp(dir / "out.fti"), std::string(expected.begin(), expected.end())) << program;
    }
    // Asked for another channel, an FDS file plays it without its wave, and says so.
    const ToolRun pulse = run("from-fti " + path("organ.fti") + " --channel pulse -o " + path("pulse.txt"));
    EXPECT_EQ(pulse.status, 0);
    EXPECT_EQ(pulse.err, path("organ.fti") + ": Volume: values outside 0..15 moved to the nearest\n" +
                             path("organ.fti") + ": Wave: left out; only an FDS program plays it\n");
    // A size Plinka's waves cannot hold is one line and no file.
    FtiBuilder odd = n163File();
    odd.waveSize = 6;
    const Bytes oddBytes = odd.bytes();
    put("odd.fti", std::string(oddBytes.begin(), oddBytes.end()));
    const ToolRun refused = run("from-fti " + path("odd.fti") + " -o " + path("odd.txt"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, path("odd.fti") +
                               ": the N163 wave size 6 is not a multiple of 4 from 4 to 240, which Plinka's waves "
                               "hold\n");
    EXPECT_FALSE(fs::exists(dir / "odd.txt"));
}

// From INSTRUMENTS 8 a module's N163 record says whether the tracker finds
// the wave a place in RAM itself, as Plinka does: then its position is no
// loss and gets no note.
TEST_F(PlinkaBank, AModulesN163InstrumentWhoseTrackerPlacesTheWaveGetsNoPositionNote)
{
    for (const int32_t automatic : {0, 1}) {
        ModuleBuilder song;
        song.instrumentsVersion = 8;
        const std::string waves = ModuleBuilder::n163Waves(8, 16, n163File().waves, true, automatic);
        song.instruments = {{0, 5, "Bell", {-1, -1, -1, -1, -1}, {}, waves}};
        put("song.ftm", song.bytes());
        const std::string out = "song" + std::to_string(automatic) + ".txt";
        const ToolRun imported = run("from-module " + path("song.ftm") + " -o " + path(out));
        EXPECT_EQ(imported.status, 0);
        EXPECT_EQ(imported.err, automatic ? ""
                                          : path("song.ftm") + ": instrument 00 \"Bell\": Wave: the tracker's wave "
                                                               "position 16 left out; Plinka places each wave in the "
                                                               "chip's RAM itself\n");
    }
}

// VRC7 files through a VST bank and out again byte for byte; what a VRC7
// program has that the file cannot hold is a note each.
TEST_F(PlinkaBank, Vrc7FtiFilesGoThroughABankAndComeOutByteForByte)
{
    const std::vector<int> own = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    FtiBuilder brass;
    brass.type = 3;
    brass.name = "Brass";
    brass.vrc7Patch = 0;
    brass.vrc7Custom = own;
    FtiBuilder piano = brass;
    piano.name = "Piano";
    piano.vrc7Patch = 3;
    const Bytes brassBytes = brass.bytes();
    const Bytes pianoBytes = piano.bytes();
    put("brass.fti", std::string(brassBytes.begin(), brassBytes.end()));
    put("piano.fti", std::string(pianoBytes.begin(), pianoBytes.end()));
    const ToolRun imported =
        run("from-fti " + path("brass.fti") + " " + path("piano.fti") + " --program 7 -o " + path("bank.fxb"));
    EXPECT_EQ(imported.status, 0);
    EXPECT_EQ(imported.err, "");
    ASSERT_EQ(run("to-text " + path("bank.fxb") + " -o " + path("bank.txt")).status, 0);
    const std::string text = slurp(dir / "bank.txt");
    EXPECT_NE(text.find("[program 7]\nname = Brass\nchannel = vrc7\nmulti = no\nvolume = 15\narp = 0\npitch = 0\n"
                        "hi-pitch = 0\nduty = 0\npatch = custom\ncustom = 12 34 56 78 9A BC DE F0\n\n"
                        "[program 8]\nname = Piano\nchannel = vrc7\nmulti = no\nvolume = 15\narp = 0\npitch = 0\n"
                        "hi-pitch = 0\nduty = 0\npatch = 3\ncustom = 12 34 56 78 9A BC DE F0\n"),
              std::string::npos)
        << text;
    for (const auto& [program, expected] : {std::pair{7, brassBytes}, std::pair{8, pianoBytes}}) {
        const ToolRun exported =
            run("to-fti " + path("bank.fxb") + " --program " + std::to_string(program) + " -o " + path("out.fti"));
        EXPECT_EQ(exported.status, 0) << program;
        EXPECT_EQ(exported.err, "") << program;
        EXPECT_EQ(slurp(dir / "out.fti"), std::string(expected.begin(), expected.end())) << program;
    }
    // A typed program: a built-in patch goes out with a new instrument's
    // bytes; its sustain and its envelopes have no place in the file.
    put("typed.txt", "[program 1]\nname = Bell\nchannel = vrc7\nvolume = 15 12 9\npitch = 0\npatch = 6\n"
                     "sustain = on\n");
    const ToolRun typed = run("to-fti " + path("typed.txt") + " --program 1 -o " + path("bell.fti"));
    EXPECT_EQ(typed.status, 0);
    const std::string where = path("typed.txt") + ": program 1, ";
    EXPECT_EQ(typed.err, where + "Patch: sustain on left out; a tracker instrument has no place for it\n" + where +
                             "Volume: left out; a VRC7 instrument has no sequences\n");
    FtiBuilder bell;
    bell.type = 3;
    bell.name = "Bell";
    bell.vrc7Patch = 6;
    const Bytes bellBytes = bell.bytes();
    EXPECT_EQ(slurp(dir / "bell.fti"), std::string(bellBytes.begin(), bellBytes.end()));
}

// VRC7 instruments of a module come in as VRC7 programs; a module whose
// PARAMS_EMU replaces the built-in patches gives those that name one the
// module's bytes as a custom patch, said once for the module.
TEST_F(PlinkaBank, Vrc7ModuleInstrumentsComeInWithTheModulesOwnPatchesWhereItHasThem)
{
    const std::vector<int> own = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    ModuleBuilder song;
    song.instruments = {{0, 3, "Brass", {}, {}, ModuleBuilder::vrc7Record(0, own)},
                        {1, 3, "Piano", {}, {}, ModuleBuilder::vrc7Record(3, own)},
                        {2, 3, "Flute", {}, {}, ModuleBuilder::vrc7Record(15, {1, 0x21, 0, 0, 0, 0xF0, 0, 0x0F})},
                        {3, 3, "Odd", {}, {}, ModuleBuilder::vrc7Record(16, own)}};
    const std::string who = path("song.ftm") + ": instrument ";
    const std::string odd = who + "03 \"Odd\": its VRC7 patch 16 is not 0 (custom) to 15";
    const std::string header = "channel = vrc7\nmulti = no\nvolume = 15\narp = 0\npitch = 0\nhi-pitch = 0\nduty = 0\n";
    using Patches = std::array<std::string, 3>;
    const Patches builtIn = {"patch = custom\ncustom = 12 34 56 78 9A BC DE F0",
                             "patch = 3\ncustom = 12 34 56 78 9A BC DE F0", "patch = 15"};
    const struct {
        const char* what;
        std::string emulation;
        std::string notes;
        Patches patches;
    } examples[] = {
        {"the chip's own patches", "", "", builtIn},
        {"PARAMS_EMU, flag off", std::string(4, '\0'), "", builtIn},
        {"PARAMS_EMU, flag on",
         ModuleBuilder::vrc7Patches(),
         path("song.ftm") + ": the module replaces the VRC7's built-in patches (its PARAMS_EMU block): 2 instruments "
                            "naming one play the module's bytes as a custom patch\n",
         {"patch = custom\ncustom = 12 34 56 78 9A BC DE F0", "patch = custom\ncustom = 33 33 33 33 33 33 33 33",
          "patch = custom\ncustom = FF FF FF FF FF FF FF FF"}},
        {"PARAMS_EMU cut short", ModuleBuilder::vrc7Patches().substr(0, 100),
         path("song.ftm") + ": warning: PARAMS_EMU: cut short in patch 6; the VRC7's own patches are used\n", builtIn},
    };
    for (const auto& example : examples) {
        SCOPED_TRACE(example.what);
        song.emulation = example.emulation;
        put("song.ftm", song.bytes());
        const ToolRun list = run("from-module " + path("song.ftm") + " --list");
        EXPECT_EQ(list.status, 0);
        EXPECT_EQ(list.out, who + "00 \"Brass\": VRC7, program 1, vrc7 (a VRC7 instrument), custom patch\n" + who +
                                "01 \"Piano\": VRC7, program 2, vrc7 (a VRC7 instrument), " +
                                (example.notes.find("replaces") != std::string::npos ? "custom patch" : "patch 3") +
                                "\n" + who + "02 \"Flute\": VRC7, program 3, vrc7 (a VRC7 instrument), " +
                                (example.notes.find("replaces") != std::string::npos ? "custom patch" : "patch 15") +
                                "\n" + who + "03 \"Odd\": skipped (its VRC7 patch 16 is not 0 (custom) to 15)\n");
        fs::remove(dir / "song.txt");
        const ToolRun imported = run("from-module " + path("song.ftm") + " -o " + path("song.txt"));
        EXPECT_EQ(imported.status, 0);
        EXPECT_EQ(imported.err, example.notes + odd + ", skipped\n");
        const std::string text = slurp(dir / "song.txt");
        const char* names[] = {"Brass", "Piano", "Flute"};
        for (size_t i = 0; i < 3; ++i)
            EXPECT_NE(text.find("[program " + std::to_string(i + 1) + "]\nname = " + names[i] + "\n" + header +
                                example.patches[i] + "\n"),
                      std::string::npos)
                << names[i] << "\n"
                << text;
        EXPECT_EQ(text.find("Odd"), std::string::npos);
    }
    // Every cut of the module is refused or reads what it holds: a line for
    // the damage, and one for the patches when the block is whole.
    song.emulation = ModuleBuilder::vrc7Patches();
    const std::string bytes = song.bytes();
    for (size_t size = bytes.find("INSTRUMENTS"); size < bytes.size(); ++size) {
        put("cut.ftm", bytes.substr(0, size));
        const ToolRun result = run("from-module " + path("cut.ftm") + " --list");
        EXPECT_TRUE(result.status == 0 || result.status == 2) << size;
        const auto lines = std::count(result.err.begin(), result.err.end(), '\n');
        EXPECT_TRUE(lines == 1 || (lines == 2 && result.err.find("replaces") != std::string::npos))
            << size << result.err;
    }
}

namespace {

// An FDS record of fdsFile()'s instrument, its sequences as the block version has them.
std::string fdsRecordOf(const FtiBuilder& file, int sequences)
{
    std::vector<ModSequence> inlined;
    for (int i = 0; i < sequences; ++i) {
        const ftitest::FtiSequence& s = file.fdsSequences[static_cast<size_t>(i)];
        inlined.push_back({0, i, s.enabled ? s.items : std::vector<int>{}, s.loop, s.release, s.setting});
    }
    return ModuleBuilder::fdsRecord(file.fdsWave, file.fdsMod, file.modSpeed, file.modDepth, file.modDelay, inlined);
}

}  // namespace

// A module's FDS instruments hold their sequences, its N163 instruments take
// theirs from its N163 pool: each comes in as the .fti file of the same
// instrument does, through a bank and back out byte for byte.
TEST_F(PlinkaBank, ModulesFdsAndN163InstrumentsComeInAsTheirFtiFilesDo)
{
    const FtiBuilder organ = fdsFile();
    const FtiBuilder bell = n163File(0);
    for (const auto& [instrumentsVersion, poolId] :
         {std::pair{6, "SEQUENCES_N163"}, std::pair{8, "SEQUENCES_N163"}, std::pair{6, "SEQUENCES_N106"}}) {
        SCOPED_TRACE(std::to_string(instrumentsVersion) + " " + poolId);
        ModuleBuilder song;
        song.instrumentsVersion = instrumentsVersion;
        song.n163PoolId = poolId;
        song.sequences = {{0, 0, {3}}, {0, 4, {3}}};
        // The N163 pool's index 0 is not the 2A03's.
        song.n163Sequences = {{0, 0, {15, 9, 4}}, {5, 3, {1}}, {2, 4, {0, 1, 2}, 2}};
        song.instruments = {
            {0, 4, "Organ", {}, {}, fdsRecordOf(organ, 3)},
            {1, 5, "Bell", {0, -1, -1, 5, 2}, {}, ModuleBuilder::n163Waves(8, 0, bell.waves, instrumentsVersion >= 8)},
            {2,
             5,
             "Odd",
             {0, -1, -1, -1, -1},
             {},
             ModuleBuilder::n163Waves(6, 0, {{1, 2, 3, 4, 5, 6}}, instrumentsVersion >= 8)},
        };
        put("song.ftm", song.bytes());
        const std::string who = path("song.ftm") + ": instrument ";
        const ToolRun list = run("from-module " + path("song.ftm") + " --list");
        EXPECT_EQ(list.status, 0);
        EXPECT_EQ(list.out,
                  who + "00 \"Organ\": FDS, program 1, fds (an FDS instrument), 3 of 3 sequences, modulated\n" + who +
                      "01 \"Bell\": N163, program 2, n163 (an N163 instrument), 3 of 5 sequences, 3 waves of 8 "
                      "samples\n" +
                      who +
                      "02 \"Odd\": skipped (the N163 wave size 6 is not a multiple of 4 from 4 to 240, which "
                      "Plinka's waves hold)\n");
        fs::remove(dir / "song.fxb");
        const ToolRun imported = run("from-module " + path("song.ftm") + " -o " + path("song.fxb"));
        EXPECT_EQ(imported.status, 0);
        EXPECT_EQ(imported.err, who + "02 \"Odd\": the N163 wave size 6 is not a multiple of 4 from 4 to 240, which "
                                      "Plinka's waves hold, skipped\n");
        for (const auto& [program, file] : {std::pair{1, organ}, std::pair{2, bell}}) {
            ASSERT_EQ(
                run("to-fti " + path("song.fxb") + " --program " + std::to_string(program) + " -o " + path("out.fti"))
                    .status,
                0);
            const Bytes expected = file.bytes();
            EXPECT_EQ(slurp(dir / "out.fti"), std::string(expected.begin(), expected.end())) << program;
        }
    }
}

// FDS records of old blocks: before version 4 their volumes count 16 steps
// (doubled, unless an item says the tracker already wrote 32); version 1
// and 2 blocks hold two sequences (or, from one tracker, three, told by
// what follows); PATTERNS before version 5 mean fixed notes two octaves low.
TEST_F(PlinkaBank, OldModulesFdsInstrumentsFollowTheirBlocksVersionRules)
{
    struct Case {
        const char* what;
        int instrumentsVersion, sequences, patternsVersion;
        std::vector<int> volume;
        const char* volumeText;
        const char* arpText;
        const char* pitchText;
    };
    const Case cases[] = {
        {"0.3.x, FDS on", 4, 3, 4, {31, 20}, "31 20", "@84 @96", "| 2 -2"},
        {"block 3, 16 steps", 3, 3, 5, {15, 7}, "30 14", "@60 @72", "| 2 -2"},
        {"block 3, already 32", 3, 3, 5, {16, 7}, "16 7", "@60 @72", "| 2 -2"},
        {"block 2, two sequences", 2, 2, 4, {15, 0}, "30 0", "@84 @96", "0"},
        {"block 2, three from one tracker's writer", 2, 3, 0, {31, 0}, "31 0", "@60 @72", "| 2 -2"},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.what);
        FtiBuilder organ = fdsFile();
        organ.fdsSequences[0] = seq(example.volume);
        ModuleBuilder song;
        song.version = 0x0420;
        song.instrumentsVersion = example.instrumentsVersion;
        song.patternsVersion = example.patternsVersion;
        song.instruments = {{0, 4, "Organ", {}, {}, fdsRecordOf(organ, example.sequences)},
                            {1, 2, "Next", {-1, -1, -1, -1, -1}, {}, ""}};
        put("old.ftm", song.bytes());
        fs::remove(dir / "old.txt");
        const ToolRun imported = run("from-module " + path("old.ftm") + " -o " + path("old.txt"));
        EXPECT_EQ(imported.status, 0) << imported.err;
        const std::string text = slurp(dir / "old.txt");
        const std::string wave = fdsWaveTextOf(organ);
        const size_t mod = wave.find(" mod ");
        EXPECT_NE(text.find(std::string("[program 1]\nname = Organ\nchannel = fds\nmulti = no\nvolume = ") +
                            example.volumeText + "\narp = " + example.arpText + "\npitch = " + example.pitchText +
                            "\nhi-pitch = 0\nduty = 0\nwave = " + wave.substr(0, mod) +
                            "\nmod = " + wave.substr(mod + 5, wave.find(" mod-rate") - mod - 5) +
                            "\nmod-rate = 300\nmod-depth = 12\nmod-delay = 30\n\n[program 2]\nname = Next\n"),
                  std::string::npos)
            << text;
    }
    // Every cut of a module with FDS and N163 records is refused or reads what it holds, in one line.
    ModuleBuilder song;
    song.n163Sequences = {{0, 4, {1, 0}}};
    song.instruments = {{0, 4, "Organ", {}, {}, fdsRecordOf(fdsFile(), 3)},
                        {1, 5, "Bell", {-1, -1, -1, -1, 0}, {}, ModuleBuilder::n163Waves(4, 0, {{1, 2, 3, 4}})}};
    const std::string bytes = song.bytes();
    for (size_t size = bytes.find("INSTRUMENTS"); size < bytes.size(); size += 3) {
        put("cut.ftm", bytes.substr(0, size));
        const ToolRun result = run("from-module " + path("cut.ftm") + " --list");
        EXPECT_TRUE(result.status == 0 || result.status == 2) << size;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << size << result.err;
    }
}

// Each row of the channel table against what the text bank and the tracker
// conversion make of it: its word reads back as its type in any case and is
// what a saved bank writes; its program goes out as an instrument of its
// chip's type that comes back on the same channel.
TEST(ChannelKinds, EachWordReadsAsItsTypeAndEachProgramComesBackFromTheTrackerOnItsChannel)
{
    for (const ChannelKind& kind : kChannelKinds) {
        const std::string word = kind.word;
        SCOPED_TRACE(word);
        std::string upper = word;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        const auto state = textbank::makeDefault();
        std::vector<std::string> errors;
        ASSERT_TRUE(textbank::parse("[program 6]\nchannel = " + upper + "\n", "kinds.txt", *state, errors));
        EXPECT_EQ(state->programs[5].channelType, kind.type);
        EXPECT_NE(textbank::write(*state).find("\nchannel = " + word + "\n"), std::string::npos);

        fti::Instrument exported;
        std::vector<std::string> notes;
        std::string error;
        ASSERT_TRUE(fticonversion::fromProgram(state->programs[5], exported, notes, error)) << error;
        EXPECT_EQ(exported.type, kind.ftiType);
        EXPECT_EQ(fticonversion::channelFor(exported, kind.type), kind.type);
    }
}

// The FDS and N163 programs' wave and mod keys, and the 163's channel count.
TEST(WaveTextBank, TheWaveKeysFillOneTextInAnyOrderAndAreWrittenBack)
{
    std::string ramp64, mod32;
    for (int i = 0; i < 64; ++i)
        ramp64 += (i ? " " : "") + std::to_string(i);
    for (int i = 0; i < 32; ++i)
        mod32 += (i ? " " : "") + std::to_string(i % 8);
    const std::string text = "n163-channels = 4\n"
                             "[program 2]\nchannel = fds\nmod-depth = 9\nwave = " +
                             ramp64 + "\nmod = " + mod32 + "\nmod-rate = 300\n" +
                             "[program 3]\nchannel = n163\nwave = 1 2 3 4 ; 4 3 2 1\n";
    auto state = textbank::makeDefault();
    std::vector<std::string> errors;
    ASSERT_TRUE(textbank::parse(text, "bank.txt", *state, errors)) << errors.front();
    EXPECT_EQ(std::string(state->programs[1].waveText), ramp64 + " mod " + mod32 + " mod-rate 300 mod-depth 9");
    EXPECT_EQ(std::string(state->programs[2].waveText), "1 2 3 4 ; 4 3 2 1");
    EXPECT_EQ(state->settings.n163Channels, 4);
    const std::string written = textbank::write(*state);
    EXPECT_NE(written.find("wave = " + ramp64 + "\nmod = " + mod32 + "\nmod-rate = 300\nmod-depth = 9\n"),
              std::string::npos);
    auto again = textbank::makeDefault();
    ASSERT_TRUE(textbank::parse(written, "bank.txt", *again, errors));
    EXPECT_TRUE(textbank::sameContent(*state, *again));

    copyTextField(state->programs[1].waveText, "1 2 3");
    const auto found = textbank::checkEnvelopes(*state);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(textbank::describe(*state, found[0]),
              "program 2 \"002 Plain Pulse 25.0%\", Wave: " + std::string(kErrorFdsWaveLength));
    errors.clear();
    EXPECT_FALSE(textbank::parse("n163-channels = 9\n", "bank.txt", *again, errors));
    EXPECT_EQ(errors, std::vector<std::string>{"bank.txt:1: n163-channels must be 1 to 8, not \"9\""});
}

TEST_F(PlinkaBank, CheckReportsABadWaveWithTheLineOfItsFirstKey)
{
    put("wave.txt", "[program 3]\n"
                    "channel = n163\n"
                    "mod-rate = 3\n"
                    "wave = 1 2 3 4\n");
    const ToolRun check = run("check " + path("wave.txt"));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, path("wave.txt") + ":3: program 3 \"003 Plain Pulse 50.0%\", Wave: " + kErrorN163NoMod + "\n" +
                             path("wave.txt") + ": 1 wave text does not compile\n");
    const ToolRun convert = run("to-fxb " + path("wave.txt") + " -o " + path("wave.fxb"));
    EXPECT_EQ(convert.status, 0);
    EXPECT_NE(convert.err.find(": warning: 1 wave text does not compile; written as typed\n"), std::string::npos);
}

// ---- tracker modules' text exports ----

namespace {

// Instruments of every type a text export holds: 2A03 ones with and without
// DPCM keys (one naming an empty slot, one a sample of 100 bytes, three DPCM
// lines), VRC6 and 5B ones from pools whose indices the 2A03's share, VRC7 ones
// with a custom and a built-in patch, an FDS one with its wave, modulator and
// sequences, an N163 one with its waves; names with a quote and a space.
ModuleBuilder everyTypeSong()
{
    ModuleBuilder song;
    song.sequences = {{0, 0, {15, 12, 10, 8, 6}, 1, 3},
                      {0, 1, {0, 4, 7}, 0},
                      {0, 2, {1, -1}, 0},
                      {0, 4, {2, 1}},
                      {1, 1, {36, 38}, -1, -1, fti::kArpFixed},
                      {3, 3, {-5, 5}}};
    song.vrc6Sequences = {{0, 0, {15, 10, 5}}, {0, 4, {7, 3}, 1}};
    song.s5bSequences = {{0, 0, {15, 11, 7}, -1, 1}, {0, 4, {0x40, -0x80 + 5, 0x60}, 2}};
    song.n163Sequences = {{0, 0, {15, 9, 4}}, {5, 3, {1}}, {2, 4, {0, 1, 2}, 2}};
    std::string ramp(100, '\0');
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<char>(i * 7);
    song.samples = {{2, "snare", kSnare}, {0, "kick", kKick}, {1, "spare", kKick}, {5, "ramp \"up\"", ramp}};
    const FtiBuilder organ = fdsFile();
    std::vector<ModSequence> inlined;
    for (int i = 0; i < 3; ++i) {
        const ftitest::FtiSequence& s = organ.fdsSequences[static_cast<size_t>(i)];
        inlined.push_back({0, i, s.items, s.loop, s.release, s.setting});
    }
    const FtiBuilder bell = n163File(16);
    song.instruments = {
        {0, 1, "Lead", {0, 0, 0, -1, 0}, {}, ""},
        {1, 1, "Bass", {1, 1, -1, 3, -1}, {}, ""},
        {2, 1, "Kit \"A\"", {1, -1, -1, -1, -1},
         {{24, 1, 0x0F, 0xFF}, {25, 3, 0x8A, 0x40}, {30, 11, 0x0F, 0xFF}, {95, 6, 0x85, 0}}, ""},
        {3, 3, "Brass", {}, {}, ModuleBuilder::vrc7Record(0, {0x11, 0x22, 0x33, 0x44, 0x55, 0xF6, 0x07, 0x2F})},
        {4, 3, "Piano", {}, {}, ModuleBuilder::vrc7Record(3, {1, 0x21, 0, 0, 0, 0xF0, 0, 0x0F})},
        {5, 4, "Organ", {}, {}, ModuleBuilder::fdsRecord(organ.fdsWave, organ.fdsMod, 300, 12, 30, inlined)},
        {6, 5, "Bell", {0, -1, -1, 5, 2}, {}, ModuleBuilder::n163Waves(8, 16, bell.waves)},
        {0x25, 2, "Saw", {0, -1, -1, -1, 0}, {}, ""},
        {0x3F, 6, "Buzz", {0, -1, -1, -1, 0}, {}, ""},
    };
    return song;
}

// The text of a tool's output with one file's path put for another's.
std::string renamed(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

ftm::Module moduleReadOk(const std::string& bytes)
{
    ftm::Module module;
    std::string error;
    EXPECT_TRUE(ftm::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), module, error))
        << error;
    return module;
}

std::string moduleReadError(const std::string& bytes)
{
    ftm::Module module;
    std::string error;
    EXPECT_FALSE(ftm::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), module, error));
    return error;
}

}  // namespace

// One set of instruments of every type, as a binary module and as its text
// export under a name that says nothing: the same instruments, and the same
// bank, list and notes from the tool.
TEST_F(PlinkaBank, ATextExportImportsExactlyAsItsBinaryModuleDoes)
{
    const ModuleBuilder song = everyTypeSong();
    const std::string text = song.text();
    put("song.ftm", song.bytes());
    put("song.export", text);

    const ftm::Module binary = moduleReadOk(song.bytes());
    const ftm::Module exported = moduleReadOk(text);
    ASSERT_EQ(exported.instruments.size(), binary.instruments.size());
    ASSERT_EQ(binary.instruments.size(), 9u);
    for (size_t i = 0; i < binary.instruments.size(); ++i) {
        const ftm::Instrument& expected = binary.instruments[i];
        const ftm::Instrument& got = exported.instruments[i];
        SCOPED_TRACE(expected.name);
        EXPECT_TRUE(expected.readable()) << expected.problem;
        EXPECT_EQ(got.slot, expected.slot);
        EXPECT_EQ(got.type, expected.type);
        EXPECT_EQ(got.name, expected.name);
        EXPECT_EQ(got.problem, expected.problem);
        EXPECT_TRUE(got.instrument == expected.instrument);
    }
    EXPECT_EQ(exported.warnings, binary.warnings);
    EXPECT_EQ(exported.notes, std::vector<std::string>{});
    // The kit's keys: the empty slot's key left out, the samples counted from 1.
    const fti::Instrument& kit = exported.instruments[2].instrument;
    ASSERT_EQ(kit.dpcmKeys.size(), 3u);
    EXPECT_EQ(kit.dpcmKeys[2], (fti::DpcmKey{95, 6, 0x85, 0}));
    ASSERT_EQ(kit.dpcmSamples.size(), 3u);
    EXPECT_EQ(kit.dpcmSamples[2].name, "ramp \"up\"");
    EXPECT_EQ(kit.dpcmSamples[2].bytes.size(), 100u);
    EXPECT_EQ(exported.instruments[7].instrument.sequences[Duty], (fti::Sequence{true, 1, -1, 0, {7, 3}}));

    const ToolRun fromBinary = run("from-module " + path("song.ftm") + " --program 5 -o " + path("binary.txt"));
    const ToolRun fromText = run("from-module " + path("song.export") + " --program 5 -o " + path("text.txt"));
    EXPECT_EQ(fromBinary.status, 0);
    EXPECT_EQ(fromText.status, 0);
    EXPECT_EQ(renamed(fromText.err, path("song.export"), path("song.ftm")), fromBinary.err);
    const std::string bank = slurp(dir / "text.txt");
    EXPECT_EQ(bank, slurp(dir / "binary.txt"));
    for (const char* program : {"[program 5]\nname = Lead\n", "[program 7]\nname = Kit \"A\"\nchannel = sample\n",
                                "[program 8]\nname = Brass\nchannel = vrc7\n", "[program 10]\nname = Organ\nchannel = fds\n",
                                "[program 11]\nname = Bell\nchannel = n163\n", "[program 13]\nname = Buzz\nchannel = 5b\n",
                                "[sample ramp__up_]\nlength = 113\n"})
        EXPECT_NE(bank.find(program), std::string::npos) << program << bank;
    EXPECT_EQ(run("check " + path("text.txt")).status, 0);

    const ToolRun listBinary = run("from-module " + path("song.ftm") + " --list");
    const ToolRun listText = run("from-module " + path("song.export") + " --list");
    EXPECT_EQ(listText.status, 0);
    EXPECT_EQ(renamed(listText.out, path("song.export"), path("song.ftm")), listBinary.out);
    EXPECT_NE(listText.out.find(path("song.export") + ": instrument 3F \"Buzz\": 5B, program 9, 5b"),
              std::string::npos)
        << listText.out;

    // The same text with LF line ends, a byte order mark and blank lines before its first comment.
    std::string plain = "\xEF\xBB\xBF\n  \n" + text;
    plain.erase(std::remove(plain.begin(), plain.end(), '\r'), plain.end());
    const ftm::Module again = moduleReadOk(plain);
    ASSERT_EQ(again.instruments.size(), binary.instruments.size());
    for (size_t i = 0; i < binary.instruments.size(); ++i)
        EXPECT_TRUE(again.instruments[i].instrument == binary.instruments[i].instrument) << i;
}

// What only the text carries: a key's loop offset, which Plinka cannot play,
// and an FDS instrument's modulation switch, off meaning none. Each is a note.
TEST(ModuleText, ALoopOffsetAndASwitchedOffModulationAreNoted)
{
    std::string mod;
    for (int i = 0; i < 32; ++i)
        mod += " " + std::to_string(i % 8);
    const ftm::Module module = moduleReadOk("# export\n"
                                            "DPCMDEF 0 1 \"one\"\n"
                                            "DPCM : 55\n"
                                            "INST2A03 1 -1 -1 -1 -1 -1 \"Kit\"\n"
                                            "KEYDPCM 1 3 1 0 15 1 4 -1\n"
                                            "KEYDPCM 1 3 2 0 15 0 9 -1\n"
                                            "INSTFDS 2 0 300 12 30 \"Flat\"\n"
                                            "FDSMOD 2 :" +
                                            mod + "\n");
    EXPECT_EQ(module.notes, (std::vector<std::string>{
                                "line 5: instrument 01's key C#3 has loop offset 4, which is not kept: Plinka loops "
                                "the whole sample",
                                "instrument 02 has its modulation switched off; it comes in without one"}));
    ASSERT_EQ(module.instruments.size(), 2u);
    EXPECT_EQ(module.instruments[0].instrument.dpcmKeys,
              (std::vector<fti::DpcmKey>{{37, 1, 0x8F, 0xFF}, {38, 1, 0x0F, 0xFF}}));
    const fti::FdsPart& flat = module.instruments[1].instrument.fds;
    EXPECT_EQ(flat, fti::FdsPart{});
}

// Every line that cannot be read fails the text with one line naming it; a
// value out of range in an instrument's own lines leaves that instrument out
// with its line, and the next one comes in.
TEST(ModuleText, BadLinesAreOneLineNamingTheLineAndABadInstrumentAloneIsSkipped)
{
    const std::string header = "# FamiTracker text export\n";
    const std::string kick = "DPCMDEF 0 17 \"kick\"\nDPCM :" + [] {
        std::string bytes;
        for (int i = 0; i < 16; ++i)
            bytes += " 0F";
        return bytes;
    }();
    const std::string fds = "INSTFDS 0 1 0 0 0 \"Bad\"\n";
    const std::string n163 = "INSTN163 0 -1 -1 -1 -1 -1 4 0 1 \"Bad\"\n";
    std::string manyItems = "MACRO 0 0 -1 -1 0 :";
    for (int i = 0; i < 256; ++i)
        manyItems += " 1";
    std::string longLine = "MACRO 0 0 -1 -1 0 :";
    while (longLine.size() <= 5000)
        longLine += "   1";
    struct Case {
        std::string lines;
        std::string message;
        bool alone;  // the instrument in slot 0 is skipped with the message, the text is read
    };
    const Case cases[] = {
        {"MACRO 5 0 -1 -1 0 : 1", "line 2: MACRO: sequence type 5 is not 0 to 4", false},
        {"MACROVRC6 0 128 -1 -1 0 : 1", "line 2: MACROVRC6: index 128 is not 0 to 127", false},
        {"MACRON163 0 0 -2 -1 0 : 1", "line 2: MACRON163: loop point -2 is not -1 to 254", false},
        {"MACRO 0 0 -1 -1 0 : 15 200", "line 2: MACRO: item 200 is not -128 to 127", false},
        {"MACROS5B 0 0 -1 -1 0 15", "line 2: MACROS5B: no ':' before its items", false},
        {"MACRO 0 0 x -1 0 : 1", "line 2: MACRO: loop point \"x\" is not a number", false},
        {"MACRO 0 0 -1", "line 2: MACRO: the line ends before its release point", false},
        {manyItems, "line 2: MACRO: more than 255 items", false},
        {longLine, "line 2: MACRO: " + std::to_string(longLine.size()) + " bytes long; a line read here holds at most 4096",
         false},
        {"EXPANSION 99999999999", "line 2: EXPANSION: chip mask \"99999999999\" is not a number", false},
        {"N163CHANNELS 9", "line 2: N163CHANNELS: channel count 9 is not 1 to 8", false},
        {"DPCM : 00 11", "line 2: DPCM: no DPCMDEF before it", false},
        {"DPCMDEF 0 32768 \"big\"", "line 2: DPCMDEF: sample 0 \"big\" has 32768 bytes; a tracker loads 0 to 32767",
         false},
        {kick + " 0F 0F", "line 3: DPCM: more bytes than the 17 its DPCMDEF counts", false},
        {kick + "\nINST2A03 1 -1 -1 -1 -1 -1 \"x\"", "line 2: DPCMDEF: sample \"kick\" counts 17 bytes, its DPCM lines hold 16",
         false},
        {kick + " GG", "line 3: DPCM: byte \"GG\" is not a hex byte", false},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"Lead", "line 2: INST2A03: the instrument's name has no closing quote", false},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"a\"b\"", "line 2: INST2A03: the instrument's name runs on past its closing quote",
         false},
        {"INSTVRC6 0 -1 -1 -1 -1 -1 \"" + std::string(129, 'n') + "\"",
         "line 2: INSTVRC6: the instrument's name is 129 bytes; a tracker keeps at most 128", false},
        {"INST2A03 64 -1 -1 -1 -1 -1 \"x\"", "line 2: INST2A03: instrument 64 is not 0 to 63", false},
        {"INSTVRC7 0 0 01 21 00 00 00 F0 00 \"x\"", "line 2: INSTVRC7: custom patch byte \"\\\"x\\\"\" is not a hex byte",
         false},
        {"KEYDPCM 3 3 0 0 15 0 0 -1", "line 2: KEYDPCM: instrument 03 has no INST2A03 line before it", false},
        {"INSTVRC6 3 -1 -1 -1 -1 -1 \"x\"\nKEYDPCM 3 3 0 0 15 0 0 -1",
         "line 3: KEYDPCM: instrument 03 has no INST2A03 line before it", false},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"x\"\nKEYDPCM 0 3 0 0 15 0 0 -1 7", "line 3: KEYDPCM: \"7\" after its last field",
         false},
        {fds + "FDSWAVE 0 : 1 2 3", "line 3: FDSWAVE: 3 values; a wave holds 64", false},
        {n163 + "N163WAVE 0 0 : 1 2 3 4 5", "line 3: N163WAVE: 5 samples; instrument 00's waves hold 4", false},
        {"INST2A03 0 -1 200 -1 -1 -1 \"Bad\"", "line 2: its Arp sequence index 200 is out of range (0 to 127)", true},
        {"INSTS5B 0 -1 -1 -1 -1 -7 \"Bad\"", "line 2: its Duty sequence index -7 is out of range (0 to 127)", true},
        {"INSTVRC7 0 16 01 21 00 00 00 F0 00 0F \"Bad\"", "line 2: its VRC7 patch 16 is not 0 (custom) to 15", true},
        {"INSTN163 0 -1 -1 -1 -1 -1 6 0 1 \"Bad\"",
         "line 2: the N163 wave size 6 is not a multiple of 4 from 4 to 240, which Plinka's waves hold", true},
        {"INSTN163 0 -1 -1 -1 -1 -1 4 240 1 \"Bad\"", "line 2: its wave position 240 is not 0 to 239", true},
        {"INSTFDS 0 1 5000 0 0 \"Bad\"", "line 2: its modulation speed 5000 is not 0 to 4095", true},
        {"INSTFDS 0 2 0 0 0 \"Bad\"", "line 2: its modulation switch 2 is not 0 to 1", true},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"Bad\"\nKEYDPCM 0 8 0 0 15 0 0 -1",
         "line 3: its DPCM key's octave 8 is not 0 to 7", true},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"Bad\"\nKEYDPCM 0 3 0 64 15 0 0 -1",
         "line 3: its DPCM key's sample slot 64 is not 0 to 63", true},
        {"INST2A03 0 -1 -1 -1 -1 -1 \"Bad\"\nKEYDPCM 0 3 0 0 15 0 0 -2", "line 3: its DPCM key's delta -2 is not -1 to 127",
         true},
        {fds + "FDSWAVE 0 :" + [] {
             std::string wave;
             for (int i = 0; i < 64; ++i)
                 wave += " " + std::to_string(i + 1);
             return wave;
         }(),
         "line 3: its wave step 64 is not 0 to 63", true},
        {fds + "FDSMACRO 0 3 -1 -1 0 : 1", "line 3: its FDS sequence type 3 is not 0 to 2", true},
        {n163 + "N163WAVE 0 1 : 1 2 3 4", "line 3: its wave number 1 is not 0 to 0", true},
        {n163 + "N163WAVE 0 0 : 1 2 3 16", "line 3: its wave sample 16 is not 0 to 15", true},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.message);
        const std::string text = header + example.lines + "\nINSTVRC6 1 -1 -1 -1 -1 -1 \"Next\"\n";
        if (!example.alone) {
            EXPECT_EQ(moduleReadError(text), example.message);
            continue;
        }
        const ftm::Module module = moduleReadOk(text);
        ASSERT_EQ(module.instruments.size(), 2u);
        EXPECT_FALSE(module.instruments[0].readable());
        EXPECT_EQ(module.instruments[0].problem, example.message);
        EXPECT_TRUE(module.instruments[1].readable());
    }
    // A text larger than any tracker's export is refused unread.
    EXPECT_EQ(moduleReadError(header + std::string(ftm::kMaxFileBytes, ' ')),
              "a text export of " + std::to_string(ftm::kMaxFileBytes + header.size()) + " bytes; one of at most " +
                  std::to_string(ftm::kMaxFileBytes) + " is read");
    // Only a first line with '#' makes a text export; any other text is still no module.
    EXPECT_EQ(moduleReadError("\n INST2A03 0 -1 -1 -1 -1 -1 \"x\"\n"),
              "not a tracker module (it does not start with 'FamiTracker Module')");
}

// Every cut of a good export, and random damage to it, is read or refused in
// one line; what is read keeps the module's limits.
TEST(ModuleText, EveryCutAndRandomDamageIsReadOrRefusedInOneLine)
{
    const std::string text = everyTypeSong().text();
    const auto check = [](const std::string& bytes, const std::string& what) {
        ftm::Module module;
        std::string error;
        if (!ftm::read(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), module, error)) {
            EXPECT_TRUE(!error.empty() && error.find('\n') == std::string::npos) << what << error;
            return;
        }
        EXPECT_LE(module.instruments.size(), 64u) << what;
        for (const ftm::Instrument& instrument : module.instruments) {
            EXPECT_LE(instrument.name.size(), 128u) << what;
            EXPECT_EQ(instrument.problem.find('\n'), std::string::npos) << what;
            for (const fti::DpcmKey& key : instrument.instrument.dpcmKeys)
                EXPECT_TRUE(std::any_of(instrument.instrument.dpcmSamples.begin(),
                                        instrument.instrument.dpcmSamples.end(),
                                        [&](const fti::DpcmSample& s) { return s.index + 1 == key.sample; }))
                    << what;
        }
    };
    for (size_t size = 0; size < text.size(); size += 7)
        check(text.substr(0, size), "cut at " + std::to_string(size));
    std::mt19937 random(20260301);
    const std::string alphabet = " -0123456789:\"\n#AFx";
    for (int round = 0; round < 1500; ++round) {
        std::string damaged = text;
        for (int hit = 0; hit < 4; ++hit)
            damaged[std::uniform_int_distribution<size_t>(0, damaged.size() - 1)(random)] =
                alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(random)];
        check(damaged, "round " + std::to_string(round));
    }
}

// The tool: a text export that cannot be read is one line, exit 2 and no
// file; an instrument alone is listed as skipped with its line.
TEST_F(PlinkaBank, ABadTextExportIsOneLineAndABadInstrumentInItIsListedAsSkipped)
{
    put("bad.txt", "# export\nMACRO 0 0 -1 -1 0 : 15 x\n");
    const ToolRun bad = run("from-module " + path("bad.txt") + " -o " + path("out.txt"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, path("bad.txt") + ": line 2: MACRO: item \"x\" is not a number\n");
    EXPECT_FALSE(fs::exists(dir / "out.txt"));
    put("song.txt", "# export\nINST2A03 0 -1 200 -1 -1 -1 \"Broken\"\nINSTVRC6 1 -1 -1 -1 -1 -1 \"Saw\"\n");
    const ToolRun list = run("from-module " + path("song.txt") + " --list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, path("song.txt") +
                            ": instrument 00 \"Broken\": skipped (line 2: its Arp sequence index 200 is out of range (0 "
                            "to 127))\n" +
                            path("song.txt") +
                            ": instrument 01 \"Saw\": VRC6, program 1, vrc6-pulse (a VRC6 instrument), 0 of 5 sequences\n");
}

// ---- where a module's songs play its instruments ----

namespace {

using ftmtest::ModCell;

// A note of instrument on channel at row (pattern 0 of song 0 unless said).
ModCell playing(int instrument, int channel, int row, int note = 1, int pattern = 0, int song = 0)
{
    ModCell cell;
    cell.channel = channel;
    cell.row = row;
    cell.note = note;
    cell.instrument = instrument;
    cell.pattern = pattern;
    cell.song = song;
    return cell;
}

struct PlayedCase {
    ModInstrument instrument;
    std::vector<ModCell> cells;
    const char* channel;  // of its program
    const char* why;      // what its channel note says in parentheses
};

// On the 2A03's channels (pulse 0 and 1, triangle 2, noise 3, DPCM 4) and
// the VRC6's (pulse 5 and 6, saw 7), over two songs. A note without an
// instrument plays the one its pattern named last on that channel; halt
// and release notes play nothing.
const std::vector<PlayedCase>& playedCases()
{
    constexpr int kNone = 64;
    static const std::vector<PlayedCase> cases = {
        {{0, 1, "Hiss", {0, -1, -1, -1, -1}, {}, ""}, {playing(0, 3, 0), playing(0, 3, 1)}, "noise",
         "played on noise 2 times"},
        {{1, 1, "Low", {0, -1, -1, -1, -1}, {}, ""}, {playing(1, 2, 0), playing(1, 2, 0, 5, 3, 1)}, "triangle",
         "played on triangle 2 times"},
        {{2, 1, "Kit", {0, 1, -1, -1, -1}, {{24, 1, 0x0F, 0xFF}}, ""}, {playing(2, 4, 0), playing(2, 4, 1)}, "sample",
         "played on DPCM 2 times"},
        {{3, 1, "Snare", {-1, -1, -1, -1, 0}, {}, ""}, {playing(3, 0, 0), playing(3, 1, 0)}, "pulse",
         "played on pulse 2 times"},
        {{4, 1, "Mixed", {-1, -1, -1, -1, -1}, {}, ""},
         {playing(4, 3, 4), playing(kNone, 3, 5), playing(kNone, 3, 6), playing(4, 0, 0, 3, 1),
          playing(kNone, 0, 1, 3, 1), playing(kNone, 0, 0, 1, 2)},
         "noise", "played on noise 3 times, pulse 2 times"},
        {{5, 1, "Even", {-1, -1, -1, -1, -1}, {}, ""},
         {playing(5, 2, 8), playing(5, 2, 9), playing(5, 3, 8), playing(5, 3, 9)}, "triangle",
         "played on triangle 2 times, noise 2 times"},
        {{6, 1, "Quiet", {-1, -1, -1, -1, -1}, {}, ""}, {playing(6, 0, 10, 13), playing(6, 0, 11, 14)}, "pulse",
         "nothing in it says noise"},
        {{0x20, 2, "Saw", {0, -1, -1, -1, -1}, {}, ""},
         {playing(0x20, 7, 0), playing(0x20, 7, 1, 12), playing(0x20, 5, 0)}, "vrc6-saw",
         "played on VRC6 saw 2 times, VRC6 pulse 1 time"},
        {{0x21, 2, "Square", {-1, -1, -1, -1, 0}, {}, ""}, {playing(0x21, 6, 0)}, "vrc6-pulse",
         "played on VRC6 pulse 1 time"},
    };
    return cases;
}

ModuleBuilder playedSong()
{
    ModuleBuilder song;
    song.channels = {0, 1, 2, 3, 4, 5, 6, 7};
    song.songs = 2;
    song.patternsVersion = 5;
    song.sequences = {{0, 0, {15, 10, 5}}, {0, 1, {0, 12}}, {0, 4, {2}}};
    song.vrc6Sequences = {{0, 0, {15, 9}}, {0, 4, {5}}};
    song.samples = {{0, "kick", kKick}};
    for (const PlayedCase& example : playedCases()) {
        song.instruments.push_back(example.instrument);
        song.cells.insert(song.cells.end(), example.cells.begin(), example.cells.end());
    }
    song.cells[0].volume = 12;
    return song;
}

std::string patternsWarning(const std::string& why)
{
    return "the patterns could not be read (" + why + "), so each instrument's channel is guessed from the instrument";
}

}  // namespace

// Each instrument takes the channel the songs play it on most, said in its
// note and its --list line, the same from the text export and from binary
// modules of each pattern layout; one played nowhere keeps the guess.
TEST_F(PlinkaBank, AModulesInstrumentsTakeTheChannelItsSongsPlayThemOnMost)
{
    const ModuleBuilder song = playedSong();
    put("song.txt", song.text());
    const ToolRun fromText = run("from-module " + path("song.txt") + " -o " + path("text.txt"));
    ASSERT_EQ(fromText.status, 0) << fromText.err;
    const std::string bank = slurp(dir / "text.txt");
    const ToolRun list = run("from-module " + path("song.txt") + " --list");
    int program = 0;
    for (const PlayedCase& example : playedCases()) {
        const std::string& name = example.instrument.name;
        SCOPED_TRACE(name);
        ++program;
        EXPECT_NE(bank.find("[program " + std::to_string(program) + "]\nname = " + name + "\nchannel = " +
                            example.channel + "\n"),
                  std::string::npos)
            << bank;
        char slot[3];
        std::snprintf(slot, sizeof slot, "%02X", example.instrument.slot);
        const std::string who = path("song.txt") + ": instrument " + slot + " \"" + name + "\": ";
        EXPECT_NE(fromText.err.find(who + "channel: " + example.channel + " (" + example.why + ")\n"),
                  std::string::npos)
            << fromText.err;
        EXPECT_NE(list.out.find(who + (example.instrument.type == 1 ? "2A03" : "VRC6") + ", program " +
                                std::to_string(program) + ", " + example.channel + " (" + example.why + "), "),
                  std::string::npos)
            << list.out;
    }
    // The kit on the DPCM channel plays its keys, without the Volume and Arp the tracker does not play there.
    EXPECT_NE(bank.find("name = Kit\nchannel = sample\nmulti = no\nvolume = 15\narp = 0\npitch = 0\nhi-pitch = 0\n"
                        "duty = 0\nkeys = 36=kick:15\n"),
              std::string::npos)
        << bank;
    EXPECT_NE(fromText.err.find("\"Kit\": Volume: left out"), std::string::npos) << fromText.err;

    struct Layout {
        uint32_t version;
        int header, patterns, columns;
    };
    for (const Layout& layout : {Layout{0x0440, 3, 5, 1}, Layout{0x0450, 4, 6, 2}, Layout{0x0420, 3, 4, 4},
                                 Layout{0x0300, 2, 3, 3}, Layout{0x0300, 2, 2, 1}}) {
        SCOPED_TRACE(layout.patterns);
        ModuleBuilder binary = song;
        binary.version = layout.version;
        binary.headerVersion = layout.header;
        binary.patternsVersion = layout.patterns;
        binary.effectColumns = layout.columns;
        put("song.ftm", binary.bytes());
        fs::remove(dir / "binary.txt");
        const ToolRun fromBinary = run("from-module " + path("song.ftm") + " -o " + path("binary.txt"));
        EXPECT_EQ(fromBinary.status, 0);
        EXPECT_EQ(renamed(fromText.err, path("song.txt"), path("song.ftm")), fromBinary.err);
        EXPECT_EQ(slurp(dir / "binary.txt"), bank);
        EXPECT_EQ(renamed(list.out, path("song.txt"), path("song.ftm")),
                  run("from-module " + path("song.ftm") + " --list").out);
    }

    // A binary module also knows the MMC5's pulses; its other chips' channels count for nothing.
    ModuleBuilder mmc5;
    mmc5.channels = {0, 1, 2, 3, 4, 8, 9, 19};
    mmc5.patternsVersion = 5;
    mmc5.instruments = {{0, 1, "Lead", {-1, -1, -1, -1, -1}, {}, ""}, {1, 1, "Hat", {-1, -1, -1, -1, -1}, {}, ""}};
    mmc5.cells = {playing(0, 6, 0), playing(0, 6, 1), playing(0, 0, 0), playing(1, 7, 0)};
    const ftm::Module module = moduleReadOk(mmc5.bytes());
    ASSERT_EQ(module.instruments.size(), 2u);
    const fticonversion::ChannelChoice lead =
        fticonversion::chooseChannel(module.instruments[0].instrument, module.instruments[0].played);
    EXPECT_EQ(lead.channelType, Mmc5Pulse);
    EXPECT_EQ(lead.reason, "played on MMC5 pulse 2 times, pulse 1 time");
    const fticonversion::ChannelChoice hat =
        fticonversion::chooseChannel(module.instruments[1].instrument, module.instruments[1].played);
    EXPECT_EQ(hat.channelType, Noise);
    EXPECT_FALSE(hat.fromSongs);
}

// Patterns that do not read exactly to their end, with every value in
// range, count nothing: each instrument keeps the guess, and the module has
// one warning. So do the patterns of a module older than file version 0300.
TEST_F(PlinkaBank, DamagedPatternsLeaveTheGuessWithOneWarning)
{
    ModuleBuilder song;
    song.patternsVersion = 5;
    song.instruments = {{0, 1, "Hiss", {-1, -1, -1, -1, -1}, {}, ""}};
    song.cells = {playing(0, 3, 0), playing(0, 3, 1)};
    const std::string payload = song.patternsPayload();
    const auto withPayload = [&](const std::string& raw) {
        ModuleBuilder damaged = song;
        damaged.rawPatterns = raw;
        return damaged.bytes();
    };
    const auto withCount = [&](int32_t count) {
        std::string raw = payload;
        std::string bytes;
        ModuleBuilder::int32(bytes, count);
        return withPayload(raw.replace(12, 4, bytes));
    };
    const auto changed = [&](auto change) {
        ModuleBuilder damaged = song;
        change(damaged);
        return damaged.bytes();
    };
    const std::pair<std::string, std::string> cases[] = {
        {withPayload(payload.substr(0, payload.size() - 1)),
         "PATTERNS: song 0, channel 3, pattern 0 counts 2 items, more than the block holds"},
        {withPayload(payload + '\x01'), "PATTERNS: cut short in a pattern's heading"},
        {withCount(300), "PATTERNS: song 0, channel 3, pattern 0 counts 300 items (0 to 256)"},
        {withCount(3), "PATTERNS: song 0, channel 3, pattern 0 counts 3 items, more than the block holds"},
        {changed([](ModuleBuilder& m) { m.cells[1].instrument = 200; }),
         "PATTERNS: song 0, channel 3, pattern 0, row 1: note 1, instrument 200, volume 16"},
        {changed([](ModuleBuilder& m) { m.cells[0].note = 16; }),
         "PATTERNS: song 0, channel 3, pattern 0, row 0: note 16, instrument 0, volume 16"},
        {changed([](ModuleBuilder& m) { m.cells[0].row = 256; }),
         "PATTERNS: song 0, channel 3, pattern 0, row 256: note 1, instrument 0, volume 16"},
        {changed([](ModuleBuilder& m) { m.cells[0].pattern = 256; }), "PATTERNS: song 0, channel 3, pattern 256 is past 255"},
        {changed([](ModuleBuilder& m) { m.cells = {playing(0, 5, 0)}; }), "PATTERNS: channel 5 of 5"},
        {changed([](ModuleBuilder& m) { m.cells = {playing(0, 3, 0, 1, 0, 1)}; }), "PATTERNS: song 1 of 1"},
        {changed([](ModuleBuilder& m) { m.effectColumns = 5; }), "HEADER gives channel 0 5 effect columns"},
        {changed([](ModuleBuilder& m) { m.patternsVersion = 7; }), "PATTERNS: unknown block version 7"},
        {changed([](ModuleBuilder& m) { m.version = 0x0203; }), "a file version below 0300"},
    };
    for (const auto& [bytes, why] : cases) {
        SCOPED_TRACE(why);
        const ftm::Module module = moduleReadOk(bytes);
        EXPECT_EQ(module.warnings, std::vector<std::string>{patternsWarning(why)});
        ASSERT_EQ(module.instruments.size(), 1u);
        EXPECT_EQ(module.instruments[0].played, ftm::ChannelPlays{});
    }
    // Random damage to the patterns of every channel kind: read, at most the one warning, and no more
    // notes counted than the block could hold.
    ModuleBuilder many = playedSong();
    many.patternsVersion = 6;
    const std::string manyPayload = many.patternsPayload();
    std::mt19937 random(20261211);
    for (int round = 0; round < 500; ++round) {
        ModuleBuilder damaged = many;
        damaged.rawPatterns = manyPayload.substr(0, manyPayload.size() - random() % 3);
        for (int hit = 0; hit < 3; ++hit)
            damaged.rawPatterns[random() % damaged.rawPatterns.size()] = static_cast<char>(random() % 8);
        const ftm::Module module = moduleReadOk(damaged.bytes());
        EXPECT_LE(module.warnings.size(), 1u) << round;
        int32_t counted = 0;
        for (const ftm::Instrument& instrument : module.instruments)
            for (const int32_t times : instrument.played)
                counted += times;
        EXPECT_LE(static_cast<size_t>(counted), manyPayload.size() / 9) << round;
    }
    // The oldest layouts read: HEADER and PATTERNS of version 1, one song, a pattern length first.
    for (const int version : {1, 2}) {
        ModuleBuilder old = song;
        old.headerVersion = version;
        old.patternsVersion = version;
        const ftm::Module module = moduleReadOk(old.bytes());
        EXPECT_EQ(module.warnings, std::vector<std::string>{});
        EXPECT_EQ(module.instruments[0].played[Noise], 2) << version;
    }

    // The text export: a song line that cannot be read.
    const std::string start = "# export\nINST2A03 0 -1 -1 -1 -1 -1 \"Hiss\"\nTRACK 64 6 150 \"s\"\n";
    const std::string columns = "COLUMNS : 1 1 1 1 1\n";
    const std::string pattern = "PATTERN 00\n";
    const auto row = [](const std::string& noise, const std::string& after = " : ... .. . ...") {
        return "ROW 00 : ... .. . ... : ... .. . ... : ... .. . ... : " + noise + after + "\n";
    };
    EXPECT_EQ(moduleReadOk(start + columns + pattern + row("1-# 00 . ...")).instruments[0].played[Noise], 1);
    const std::pair<std::string, std::string> lines[] = {
        {columns + pattern + row("1-# C8 . ..."), "line 6: ROW: channel 3's instrument \"C8\" is not 00 to 3F"},
        {columns + pattern + row("1-# 00 . ...", ""),
         "line 6: ROW: channel 4's cell is not ':', a note, an instrument, a volume and 1 effects"},
        {columns + pattern + row("H-4 00 . ..."), "line 6: ROW: channel 3's note \"H-4\" is not one"},
        {columns + pattern + row("1-# 00 G ..."), "line 6: ROW: channel 3's volume \"G\" is not 0 to F"},
        {columns + pattern + row("1-# 00 . .X."), "line 6: ROW: channel 3's effect \".X.\" is not one"},
        {columns + pattern + row("1-# 00 . ...", " : ... .. . ... x"), "line 6: ROW: \"x\" after the last channel"},
        {columns + row("1-# 00 . ..."), "line 5: ROW: no PATTERN line before it"},
        {pattern + row("1-# 00 . ..."), "line 5: ROW: no COLUMNS line before it"},
        {"COLUMNS : 1 5\n", "line 4: COLUMNS: effect columns \"5\" are not 1 to 4"},
        {columns + "PATTERN 100\n", "line 5: PATTERN: its pattern is not a hex number 00 to FF"},
    };
    for (const auto& [text, why] : lines) {
        SCOPED_TRACE(why);
        const ftm::Module module = moduleReadOk(start + text);
        EXPECT_EQ(module.warnings, std::vector<std::string>{patternsWarning(why)});
        ASSERT_EQ(module.instruments.size(), 1u);
        EXPECT_EQ(module.instruments[0].played, ftm::ChannelPlays{});
    }

    // The tool: the one warning, and the guess.
    put("bad.ftm", cases[4].first);
    const ToolRun list = run("from-module " + path("bad.ftm") + " --list");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, path("bad.ftm") + ": warning: " + patternsWarning(cases[4].second) + "\n");
    EXPECT_EQ(list.out, path("bad.ftm") +
                            ": instrument 00 \"Hiss\": 2A03, program 1, pulse (nothing in it says noise), 0 of 5 "
                            "sequences\n");
}
