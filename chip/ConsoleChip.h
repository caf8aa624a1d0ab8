// The console mode's one chip: a 2A03 and every expansion chip (the VRC6,
// the 5B, the MMC5's pulses, the FDS and the 163) that every note shares,
// mixed as the console mixes them (Console_Mixer) instead of as a sum of
// per-channel steps. Driven like VoiceChip: per frame the engine writes
// registers at write_time 4, 8, 12, ..., calls end_frame(), then reads the
// buffers until they are empty.
//
// The oscillators log their raw levels (Level_Log); the chip runs the two
// chips together in slices of at most Level_Log::max_span clocks and turns
// each slice's logs into steps of the buffers: `mix` the console's mixed
// output, each of `groups` one channel group alone, as if soloed.
//
// The mix is the sum of parts that do not mix with each other: the pulses'
// pair, the triangle, noise and delta modulation's trio, the VRC6's and the
// 5B's channels, each added linearly, and the MMC5's pair. Each change steps its part from its
// amplitude just before to just after, the other logs of a pair or trio read
// at that time, so a slice's steps sum exactly to the change of the levels
// in whatever order they reach the buffer.
//
// Buffers hold the formula's level times output_scale: a level L reads back
// as 16-bit samples of L * output_scale * 32768 (before the buffers' slow
// high-pass), i.e. L * output_scale after the engine's 1 / 32768. Each term
// is rounded to whole amplitude units on its own: the pair's, the trio's and
// each VRC6 and 5B channel's, the MMC5's pair's in the mix, the channel's in
// a group.
//
// The FDS, the 163 and the VRC7 add to the mix as the cartridge port adds them, each
// through its own output (the FDS after its low-pass), straight into the mix
// and their groups, at their levels against the mix's pulse; the 163 with
// the sign the console gives it, opposite the 2A03's.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Console_Mixer.h"
#include "chip/Level_Log.h"
#include "chip/Sample_Memory.h"
#include "chip/VoiceChip.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/fds/Chip_Fds.h"
#include "chip/mmc5/Chip_Mmc5.h"
#include "chip/n163/Chip_N163.h"
#include "chip/s5b/Chip_S5b.h"
#include "chip/vrc6/Chip_Vrc6.h"
#include "chip/vrc7/Chip_Vrc7.h"

#include <cstdint>

class ConsoleChip {
public:
    // pulse 1, pulse 2, triangle, noise, delta modulation, VRC6, 5B, MMC5, FDS, N163, VRC7
    static constexpr int group_count = 11;
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
    // $4000-$4017, $9000-$B002 and $5000-$5015; other addresses are ignored. A time
    // before the last write's moves up to it; one past the frame's end, back
    // to the end.
    void write_apu(int32_t time, unsigned addr, int data);
    void write_vrc6(int32_t time, unsigned addr, int data);
    void write_mmc5(int32_t time, unsigned addr, int data);
    // The 5B's register `reg` (0..15), selected and written at one time.
    void write_s5b(int32_t time, int reg, int data);
    // $4040-$408A; $F800, $4800 and $E000 of the 163.
    void write_fds(int32_t time, unsigned addr, int data);
    void write_n163(int32_t time, unsigned addr, int data);
    // $9010 and $9030 of the VRC7.
    void write_vrc7(int32_t time, unsigned addr, int data);
    // A $4015 write that sets the channels of `mask` as `bits` says and keeps
    // the others as the chip has them at that time: a one-shot sample that
    // has played out has cleared its own bit, and must not start again when
    // another channel switches itself on or off.
    void write_apu_enables(int32_t time, int mask, int bits);
    // The same for the MMC5's $5015 and the 5B's mixer ($07): what the chip
    // holds for the other channels stays.
    void write_mmc5_enables(int32_t time, int mask, int bits);
    void write_s5b_mixer(int32_t time, int mask, int bits);
    // Any of them by the address: the 2A03 below $5000, the MMC5 up to
    // $5FFF, the VRC6 up to $BFFF, the 5B's select and data ports above.
    void write_register(int32_t time, unsigned addr, int data)
    {
        if (addr >= 0xC000)
            write_s5b_port(time, addr, data);
        else if (addr >= 0x9000)
            write_vrc6(time, addr, data);
        else if (addr >= 0x5000)
            write_mmc5(time, addr, data);
        else
            write_apu(time, addr, data);
    }
    // As VoiceChip: copies at most Sample_Memory::size bytes from the start.
    void load_sample(const uint8_t* bytes, int32_t length);
    bool sample_playing();
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
    const Chip_S5b& s5b() const { return s5b_; }
    const Chip_Mmc5& mmc5() const { return mmc5_; }
    const Chip_Fds& fds() const { return fds_; }
    const Chip_N163& n163() const { return n163_; }
    const Chip_Vrc7& vrc7() const { return vrc7_; }
    const Console_Mixer& mixer() const { return mixer_; }

    Band_Buffer mix;
    Band_Buffer groups[group_count];
    int32_t write_time = 0;  // chip time of the last register write in this frame
    int32_t frame_length = VoiceChip::initial_frame_length;
    Sample_Memory::Bytes sample_memory;

private:
    // The logs in order: the 2A03's, the VRC6's, the 5B's, the MMC5's.
    static constexpr int vrc6_log = Chip_Apu::osc_count;
    static constexpr int s5b_log = vrc6_log + Chip_Vrc6::osc_count;
    static constexpr int mmc5_log = s5b_log + Chip_S5b::osc_count;
    static constexpr int log_count = mmc5_log + Chip_Mmc5::osc_count;
    // The groups of the expansion chips, each all its channels.
    static constexpr int vrc6_group = 5;
    static constexpr int s5b_group = 6;
    static constexpr int mmc5_group = 7;
    static constexpr int fds_group = 8;
    static constexpr int n163_group = 9;
    static constexpr int vrc7_group = 10;

    void write_s5b_port(int32_t time, unsigned addr, int data);
    // The chips that step the buffers themselves step them only once they
    // are set up with cells; until then they run without an output.
    void connect_own_outputs(bool connected);

    // Runs both chips to `end_time` slice by slice, mixing each slice's logs.
    void run_until(int32_t end_time);
    // Before a write at `time`: both chips run to it as far as a write
    // runs them, and the mix follows in whole slices rather than at every
    // write (a frame's writes come a few clocks apart). Anything that reads
    // or changes what has sounded first mixes up to reached_.
    void settle(int32_t time);
    void mix_logs();
    // The changes of log First + Driver as steps of its group's part of the
    // mix, amplitude_of(the Count logs' levels from First on), written to
    // positions_ and steps_ from `steps` on; answers the count after them.
    // The group's other logs are walked alongside for their levels.
    template <int First, int Count, int Driver, class Amplitude>
    int32_t group_steps(int32_t steps, Amplitude amplitude_of);
    // A log's changes alone, each amplitude `amplitude_of(level)`.
    template <class Amplitude> int32_t log_steps(const Level_Log& log, int32_t& amplitude, Amplitude amplitude_of);
    void add_steps(int32_t count, Band_Buffer& buffer);
    // Each buffer's amplitude at the raw levels of levels_.
    void target_amplitudes(int32_t (&targets)[buffer_count]) const;
    // Moves the buffers that follow their channels to the levels sounding now.
    void catch_up(int32_t time);
    // The mixer's levels in amplitude units, from raw levels masked to the
    // tables' ranges, which the oscillators never leave.
    int32_t pair_amplitude(int32_t p1, int32_t p2) const { return pair_amplitudes_[(p1 & 15) + (p2 & 15)]; }
    int32_t trio_amplitude(int32_t t, int32_t n, int32_t d) const
    {
        return trio_amplitudes_[((t & 15) << 4 | (n & 15)) << 7 | (d & 127)];
    }
    int32_t vrc6_amplitude(int32_t level) const { return vrc6_amplitudes_[level & (vrc6_levels - 1)]; }
    int32_t s5b_amplitude(int32_t level) const { return s5b_amplitudes_[level & (Console_Mixer::s5b_levels - 1)]; }
    // The expansion chips' parts of the mix at the raw levels of levels_.
    int32_t vrc6_part() const;
    int32_t s5b_part() const;
    int32_t mmc5_part() const { return pair_amplitude(levels_[mmc5_log], levels_[mmc5_log + 1]); }
    int32_t clamp_time(int32_t time) const;
    Band_Buffer& buffer(int index) { return index == 0 ? mix : groups[index - 1]; }

    Chip_Apu apu_;
    Chip_Vrc6 vrc6_;
    Chip_S5b s5b_;
    Chip_Mmc5 mmc5_;
    Chip_Fds fds_;
    Chip_N163 n163_;
    Chip_Vrc7 vrc7_;
    Console_Mixer mixer_;
    Band_Synth<12> synth_{15};  // its kernel only: add_amplitude builds each change's row
    Level_Log logs_[log_count];
    // The tables of the amplitude functions. The trio's reach at most 0.75
    // of full scale times output_scale: inside int16 while that is at most 1.
    static_assert(output_scale <= 1.0);
    static constexpr int vrc6_levels = 32;  // the saw's 0..31; the pulses' 0..15
    int32_t pair_amplitudes_[Console_Mixer::pulse_entries] = {};
    int16_t trio_amplitudes_[Console_Mixer::tnd_entries] = {};
    int32_t vrc6_amplitudes_[vrc6_levels] = {};
    int32_t s5b_amplitudes_[Console_Mixer::s5b_levels] = {};
    int32_t levels_[log_count] = {};  // each oscillator's raw level, as mixed so far
    // A slice's changes of a buffer, found first and then added together.
    static constexpr int32_t max_steps = 3 * Level_Log::capacity;  // the trio's, the longest list
    uint32_t positions_[max_steps] = {};
    int32_t steps_[max_steps] = {};
    int32_t amplitudes_[buffer_count] = {};  // each buffer's level in its amplitude units
    int32_t run_time_ = 0;                   // where the mix has got to; both chips are there or later
    int32_t reached_ = 0;                    // the last write's time, within a log's span of run_time_
    bool ready_ = false;                     // set up with cells in every buffer
    bool groups_enabled_ = true;
    bool vrc7_used_ = false;  // written since the last reset
};
