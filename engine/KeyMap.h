// The compiled key map of a Sample program: for each MIDI key, the sample it
// plays (or none: the key is silent), the rate index, loop, and the level the
// channel starts from (or none: it goes on from where it is).
#pragma once

#include <cstdint>

constexpr int kKeyCount = 128;
constexpr int32_t kMaxRateIndex = 15;    // $4010's rate index
constexpr int32_t kMaxStartLevel = 127;  // $4011's seven bits
constexpr int8_t kNoSample = -1;
constexpr int8_t kNoStartLevel = -1;

struct KeyEntry {
    int8_t sample = kNoSample;  // index into the bank's samples
    uint8_t rate = 0;
    bool loop = false;
    int8_t startLevel = kNoStartLevel;

    bool sounds() const { return sample >= 0; }
    bool operator==(const KeyEntry&) const = default;
};

struct KeyMap {
    KeyEntry keys[kKeyCount];
    // How many keys sound. A Sample program without any plays as it did
    // before samples existed (silent, holding its voices).
    int32_t entryCount = 0;

    // The entry of a key, or a silent one for a key outside 0..127.
    KeyEntry at(int32_t key) const { return key >= 0 && key < kKeyCount ? keys[key] : KeyEntry{}; }
};
