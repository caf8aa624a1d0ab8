#include "ModuleText.h"

#include "BankText.h"
#include "ModulePlays.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace ftm {

namespace {

// The longest line read: a sequence of 255 items of "-128" takes about 1300
// bytes. Lines that are skipped (patterns, comments) may be of any length.
constexpr size_t kMaxLineBytes = 4096;
// What a binary module's one-byte count holds.
constexpr int32_t kMaxItems = 255;
constexpr int32_t kPoolIndices = 128;
constexpr int kSequenceTypes = fti::kSequenceCount;
constexpr int kFdsSequences = fti::kFdsSequenceCount;
constexpr int32_t kOctaves = 8;
constexpr int32_t kNotesPerOctave = 12;
constexpr int32_t kMaxRate = 15;
constexpr int32_t kMaxDelta = 127;
constexpr int32_t kMaxLoopOffset = 255;
constexpr int32_t kMaxWavePosition = 239;
constexpr int32_t kMaxModSpeed = 4095;
constexpr int32_t kMaxModDepth = 63;
constexpr int32_t kMaxModDelay = 255;
constexpr int32_t kMaxFdsWaveStep = 63;
constexpr int32_t kMaxFdsModCode = 7;
constexpr int32_t kMaxN163Sample = 15;
constexpr int32_t kMaxExpansion = 255;
constexpr int32_t kMaxN163Channels = 8;
constexpr int32_t kMaxSetting = 255;

constexpr const char* kSequenceNames[] = {"Volume", "Arp", "Pitch", "Hi-pitch", "Duty"};
constexpr const char* kNoteNames[] = {"C-", "C#", "D-", "D#", "E-", "F-", "F#", "G-", "G#", "A-", "A#", "B-"};

// Thrown by a line that cannot be read; caught once, for the whole text.
struct LineError {
    std::string message;
};

bool blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string slotName(int32_t slot)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("instrument ") + kHex[(slot >> 4) & 0xF] + kHex[slot & 0xF];
}

// A word as a message shows it: quoted, escaped, and cut when it is long.
std::string shown(std::string_view word)
{
    constexpr size_t kShownBytes = 24;
    return word.size() > kShownBytes ? banktext::quoted(word.substr(0, kShownBytes)) + "..." : banktext::quoted(word);
}

std::string range(int32_t low, int32_t high)
{
    return std::to_string(low) + " to " + std::to_string(high);
}

// One line's words, read left to right; what is not there or not a number
// throws with the line's number and command.
class Line {
public:
    Line(std::string_view text, size_t number, std::string_view command)
        : text_(text), prefix_("line " + std::to_string(number) + ": " + std::string(command) + ": ")
    {
        at_ = command.size() + static_cast<size_t>(command.data() - text.data());
    }

    [[noreturn]] void fail(const std::string& what) const { throw LineError{prefix_ + what}; }

    bool atEnd()
    {
        skipBlanks();
        return at_ >= text_.size();
    }

    std::string_view word(const std::string& what)
    {
        if (atEnd())
            fail("the line ends before its " + what);
        const size_t start = at_;
        while (at_ < text_.size() && !blank(static_cast<unsigned char>(text_[at_])))
            ++at_;
        return text_.substr(start, at_ - start);
    }

    // A decimal number with an optional sign.
    int32_t number(const std::string& what)
    {
        const std::string_view digits = word(what);
        size_t i = digits[0] == '-' || digits[0] == '+' ? 1 : 0;
        int64_t value = 0;
        if (i == digits.size())
            fail(what + " " + shown(digits) + " is not a number");
        for (; i < digits.size(); ++i) {
            if (digits[i] < '0' || digits[i] > '9' || value > INT32_MAX)
                fail(what + " " + shown(digits) + " is not a number");
            value = value * 10 + (digits[i] - '0');
        }
        value = digits[0] == '-' ? -value : value;
        if (value < INT32_MIN || value > INT32_MAX)
            fail(what + " " + shown(digits) + " is not a number");
        return static_cast<int32_t>(value);
    }

    // A number whose range every instrument shares: out of it, the line fails.
    int32_t number(const std::string& what, int32_t low, int32_t high)
    {
        const int32_t value = number(what);
        if (value < low || value > high)
            fail(what + " " + std::to_string(value) + " is not " + range(low, high));
        return value;
    }

    uint8_t hexByte(const std::string& what)
    {
        const std::string_view digits = word(what);
        if (digits.size() > 2 || banktext::hexDigit(digits[0]) < 0 ||
            (digits.size() == 2 && banktext::hexDigit(digits[1]) < 0))
            fail(what + " " + shown(digits) + " is not a hex byte");
        int value = 0;
        for (char c : digits)
            value = value * 16 + banktext::hexDigit(c);
        return static_cast<uint8_t>(value);
    }

    void colon(const std::string& before)
    {
        if (atEnd() || word("':'") != ":")
            fail("no ':' before its " + before);
    }

    // A name in double quotes, "" standing for a quote; cut at a NUL, as the
    // binary reader cuts its names.
    std::string quoted(const std::string& what, size_t maxBytes)
    {
        if (atEnd() || text_[at_] != '"')
            fail("no " + what + " in double quotes");
        std::string out;
        for (++at_;; ++at_) {
            if (at_ >= text_.size())
                fail(what + " has no closing quote");
            if (text_[at_] == '"') {
                if (at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
                    out += '"';
                    ++at_;
                    continue;
                }
                ++at_;
                break;
            }
            out += text_[at_];
        }
        if (at_ < text_.size() && !blank(static_cast<unsigned char>(text_[at_])))
            fail(what + " runs on past its closing quote");
        out.resize(strnlen(out.c_str(), out.size()));
        if (out.size() > maxBytes)
            fail(what + " is " + std::to_string(out.size()) + " bytes; a tracker keeps at most " +
                 std::to_string(maxBytes));
        return out;
    }

    // The numbers after a ':' up to the line's end: at most limit of them.
    std::vector<int32_t> values(const std::string& one, const std::string& many, size_t limit)
    {
        std::vector<int32_t> out;
        while (!atEnd()) {
            if (out.size() == limit)
                fail("more than " + std::to_string(limit) + " " + many);
            out.push_back(number(one));
        }
        return out;
    }

    // Words past the last field: a line the import does not understand.
    void end()
    {
        if (!atEnd())
            fail(shown(word("")) + " after its last field");
    }

private:
    void skipBlanks()
    {
        while (at_ < text_.size() && blank(static_cast<unsigned char>(text_[at_])))
            ++at_;
    }

    std::string_view text_;
    std::string prefix_;
    size_t at_ = 0;
};

struct PoolSequence {
    int32_t loop = fti::kNone;
    int32_t release = fti::kNone;
    int32_t setting = 0;
    std::vector<int8_t> items;
};

// Each chip's pool: five types of 128 indices.
using Pool = std::array<std::array<std::optional<PoolSequence>, kPoolIndices>, kSequenceTypes>;
enum PoolKind { kApuPool, kVrc6Pool, kN163Pool, kS5bPool, kPoolCount };

struct Sample {
    std::string name;
    std::vector<uint8_t> bytes;
    size_t declared = 0;
    size_t line = 0;  // of its DPCMDEF
};

struct Record {
    Instrument instrument;
    std::array<std::optional<uint8_t>, kSequenceTypes> refs;  // enabled sequences' indices
    std::array<std::optional<fti::DpcmKey>, fti::kDpcmNotes> keys;
    bool modulationOff = false;  // an FDS instrument's switch, which the binary forms do not keep
};

class TextReader {
public:
    explicit TextReader(Module& module) : module_(module) {}

    void read(const unsigned char* data, size_t size);

private:
    void readLine(std::string_view text, size_t number);
    void readMacro(Line& line, PoolKind kind);
    void readSampleDefinition(Line& line, size_t number);
    void readSampleBytes(Line& line);
    void closeSample();
    void readInstrument(Line& line, Type type);
    Record& instrumentOf(Line& line, Type type, const char* definedBy);
    void readKey(Line& line);
    void readFdsTable(Line& line, bool wave);
    void readFdsMacro(Line& line);
    void readN163Wave(Line& line);
    bool readSongLine(std::string_view command, std::string_view text);
    bool readRow(const std::vector<std::string_view>& words, std::string& why);
    void resolve();
    // Out of range in an instrument's own line: that instrument is left out.
    bool inRange(Record& record, const std::string& what, int32_t value, int32_t low, int32_t high)
    {
        if (value >= low && value <= high)
            return true;
        problem(record, what + " " + std::to_string(value) + " is not " + range(low, high));
        return false;
    }
    void problem(Record& record, const std::string& what)
    {
        if (record.instrument.problem.empty())
            record.instrument.problem = "line " + std::to_string(line_) + ": " + what;
    }

    Module& module_;
    size_t line_ = 0;
    std::array<Pool, kPoolCount> pools_{};
    std::array<std::optional<Sample>, kSampleSlots> samples_;
    std::optional<int32_t> openSample_;  // the slot of the last DPCMDEF
    std::map<int32_t, Record> records_;
    // The songs: where they play each instrument, until a line of theirs cannot be read.
    bool vrc6_ = false;                // EXPANSION's VRC6 bit: channels 5 to 7 are its
    std::vector<int32_t> columns_;     // the track's effect columns per channel; empty before COLUMNS
    std::vector<int32_t> lastPlayed_;  // per channel, the instrument its pattern named last
    bool inPattern_ = false;
    std::unique_ptr<PlayCounter> plays_ = std::make_unique<PlayCounter>();
    std::string songsUnread_;  // why not, once a line could not be read
};

void TextReader::read(const unsigned char* data, size_t size)
{
    const auto* text = reinterpret_cast<const char*>(data);
    size_t at = 0;
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0)
        at = 3;
    for (size_t number = 1; at < size; ++number) {
        const auto* newline = static_cast<const char*>(std::memchr(text + at, '\n', size - at));
        const size_t end = newline ? static_cast<size_t>(newline - text) : size;
        line_ = number;
        readLine(std::string_view(text + at, end - at), number);
        at = end + 1;
    }
    closeSample();
    resolve();
    if (songsUnread_.empty())
        plays_->give(module_.instruments);
    else
        module_.warnings.push_back(patternsWarning(songsUnread_));
}

void TextReader::readLine(std::string_view text, size_t number)
{
    size_t start = 0;
    while (start < text.size() && blank(static_cast<unsigned char>(text[start])))
        ++start;
    size_t stop = start;
    while (stop < text.size() && !blank(static_cast<unsigned char>(text[stop])))
        ++stop;
    const std::string_view command = text.substr(start, stop - start);
    if (readSongLine(command, text))
        return;
    static constexpr const char* kRead[] = {
        "EXPANSION", "N163CHANNELS", "MACRO",   "MACROVRC6", "MACRON163", "MACROS5B", "DPCMDEF",  "DPCM",
        "INST2A03",  "INSTVRC6",     "INSTS5B", "INSTN163",  "INSTVRC7",  "INSTFDS",  "KEYDPCM",  "FDSWAVE",
        "FDSMOD",    "FDSMACRO",     "N163WAVE"};
    if (std::none_of(std::begin(kRead), std::end(kRead), [&](const char* word) { return command == word; }))
        return;  // a comment, a blank line, a song's or a pattern's line, or what a newer tracker adds
    Line line(text, number, command);
    if (text.size() > kMaxLineBytes)
        line.fail(std::to_string(text.size()) + " bytes long; a line read here holds at most " +
                  std::to_string(kMaxLineBytes));
    if (command == "EXPANSION") {
        vrc6_ = (line.number("chip mask", 0, kMaxExpansion) & 1) != 0;
        line.end();
    } else if (command == "N163CHANNELS") {
        line.number("channel count", 1, kMaxN163Channels);
        line.end();
    } else if (command == "MACRO") {
        readMacro(line, kApuPool);
    } else if (command == "MACROVRC6") {
        readMacro(line, kVrc6Pool);
    } else if (command == "MACRON163") {
        readMacro(line, kN163Pool);
    } else if (command == "MACROS5B") {
        readMacro(line, kS5bPool);
    } else if (command == "DPCMDEF") {
        readSampleDefinition(line, number);
    } else if (command == "DPCM") {
        readSampleBytes(line);
    } else if (command == "INST2A03") {
        readInstrument(line, Type::Chip2A03);
    } else if (command == "INSTVRC6") {
        readInstrument(line, Type::Vrc6);
    } else if (command == "INSTS5B") {
        readInstrument(line, Type::S5B);
    } else if (command == "INSTN163") {
        readInstrument(line, Type::N163);
    } else if (command == "INSTVRC7") {
        readInstrument(line, Type::Vrc7);
    } else if (command == "INSTFDS") {
        readInstrument(line, Type::Fds);
    } else if (command == "KEYDPCM") {
        readKey(line);
    } else if (command == "FDSWAVE") {
        readFdsTable(line, true);
    } else if (command == "FDSMOD") {
        readFdsTable(line, false);
    } else if (command == "FDSMACRO") {
        readFdsMacro(line);
    } else {
        readN163Wave(line);
    }
}

// Type, index, loop, release, setting, ':' and the items.
void TextReader::readMacro(Line& line, PoolKind kind)
{
    const int32_t type = line.number("sequence type", 0, kSequenceTypes - 1);
    const int32_t index = line.number("index", 0, kPoolIndices - 1);
    PoolSequence sequence;
    sequence.loop = line.number("loop point", fti::kNone, kMaxItems - 1);
    sequence.release = line.number("release point", fti::kNone, kMaxItems - 1);
    sequence.setting = line.number("setting", 0, kMaxSetting);
    line.colon("items");
    for (const int32_t item : line.values("item", "items", static_cast<size_t>(kMaxItems))) {
        if (item < INT8_MIN || item > INT8_MAX)
            line.fail("item " + std::to_string(item) + " is not " + range(INT8_MIN, INT8_MAX));
        sequence.items.push_back(static_cast<int8_t>(item));
    }
    pools_[kind][static_cast<size_t>(type)][static_cast<size_t>(index)] = std::move(sequence);
}

// Slot, size and name; the bytes follow on DPCM lines.
void TextReader::readSampleDefinition(Line& line, size_t number)
{
    closeSample();
    const int32_t slot = line.number("sample slot", 0, kSampleSlots - 1);
    const int32_t size = line.number("size");
    Sample sample;
    sample.name = line.quoted("the sample's name", kMaxSampleNameBytes);
    if (size < 0 || size > kMaxSampleBytes)
        line.fail("sample " + std::to_string(slot) + " " + banktext::quoted(sample.name) + " has " +
                  std::to_string(size) + " bytes; a tracker loads 0 to " + std::to_string(kMaxSampleBytes));
    line.end();
    sample.declared = static_cast<size_t>(size);
    sample.bytes.reserve(sample.declared);
    sample.line = number;
    samples_[static_cast<size_t>(slot)] = std::move(sample);
    openSample_ = slot;
}

void TextReader::readSampleBytes(Line& line)
{
    if (!openSample_)
        line.fail("no DPCMDEF before it");
    Sample& sample = *samples_[static_cast<size_t>(*openSample_)];
    line.colon("bytes");
    while (!line.atEnd()) {
        const uint8_t value = line.hexByte("byte");
        if (sample.bytes.size() == sample.declared)
            line.fail("more bytes than the " + std::to_string(sample.declared) + " its DPCMDEF counts");
        sample.bytes.push_back(value);
    }
}

// A sample whose DPCM lines end short of its size is cut: no tracker writes one.
void TextReader::closeSample()
{
    if (!openSample_)
        return;
    const Sample& sample = *samples_[static_cast<size_t>(*openSample_)];
    openSample_.reset();
    if (sample.bytes.size() != sample.declared)
        throw LineError{"line " + std::to_string(sample.line) + ": DPCMDEF: sample " +
                        banktext::quoted(sample.name) + " counts " + std::to_string(sample.declared) +
                        " bytes, its DPCM lines hold " + std::to_string(sample.bytes.size())};
}

// Slot, then by type: five sequence indices (and an N163 instrument's wave
// size, position and count), or a VRC7 patch and eight custom bytes, or an FDS
// modulation switch, speed, depth and delay; then the name. Words after the
// name are a newer tracker's and left.
void TextReader::readInstrument(Line& line, Type type)
{
    const int32_t slot = line.number("instrument", 0, kInstrumentSlots - 1);
    Record record;
    Instrument& instrument = record.instrument;
    instrument.slot = slot;
    instrument.type = type;
    fti::Instrument& out = instrument.instrument;
    if (type == Type::Vrc7) {
        out.vrc7.patch = line.number("patch");
        for (uint8_t& value : out.vrc7.custom)
            value = line.hexByte("custom patch byte");
        if (out.vrc7.patch < 0 || out.vrc7.patch > fti::kVrc7MaxPatch)
            problem(record, "its VRC7 patch " + std::to_string(out.vrc7.patch) + " is not 0 (custom) to 15");
    } else if (type == Type::Fds) {
        const int32_t enabled = line.number("modulation switch");
        out.fds.modSpeed = line.number("modulation speed");
        out.fds.modDepth = line.number("modulation depth");
        out.fds.modDelay = line.number("modulation delay");
        inRange(record, "its modulation switch", enabled, 0, 1);
        inRange(record, "its modulation speed", out.fds.modSpeed, 0, kMaxModSpeed);
        inRange(record, "its modulation depth", out.fds.modDepth, 0, kMaxModDepth);
        inRange(record, "its modulation delay", out.fds.modDelay, 0, kMaxModDelay);
        record.modulationOff = enabled == 0;
    } else {
        for (int t = 0; t < kSequenceTypes; ++t) {
            const int32_t index = line.number(std::string(kSequenceNames[t]) + " sequence index");
            if (index == fti::kNone)
                continue;
            if (index < 0 || index >= kPoolIndices)
                problem(record, std::string("its ") + kSequenceNames[t] + " sequence index " + std::to_string(index) +
                                    " is out of range (0 to 127)");
            else
                record.refs[static_cast<size_t>(t)] = static_cast<uint8_t>(index);
        }
        if (type == Type::N163) {
            fti::N163Part& n163 = out.n163;
            n163.waveSize = line.number("wave size");
            n163.wavePosition = line.number("wave position");
            n163.waveCount = line.number("wave count");
            std::string invalid;
            if (!fti::validN163Waves(n163.waveSize, n163.waveCount, invalid)) {
                problem(record, invalid);
                n163 = {};
            } else {
                inRange(record, "its wave position", n163.wavePosition, 0, kMaxWavePosition);
                n163.waves.assign(static_cast<size_t>(n163.waveSize) * static_cast<size_t>(n163.waveCount), 0);
            }
        }
    }
    instrument.name = line.quoted("the instrument's name", kMaxNameBytes);
    records_[slot] = std::move(record);  // a later line of a slot replaces the earlier
}

// The instrument a KEYDPCM, FDS* or N163WAVE line names: one of its type
// defined on a line before it.
Record& TextReader::instrumentOf(Line& line, Type type, const char* definedBy)
{
    const int32_t slot = line.number("instrument", 0, kInstrumentSlots - 1);
    const auto found = records_.find(slot);
    if (found == records_.end() || found->second.instrument.type != type)
        line.fail(slotName(slot) + " has no " + definedBy + " line before it");
    return found->second;
}

// Instrument, octave, note, sample slot (from 0), rate, loop, loop offset and delta.
void TextReader::readKey(Line& line)
{
    Record& record = instrumentOf(line, Type::Chip2A03, "INST2A03");
    const int32_t octave = line.number("octave");
    const int32_t note = line.number("note");
    const int32_t sample = line.number("sample slot");
    const int32_t rate = line.number("rate");
    const int32_t loop = line.number("loop switch");
    const int32_t offset = line.number("loop offset");
    const int32_t delta = line.number("delta");
    line.end();
    if (!inRange(record, "its DPCM key's octave", octave, 0, kOctaves - 1) ||
        !inRange(record, "its DPCM key's note", note, 0, kNotesPerOctave - 1) ||
        !inRange(record, "its DPCM key's sample slot", sample, 0, kSampleSlots - 1) ||
        !inRange(record, "its DPCM key's rate", rate, 0, kMaxRate) ||
        !inRange(record, "its DPCM key's loop switch", loop, 0, 1) ||
        !inRange(record, "its DPCM key's loop offset", offset, 0, kMaxLoopOffset) ||
        !inRange(record, "its DPCM key's delta", delta, fti::kNone, kMaxDelta))
        return;
    fti::DpcmKey key;
    key.note = static_cast<uint8_t>(octave * kNotesPerOctave + note);
    key.sample = static_cast<uint8_t>(sample + 1);
    key.pitch = static_cast<uint8_t>(rate | (loop != 0 ? fti::kDpcmLoopBit : 0));
    key.delta = delta < 0 ? fti::kDpcmNoDelta : static_cast<uint8_t>(delta);
    record.keys[key.note] = key;  // a later line of a key replaces the earlier
    if (loop != 0 && offset != 0)
        module_.notes.push_back("line " + std::to_string(line_) + ": " + slotName(record.instrument.slot) + "'s key " +
                                kNoteNames[note] + std::to_string(octave) + " has loop offset " +
                                std::to_string(offset) + ", which is not kept: Plinka loops the whole sample");
}

// An FDS instrument's wave (64 steps 0..63) or modulation table (32 codes 0..7).
void TextReader::readFdsTable(Line& line, bool wave)
{
    Record& record = instrumentOf(line, Type::Fds, "INSTFDS");
    fti::FdsPart& fds = record.instrument.instrument.fds;
    line.colon("values");
    const size_t count = wave ? sizeof fds.wave : sizeof fds.mod;
    const std::vector<int32_t> values = line.values("value", "values", count);
    if (values.size() != count)
        line.fail(std::to_string(values.size()) + " values; " + (wave ? "a wave holds " : "a modulation table holds ") +
                  std::to_string(count));
    uint8_t* to = wave ? fds.wave : fds.mod;
    const int32_t top = wave ? kMaxFdsWaveStep : kMaxFdsModCode;
    for (size_t i = 0; i < count; ++i)
        if (inRange(record, wave ? "its wave step" : "its modulation code", values[i], 0, top))
            to[i] = static_cast<uint8_t>(values[i]);
}

// Instrument, type (volume, arpeggio, pitch), loop, release, setting, ':' and the items.
void TextReader::readFdsMacro(Line& line)
{
    Record& record = instrumentOf(line, Type::Fds, "INSTFDS");
    const int32_t type = line.number("sequence type");
    fti::Sequence sequence;
    sequence.loop = line.number("loop point", fti::kNone, kMaxItems - 1);
    sequence.release = line.number("release point", fti::kNone, kMaxItems - 1);
    sequence.setting = line.number("setting", 0, kMaxSetting);
    line.colon("items");
    const std::vector<int32_t> items = line.values("item", "items", static_cast<size_t>(kMaxItems));
    if (!inRange(record, "its FDS sequence type", type, 0, kFdsSequences - 1))
        return;
    for (const int32_t item : items) {
        if (!inRange(record, std::string("its ") + kSequenceNames[type] + " item", item, INT8_MIN, INT8_MAX))
            return;
        sequence.items.push_back(static_cast<int8_t>(item));
    }
    sequence.enabled = !sequence.items.empty();
    record.instrument.instrument.sequences[type] = sequence.enabled ? std::move(sequence) : fti::Sequence{};
}

// Instrument, wave number, ':' and the wave's samples (0..15), as many as its size.
void TextReader::readN163Wave(Line& line)
{
    Record& record = instrumentOf(line, Type::N163, "INSTN163");
    const int32_t wave = line.number("wave number");
    line.colon("samples");
    fti::N163Part& n163 = record.instrument.instrument.n163;
    const std::vector<int32_t> samples = line.values("sample", "samples", static_cast<size_t>(fti::kN163MaxWaveSize));
    if (n163.waves.empty())
        return;  // its wave size or count is already its problem
    if (samples.size() != static_cast<size_t>(n163.waveSize))
        line.fail(std::to_string(samples.size()) + " samples; " + slotName(record.instrument.slot) +
                  "'s waves hold " + std::to_string(n163.waveSize));
    if (!inRange(record, "its wave number", wave, 0, n163.waveCount - 1))
        return;
    for (size_t i = 0; i < samples.size(); ++i)
        if (inRange(record, "its wave sample", samples[i], 0, kMaxN163Sample))
            n163.waves[static_cast<size_t>(wave) * samples.size() + i] = static_cast<uint8_t>(samples[i]);
}

// A song's line: TRACK starts a song, COLUMNS gives its channels' effect
// columns, PATTERN starts a pattern, ROW is a row of it. The first that cannot
// be read stops the counting with its line (the instruments are read on).
// Answers whether the line is a song's.
bool TextReader::readSongLine(std::string_view command, std::string_view text)
{
    if (command != "TRACK" && command != "COLUMNS" && command != "PATTERN" && command != "ROW")
        return false;
    if (!songsUnread_.empty())
        return true;
    std::vector<std::string_view> words;
    for (size_t at = 0; at < text.size();) {
        while (at < text.size() && blank(static_cast<unsigned char>(text[at])))
            ++at;
        const size_t start = at;
        while (at < text.size() && !blank(static_cast<unsigned char>(text[at])))
            ++at;
        if (at > start)
            words.push_back(text.substr(start, at - start));
    }
    std::string why;
    const auto hex = [](std::string_view word, size_t digits) {
        // The length first: a long word would overflow the value.
        if (word.empty() || word.size() > digits)
            return -1;
        int32_t value = 0;
        for (const char c : word) {
            if (banktext::hexDigit(c) < 0)
                return -1;
            value = value * 16 + banktext::hexDigit(c);
        }
        return value;
    };
    if (command == "TRACK") {
        columns_.clear();
        inPattern_ = false;
    } else if (command == "COLUMNS") {
        columns_.clear();
        if (words.size() < 3 || words[1] != ":" || words.size() - 2 > static_cast<size_t>(kMaxSongChannels))
            why = "not ':' and 1 to " + std::to_string(kMaxSongChannels) + " channels' effect columns";
        for (size_t i = 2; why.empty() && i < words.size(); ++i) {
            const int32_t columns = hex(words[i], 1);
            if (columns < 1 || columns > 4)
                why = "effect columns " + shown(words[i]) + " are not 1 to 4";
            columns_.push_back(columns);
        }
        inPattern_ = false;
    } else if (command == "PATTERN") {
        if (words.size() != 2 || hex(words[1], 2) < 0)
            why = "its pattern is not a hex number 00 to FF";
        inPattern_ = true;
        lastPlayed_.assign(columns_.size(), PlayCounter::kNoInstrument);
    } else {
        readRow(words, why);
    }
    if (!why.empty())
        songsUnread_ = "line " + std::to_string(line_) + ": " + std::string(command) + ": " + why;
    return true;
}

// Row, then per channel ':', note, instrument, volume and its effects: "C#4"
// ("F-#" on the noise, "..." none, "---" halt, "===" release, "^-1" an
// echo), "05" or "..", "F" or ".", "P80" or "...".
bool TextReader::readRow(const std::vector<std::string_view>& words, std::string& why)
{
    if (columns_.empty() || !inPattern_) {
        why = columns_.empty() ? "no COLUMNS line before it" : "no PATTERN line before it";
        return false;
    }
    const auto hexDigits = [](std::string_view word, size_t from) {
        for (size_t i = from; i < word.size(); ++i)
            if (banktext::hexDigit(word[i]) < 0)
                return false;
        return from < word.size();
    };
    if (words.size() < 2 || words[1].size() > 2 || !hexDigits(words[1], 0)) {
        why = "its row is not a hex number 00 to FF";
        return false;
    }
    size_t at = 2;
    for (size_t channel = 0; channel < columns_.size(); ++channel) {
        const std::string cell = "channel " + std::to_string(channel) + "'s ";
        const size_t fields = 4 + static_cast<size_t>(columns_[channel]);
        if (words.size() - at < fields || words[at] != ":") {
            why = cell + "cell is not ':', a note, an instrument, a volume and " + std::to_string(columns_[channel]) +
                  " effects";
            return false;
        }
        const std::string_view note = words[at + 1];
        const std::string_view instrument = words[at + 2];
        const std::string_view volume = words[at + 3];
        const bool letter = note.size() == 3 && note[0] >= 'A' && note[0] <= 'G' &&
                            (note[1] == '-' || note[1] == '#') && note[2] >= '0' && note[2] <= '9';
        const bool noise = note.size() == 3 && banktext::hexDigit(note[0]) >= 0 && note[1] == '-' && note[2] == '#';
        const bool silent = note == "..." || note == "---" || note == "===" ||
                            (note.size() == 3 && note[0] == '^' && note[1] == '-' && note[2] >= '0' && note[2] <= '9');
        if (!letter && !noise && !silent) {
            why = cell + "note " + shown(note) + " is not one";
            return false;
        }
        int32_t number = PlayCounter::kNoInstrument;
        if (instrument != ".." && (instrument.size() != 2 || !hexDigits(instrument, 0) ||
                                   (number = banktext::hexDigit(instrument[0]) * 16 +
                                             banktext::hexDigit(instrument[1])) >= kInstrumentSlots)) {
            why = cell + "instrument " + shown(instrument) + " is not 00 to 3F";
            return false;
        }
        if (volume != "." && (volume.size() != 1 || !hexDigits(volume, 0))) {
            why = cell + "volume " + shown(volume) + " is not 0 to F";
            return false;
        }
        for (size_t effect = at + 4; effect < at + fields; ++effect) {
            const std::string_view word = words[effect];
            if (word != "..." && (word.size() != 3 || word[0] == '.' || !hexDigits(word, 1))) {
                why = cell + "effect " + shown(word) + " is not one";
                return false;
            }
        }
        const int32_t kind = channel < 5            ? playedKindOfChannelId(static_cast<int32_t>(channel))
                             : vrc6_ && channel < 8 ? playedKindOfChannelId(static_cast<int32_t>(channel))
                                                    : kNotCounted;
        plays_->cell(lastPlayed_[channel], kind, letter || noise, number);
        at += fields;
    }
    if (at != words.size()) {
        why = shown(words[at]) + " after the last channel";
        return false;
    }
    return true;
}

// As the binary reader resolves: each enabled index takes its chip's pool
// sequence (none when it is missing or empty); keys naming an empty sample
// slot play nothing; the samples the others name come along.
void TextReader::resolve()
{
    for (auto& [slot, record] : records_) {
        Instrument& instrument = record.instrument;
        fti::Instrument& out = instrument.instrument;
        out.name = instrument.name;
        if (instrument.type == Type::Fds) {
            out.type = fti::kTypeFds;
            if (record.modulationOff && instrument.readable()) {
                std::fill(std::begin(out.fds.mod), std::end(out.fds.mod), uint8_t{0});
                out.fds.modSpeed = out.fds.modDepth = out.fds.modDelay = 0;
                module_.notes.push_back(slotName(slot) + " has its modulation switched off; it comes in without one");
            }
        }
        if (instrument.type == Type::Vrc7)
            out.type = fti::kTypeVrc7;
        if (!instrument.readable() || instrument.type == Type::Fds || instrument.type == Type::Vrc7) {
            module_.instruments.push_back(std::move(instrument));
            continue;
        }
        const PoolKind kind = instrument.type == Type::Vrc6   ? kVrc6Pool
                              : instrument.type == Type::S5B  ? kS5bPool
                              : instrument.type == Type::N163 ? kN163Pool
                                                              : kApuPool;
        out.type = instrument.type == Type::Vrc6   ? fti::kTypeVrc6
                   : instrument.type == Type::S5B  ? fti::kTypeS5b
                   : instrument.type == Type::N163 ? fti::kTypeN163
                                                   : fti::kType2A03;
        for (int type = 0; type < kSequenceTypes; ++type) {
            const std::optional<uint8_t>& ref = record.refs[static_cast<size_t>(type)];
            if (!ref)
                continue;
            const std::optional<PoolSequence>& stored = pools_[kind][static_cast<size_t>(type)][*ref];
            if (!stored || stored->items.empty())
                continue;
            out.sequences[type] = {true, stored->loop, stored->release, stored->setting, stored->items};
        }
        std::array<bool, kSampleSlots> used{};
        for (const std::optional<fti::DpcmKey>& key : record.keys) {
            if (!key || !samples_[key->sample - 1u] || samples_[key->sample - 1u]->bytes.empty())
                continue;
            out.dpcmKeys.push_back(*key);
            used[key->sample - 1u] = true;
        }
        for (size_t s = 0; s < used.size(); ++s)
            if (used[s])
                out.dpcmSamples.push_back({static_cast<int32_t>(s), samples_[s]->name, samples_[s]->bytes});
        module_.instruments.push_back(std::move(instrument));
    }
}

}  // namespace

bool isTextExport(const unsigned char* data, size_t size)
{
    size_t at = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    while (at < size && blank(data[at]))
        ++at;
    return at < size && data[at] == '#';
}

bool readText(const unsigned char* data, size_t size, Module& module, std::string& error)
{
    module = {};
    if (size > kMaxFileBytes) {
        error = "a text export of " + std::to_string(size) + " bytes; one of at most " +
                std::to_string(kMaxFileBytes) + " is read";
        return false;
    }
    try {
        TextReader reader(module);
        reader.read(data, size);
    } catch (const LineError& failure) {
        error = failure.message;
        return false;
    }
    return true;
}

}  // namespace ftm
