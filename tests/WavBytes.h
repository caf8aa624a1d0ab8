// A 16-bit mono PCM WAV file built byte by byte, for tests that hand sound
// files to the tools and the editor as a user would.
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<unsigned char> pcm16MonoWav(const std::vector<int16_t>& frames, uint32_t rate)
{
    std::vector<unsigned char> out;
    const auto put = [&](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    };
    const auto tag = [&](const char* name) {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<unsigned char>(name[i]));
    };
    const auto dataBytes = static_cast<uint32_t>(2 * frames.size());
    tag("RIFF");
    put(4 + 8 + 16 + 8 + dataBytes, 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);
    put(1, 2);  // PCM
    put(1, 2);  // mono
    put(rate, 4);
    put(2 * rate, 4);
    put(2, 2);
    put(16, 2);
    tag("data");
    put(dataBytes, 4);
    for (const int16_t frame : frames)
        put(static_cast<uint16_t>(frame), 2);
    return out;
}
