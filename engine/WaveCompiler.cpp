#include "WaveCompiler.h"

#include "ChannelKinds.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>

namespace {

// What a blank text plays: a sine round its chip's centre.
constexpr uint8_t kFdsSine[kFdsWaveSteps] = {32, 35, 38, 41, 44, 47, 49, 52, 54, 56, 58, 59, 61, 62, 62, 63,
                                             63, 63, 62, 62, 61, 59, 58, 56, 54, 52, 49, 47, 44, 41, 38, 35,
                                             32, 29, 26, 23, 20, 17, 15, 12, 10, 8,  6,  5,  3,  2,  2,  1,
                                             1,  1,  2,  2,  3,  5,  6,  8,  10, 12, 15, 17, 20, 23, 26, 29};
constexpr uint8_t kN163Sine[32] = {8, 9, 11, 12, 13, 14, 14, 15, 15, 15, 14, 14, 13, 12, 11, 9,
                                   8, 7, 5,  4,  3,  2,  2,  1,  1,  1,  2,  2,  3,  4,  5,  7};

enum Part : int {
    WavePart = 0,
    ModPart,
    RatePart,
    DepthPart,
    DelayPart,
    PatchPart,
    CustomPart,
    SustainPart,
    kPartCount
};
constexpr const char* kPartWords[kPartCount] = {"",      "mod",    "mod-rate", "mod-depth",
                                                "mod-delay", "patch", "custom",   "sustain"};
// The VRC7's custom patch before one is given: the trackers' new instrument's.
constexpr uint8_t kDefaultCustom[kVrc7CustomBytes] = {0x01, 0x21, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x0F};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',';
}

int partOfWord(std::string_view word)
{
    for (int part = ModPart; part < kPartCount; ++part)
        if (word == kPartWords[part])
            return part;
    return -1;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (isSpace(text.front()) || text.front() == '='))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// Cuts the text into its parts' texts; false for a word twice or an unknown one.
bool cutParts(std::string_view text, std::string_view (&parts)[kPartCount], bool (&present)[kPartCount])
{
    std::fill(std::begin(present), std::end(present), false);
    present[WavePart] = true;
    int part = WavePart;
    size_t partStart = 0;
    size_t at = 0;
    auto close = [&](size_t end) { parts[part] = text.substr(partStart, end - partStart); };
    while (at < text.size()) {
        if (isSpace(text[at]) || text[at] == '=' || text[at] == ';') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && !isSpace(text[end]) && text[end] != '=' && text[end] != ';')
            ++end;
        const std::string_view word = text.substr(at, end - at);
        const char first = word.front();
        // The VRC7's parts take words: a patch's first is its value ("patch
        // custom"), the custom bytes are hex, sustain is on or off.
        const bool patchValue = part == PatchPart && trimmed(text.substr(partStart, at - partStart)).empty();
        const bool wordValue = patchValue || part == CustomPart || part == SustainPart;
        if (!(first >= '0' && first <= '9') && first != '-' && first != '+' &&
            !(wordValue && (patchValue || partOfWord(word) < 0))) {
            const int next = partOfWord(word);
            if (next < 0 || present[next])
                return false;
            close(at);
            part = next;
            present[part] = true;
            partStart = end;
        } else if (first == '-' && word.size() > 1 && !(word[1] >= '0' && word[1] <= '9')) {
            return false;
        }
        at = end;
    }
    close(text.size());
    return true;
}


// Reads the numbers of a part into `values` (at most `capacity`), a ';'
// starting a new wave: `waveLengths` (as many as `capacity`) gets each wave's
// count. Answers false for anything that is no number, or more waves than
// that.
bool readNumbers(std::string_view text, int32_t* values, int32_t capacity, int32_t& count, int32_t* waveLengths,
                 int32_t& waves, bool allowSeparators)
{
    count = 0;
    waves = 0;
    int32_t inWave = 0;
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (isSpace(c) || (c == '=' && count == 0 && waves == 0)) {
            ++at;
            continue;
        }
        if (c == ';') {
            if (!allowSeparators || waves + 1 >= capacity)
                return false;
            waveLengths[waves++] = inWave;
            inWave = 0;
            ++at;
            continue;
        }
        int32_t value = 0;
        const char* begin = text.data() + at;
        const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
        if (error != std::errc{} || (end != text.data() + text.size() && !isSpace(*end) && *end != ';'))
            return false;
        if (count < capacity)
            values[count] = value;
        ++count;
        ++inWave;
        at = static_cast<size_t>(end - text.data());
    }
    if (allowSeparators)
        waveLengths[waves++] = inWave;
    return true;
}

void setSine(int32_t channelType, WaveProgram& out)
{
    out = WaveProgram{};
    if (channelType == Fds) {
        out.length = kFdsWaveSteps;
        std::copy(std::begin(kFdsSine), std::end(kFdsSine), out.samples);
    } else {
        out.length = static_cast<int32_t>(std::size(kN163Sine));
        std::copy(std::begin(kN163Sine), std::end(kN163Sine), out.samples);
    }
    out.count = 1;
}

bool oneSetting(std::string_view text, int32_t top, int32_t& value)
{
    int32_t values[2];
    int32_t count = 0, waves = 0;
    int32_t lengths[2];
    if (!readNumbers(text, values, 2, count, lengths, waves, false) || count != 1)
        return false;
    if (values[0] < 0 || values[0] > top)
        return false;
    value = values[0];
    return true;
}

const char* compileParts(std::string_view (&parts)[kPartCount], const bool (&present)[kPartCount],
                         int32_t channelType, WaveProgram& out)
{
    const bool fds = channelType == Fds;
    int32_t values[kMaxWaveSamples + 1];
    int32_t lengths[kMaxWaveSamples + 1];
    int32_t count = 0, waves = 0;
    if (!readNumbers(parts[WavePart], values, kMaxWaveSamples + 1, count, lengths, waves, true))
        return kErrorWaveNumber;
    if (count == 0 && waves == 1) {
        setSine(channelType, out);
    } else {
        const int32_t length = lengths[0];
        for (int32_t w = 0; w < waves; ++w)
            if (lengths[w] != length)
                return fds ? kErrorFdsOneWave : kErrorN163SameLength;
        if (fds && waves != 1)
            return kErrorFdsOneWave;
        if (fds ? length != kFdsWaveSteps : (length < 4 || length > kN163MaxWaveLength || length % 4 != 0))
            return fds ? kErrorFdsWaveLength : kErrorN163WaveLength;
        if (count > kMaxWaveSamples)
            return kErrorWaveNumber;  // more than any text of the field holds
        const int32_t top = fds ? kFdsWaveTop : kN163SampleTop;
        for (int32_t i = 0; i < count; ++i)
            if (values[i] < 0 || values[i] > top)
                return fds ? kErrorFdsWaveValue : kErrorN163WaveValue;
        out.length = length;
        out.count = waves;
        for (int32_t i = 0; i < count; ++i)
            out.samples[i] = static_cast<uint8_t>(values[i]);
    }
    const bool anyMod = present[ModPart] || present[RatePart] || present[DepthPart] || present[DelayPart];
    if (anyMod && !fds)
        return kErrorN163NoMod;
    if (present[PatchPart] || present[CustomPart] || present[SustainPart])
        return kErrorVrc7Only;
    if (present[ModPart]) {
        if (!readNumbers(parts[ModPart], values, kMaxWaveSamples + 1, count, lengths, waves, false))
            return kErrorWaveNumber;
        if (count != kFdsModSteps)
            return kErrorFdsModLength;
        for (int32_t i = 0; i < kFdsModSteps; ++i) {
            if (values[i] < 0 || values[i] > kFdsModCodeTop)
                return kErrorFdsModValue;
            out.mod[i] = static_cast<uint8_t>(values[i]);
        }
        out.hasMod = true;
    }
    if ((present[RatePart] && !oneSetting(parts[RatePart], kFdsMaxModRate, out.modRate)) ||
        (present[DepthPart] && !oneSetting(parts[DepthPart], kFdsMaxModDepth, out.modDepth)) ||
        (present[DelayPart] && !oneSetting(parts[DelayPart], kFdsMaxModDelay, out.modDelay)))
        return kErrorFdsModSetting;
    return nullptr;
}

// A hex byte of one or two digits.
bool hexByte(std::string_view token, uint8_t& byte)
{
    int value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value, 16);
    if (error != std::errc{} || end != token.data() + token.size() || token.size() > 2)
        return false;
    byte = static_cast<uint8_t>(value);
    return true;
}

// The words of a part, at most `capacity`; answers their count, or -1 for more.
int splitWords(std::string_view text, std::string_view* words, int capacity)
{
    int count = 0;
    size_t at = 0;
    while (at < text.size()) {
        if (isSpace(text[at]) || text[at] == '=') {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < text.size() && !isSpace(text[end]) && text[end] != '=')
            ++end;
        if (count == capacity)
            return -1;
        words[count++] = text.substr(at, end - at);
        at = end;
    }
    return count;
}

const char* compileVrc7Parts(std::string_view (&parts)[kPartCount], const bool (&present)[kPartCount],
                             WaveProgram& out)
{
    if (!trimmed(parts[WavePart]).empty())
        return kErrorVrc7Wave;
    if (present[ModPart] || present[RatePart] || present[DepthPart] || present[DelayPart])
        return kErrorN163NoMod;
    std::string_view words[kVrc7CustomBytes];
    if (present[PatchPart]) {
        const int count = splitWords(parts[PatchPart], words, 1);
        int32_t patch = -1;
        if (count == 1 && words[0] == "custom")
            patch = 0;
        else if (count == 1)
            std::from_chars(words[0].data(), words[0].data() + words[0].size(), patch);
        // "custom", or a number 1..15 written plainly.
        const bool named = count == 1 && words[0] == "custom";
        if (!named && (patch < 1 || patch > kVrc7MaxPatch || std::to_string(patch) != words[0]))
            return kErrorVrc7Patch;
        out.patch = patch;
    }
    if (present[CustomPart]) {
        if (splitWords(parts[CustomPart], words, kVrc7CustomBytes) != kVrc7CustomBytes)
            return kErrorVrc7Custom;
        for (int i = 0; i < kVrc7CustomBytes; ++i)
            if (!hexByte(words[i], out.custom[i]))
                return kErrorVrc7Custom;
        out.hasCustom = true;
    }
    if (present[SustainPart]) {
        const int count = splitWords(parts[SustainPart], words, 1);
        if (count != 1 || (words[0] != "on" && words[0] != "off"))
            return kErrorVrc7Sustain;
        out.sustain = words[0] == "on";
    }
    return nullptr;
}

const char* compileVrc7(std::string_view text, WaveProgram& out)
{
    WaveProgram compiled;
    compiled.length = 0;
    compiled.count = 0;
    std::copy(std::begin(kDefaultCustom), std::end(kDefaultCustom), compiled.custom);
    std::string_view parts[kPartCount];
    bool present[kPartCount];
    const char* error = cutParts(text, parts, present) ? compileVrc7Parts(parts, present, compiled) : kErrorWaveNumber;
    if (error) {
        compiled = WaveProgram{};
        std::copy(std::begin(kDefaultCustom), std::end(kDefaultCustom), compiled.custom);
    }
    out = compiled;
    return error;
}

}  // namespace

bool playsWave(int32_t channelType)
{
    return channelType == Fds || channelType == N163;
}

bool hasChipText(int32_t channelType)
{
    return playsWave(channelType) || channelType == Vrc7;
}

const char* compileWave(std::string_view text, int32_t channelType, WaveProgram& out)
{
    if (channelType == Vrc7)
        return compileVrc7(text, out);
    if (!playsWave(channelType)) {
        out = WaveProgram{};
        return nullptr;
    }
    std::string_view parts[kPartCount];
    bool present[kPartCount];
    if (!cutParts(text, parts, present)) {
        setSine(channelType, out);
        return kErrorWaveNumber;
    }
    WaveProgram compiled;
    const char* error = compileParts(parts, present, channelType, compiled);
    if (error)
        setSine(channelType, out);
    else
        out = compiled;
    return error;
}

bool splitWaveText(std::string_view text, WaveTextParts& parts)
{
    std::string_view cut[kPartCount];
    bool present[kPartCount];
    if (!cutParts(text, cut, present))
        return false;
    std::string* fields[kPartCount] = {&parts.wave,     &parts.mod,   &parts.modRate, &parts.modDepth,
                                       &parts.modDelay, &parts.patch, &parts.custom,  &parts.sustain};
    for (int part = 0; part < kPartCount; ++part)
        *fields[part] = present[part] ? std::string(trimmed(cut[part])) : std::string();
    return true;
}

std::string joinWaveText(const WaveTextParts& parts)
{
    std::string text = std::string(trimmed(parts.wave));
    const std::string* fields[kPartCount] = {&parts.wave,     &parts.mod,   &parts.modRate, &parts.modDepth,
                                             &parts.modDelay, &parts.patch, &parts.custom,  &parts.sustain};
    for (int part = ModPart; part < kPartCount; ++part) {
        const std::string_view value = trimmed(*fields[part]);
        if (value.empty())
            continue;
        if (!text.empty())
            text += ' ';
        text += kPartWords[part];
        text += ' ';
        text += value;
    }
    return text;
}

std::string formatWave(const WaveProgram& program, int32_t channelType)
{
    WaveTextParts parts;
    if (channelType == Vrc7) {
        parts.patch = program.patch == 0 ? "custom" : std::to_string(program.patch);
        for (int i = 0; program.hasCustom && i < kVrc7CustomBytes; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", program.custom[i]);
            if (i > 0)
                parts.custom += ' ';
            parts.custom += hex;
        }
        if (program.sustain)
            parts.sustain = "on";
        return joinWaveText(parts);
    }
    for (int32_t w = 0; w < program.count; ++w) {
        if (w > 0)
            parts.wave += " ; ";
        for (int32_t i = 0; i < program.length; ++i) {
            if (i > 0)
                parts.wave += ' ';
            parts.wave += std::to_string(program.wave(w)[i]);
        }
    }
    if (channelType == Fds) {
        if (program.hasMod) {
            for (int32_t i = 0; i < kFdsModSteps; ++i) {
                if (i > 0)
                    parts.mod += ' ';
                parts.mod += std::to_string(program.mod[i]);
            }
        }
        if (program.modRate != 0)
            parts.modRate = std::to_string(program.modRate);
        if (program.modDepth != 0)
            parts.modDepth = std::to_string(program.modDepth);
        if (program.modDelay != 0)
            parts.modDelay = std::to_string(program.modDelay);
    }
    return joinWaveText(parts);
}
