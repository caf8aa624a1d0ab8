// The length counter's loads, shared by the 2A03's channels and the MMC5's
// pulses, which count the same table (the MMC5 at twice the rate).
#pragma once

#include <cstdint>

// Length counter loads, indexed by register 3 bits 7-3.
inline constexpr uint8_t length_table[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                                             12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
