// Chunks built and taken apart cell by cell, with the tag values written out
// here as the stored format fixes them (independent of the plug-in's own).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace cells {

constexpr float header = 137699520.0f;
constexpr float channelPrograms = 150251600.0f;
constexpr float program = 150202704.0f;
constexpr float channelType = 146025680.0f;
constexpr float multi = 143910608.0f;
constexpr float name = 145973456.0f;
constexpr float volume = 160688960.0f;
constexpr float arp = 169124032.0f;
constexpr float pitch = 141895744.0f;
constexpr float hiPitch = 177480768.0f;
constexpr float duty = 188031552.0f;
constexpr float ntsc = 175532480.0f;
constexpr float gain = 164782272.0f;
constexpr float end = 145991616.0f;
constexpr float midiControllers = 181708224.0f;  // after all the others, before the end
constexpr float keyMap = 139764096.0f;           // then these two, program by program, sample by sample
constexpr float sample = 184549376.0f;
constexpr float console = 170753088.0f;  // after the samples, only when the mode is on
constexpr float n163Channels = 153420864.0f;  // after the console mode, only when below 8
constexpr float wave = 186212544.0f;          // a program's number, then its wave text
constexpr float playing = 159383552.0f;       // a program's number, then mono, glide and tempo steps
constexpr float mpe = 176160768.0f;           // last, only when on: 1 the lower zone, 2 the upper
constexpr float envelope[5] = {volume, arp, pitch, hiPitch, duty};

class Builder {
public:
    Builder& cell(float value)
    {
        cells_.push_back(value);
        return *this;
    }
    Builder& number(double value) { return cell(static_cast<float>(value)); }
    Builder& string(const std::string& text)
    {
        for (char c : text)
            cell(static_cast<float>(static_cast<signed char>(c)));
        return cell(0.0f);
    }
    const std::vector<float>& cells() const { return cells_; }
    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out;
        for (float value : cells_) {
            uint32_t bits;
            std::memcpy(&bits, &value, 4);
            for (int byte = 0; byte < 4; ++byte)
                out.push_back(static_cast<uint8_t>(bits >> (8 * byte)));
        }
        return out;
    }

private:
    std::vector<float> cells_;
};

inline std::vector<float> of(const std::vector<uint8_t>& bytes)
{
    std::vector<float> out(bytes.size() / 4);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint32_t bits = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                              static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                              static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
        std::memcpy(&out[i], &bits, 4);
    }
    return out;
}

// The text a string of cells starting at index holds, and the index after it.
inline std::string stringAt(const std::vector<float>& chunk, size_t& index)
{
    std::string text;
    while (index < chunk.size() && chunk[index] != 0.0f)
        text += static_cast<char>(static_cast<int>(chunk[index++]) & 0xFF);
    ++index;
    return text;
}

// A setting near the end of a written chunk: the number after its tag, or -1.
inline int32_t settingOf(const std::vector<float>& chunk, float tag)
{
    for (size_t i = chunk.size() - 1; i-- > 0;)
        if (chunk[i] == tag)
            return static_cast<int32_t>(chunk[i + 1]);
    return -1;
}

// A program's mono, glide and tempo steps: its playing cell's, or none.
inline std::vector<int32_t> playingOf(const std::vector<float>& chunk, int number)
{
    for (size_t i = 0; i + 4 < chunk.size(); ++i)
        if (chunk[i] == playing && chunk[i + 1] == static_cast<float>(number))
            return {static_cast<int32_t>(chunk[i + 2]), static_cast<int32_t>(chunk[i + 3]),
                    static_cast<int32_t>(chunk[i + 4])};
    return {0, 0, 0};
}

// One envelope text of a program in a chunk as the instrument writes it.
inline std::string programTextOf(const std::vector<float>& chunk, int number, int kind)
{
    size_t i = 18;
    for (int p = 0; p <= number; ++p) {
        i += 7;  // program, type and multi tags with their numbers, the name tag
        stringAt(chunk, i);
        for (int k = 0; k < 5; ++k) {
            ++i;
            const std::string text = stringAt(chunk, i);
            if (p == number && k == kind)
                return text;
        }
    }
    return {};
}

// A program's text under a tag that numbers the program first (its key map,
// its wave) in a chunk as the instrument writes it; empty when the chunk has
// none for it.
inline std::string numberedTextOf(const std::vector<float>& chunk, float tag, int number)
{
    for (size_t i = 0; i + 2 < chunk.size(); ++i)
        if (chunk[i] == tag && chunk[i + 1] == static_cast<float>(number)) {
            size_t at = i + 2;
            return stringAt(chunk, at);
        }
    return {};
}
inline std::string keyMapTextOf(const std::vector<float>& chunk, int number)
{
    return numberedTextOf(chunk, keyMap, number);
}
inline std::string waveTextOf(const std::vector<float>& chunk, int number)
{
    return numberedTextOf(chunk, wave, number);
}
// The numbers of a program's wave text, every wave's one after another.
inline std::vector<int> waveNumbersOf(const std::vector<float>& chunk, int number)
{
    std::vector<int> numbers;
    std::string digits;
    for (const char c : waveTextOf(chunk, number) + " ") {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (!digits.empty()) {
            numbers.push_back(std::stoi(digits));
            digits.clear();
        }
    }
    return numbers;
}

}  // namespace cells
