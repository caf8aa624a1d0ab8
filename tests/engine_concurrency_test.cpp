// The host's other threads edit the instrument while its audio thread renders:
// chunk loads, program selection and names, chunk saves. Nothing may crash,
// tear or leave the audio range; under ThreadSanitizer nothing may race.
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> chunkWith(int ntsc, int gain, int programShift)
{
    cells::Builder chunk;
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number((channel + programShift) % 9);
    for (int number = 0; number < 128; number += 3) {
        chunk.cell(cells::program).number(number).cell(cells::channelType).number((number + programShift) % 3);
        chunk.cell(cells::name).string("Stress " + std::to_string(number + programShift));
        chunk.cell(cells::volume).string(programShift % 2 ? "15 14 13 | 12 11" : "9 | 15");
        chunk.cell(cells::pitch).string(programShift % 2 ? "| 3 -3" : "0 1 2 |");
        chunk.cell(cells::arp).string(programShift % 3 ? "0 12 7" : "bad text");
    }
    chunk.cell(cells::ntsc).number(ntsc).cell(cells::gain).number(gain).cell(cells::end);
    return chunk.bytes();
}

}  // namespace

TEST_F(LoadedPlugin, EditsFromOtherThreadsNeverDisturbTheAudioThread)
{
    PLINKA_ONLY_IF(!std::getenv("PLINKA_EMULATED_32BIT"),
                   "32-bit wine under qemu's emulation crashes on contended threads of any program; "
                   "the native and 64-bit builds run this test");
    host.start(44100.0f, 256);
    host.recordCalls = false;
    const std::vector<uint8_t> chunks[2] = {chunkWith(1, 100, 0), chunkWith(0, 150, 1)};

    // Each editing thread does a fixed amount of work, so that a slow or
    // unfair scheduler (emulated 32-bit wine is both) cannot starve one forever.
    constexpr int kEdits = 40;
    std::atomic<int> finished{0};
    std::vector<std::thread> editors;
    editors.emplace_back([&] {
        for (int i = 0; i < kEdits; ++i)
            host.setChunk(chunks[i % 2]);
        ++finished;
    });
    editors.emplace_back([&] {
        std::mt19937 random(3);
        char name[40];
        for (int i = 0; i < kEdits; ++i) {
            dispatch(effSetProgram, 0, static_cast<VstIntPtr>(random() % 128));
            std::snprintf(name, sizeof name, "Edited %d", i);
            dispatch(effSetProgramName, 0, 0, name);
            char back[64];
            dispatch(effGetProgramName, 0, 0, back);
            dispatch(effGetProgram);
        }
        ++finished;
    });
    editors.emplace_back([&] {
        for (int i = 0; i < kEdits; ++i) {
            const std::vector<uint8_t> saved = host.getChunk();
            EXPECT_EQ(saved.size() % 4, 0u);
            EXPECT_GE(saved.size(), 4u * 2327u);
        }
        ++finished;
    });

    std::mt19937 random(1);
    std::vector<float> left(256), right(256);
    long sounding = 0;
    for (int block = 0; block < 2000 || finished < 3; ++block) {
        std::vector<std::pair<VstInt32, std::vector<uint8_t>>> midi;
        const auto channel = static_cast<uint8_t>(random() % 4);
        midi.push_back({static_cast<VstInt32>(random() % 256),
                        {static_cast<uint8_t>((random() % 2 ? 0x90 : 0x80) | channel),
                         static_cast<uint8_t>(40 + random() % 40), 100}});
        if (block % 50 == 0)
            midi.push_back({0, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(random() % 128), 0}});
        host.sendMidi(midi);
        host.process(left.data(), right.data(), 256);
        for (int n = 0; n < 256; ++n) {
            ASSERT_TRUE(left[n] >= -1.0f && left[n] <= 1.0f);
            ASSERT_EQ(left[n], right[n]);
            sounding += left[n] != 0.0f;
        }
    }
    for (std::thread& editor : editors)
        editor.join();
    EXPECT_GT(sounding, 0);

    // After the storm the instrument still round-trips its state exactly.
    host.setChunk(chunks[1]);
    const std::vector<uint8_t> saved = host.getChunk();
    host.setChunk(saved);
    EXPECT_EQ(host.getChunk(), saved);
}
