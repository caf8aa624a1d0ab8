// Level logs: an oscillator that logs its raw levels reports the same
// changes, at the same times, as its normal path adds to its synthesiser.
// A VoiceChip plays random register sequences normally; a second 2A03 and
// VRC6 play them logging, and their logs, replayed as deltas through the
// VoiceChip's own synthesisers, must give bit-identical cells.
#include "ChipTestSupport.h"
#include "chip/Level_Log.h"
#include "chip/Sample_Memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Logging_Chips {
    Chip_Apu apu;
    Chip_Vrc6 vrc6;
    Sample_Memory::Bytes memory;
    Level_Log logs[8];
    int replayed[8] = {};
    Band_Buffer buffer;
    int32_t time = 0;

    Logging_Chips()
    {
        Sample_Memory::attach(apu, memory);
        for (int i = 0; i < 5; ++i)
            apu.osc_log(i, &logs[i]);
        for (int i = 0; i < 3; ++i)
            vrc6.osc_log(i, &logs[5 + i]);
        buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(buffer.set_sample_rate(44100), nullptr);
    }

    // Runs to `end` in spans a log holds, replaying each log's changes. The
    // normal chip runs to the same times: a silent noise moves its register
    // once per run, however long.
    void run_until(int32_t end, VoiceChip& normal)
    {
        while (time < end) {
            time = std::min(end, time + Level_Log::max_span);
            apu.run_until(time);
            vrc6.run_until(time);
            normal.chip.run_until(time);
            normal.expansion<Chip_Vrc6>().run_until(time);
            for (int i = 0; i < 8; ++i) {
                for (int e = 0; e < logs[i].count; ++e) {
                    const Level_Log::Entry entry = logs[i].entries[e];
                    const int delta = entry.level - replayed[i];
                    replayed[i] = entry.level;
                    switch (i) {
                    case 0:
                    case 1:
                        normal.chip.pulse_synth().add_delta(entry.time, delta, buffer);
                        break;
                    case 2:
                        normal.chip.triangle().synth.add_delta(entry.time, delta, buffer);
                        break;
                    case 3:
                        normal.chip.noise().synth.add_delta(entry.time, delta, buffer);
                        break;
                    case 4:
                        normal.chip.dmc().synth.add_delta(entry.time, delta, buffer);
                        break;
                    default:
                        normal.expansion<Chip_Vrc6>().synth().add_delta(entry.time, delta, buffer);
                        break;
                    }
                }
                logs[i].clear();
            }
        }
    }
};

// Ends a frame of both chips, whose cells must be the same, and reads them out.
void endFrameAndCompare(Logging_Chips& logged, VoiceChip& normal, const std::string& where)
{
    logged.run_until(normal.frame_length ^ 1, normal);  // the length end_frame takes
    normal.end_frame();
    logged.apu.end_frame(normal.frame_length);
    logged.vrc6.end_frame(normal.frame_length);
    logged.buffer.end_frame(normal.frame_length);
    logged.time = 0;
    // Past the cells the voice chip's frames have filled, nothing was written.
    std::vector<uint16_t> logged_cells = filled_cells(logged.buffer);
    logged_cells.resize(normal.buffer.filled_cells());
    ASSERT_EQ(logged_cells, filled_cells(normal.buffer)) << where;
    const long count = normal.buffer.samples_avail();
    normal.buffer.remove_samples(count);
    logged.buffer.remove_samples(count);
}

// Addresses the sequences draw from: every register but $4011, whose jump the
// normal path reports through the DAC table rather than as the raw level.
const unsigned addresses[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007, 0x4008,
                              0x400A, 0x400B, 0x400C, 0x400E, 0x400F, 0x4010, 0x4012, 0x4013, 0x4015,
                              0x4015, 0x4015, 0x4017, 0x9000, 0x9001, 0x9002, 0x9003, 0xA000, 0xA001,
                              0xA002, 0xB000, 0xB001, 0xB002, 0x9002, 0xA002, 0xB002};

TEST(LevelLog, LoggedChangesReplayToTheNormalPathsCellsForRandomRegisterSequences)
{
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        VoiceChip normal;
        ASSERT_EQ(normal.setup(ntsc_clock, 44100, 60), nullptr);
        Logging_Chips logged;
        std::vector<uint8_t> sample(Sample_Memory::size);
        for (uint8_t& byte : sample)
            byte = static_cast<uint8_t>(random());
        normal.load_sample(sample.data(), Sample_Memory::size);
        Sample_Memory::load(logged.memory, sample.data(), Sample_Memory::size);

        for (int frame = 0; frame < 40; ++frame) {
            const int writes = static_cast<int>(random() % 40);
            for (int w = 0; w < writes; ++w) {
                const unsigned addr = addresses[random() % std::size(addresses)];
                // Often small values: low periods, quick rates and loud volumes come up often too.
                const int data = static_cast<int>(random() % 2 ? random() & 0xFF : (random() & 0x0F) | 0x80);
                // Writes spread over the frame, some at the same time.
                normal.write_time += static_cast<int32_t>(random() % 1400);
                normal.write_time = std::min(normal.write_time, normal.frame_length - 2);
                logged.run_until(normal.write_time, normal);
                if (addr >= 0x9000) {
                    normal.expansion<Chip_Vrc6>().write_register(normal.write_time, addr, data);
                    logged.vrc6.write_register(normal.write_time, addr, data);
                } else {
                    normal.chip.write_register(normal.write_time, addr, data);
                    logged.apu.write_register(normal.write_time, addr, data);
                }
            }
            endFrameAndCompare(logged, normal, "seed " + std::to_string(seed) + " frame " + std::to_string(frame));
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(LevelLog, ASampleHeldAtEitherEndOfTheDacLogsAsTheNormalPathPlaysIt)
{
    // Runs of ones and of zeros long enough to carry the DAC to 126 and back
    // to 0 and hold it there, at the fastest rate and at a slow one, the
    // sample looping.
    for (const int rate : {0x0F, 0x08}) {
        VoiceChip normal;
        ASSERT_EQ(normal.setup(ntsc_clock, 44100, 60), nullptr);
        Logging_Chips logged;
        std::vector<uint8_t> sample(Sample_Memory::size);
        for (size_t i = 0; i < sample.size(); ++i)
            sample[i] = (i / 24) % 2 ? 0x00 : 0xFF;
        normal.load_sample(sample.data(), Sample_Memory::size);
        Sample_Memory::load(logged.memory, sample.data(), Sample_Memory::size);
        for (const auto& [addr, data] :
             {std::pair{0x4010u, 0x40 | rate}, {0x4012u, 0}, {0x4013u, 0xFF}, {0x4015u, 0x10}}) {
            normal.write_time += 4;
            logged.run_until(normal.write_time, normal);
            normal.chip.write_register(normal.write_time, addr, data);
            logged.apu.write_register(normal.write_time, addr, data);
        }
        int highest = 0;
        for (int frame = 0; frame < 30; ++frame) {
            endFrameAndCompare(logged, normal, "rate " + std::to_string(rate) + " frame " + std::to_string(frame));
            if (HasFatalFailure())
                return;
            highest = std::max(highest, normal.chip.dmc().dac);
        }
        EXPECT_EQ(highest, 126) << "the walk never reached the top";
    }
}

}  // namespace
