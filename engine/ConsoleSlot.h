// The console chip's channels: every chip's, each played by whichever voice
// a note on it took.
#pragma once

#include <cstdint>

enum ConsoleSlot : int32_t {
    PulseOneSlot = 0,
    PulseTwoSlot,
    TriangleSlot,
    NoiseSlot,
    SampleSlot,
    Vrc6PulseOneSlot,
    Vrc6PulseTwoSlot,
    Vrc6SawSlot,
    S5bASlot,
    S5bBSlot,
    S5bCSlot,
    Mmc5PulseOneSlot,
    Mmc5PulseTwoSlot,
    FdsSlot,
    // The 163's channels 8, 7, ... 1 (the chip's own order): with N channels
    // on, the first N of them.
    N163OneSlot,
    N163TwoSlot,
    N163ThreeSlot,
    N163FourSlot,
    N163FiveSlot,
    N163SixSlot,
    N163SevenSlot,
    N163EightSlot,
    Vrc7OneSlot,  // the VRC7's channels 1..6
    Vrc7TwoSlot,
    Vrc7ThreeSlot,
    Vrc7FourSlot,
    Vrc7FiveSlot,
    Vrc7SixSlot,
    kConsoleSlotCount
};
