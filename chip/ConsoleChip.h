// The console mode's one chip: a 2A03 and a VRC6 that every note shares,
// mixed as the console mixes them (Console_Mixer) instead of as a sum of
// per-channel steps. Driven like VoiceChip: per frame the engine writes
// registers at write_time 4, 8, 12, ..., calls end_frame(), then reads the
// buffers until they are empty.
//
// The oscillators log their raw levels (Level_Log); the chip runs the two
// chips together in slices of at most Level_Log::max_span clocks, merges the
// logs in time order and, at each time where a level changed, adds the
// change of the mixed output to `mix` and of each changed channel group,
// alone as if soloed, to its buffer in `groups`.
//
// Buffers hold the formula's level times output_scale: a level L reads back
// as 16-bit samples of L * output_scale * 32768 (before the buffers' slow
// high-pass), i.e. L * output_scale after the engine's 1 / 32768.
#pragma once

#include "chip/Console_Mixer.h"
#include "chip/Sample_Memory.h"
#include "chip/VoiceChip.h"
#include "chip/apu/Band_Buffer.h"
#include "chip/apu/Band_Synth.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/apu/Level_Log.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <cstdint>

class ConsoleChip {
public:
    static constexpr int group_count = 6;  // pulse 1, pulse 2, triangle, noise, delta modulation, VRC6
    static constexpr int buffer_count = 1 + group_count;
    static constexpr double output_scale = 0.5;  // headroom: the loudest mix stays well inside 16 bits

    // Allocates all buffers' cells (the only allocation); a buffer left
    // without cells when memory is short gets them through adopt_cells.
    ConsoleChip();
    ConsoleChip(const ConsoleChip&) = delete;
    ConsoleChip& operator=(const ConsoleChip&) = delete;

    // ---- rendering calls: never allocate ----
    // When the sample rate or the clock standard changes (a frame rate of 50
    // is PAL's): answers "Out of memory" while a buffer has no cells, else
    // null. Clears the buffers; the chips keep running from where they were.
    const char* setup(long clock_rate, long sample_rate, int frame_rate);
    // Power-up state, silent, buffers cleared; keeps the setup and the samples.
    void reset();
    // $4000-$4017 and $9000-$B002; other addresses are ignored. A time
    // before the last write's moves up to it; one past the frame's end, back
    // to the end.
    void write_apu(int32_t time, unsigned addr, int data);
    void write_vrc6(int32_t time, unsigned addr, int data);
    // Either of them by the address: from $9000 on, the VRC6.
    void write_register(int32_t time, unsigned addr, int data)
    {
        if (addr >= 0x9000)
            write_vrc6(time, addr, data);
        else
            write_apu(time, addr, data);
    }
    // As VoiceChip: copies at most Sample_Memory::size bytes from the start.
    void load_sample(const uint8_t* bytes, int32_t length);
    bool sample_playing() const;
    // As VoiceChip: frame lengths alternate one clock apart, write_time goes
    // back to 0, and the buffers' samples of the frame become readable.
    void end_frame();

    // Whether the group buffers follow their channels; they cost about as
    // much again as the mix. Switched off they hold their levels (the engine
    // still takes their samples); switched on they step to the levels
    // sounding at the last write.
    void set_groups_enabled(bool enabled);
    bool groups_enabled() const { return groups_enabled_; }

    // Buffers without cells: how many more adopt_cells can take.
    int buffers_without_cells() const;
    // Hands cells from Band_Buffer::new_cells to the first buffer without
    // any (deletes them when none lacks cells); call setup again afterwards.
    void adopt_cells(uint16_t* cells);

    const Chip_Apu& apu() const { return apu_; }
    const Chip_Vrc6& vrc6() const { return vrc6_; }
    const Console_Mixer& mixer() const { return mixer_; }

    Band_Buffer mix;
    Band_Buffer groups[group_count];
    int32_t write_time = 0;  // chip time of the last register write in this frame
    int32_t frame_length = VoiceChip::initial_frame_length;
    Sample_Memory::Bytes sample_memory;

private:
    static constexpr int log_count = Chip_Apu::osc_count + Chip_Vrc6::osc_count;

    // Runs both chips to `end_time` slice by slice, mixing each slice's logs.
    void run_until(int32_t end_time);
    void mix_logs(int32_t slice_start);
    // Both take the logs' changes in time order, moving levels_ and, with
    // mix_only, writing the mix's changes from `amplitude` on to
    // mix_positions_ and mix_steps_ (answering how many) rather than mixing
    // each; merge_logs takes any logs, mix_one_log only log `index`.
    int32_t merge_logs(int32_t slice_start, bool mix_only, int32_t& amplitude);
    int32_t mix_one_log(int index, int32_t slice_start, int32_t& amplitude);
    void mix_changes(int32_t time, unsigned changed);
    // The formula's levels of the mix and of the VRC6's three channels for levels_.
    float mix_level() const;
    float vrc6_level() const;
    // Moves buffer `index` to `level` (formula units) at `pos`.
    void set_level(int index, uint32_t pos, float level);
    int32_t clamp_time(int32_t time) const;
    Band_Buffer& buffer(int index) { return index == 0 ? mix : groups[index - 1]; }

    Chip_Apu apu_;
    Chip_Vrc6 vrc6_;
    Console_Mixer mixer_;
    Band_Synth<12> synth_{15};  // its kernel only: add_amplitude builds each change's row
    Level_Log logs_[log_count];
    // Each oscillator's raw level, as mixed so far; a byte each, so that one
    // word takes a slot's changes of them all.
    alignas(8) uint8_t levels_[log_count] = {};
    // merge_logs' slots: per clock of a slice the logs that change there and
    // their new levels (raw levels fit a byte), and which slots have changes.
    uint8_t slot_changes_[Level_Log::max_span] = {};
    alignas(8) uint8_t slot_levels_[Level_Log::max_span][log_count] = {};
    uint64_t slot_bits_[Level_Log::max_span / 64] = {};
    // The mix's changes of a slice, when the groups are off: found first,
    // then added together.
    uint32_t mix_positions_[Level_Log::max_span] = {};
    int32_t mix_steps_[Level_Log::max_span] = {};
    int32_t amplitudes_[buffer_count] = {};  // each buffer's level in its amplitude units
    int32_t run_time_ = 0;                   // where both chips and the mix have got to
    bool ready_ = false;                     // set up with cells in every buffer
    bool groups_enabled_ = true;
};
