// The delta modulation's sample memory, as each chip that plays samples has
// it: bytes at $C000, where $4012 = 0 starts a sample, holding 0x55 (up and
// down by turns) until a sample is loaded; addresses outside it read 0x55 too.
#pragma once

#include "chip/apu/Chip_Apu.h"

#include <cstdint>

struct Sample_Memory {
    // The longest sample the delta modulation plays: $4013 = 255, 16 * 255 + 1 bytes.
    static constexpr int32_t size = 4081;
    static constexpr unsigned address = 0xC000;
    using Bytes = uint8_t[size];

    // Fills `bytes` with the filler and lets the chip's delta modulation read them.
    static void attach(Chip_Apu& chip, Bytes& bytes);
    // Copies at most `size` bytes from the start; bytes past them keep what they held.
    static void load(Bytes& bytes, const uint8_t* source, int32_t length);
    // Whether the delta modulation still has bits to play: it is enabled, or
    // the last byte it fetched has not yet played out.
    static bool playing(const Chip_Apu& chip);
};
