#include "TextBank.h"

#include "engine/EnvelopeCompiler.h"
#include "engine/KeyMapCompiler.h"
#include "engine/SharedSettings.h"
#include "engine/WaveCompiler.h"
#include "instrument/FactoryPresets.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace textbank {
namespace {

constexpr int32_t kDefaultNtsc = 1;
// A bank that leaves the gain out plays at 100, as every bank did before new
// instances started lower.
constexpr int32_t kUnwrittenGain = 100;
constexpr size_t kMaxNameBytes = kProgramNameSize - 1;
constexpr size_t kMaxTextBytes = kEnvelopeTextSize - 1;

template <size_t N> std::string_view fieldText(const char (&field)[N])
{
    return std::string_view(field, static_cast<size_t>(std::find(field, field + N, '\0') - field));
}

bool sameProgram(const Program& a, const Program& b)
{
    if (fieldText(a.name) != fieldText(b.name) || a.channelType != b.channelType || a.multi != b.multi)
        return false;
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        if (fieldText(a.envelopeText[kind]) != fieldText(b.envelopeText[kind]))
            return false;
    return fieldText(a.keyMapText) == fieldText(b.keyMapText) && fieldText(a.waveText) == fieldText(b.waveText) &&
           a.mono == b.mono && a.glide == b.glide && a.tempoSteps == b.tempoSteps;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string lowercase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Values are written bare unless reading them bare would change them.
bool needsQuotes(std::string_view value)
{
    if (value.empty() || isBlank(value.front()) || isBlank(value.back()) || value.front() == '"')
        return true;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F)
            return true;
    }
    return false;
}

std::string valueText(std::string_view value)
{
    return needsQuotes(value) ? quoted(value) : std::string(value);
}

// How a word or number that cannot be read is shown in a message: quoted, and
// cut when long.
std::string shown(std::string_view text)
{
    constexpr size_t kShownBytes = 40;
    if (text.size() > kShownBytes)
        return quoted(text.substr(0, kShownBytes)) + "...";
    return quoted(text);
}

std::optional<int> hexDigit(char c)
{
    const int value = banktext::hexDigit(c);
    return value >= 0 ? std::optional<int>(value) : std::nullopt;
}

// A number the chunk can hold: an int32 that its single-precision cell keeps
// exactly (and that is not 2^31 once rounded).
std::optional<int32_t> parseNumber(std::string_view text, std::string& error)
{
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        at = 1;
    if (at == text.size()) {
        error = shown(text) + " is not a number";
        return std::nullopt;
    }
    int64_t magnitude = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') {
            error = shown(text) + " is not a number";
            return std::nullopt;
        }
        magnitude = std::min<int64_t>(magnitude * 10 + (text[at] - '0'), int64_t{1} << 40);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX) {
        error = std::string(text) + " is out of range";
        return std::nullopt;
    }
    const auto cell = static_cast<float>(value);
    if (static_cast<double>(cell) != static_cast<double>(value)) {
        char nearest[32];
        std::snprintf(nearest, sizeof nearest, "%.0f", static_cast<double>(cell));
        error = std::string(text) + " cannot be stored exactly in a bank (nearest: " + nearest + ")";
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

// A number, or one of the words for the usual values.
std::optional<int32_t> parseWordOrNumber(std::string_view text, const char* const* words, const int32_t* values,
                                         int wordCount, const char* what, std::string& error)
{
    const std::string word = lowercase(text);
    for (int i = 0; i < wordCount; ++i)
        if (word == words[i])
            return values[i];
    const bool numeric = !text.empty() && (text[0] == '-' || text[0] == '+' || (text[0] >= '0' && text[0] <= '9'));
    if (numeric)
        return parseNumber(text, error);
    error = std::string(what) + " must be ";
    for (int i = 0; i < wordCount; ++i)
        error += std::string(words[i]) + ", ";
    error.resize(error.size() - 2);
    error += " or a number, not " + shown(text);
    return std::nullopt;
}

constexpr auto kChannelValues = [] {
    std::array<int32_t, kChannelTypeCount> values{};
    for (const ChannelKind& kind : kChannelKinds)
        values[kind.type] = kind.type;
    return values;
}();
constexpr const char* kMultiWords[] = {"no", "yes"};
constexpr const char* kMonoWords[kMonoModeCount] = {"off", "on", "legato"};
constexpr int32_t kMonoValues[kMonoModeCount] = {MonoOff, MonoOn, MonoLegato};
constexpr const char* kOffWord[] = {"off"};
constexpr int32_t kOffValue[] = {0};
constexpr int32_t kMultiValues[] = {0, 1};
constexpr const char* kClockWords[] = {"ntsc", "pal"};
constexpr int32_t kClockValues[] = {1, 0};
constexpr const char* kSwitchWords[] = {"off", "on"};
constexpr int32_t kSwitchValues[] = {0, 1};
constexpr const char* kConsoleWords[kConsoleModeCount] = {"off", "nes", "famicom", "unfiltered"};
constexpr int32_t kConsoleValues[kConsoleModeCount] = {ConsoleOff, ConsoleNes, ConsoleFamicom, ConsoleUnfiltered};
constexpr const char* kMpeWords[kMpeModeCount] = {"off", "on", "upper"};
constexpr int32_t kMpeValues[kMpeModeCount] = {MpeOff, MpeLower, MpeUpper};

std::string numberOrWord(int32_t value, const char* const* words, const int32_t* values, int wordCount)
{
    for (int i = 0; i < wordCount; ++i)
        if (value == values[i])
            return words[i];
    return std::to_string(value);
}

enum ProgramKey {
    KeyName,
    KeyChannel,
    KeyMulti,
    KeyVolume,
    KeyKeys = KeyVolume + kEnvelopeKindCount,
    KeyMono,
    KeyGlide,
    KeyTempoSteps,
    KeyWave,
    KeyMod,
    KeyModRate,
    KeyModDepth,
    KeyModDelay,
    KeyPatch,
    KeyCustom,
    KeySustain,
    kProgramKeyCount
};
constexpr const char* kProgramKeyName[kProgramKeyCount] = {
    "name",      "channel", "multi", "volume",   "arp",       "pitch",     "hi-pitch", "duty",   "keys",
    "mono",      "glide",   "tempo-steps", "wave", "mod", "mod-rate", "mod-depth", "mod-delay", "patch", "custom",
    "sustain"};
// The parts of a wave text, in the order of the keys from KeyWave.
std::string WaveTextParts::*const kWavePart[] = {
    &WaveTextParts::wave,     &WaveTextParts::mod,   &WaveTextParts::modRate, &WaveTextParts::modDepth,
    &WaveTextParts::modDelay, &WaveTextParts::patch, &WaveTextParts::custom,  &WaveTextParts::sustain};
static_assert(std::size(kWavePart) == kProgramKeyCount - KeyWave);
enum SampleKey { KeyLength, KeyBytes, KeyLevel, kSampleKeyCount };
constexpr const char* kSampleKeyName[kSampleKeyCount] = {"length", "bytes", "level"};
constexpr size_t kHexGroupBytes = 16;  // written in groups, a space between them
enum TopKey { KeyClock, KeyGain, KeyControllers, KeyConsole, KeyN163Channels, KeyMpe, kTopKeyCount };
constexpr const char* kTopKeyName[kTopKeyCount] = {"clock", "gain", "controllers", "console", "n163-channels", "mpe"};

class Parser {
public:
    Parser(const std::string& fileName, State& state, std::vector<std::string>& errors, SourceLines* lines)
        : fileName_(fileName), state_(state), errors_(errors), lines_(lines)
    {
    }

    bool run(std::string_view text)
    {
        const size_t errorsBefore = errors_.size();
        // Windows editors offer "Unicode" (UTF-16), which no line of ours can be read from.
        if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
            errors_.push_back(fileName_ + ":1: is UTF-16 text; save it as UTF-8 or ANSI");
            return false;
        }
        if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
            const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n');
            errors_.push_back(fileName_ + ":" + std::to_string(line) + ": holds a NUL byte: not a text bank");
            return false;
        }
        // Some editors start a UTF-8 file with a byte order mark.
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        while (!text.empty()) {
            ++lineNumber_;
            const size_t newline = text.find('\n');
            std::string_view line = text.substr(0, newline);
            text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            readLine(line);
        }
        finishSample();
        // A bank written before controllers were played has no such line, and
        // stays as it was: without them (and, saved again, without the setting).
        if (!sawControllers_)
            state_.settings.midiControllers = chunk::kSettingAbsent;
        // Without the line, as in a chunk without the cell, the mode is off.
        if (!sawConsole_)
            state_.settings.console = ConsoleOff;
        if (!sawMpe_)
            state_.settings.mpe = MpeOff;
        if (!sawGain_)
            state_.settings.gain = kUnwrittenGain;
        return errors_.size() == errorsBefore;
    }

private:
    enum class Section { Top, Channels, Program, Sample, Broken };

    void fail(const std::string& message)
    {
        errors_.push_back(fileName_ + ":" + std::to_string(lineNumber_) + ": " + message);
    }

    void readLine(std::string_view line)
    {
        line = trim(line);
        if (line.empty() || line.front() == '#')
            return;
        if (line.front() == '[') {
            readSection(line);
            return;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            fail("missing '=' in " + shown(line) + " (expected key = value, [section] or # comment)");
            return;
        }
        const std::string_view keyText = trim(line.substr(0, equals));
        if (keyText.empty()) {
            fail("missing key before '='");
            return;
        }
        std::string value;
        if (!decodeValue(trim(line.substr(equals + 1)), value))
            return;
        const std::string key = lowercase(keyText);
        switch (section_) {
        case Section::Top:
            readTopKey(key, keyText, value);
            break;
        case Section::Channels:
            readChannelKey(keyText, value);
            break;
        case Section::Program:
            readProgramKey(key, keyText, value);
            break;
        case Section::Sample:
            readSampleKey(key, keyText, value);
            break;
        case Section::Broken:
            break;  // the section header was reported; its keys would only repeat that
        }
    }

    void readSection(std::string_view line)
    {
        finishSample();
        section_ = Section::Broken;
        if (line.back() != ']') {
            fail("missing ']' in section header " + shown(line));
            return;
        }
        const std::string inside = lowercase(trim(line.substr(1, line.size() - 2)));
        std::fill(std::begin(keyLine_), std::end(keyLine_), 0);
        if (inside == "channels") {
            if (channelsLine_ != 0) {
                fail("duplicate section [channels] (first on line " + std::to_string(channelsLine_) + ")");
                return;
            }
            channelsLine_ = lineNumber_;
            section_ = Section::Channels;
            return;
        }
        if (inside.rfind("program", 0) == 0 && inside.size() > 7) {
            const std::string_view numberText = trim(std::string_view(inside).substr(7));
            std::string error;
            const std::optional<int32_t> number = parseNumber(numberText, error);
            if (!number || *number < 1 || *number > kProgramCount) {
                fail("program number " + shown(numberText) + " is not one of 1.." + std::to_string(kProgramCount));
                return;
            }
            const int index = *number - 1;
            if (programLine_[index] != 0) {
                fail("duplicate section [program " + std::to_string(*number) + "] (first on line " +
                     std::to_string(programLine_[index]) + ")");
                return;
            }
            programLine_[index] = lineNumber_;
            program_ = index;
            section_ = Section::Program;
            return;
        }
        if (inside.rfind("sample", 0) == 0 && inside.size() > 6 && isBlank(inside[6])) {
            // The name keeps its case: key maps name it exactly.
            const std::string_view name = trim(trim(line.substr(1, line.size() - 2)).substr(6));
            if (!isSampleName(name)) {
                fail("sample name " + shown(name) + " is not 1 to 31 letters, digits, '_', '-' or '.'");
                return;
            }
            if (const auto seen = sampleLine_.find(std::string(name)); seen != sampleLine_.end()) {
                fail("duplicate section [sample " + std::string(name) + "] (first on line " +
                     std::to_string(seen->second) + ")");
                return;
            }
            sampleLine_[std::string(name)] = lineNumber_;
            sampleName_ = name;
            sampleLength_ = -1;
            sampleLevel_ = kNoStartLevel;
            sampleBytes_.clear();
            sawBytes_ = false;
            section_ = Section::Sample;
            return;
        }
        fail("unknown section " + shown(line) +
             " (sections are [channels], [program 1] to [program 128] and [sample NAME])");
    }

    void readSampleKey(const std::string& key, std::string_view keyText, const std::string& value)
    {
        const auto found = std::find(std::begin(kSampleKeyName), std::end(kSampleKeyName), key);
        if (found == std::end(kSampleKeyName)) {
            fail("unknown key " + shown(keyText) + " (a sample has length, bytes and level)");
            return;
        }
        const int slot = static_cast<int>(found - std::begin(kSampleKeyName));
        if (!firstTime(slot, keyText))
            return;
        std::string error;
        if (slot == KeyLength) {
            const std::optional<int32_t> length = parseNumber(value, error);
            if (!length || !isLegalSampleLength(*length)) {
                fail("sample " + sampleName_ + ": length " + shown(value) +
                     " is not 16 * L + 1 with L from 0 to 255 (1, 17, 33, ... 4081)");
                section_ = Section::Broken;
                return;
            }
            sampleLength_ = *length;
            return;
        }
        if (slot == KeyLevel) {
            const std::optional<int32_t> level = parseNumber(value, error);
            if (!level || *level < 0 || *level > kMaxStartLevel) {
                fail("sample " + sampleName_ + ": level " + shown(value) + " is not 0 to " +
                     std::to_string(kMaxStartLevel));
                section_ = Section::Broken;
                return;
            }
            sampleLevel_ = *level;
            return;
        }
        sawBytes_ = true;
        int high = -1;
        for (char c : value) {
            if (isBlank(c))
                continue;
            const int digit = banktext::hexDigit(c);
            if (digit < 0) {
                fail("sample " + sampleName_ + ": bytes must be hex digits, not " + shown(std::string_view(&c, 1)));
                section_ = Section::Broken;
                return;
            }
            if (high < 0) {
                high = digit;
                continue;
            }
            if (sampleBytes_.size() >= static_cast<size_t>(kMaxSampleBytes)) {
                fail("sample " + sampleName_ + ": more than " + std::to_string(kMaxSampleBytes) + " bytes");
                section_ = Section::Broken;
                return;
            }
            sampleBytes_.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
        if (high >= 0) {
            fail("sample " + sampleName_ + ": bytes end with half a byte (an odd number of hex digits)");
            section_ = Section::Broken;
        }
    }

    // A sample section ends at the next section or at the end of the text:
    // then its length and bytes must agree, and the bank must have room.
    void finishSample()
    {
        if (section_ != Section::Sample)
            return;
        section_ = Section::Broken;
        if (sampleLength_ < 0 || !sawBytes_) {
            errors_.push_back(fileName_ + ":" + std::to_string(sampleLine_[sampleName_]) + ": sample " + sampleName_ +
                              " needs both length and bytes");
            return;
        }
        if (sampleBytes_.size() != static_cast<size_t>(sampleLength_)) {
            errors_.push_back(fileName_ + ":" + std::to_string(sampleLine_[sampleName_]) + ": sample " + sampleName_ +
                              " has " + std::to_string(sampleBytes_.size()) + " bytes, but its length is " +
                              std::to_string(sampleLength_));
            return;
        }
        if (const char* error = state_.samples.put(sampleName_, sampleBytes_.data(), sampleLength_, sampleLevel_))
            errors_.push_back(fileName_ + ":" + std::to_string(sampleLine_[sampleName_]) + ": sample " + sampleName_ +
                              ": " + error);
    }

    // Bare values are taken as they stand; a value that starts with a double
    // quote runs to the closing quote, with \\, \" and \xHH escapes.
    bool decodeValue(std::string_view raw, std::string& value)
    {
        if (raw.empty() || raw.front() != '"') {
            value = raw;
            return true;
        }
        value.clear();
        for (size_t at = 1; at < raw.size(); ++at) {
            const char c = raw[at];
            if (c == '"') {
                if (at + 1 != raw.size()) {
                    fail("text after the closing quote: " + shown(raw.substr(at + 1)));
                    return false;
                }
                return true;
            }
            if (c != '\\') {
                value += c;
                continue;
            }
            if (at + 1 == raw.size())
                break;
            const char escape = raw[++at];
            if (escape == '\\' || escape == '"') {
                value += escape;
            } else if (escape == 'x') {
                const std::optional<int> high = at + 1 < raw.size() ? hexDigit(raw[at + 1]) : std::nullopt;
                const std::optional<int> low = at + 2 < raw.size() ? hexDigit(raw[at + 2]) : std::nullopt;
                if (!high || !low) {
                    fail("\\x must be followed by two hex digits");
                    return false;
                }
                if (*high == 0 && *low == 0) {
                    fail("\\x00 cannot be stored: texts end at a zero byte");
                    return false;
                }
                value += static_cast<char>(*high * 16 + *low);
                at += 2;
            } else {
                const bool printable = escape > 0x20 && escape < 0x7F;
                fail(std::string("unknown escape '\\") + (printable ? escape : '?') +
                     "' (quoted values know \\\\, \\\" and \\xHH)");
                return false;
            }
        }
        fail("missing closing quote");
        return false;
    }

    // Answers whether the key is new in its section; reports it otherwise.
    bool firstTime(int slot, std::string_view keyText)
    {
        if (keyLine_[slot] != 0) {
            fail("duplicate key " + shown(keyText) + " (first on line " + std::to_string(keyLine_[slot]) + ")");
            return false;
        }
        keyLine_[slot] = lineNumber_;
        return true;
    }

    void readTopKey(const std::string& key, std::string_view keyText, const std::string& value)
    {
        std::string error;
        if (key == kTopKeyName[KeyClock]) {
            if (!firstTime(KeyClock, keyText))
                return;
            if (const auto clock = parseWordOrNumber(value, kClockWords, kClockValues, 2, "clock", error))
                state_.settings.ntsc = *clock;
            else
                fail(error);
        } else if (key == kTopKeyName[KeyGain]) {
            if (!firstTime(KeyGain, keyText))
                return;
            sawGain_ = true;
            if (const auto gain = parseNumber(value, error))
                state_.settings.gain = *gain;
            else
                fail("gain: " + error);
        } else if (key == kTopKeyName[KeyControllers]) {
            if (!firstTime(KeyControllers, keyText))
                return;
            sawControllers_ = true;
            // The chunk holds only on or off, so no other number is taken.
            const auto handling = parseWordOrNumber(value, kSwitchWords, kSwitchValues, 2, "controllers", error);
            if (handling && (*handling == 0 || *handling == 1))
                state_.settings.midiControllers = *handling;
            else
                fail(handling ? "controllers must be on or off, not " + shown(value) : error);
        } else if (key == kTopKeyName[KeyConsole]) {
            if (!firstTime(KeyConsole, keyText))
                return;
            sawConsole_ = true;
            // The chunk holds only the known modes, so no other number is taken.
            const auto mode =
                parseWordOrNumber(value, kConsoleWords, kConsoleValues, kConsoleModeCount, "console", error);
            if (mode && *mode >= ConsoleOff && *mode < kConsoleModeCount)
                state_.settings.console = *mode;
            else
                fail(mode ? "console must be off, nes, famicom or unfiltered, not " + shown(value) : error);
        } else if (key == kTopKeyName[KeyN163Channels]) {
            if (!firstTime(KeyN163Channels, keyText))
                return;
            const auto channels = parseNumber(value, error);
            if (channels && *channels >= 1 && *channels <= kMaxN163Channels)
                state_.settings.n163Channels = *channels;
            else
                fail(channels ? "n163-channels must be 1 to 8, not " + shown(value) : "n163-channels: " + error);
        } else if (key == kTopKeyName[KeyMpe]) {
            if (!firstTime(KeyMpe, keyText))
                return;
            sawMpe_ = true;
            const auto mode = parseWordOrNumber(value, kMpeWords, kMpeValues, kMpeModeCount, "mpe", error);
            if (mode && *mode >= MpeOff && *mode < kMpeModeCount)
                state_.settings.mpe = *mode;
            else
                fail(mode ? "mpe must be off, on or upper, not " + shown(value) : error);
        } else {
            fail("unknown key " + shown(keyText) +
                 " (before the first section: clock, gain, controllers, console, n163-channels, mpe; programs start "
                 "with [program N])");
        }
    }

    void readChannelKey(std::string_view keyText, const std::string& value)
    {
        std::string error;
        const std::optional<int32_t> channel = parseNumber(keyText, error);
        if (!channel || *channel < 1 || *channel > kMidiChannelCount) {
            fail("unknown key " + shown(keyText) + " in [channels] (MIDI channels are 1 to 16)");
            return;
        }
        if (!firstTime(*channel - 1, keyText))
            return;
        const std::optional<int32_t> program = parseNumber(value, error);
        if (!program || *program < 1 || *program > kProgramCount) {
            fail("MIDI channel " + std::to_string(*channel) + ": program " + shown(value) + " is not one of 1.." +
                 std::to_string(kProgramCount));
            return;
        }
        state_.settings.channelProgram[*channel - 1] = *program - 1;
    }

    void readProgramKey(const std::string& key, std::string_view keyText, const std::string& value)
    {
        const auto found = std::find(std::begin(kProgramKeyName), std::end(kProgramKeyName), key);
        if (found == std::end(kProgramKeyName)) {
            fail("unknown key " + shown(keyText) +
                 " (a program has name, channel, multi, volume, arp, pitch, "
                 "hi-pitch, duty, keys, mono, glide, tempo-steps, wave, mod, mod-rate, mod-depth, mod-delay, patch, "
                 "custom and sustain)");
            return;
        }
        const int slot = static_cast<int>(found - std::begin(kProgramKeyName));
        if (!firstTime(slot, keyText))
            return;
        Program& program = state_.programs[program_];
        std::string error;
        if (slot == KeyName) {
            if (value.size() > kMaxNameBytes) {
                fail("name is " + std::to_string(value.size()) + " bytes long; a name holds at most " +
                     std::to_string(kMaxNameBytes));
                return;
            }
            copyTextField(program.name, value.c_str());
        } else if (slot == KeyChannel) {
            if (const auto type = parseWordOrNumber(value, banktext::kChannelWord.data(), kChannelValues.data(),
                                                    kChannelTypeCount, "channel", error))
                program.channelType = *type;
            else
                fail(error);
        } else if (slot == KeyMulti) {
            if (const auto multi = parseWordOrNumber(value, kMultiWords, kMultiValues, 2, "multi", error))
                program.multi = *multi;
            else
                fail(error);
        } else if (slot == KeyMono || slot == KeyGlide || slot == KeyTempoSteps) {
            readPlayingKey(slot, program, value);
        } else if (slot >= KeyWave) {
            // Each key fills its part of the program's one wave text.
            WaveTextParts parts;
            splitWaveText(fieldText(program.waveText), parts);
            parts.*kWavePart[slot - KeyWave] = value;
            const std::string text = joinWaveText(parts);
            if (text.size() > kMaxTextBytes) {
                fail("wave text (wave and mod keys together) is " + std::to_string(text.size()) +
                     " bytes long; it holds at most " + std::to_string(kMaxTextBytes));
                return;
            }
            copyTextField(program.waveText, text.c_str());
            if (lines_ && lines_->wave[program_] == 0)
                lines_->wave[program_] = lineNumber_;
        } else if (slot == KeyKeys) {
            if (value.size() > kMaxTextBytes) {
                fail("keys text is " + std::to_string(value.size()) + " bytes long; a text holds at most " +
                     std::to_string(kMaxTextBytes));
                return;
            }
            copyTextField(program.keyMapText, value.c_str());
            if (lines_)
                lines_->keys[program_] = lineNumber_;
        } else {
            const int kind = slot - KeyVolume;
            if (value.size() > kMaxTextBytes) {
                fail(std::string(kEnvelopeKindName[kind]) + " text is " + std::to_string(value.size()) +
                     " bytes long; a text holds at most " + std::to_string(kMaxTextBytes));
                return;
            }
            copyTextField(program.envelopeText[kind], value.c_str());
            if (lines_)
                lines_->envelope[program_][kind] = lineNumber_;
        }
    }

    // mono, glide and tempo-steps: each within its range, or one line and
    // the program as it was.
    void readPlayingKey(int slot, Program& program, const std::string& value)
    {
        std::string error;
        std::optional<int32_t> number;
        if (slot == KeyMono)
            number = parseWordOrNumber(value, kMonoWords, kMonoValues, kMonoModeCount, "mono", error);
        else if (slot == KeyGlide)
            number = parseNumber(value, error);
        else
            number = parseWordOrNumber(value, kOffWord, kOffValue, 1, "tempo-steps", error);
        if (!number) {
            fail(slot == KeyGlide ? "glide: " + error : error);
            return;
        }
        const int32_t mono = slot == KeyMono ? *number : MonoOff;
        const int32_t glide = slot == KeyGlide ? *number : 0;
        const int32_t steps = slot == KeyTempoSteps ? *number : 0;
        if (playingError(mono, glide, steps)) {
            fail(slot == KeyMono    ? "mono must be off, on or legato, not " + shown(value)
                 : slot == KeyGlide ? "glide must be 0 to " + std::to_string(kMaxGlideMs) + " milliseconds, not " +
                                          shown(value)
                                    : "tempo-steps must be off or 1 to " + std::to_string(kMaxTempoSteps) +
                                          " steps a quarter note, not " + shown(value));
            return;
        }
        (slot == KeyMono ? program.mono : slot == KeyGlide ? program.glide : program.tempoSteps) = *number;
    }

    const std::string& fileName_;
    State& state_;
    std::vector<std::string>& errors_;
    SourceLines* lines_;
    int lineNumber_ = 0;
    Section section_ = Section::Top;
    int program_ = 0;
    int channelsLine_ = 0;
    int programLine_[kProgramCount] = {};
    // Per key of the current section: a program's keys, or the channels.
    static constexpr int kMostKeys = 32;
    int keyLine_[kMostKeys] = {};
    bool sawControllers_ = false;
    bool sawConsole_ = false;
    bool sawMpe_ = false;
    bool sawGain_ = false;
    std::map<std::string, int> sampleLine_;  // each sample section's line
    std::string sampleName_;                 // of the sample section being read
    int32_t sampleLength_ = -1;
    int32_t sampleLevel_ = kNoStartLevel;  // none given: the sample has no start level
    std::vector<uint8_t> sampleBytes_;
    bool sawBytes_ = false;
};

static_assert(kProgramKeyCount <= 32 && kTopKeyCount <= 32 && kSampleKeyCount <= 32 && kMidiChannelCount <= 32);

}  // namespace

void resetToDefault(State& state)
{
    buildDefaultBank(state.programs);
    std::fill(std::begin(state.settings.channelProgram), std::end(state.settings.channelProgram), 0);
    state.settings.ntsc = kDefaultNtsc;
    state.settings.gain = ::kDefaultGain;  // as a new instance has it
    state.settings.midiControllers = 1;  // as a new instance has it
    state.settings.console = ConsoleOff;
    state.settings.n163Channels = kDefaultN163Channels;
    state.settings.mpe = MpeOff;
    state.samples.count = 0;
}

std::unique_ptr<State> makeDefault()
{
    auto state = std::make_unique<State>();
    resetToDefault(*state);
    return state;
}

std::vector<unsigned char> toChunk(const State& state)
{
    return chunk::write(state.programs, &state.samples, state.settings);
}

void loadChunk(const unsigned char* data, size_t size, State& state)
{
    chunk::read(data, size, state.programs, &state.samples, state.settings);
}

namespace {

bool cellIs(const unsigned char* cell, float tag)
{
    const auto bits = std::bit_cast<uint32_t>(tag);
    for (int byte = 0; byte < 4; ++byte)
        if (cell[byte] != static_cast<unsigned char>(bits >> (8 * byte)))
            return false;
    return true;
}

}  // namespace

bool startsLikeAChunk(const unsigned char* data, size_t size)
{
    return size >= 4 && cellIs(data, chunk::tagHeader);
}

bool endsLikeAChunk(const unsigned char* data, size_t size)
{
    return size >= 4 && size % 4 == 0 && cellIs(data + size - 4, chunk::tagEnd);
}

std::vector<int> freePrograms(const State& state)
{
    const std::unique_ptr<State> defaults = makeDefault();
    std::vector<int> free;
    for (int number = kFactoryPresetCount; number < kProgramCount; ++number)
        if (sameProgram(state.programs[number], defaults->programs[number]))
            free.push_back(number);
    return free;
}

bool sameContent(const State& a, const State& b)
{
    return toChunk(a) == toChunk(b);
}

bool parse(std::string_view text, const std::string& fileName, State& state, std::vector<std::string>& errors,
           SourceLines* lines)
{
    return Parser(fileName, state, errors, lines).run(text);
}

std::string write(const State& state, const WriteOptions& options)
{
    // Built once: a state is megabytes, and the default bank never changes.
    static const std::unique_ptr<const State> defaults = makeDefault();
    std::string out = "# Plinka bank. Lines starting with # are comments. Programs not listed\n"
                      "# here are as in the default bank: name \"NNN default\", pulse, volume 15,\n"
                      "# every other envelope 0. Values in double quotes use \\\\, \\\" and \\xHH.\n"
                      "\n";
    out += "clock = " + numberOrWord(state.settings.ntsc, kClockWords, kClockValues, 2) + "\n";
    out += "gain = " + std::to_string(state.settings.gain) + "\n";
    if (state.settings.midiControllers != chunk::kSettingAbsent)
        out += "controllers = " + numberOrWord(state.settings.midiControllers, kSwitchWords, kSwitchValues, 2) + "\n";
    // Always written, off too, so that a musician finds the setting.
    out += "console = " + numberOrWord(state.settings.console, kConsoleWords, kConsoleValues, kConsoleModeCount) + "\n";
    if (state.settings.n163Channels != kDefaultN163Channels)
        out += "n163-channels = " + std::to_string(state.settings.n163Channels) + "\n";
    // Only when on: a bank without the line has it off.
    if (state.settings.mpe != MpeOff)
        out += "mpe = " + numberOrWord(state.settings.mpe, kMpeWords, kMpeValues, kMpeModeCount) + "\n";
    out += "\n[channels]\n";
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        out += std::to_string(channel + 1) + " = " +
               std::to_string(static_cast<int64_t>(state.settings.channelProgram[channel]) + 1) + "\n";
    for (int number = 0; number < kProgramCount; ++number) {
        const Program& program = state.programs[number];
        if (!options.allPrograms && number >= kFactoryPresetCount && sameProgram(program, defaults->programs[number]))
            continue;
        out += "\n[program " + std::to_string(number + 1) + "]\n";
        out += "name = " + valueText(fieldText(program.name)) + "\n";
        out +=
            "channel = " +
            numberOrWord(program.channelType, banktext::kChannelWord.data(), kChannelValues.data(), kChannelTypeCount) +
            "\n";
        out += "multi = " + numberOrWord(program.multi, kMultiWords, kMultiValues, 2) + "\n";
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            out += std::string(kEnvelopeKey[kind]) + " = " + valueText(fieldText(program.envelopeText[kind])) + "\n";
        if (program.keyMapText[0] != 0)
            out += std::string(kKeyMapKey) + " = " + valueText(fieldText(program.keyMapText)) + "\n";
        if (program.mono != MonoOff)
            out += "mono = " + numberOrWord(program.mono, kMonoWords, kMonoValues, kMonoModeCount) + "\n";
        if (program.glide != 0)
            out += "glide = " + std::to_string(program.glide) + "\n";
        if (program.tempoSteps != 0)
            out += "tempo-steps = " + std::to_string(program.tempoSteps) + "\n";
        if (program.waveText[0] != 0) {
            // A text whose parts cannot be told apart goes out whole, as typed.
            WaveTextParts parts;
            if (!splitWaveText(fieldText(program.waveText), parts)) {
                parts = WaveTextParts{};
                parts.wave = fieldText(program.waveText);
            }
            for (int key = KeyWave; key < kProgramKeyCount; ++key)
                if ((key == KeyWave && program.channelType != Vrc7) || !(parts.*kWavePart[key - KeyWave]).empty())
                    out += std::string(kProgramKeyName[key]) + " = " + valueText(parts.*kWavePart[key - KeyWave]) +
                           "\n";
        }
    }
    for (int i = 0; i < state.samples.count && i < kMaxSamples; ++i) {
        const DpcmSample& sample = state.samples.samples[i];
        const int32_t length = std::clamp(sample.length, 0, kMaxSampleBytes);
        out += "\n[sample " + std::string(fieldText(sample.name)) + "]\n";
        out += "length = " + std::to_string(length) + "\n";
        if (sample.startLevel >= 0 && sample.startLevel <= kMaxStartLevel)
            out += "level = " + std::to_string(sample.startLevel) + "\n";
        out += "bytes =";
        for (int32_t at = 0; at < length; ++at) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", sample.bytes[at]);
            if (at % kHexGroupBytes == 0)
                out += ' ';
            out += hex;
        }
        out += "\n";
    }
    return out;
}

std::vector<EnvelopeError> checkEnvelopes(const State& state)
{
    std::vector<EnvelopeError> errors;
    const auto scratch = std::make_unique<Envelope>();
    const auto keyMap = std::make_unique<KeyMap>();
    const auto wave = std::make_unique<WaveProgram>();
    for (int number = 0; number < kProgramCount; ++number) {
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
            // The compiler reads up to the terminator, which every field keeps.
            const Program& program = state.programs[number];
            if (const char* message =
                    compileEnvelopeOfKind(std::string(fieldText(program.envelopeText[kind])).c_str(), *scratch, kind))
                errors.push_back({number, kind, message});
        }
        const Program& program = state.programs[number];
        if (program.keyMapText[0] != 0)
            if (const char* message =
                    compileKeyMap(std::string(fieldText(program.keyMapText)).c_str(), state.samples, *keyMap))
                errors.push_back({number, kKeyMapKind, message});
        if (hasChipText(program.channelType))
            if (const char* message = compileWave(fieldText(program.waveText), program.channelType, *wave))
                errors.push_back({number, kWaveKind, message});
    }
    return errors;
}

std::string describe(const State& state, const EnvelopeError& error)
{
    return "program " + std::to_string(error.program + 1) + " " +
           quoted(fieldText(state.programs[error.program].name)) + ", " +
           (error.kind == kKeyMapKind ? "Keys"
            : error.kind == kWaveKind ? "Wave"
                                      : kEnvelopeKindName[error.kind]) +
           ": " +
           error.message;
}

}  // namespace textbank
