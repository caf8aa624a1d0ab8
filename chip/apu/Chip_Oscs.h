// The five oscillators of the emulated 2A03 audio unit. Each keeps its own
// registers and timer; run over a span of chip clocks it reports every change
// of its output level to its synthesiser. Chip_Apu owns them, stores register
// writes into them and clocks their length counters, envelopes, sweeps and
// linear counter from its frame sequencer. Times are chip clocks from the
// start of the current frame; only `delay` links one run to the next.
#pragma once

#include "Triangle_Rows.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Length_Table.h"
#include "chip/Level_Log.h"
#include "chip/Step_Count.h"

#include <cstdint>
#include <memory>

class Chip_Apu;

// A time meaning that no interrupt is scheduled.
inline constexpr int32_t apu_no_irq = 0x40000000;
// The register 0 bit that halts the length counter.
inline constexpr int halt_pulse_noise = 0x20;
inline constexpr int halt_triangle = 0x80;

// Noise timer periods in clocks, indexed by register 2 bits 3-0.
inline constexpr int16_t noise_period_table[16] = {4,   8,   16,  32,  64,  96,   128,  160,
                                                   202, 254, 380, 508, 762, 1016, 2034, 4068};
// Delta-modulation clocks per output bit, indexed by register 0 bits 3-0: the
// NTSC chip's, and the PAL chip's (its clock is slower, its rates close).
inline constexpr int16_t dmc_period_table[16] = {428, 380, 340, 320, 286, 254, 226, 214,
                                                 190, 160, 142, 128, 106, 84,  72,  54};
inline constexpr int16_t dmc_pal_period_table[16] = {398, 354, 316, 298, 276, 236, 210, 198,
                                                     176, 148, 132, 118, 98,  78,  66,  50};
// Output of the delta-modulation DAC at each of its 128 levels.
inline constexpr uint8_t dmc_dac_table[128] = {
    0,  0,  1,  2,  2,  3,  3,  4,  5,  5,  6,  7,  7,  8,  8,  9,  10, 10, 11, 11, 12, 13, 13, 14, 14, 15,
    15, 16, 17, 17, 18, 18, 19, 19, 20, 20, 21, 21, 22, 22, 23, 23, 24, 24, 25, 25, 26, 26, 27, 27, 28, 28,
    29, 29, 30, 30, 31, 31, 32, 32, 32, 33, 33, 34, 34, 35, 35, 35, 36, 36, 37, 37, 38, 38, 38, 39, 39, 40,
    40, 40, 41, 41, 42, 42, 42, 43, 43, 44, 44, 44, 45, 45, 45, 46, 46, 47, 47, 47, 48, 48, 48, 49, 49, 49,
    50, 50, 50, 51, 51, 51, 52, 52, 52, 53, 53, 53, 54, 54, 54, 55, 55, 55, 56, 56, 56, 57, 57, 57};

struct Apu_Osc {
    uint8_t regs[4] = {};           // as last written, or as the sweep rewrote them
    bool written[4] = {};           // set by a write; consumed by envelope, sweep and linear counter
    Band_Buffer* output = nullptr;  // none: running does nothing, or only logs
    // With no output: running takes the plain way, one timer event at a
    // time, logging every change of the raw level (see run_logged).
    Level_Log* log = nullptr;
    int32_t length_counter = 0;  // for delta modulation: sample bytes remaining
    int32_t delay = 0;           // clocks from the end of the last run to the next timer event
    int32_t last_level = 0;      // level last reported to the synthesiser

    // Frame steps 0 and 2. `halt_mask` is the register 0 bit that stops the count.
    void clock_length(int halt_mask);
    // Whether clock_length would end the count, which silences the channel.
    bool length_clock_ends(int halt_mask) const { return length_counter == 1 && !(regs[0] & halt_mask); }
    // 11-bit timer period of a pulse or the triangle.
    int timer_period() const { return (regs[3] & 7) * 256 + regs[2]; }
    void reset();
};

// The pulses' and noise's volume envelope.
struct Apu_Env_Osc : Apu_Osc {
    int32_t env_volume = 0;  // 0..15
    int32_t env_divider = 0;

    // Every frame step.
    void clock_envelope();
    int volume() const;
    // Whether clock_envelope may change volume(): not at constant volume,
    // nor with the length counter at 0.
    bool envelope_clock_may_change_volume() const { return length_counter != 0 && !(regs[0] & 0x10); }
    void reset();
};

struct Pulse_Osc : Apu_Env_Osc {
    int32_t phase = 0;  // 0..7
    int32_t sweep_divider = 0;
    const Band_Synth<12>* synth = nullptr;  // shared by both pulses
    Step_Count step_count;

    // Frame steps 0 and 2. `negate_adjust` is -1 for pulse 1 and 0 for pulse 2.
    void clock_sweep(int negate_adjust);
    // Whether writing `data` to register `reg` changes what run() adds from
    // now on: $4003 / $4007 restart the sequence; the others change it only
    // with a new value.
    bool write_changes_output(int reg, int data) const { return reg == 3 || data != regs[reg]; }
    // Whether the clocks of a frame step (with lengths and sweep on a half
    // frame) may change what run() adds: the volume or the period.
    bool frame_step_changes_output(bool half_frame) const
    {
        const bool sweeping = (regs[1] & 0x80) && (regs[1] & 7);
        return envelope_clock_may_change_volume() || (half_frame && (length_clock_ends(halt_pulse_noise) || sweeping));
    }
    void run(int32_t time, int32_t end_time);
    void run_logged(int32_t time, int32_t end_time);
    void reset();

private:
    // Silent at volume `vol` and period `p`: a volume of 0, a period too
    // short, or a sweep target past 11 bits.
    bool muted(int vol, int p) const;
    // The sequencer's steps from `time` until end_time, silent; answers the
    // time after the last.
    int32_t skip(int32_t time, int32_t end_time, int32_t step);
};

struct Triangle_Osc : Apu_Osc {
    int32_t phase = 16;  // 1..32
    int32_t linear_counter = 0;
    Band_Synth<12> synth{15};  // its volume set through set_volume
    Step_Count step_count;

    // Sets the synthesiser's volume and takes the rows of steps for it, which
    // every triangle at that volume shares. Allocates: not on the audio thread.
    void set_volume(double volume);
    // Every frame step.
    void clock_linear_counter();
    // Whether writing `data` to register `reg` changes what run() adds from
    // now on. $4008 acts only through the linear counter's clock; $400B sets
    // the period's high bits and reloads the length, which starts the
    // sequencer only from 0 and only when the channel is enabled.
    bool write_changes_output(int reg, int data, bool enabled) const
    {
        if (reg == 3)
            return ((data ^ regs[3]) & 7) != 0 || (enabled && length_counter == 0);
        return reg == 2 && data != regs[2];
    }
    // Whether the clocks of a frame step (with the length on a half frame)
    // may stop or start the sequencer.
    bool frame_step_changes_output(bool half_frame) const
    {
        const bool reloads = written[3] && ((regs[0] & 0x7F) == 0) != (linear_counter == 0);
        const bool runs_out = !written[3] && linear_counter == 1;
        return reloads || runs_out || (half_frame && length_clock_ends(halt_triangle));
    }
    void run(int32_t time, int32_t end_time);
    void run_logged(int32_t time, int32_t end_time);
    void reset();
    // 15 down to 0 over phases 32..17, then 0 up to 15 over phases 16..1.
    static int level_of(int ph);

private:
    // The steps of the 32 phases as one pattern (event e leaves phase
    // 32 - e), from `rows`.
    void build_cycle();
    std::shared_ptr<const Triangle_Rows> rows;
    Band_Synth<12>::Step_Cycle cycle{};
    int32_t cycle_build = -1;  // the synthesiser's table that `rows` was made from
};

struct Noise_Osc : Apu_Env_Osc {
    int32_t shift_reg = 0x4000;  // 15 bits
    Band_Synth<8> synth{15};
    Step_Count step_count;

    void run(int32_t time, int32_t end_time);
    void run_logged(int32_t time, int32_t end_time);
    void reset();

private:
    // A silent span from `time` until end_time in whole periods; answers the
    // time after it.
    int32_t skip_silent(int32_t time, int32_t end_time, int32_t period);
};

struct Dmc_Osc : Apu_Osc {
    using Rom_Reader = int (*)(void* data, unsigned address);

    int32_t address = 0;  // 15 bits, read at CPU address $8000 + address
    int32_t period = dmc_period_table[0];
    const int16_t* periods = dmc_period_table;  // the clock standard's table
    int32_t sample_byte = 0;
    int32_t bits_left = 1;
    int32_t shifter = 0;
    bool buffer_empty = true;
    bool silent = true;
    int32_t dac = 0;  // 0..127
    int32_t next_irq = apu_no_irq;
    bool irq_enabled = false;
    bool irq_flag = false;
    bool nonlinear = false;  // report DAC writes as level steps instead of table differences
    Rom_Reader rom_reader = nullptr;
    void* rom_reader_data = nullptr;
    // Sample bytes read in place, without a call to the reader (see
    // Chip_Apu::set_dmc_memory).
    const uint8_t* memory = nullptr;
    unsigned memory_base = 0;
    unsigned memory_size = 0;
    Chip_Apu* apu = nullptr;
    Band_Synth<8> synth{127};
    // The synthesiser's rows of a step 2 down and 2 up, made again whenever
    // it builds its table anew.
    uint32_t step_rows[2][Band_Synth<8>::window_table_words] = {};
    int32_t step_rows_build = -1;

    void write_register(int reg, int data);
    // A $4015 write that enables the channel.
    void start();
    void recalc_irq();
    void run(int32_t time, int32_t end_time);
    void run_logged(int32_t time, int32_t end_time);
    void reset();

private:
    // An idle channel's bits from `time` until end_time; answers the time
    // after the last.
    int32_t skip_idle(int32_t time, int32_t end_time);
    // Plays the next bit of `bits` (a shifter) on the DAC at `level`:
    // answers the step, or 0 where it holds.
    static int next_step(int& level, int& bits);
    // The bits of the byte still to play, or as many of them as start
    // before end_time: 1 or more, as time is before it.
    int32_t bits_in_run(int32_t time, int32_t end_time) const;
    void reload();
    void fill_buffer();
    // The last byte fetched: loop, or end and interrupt. Out of the way of the per-byte path.
    [[gnu::noinline]] void end_sample();
    // After a byte's eighth bit: the next byte, or silence.
    void next_byte();
};
