// What texts about the bank share, in the bank's text files and in the
// messages of the .fti import: the envelope kinds' names and the quoting of
// a value such as a program name.
#pragma once

#include "engine/Program.h"

#include <array>
#include <string>
#include <string_view>

namespace banktext {

// The names the texts and the messages use, in EnvelopeKind order.
inline constexpr const char* kEnvelopeKindName[kEnvelopeKindCount] = {"Volume", "Arp", "Pitch", "Hi-Pitch", "Duty"};

// The channel types' words in text banks and on the command line, in
// ChannelType order, as the channel table has them.
inline constexpr auto kChannelWord = [] {
    std::array<const char*, kChannelTypeCount> words{};
    for (const ChannelKind& kind : kChannelKinds)
        words[kind.type] = kind.word;
    return words;
}();

// The channel type a word names, or -1.
int32_t channelTypeOfWord(std::string_view word);

// Every channel word, for a message: "pulse, triangle, ... or vrc6-saw".
std::string channelWordList();

// A value in double quotes, with \\, \" and \xHH for control bytes and bytes
// from 0x80 on.
std::string quoted(std::string_view value);

// The value of a hexadecimal digit (either case), or -1.
int hexDigit(char c);

}  // namespace banktext
