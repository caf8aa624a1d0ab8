// The console chip's channels. In console mode voice i plays channel i.
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
    kConsoleSlotCount
};
