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
    kConsoleSlotCount
};
