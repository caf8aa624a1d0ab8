#include "BankText.h"

#include <cstdio>

namespace banktext {

int32_t channelTypeOfWord(std::string_view word)
{
    for (int32_t type = 0; type < kChannelTypeCount; ++type)
        if (word == kChannelWord[type])
            return type;
    return -1;
}

std::string channelWordList()
{
    std::string list;
    for (int32_t type = 0; type < kChannelTypeCount; ++type)
        list += (type == 0 ? "" : type + 1 < kChannelTypeCount ? ", " : " or ") + std::string(kChannelWord[type]);
    return list;
}

std::string quoted(std::string_view value)
{
    std::string out = "\"";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace banktext
