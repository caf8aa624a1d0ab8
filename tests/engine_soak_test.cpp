// An hour of music, rendered as fast as the machine goes: random MIDI on all
// sixteen channels while another thread loads chunks, edits envelope texts
// through the editor's logic and changes settings. The output never leaves
// full scale, never holds NaN, and the process's memory does not grow.
#include "EngineTestSupport.h"
#include "ResidentMemory.h"
#include "editor/EditorModel.h"
#include "plugin/vst2/PLINKA.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kAudioSeconds = 300.0;  // the sanitizers run it ten times slower
// and hold on to freed memory for their own checks, so growth means nothing there.
constexpr bool kMeasureMemory = false;
#else
constexpr double kAudioSeconds = 3600.0;
constexpr bool kMeasureMemory = true;
#endif
constexpr int kBlock = 512;
constexpr float kRate = 48000.0f;

std::vector<unsigned char> chunkOf(PLINKA& plinka)
{
    void* data = nullptr;
    const VstInt32 size = plinka.getChunk(&data, false);
    return std::vector<unsigned char>(static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + size);
}

}  // namespace

TEST(Soak, AnHourOfRandomMusicWhileTheBankChanges)
{
    auto plinka = std::make_unique<PLINKA>(nullptr);
    plinka->setSampleRate(kRate);

    // Two states to switch between: random sounds, and the factory bank.
    std::vector<unsigned char> states[2];
    states[0] = chunkOf(*plinka);
    {
        auto bank = randomBank(99);
        plinka->instrument.editBank(
            [&](ProgramBank& programs) { std::memcpy(programs, bank->programs, sizeof programs); });
    }
    states[1] = chunkOf(*plinka);

    std::atomic<bool> stop{false};
    std::thread editor([&] {
        std::mt19937 random(5);
        EditorModel model(plinka->instrument);
        for (int i = 0; !stop; ++i) {
            switch (i % 5) {
            case 0:
                plinka->setChunk(states[i / 5 % 2].data(), static_cast<VstInt32>(states[i / 5 % 2].size()), false);
                break;
            case 1:
                model.editEnvelope(static_cast<int>(random() % 5), randomEnvelopeText(random, Volume).c_str());
                break;
            case 2:
                model.click(kPulseButton + static_cast<int>(random() % 6));
                break;
            case 3:
                model.moveGainSlider(static_cast<int32_t>(random() % 201));
                model.click(random() % 2 ? kPolyphonyUpButton : kMidiChannelUpButton);
                break;
            default:
                plinka->setProgram(static_cast<VstInt32>(random() % 128));
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    std::mt19937 random(1);
    std::vector<float> left(kBlock), right(kBlock);
    float* outputs[2] = {left.data(), right.data()};
    const auto blocks = static_cast<int64_t>(kAudioSeconds * kRate / kBlock);
    long memoryAfterWarmUp = 0;
    int64_t sounding = 0;
    for (int64_t block = 0; block < blocks; ++block) {
        for (const RawMidi& m : randomBlockMidi(random, kBlock, 4)) {
            uint8_t bytes[3] = {m.bytes[0], m.bytes[1], m.bytes[2]};
            if (bytes[0] >= 0x80 && bytes[0] < 0xF0)
                bytes[0] = static_cast<uint8_t>((bytes[0] & 0xF0) | random() % 16);  // all sixteen channels
            plinka->instrument.queueMidi(m.deltaFrames, bytes);
        }
        plinka->processReplacing(nullptr, outputs, kBlock);
        for (int n = 0; n < kBlock; ++n) {
            ASSERT_TRUE(left[n] >= -1.0f && left[n] <= 1.0f) << "block " << block;  // NaN fails too
            ASSERT_EQ(left[n], right[n]);
            sounding += left[n] != 0.0f;
        }
        if (block == blocks / 20)
            memoryAfterWarmUp = residentKilobytes();
    }
    stop = true;
    editor.join();
    EXPECT_GT(sounding, blocks * kBlock / 4) << "it played most of the time";
    if (kMeasureMemory) {
        EXPECT_LT(residentKilobytes() - memoryAfterWarmUp, 2048) << "kB grown after the first twentieth";
    }
}
