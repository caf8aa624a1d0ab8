#include "KeyMapCompiler.h"

#include <cstring>

namespace {

// Longer digit runs are out of every range; stopping here keeps the value from
// overflowing.
constexpr int32_t kNumberCeiling = 100000;
constexpr int32_t kSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
constexpr int32_t kOctaveOfKeyZero = -1;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A whole token of digits, or -1.
int32_t numberOf(std::string_view digits)
{
    if (digits.empty())
        return -1;
    int32_t value = 0;
    for (char c : digits) {
        if (!isDigit(c))
            return -1;
        value = value < kNumberCeiling ? value * 10 + (c - '0') : value;
    }
    return value;
}

bool separates(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

const char* failWith(KeyMap& map, const char* message)
{
    map = KeyMap{};
    return message;
}

// One flag after the rate into the entry, or a message.
const char* takeFlag(std::string_view flag, KeyEntry& entry)
{
    if (flag == "loop") {
        entry.loop = true;
        return nullptr;
    }
    if (flag.size() >= 2 && flag[0] == 'd' && isDigit(flag[1])) {
        const int32_t level = numberOf(flag.substr(1));
        if (level < 0)
            return kErrorKeyMapFlag;
        if (level > kMaxStartLevel)
            return kErrorKeyMapStartLevel;
        entry.startLevel = static_cast<int8_t>(level);
        return nullptr;
    }
    return kErrorKeyMapFlag;
}

}  // namespace

int32_t keyOfToken(std::string_view token)
{
    if (token.empty())
        return -1;
    if (isDigit(token[0])) {
        const int32_t key = numberOf(token);
        return key >= 0 && key < kKeyCount ? key : -1;
    }
    char letter = token[0];
    if (letter >= 'a' && letter <= 'g')
        letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'G')
        return -1;
    int32_t key = kSemitones[letter - 'A'];
    size_t i = 1;
    if (i < token.size() && (token[i] == '#' || token[i] == 'b')) {
        key += token[i] == '#' ? 1 : -1;
        ++i;
    }
    const bool below = i < token.size() && token[i] == '-';
    if (below)
        ++i;
    const int32_t octave = numberOf(token.substr(i));
    if (octave < 0 || octave > 10)
        return -1;
    key += ((below ? -octave : octave) - kOctaveOfKeyZero) * 12;
    return key >= 0 && key < kKeyCount ? key : -1;
}

const char* compileKeyMap(const char* text, const SampleBank& samples, KeyMap& map)
{
    return compileKeyMap(text ? std::string_view(text, std::strlen(text)) : std::string_view(), samples, map);
}

const char* compileKeyMap(std::string_view all, const SampleBank& samples, KeyMap& map)
{
    map = KeyMap{};
    bool mapped[kKeyCount] = {};
    size_t i = 0;
    while (i < all.size()) {
        if (separates(all[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < all.size() && !separates(all[end]))
            ++end;
        const std::string_view entryText = all.substr(i, end - i);
        i = end;

        const size_t equals = entryText.find('=');
        if (equals == std::string_view::npos)
            return failWith(map, kErrorKeyMapEntry);
        const int32_t key = keyOfToken(entryText.substr(0, equals));
        if (key < 0)
            return failWith(map, kErrorKeyMapKey);
        if (mapped[key])
            return failWith(map, kErrorKeyMapKeyRedefinition);

        // SAMPLE:RATE[:FLAG]...
        std::string_view rest = entryText.substr(equals + 1);
        const size_t nameEnd = rest.find(':');
        if (nameEnd == std::string_view::npos || !isSampleName(rest.substr(0, nameEnd)))
            return failWith(map, kErrorKeyMapEntry);
        const std::string_view name = rest.substr(0, nameEnd);
        rest = rest.substr(nameEnd + 1);
        const size_t rateEnd = rest.find(':');
        const int32_t rate = numberOf(rest.substr(0, rateEnd));
        if (rate < 0)
            return failWith(map, kErrorKeyMapEntry);
        if (rate > kMaxRateIndex)
            return failWith(map, kErrorKeyMapRate);

        KeyEntry entry;
        entry.rate = static_cast<uint8_t>(rate);
        while (rateEnd != std::string_view::npos && !rest.empty()) {
            const size_t colon = rest.find(':');
            if (colon == std::string_view::npos)
                break;
            rest = rest.substr(colon + 1);
            if (const char* error = takeFlag(rest.substr(0, rest.find(':')), entry))
                return failWith(map, error);
        }
        const int index = samples.find(name);
        if (index < 0)
            return failWith(map, kErrorKeyMapMissingSample);
        entry.sample = static_cast<int8_t>(index);
        map.keys[key] = entry;
        mapped[key] = true;
        ++map.entryCount;
    }
    return nullptr;
}
