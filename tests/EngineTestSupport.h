// Banks and MIDI for the engine's tests: the factory bank plus programs with
// random envelopes, compiled; and random MIDI streams.
#pragma once

#include "engine/BankSnapshot.h"
#include "engine/ChannelControllers.h"
#include "engine/EnvelopeCompiler.h"
#include "engine/Program.h"
#include "engine/VoicePool.h"
#include "instrument/FactoryPresets.h"

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

struct BankHolder {
    ProgramBank programs;
};

// The default bank, compiled.
inline std::unique_ptr<BankHolder> factoryBank()
{
    auto bank = std::make_unique<BankHolder>();
    buildDefaultBank(bank->programs);
    compileAllEnvelopes(bank->programs);
    return bank;
}

// A voice pool and the factory bank it plays, for tests of which voice a
// note takes; a test that edits the bank captures it again.
struct PoolState {
    PoolState() { snapshot->capture(bank->programs); }

    std::unique_ptr<BankHolder> bank = factoryBank();
    std::unique_ptr<BankSnapshot> snapshot = std::make_unique<BankSnapshot>();
    int32_t channelProgram[16] = {};
    ChannelControllers controllers[16];
    VoicePool pool;
};

inline std::string randomEnvelopeText(std::mt19937& random, int kind)
{
    std::uniform_int_distribution<int> count(1, 12);
    std::uniform_int_distribution<int> coin(0, 5);
    const int steps = count(random);
    const int loopAt = coin(random) == 0 ? -1 : std::uniform_int_distribution<int>(0, steps)(random);
    std::string text;
    for (int i = 0; i <= steps; ++i) {
        if (i == loopAt)
            text += "| ";
        if (i == steps)
            break;
        int value = 0;
        switch (kind) {
        case Volume:  // now and then beyond 15, for the saw's rates
            value = std::uniform_int_distribution<int>(0, coin(random) == 0 ? 63 : 15)(random);
            break;
        case Arp:
            value = std::uniform_int_distribution<int>(-14, 14)(random);
            break;
        case Pitch:
            value = std::uniform_int_distribution<int>(-30, 30)(random);
            break;
        case HiPitch:
            value = coin(random) == 0 ? std::uniform_int_distribution<int>(-3, 3)(random) : 0;
            break;
        default:
            value = std::uniform_int_distribution<int>(0, 7)(random);
        }
        text += std::to_string(value) + " ";
    }
    return text;
}

// The factory bank with programs 9 and up given random sounds on the 2A03's
// and the VRC6's channels, some of them Multi programs.
inline std::unique_ptr<BankHolder> randomBank(uint32_t seed)
{
    auto bank = factoryBank();
    std::mt19937 random(seed);
    constexpr int32_t kTypes[] = {Pulse, Triangle, Noise, Vrc6Pulse, Vrc6Saw};
    for (int number = 9; number < kProgramCount; ++number) {
        Program& program = bank->programs[number];
        program.channelType = kTypes[std::uniform_int_distribution<int>(0, 4)(random)];
        program.multi = std::uniform_int_distribution<int>(0, 15)(random) == 0 ? 1 : 0;
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            copyTextField(program.envelopeText[kind], randomEnvelopeText(random, kind).c_str());
    }
    compileAllEnvelopes(bank->programs);
    return bank;
}

struct RawMidi {
    int32_t deltaFrames;
    std::array<uint8_t, 3> bytes;
};

// One block's worth of random MIDI: notes on and off, bends, bend-range
// changes, all-notes-off and program changes on a few channels, with offsets
// before, inside and past the block.
inline std::vector<RawMidi> randomBlockMidi(std::mt19937& random, int32_t blockSize, int maxEvents)
{
    std::vector<RawMidi> events;
    const int count = std::uniform_int_distribution<int>(0, maxEvents)(random);
    std::uniform_int_distribution<int> kind(0, 99);
    std::uniform_int_distribution<int32_t> offset(-2, blockSize + 8);
    std::uniform_int_distribution<int> channel(0, 3);
    std::uniform_int_distribution<int> key(30, 100);
    std::uniform_int_distribution<int> byte(0, 127);
    for (int i = 0; i < count; ++i) {
        const auto ch = static_cast<uint8_t>(channel(random));
        const int k = kind(random);
        std::array<uint8_t, 3> bytes{};
        if (k < 45)
            bytes = {static_cast<uint8_t>(0x90 | ch), static_cast<uint8_t>(key(random)),
                     static_cast<uint8_t>(byte(random))};
        else if (k < 80)
            bytes = {static_cast<uint8_t>(0x80 | ch), static_cast<uint8_t>(key(random)), 0};
        else if (k < 88)
            bytes = {static_cast<uint8_t>(0xE0 | ch), static_cast<uint8_t>(byte(random)),
                     static_cast<uint8_t>(byte(random))};
        else if (k < 91)
            bytes = {static_cast<uint8_t>(0xB0 | ch),
                     static_cast<uint8_t>(k == 88   ? 100
                                          : k == 89 ? 101
                                                    : 6),
                     static_cast<uint8_t>(k == 90 ? byte(random) : 0)};
        else if (k < 93)
            bytes = {static_cast<uint8_t>(0xB0 | ch), 123, 0};
        else if (k < 97)
            bytes = {static_cast<uint8_t>(0xC0 | ch), static_cast<uint8_t>(byte(random)), 0};
        else
            bytes = {static_cast<uint8_t>(byte(random)), static_cast<uint8_t>(byte(random)), 0};  // stray data bytes
        events.push_back({offset(random), bytes});
    }
    return events;
}
