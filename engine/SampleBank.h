// The bank's samples: up to 64 named delta-modulation samples, each exactly as
// the console stores it (1-bit deltas, lowest bit first, L * 16 + 1 bytes).
// A Sample program's key map names them; a song carries them with its bank.
#pragma once

#include "KeyMap.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr int kMaxSamples = 64;
constexpr size_t kSampleNameSize = 32;     // 31 characters and the terminator
constexpr int32_t kMaxSampleBytes = 4081;  // $4013 = 255: 255 * 16 + 1
constexpr int32_t kSampleLengthUnit = 16;  // the length register counts 16 bytes, plus one

// A length the length register can give: L * 16 + 1 with L 0..255.
constexpr bool isLegalSampleLength(int32_t length)
{
    return length >= 1 && length <= kMaxSampleBytes && (length - 1) % kSampleLengthUnit == 0;
}

// $4013's value for a legal length.
constexpr int32_t sampleLengthRegister(int32_t length)
{
    return (length - 1) / kSampleLengthUnit;
}

// Sample names are what a key map can name: letters, digits, '_', '-' and
// '.', 1..31 of them.
bool isSampleName(std::string_view name);
// A name from elsewhere (a file's, a tracker's) as a sample's: cut to what a
// name holds, every character a name cannot hold made '_', "sample" for none.
std::string sampleNameFrom(std::string_view name);

struct DpcmSample {
    char name[kSampleNameSize];
    int32_t length;  // legal, see isLegalSampleLength
    uint8_t bytes[kMaxSampleBytes];
    // The level its encoding started from (a recording's), which a key that
    // names none plays it from; kNoStartLevel for a sample that has none (a
    // .dmc file's), which plays on from where the channel is.
    int8_t startLevel;
};

struct SampleBank {
    int32_t count = 0;  // samples[0..count-1] are the bank's, in the order added
    DpcmSample samples[kMaxSamples];

    // The index of the sample of that name, or -1.
    int find(std::string_view name) const;
    // Adds a sample, or replaces the one of the same name. Answers null, or
    // one line saying why nothing changed (a bad name, length or start
    // level, a full bank).
    const char* put(std::string_view name, const uint8_t* bytes, int32_t length,
                    int32_t startLevel = kNoStartLevel);
    // Takes a sample out; the ones after it move down. False when none has the name.
    bool remove(std::string_view name);
};

inline constexpr char kErrorSampleName[] = "Error: A sample name is 1 to 31 letters, digits, '_', '-' or '.'";
inline constexpr char kErrorSampleLength[] =
    "Error: A sample is 16 * L + 1 bytes long, L from 0 to 255 (at most 4081 bytes)";
inline constexpr char kErrorSampleStartLevel[] = "Error: A sample starts from a level 0 to 127";
inline constexpr char kErrorSampleBankFull[] = "Error: The bank holds 64 samples already";
