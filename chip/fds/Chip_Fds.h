// The Famicom Disk System's sound: one 64-step wavetable oscillator with a
// volume envelope and a frequency modulator (a 32-entry table of steps
// driving a 7-bit counter, scaled by a depth envelope), clocked by the
// console's CPU clock, registers at $4040-$408A. Driven like Chip_Mmc5:
// every operation takes a time in chip clocks from the start of the current
// frame, first runs the whole chip up to it, then acts.
//
// The level follows the classic per-clock model: every clock the envelopes
// tick, the modulator steps, the wave accumulator gains P + M and the output
// is wave[position] x min(gain, 32) x master volume. Choices where the chip's
// behaviour is unsettled: a new volume gain reaches the output at once (no
// latch at wave position 0), the wave keeps running while $4089 bit 7 holds
// the output, the envelopes stop while the wave is halted, a $408A write
// restarts both envelope timers, and $4087 bit 6 steps the table on every
// clock without touching its accumulator.
//
// Output. The console hears the chip through a first-order RC low-pass
// (corner near 2 kHz). The chip applies it exactly to its piecewise-constant
// level: over each block of block_clocks clocks the filter's state at the
// block's end is the closed form of the RC response to the level's steps in
// the block (one multiply-add per change, from a table of decays), computed
// in integers, so it depends only on the levels and their times, never on
// how the caller splits its runs. At each block's end the filtered level
// goes to the band-limited buffer as one step. That holds the filtered
// signal for 64 clocks (27.96 kHz on NTSC): a droop of 0.8 % at 2 kHz, and
// images of a tone at f around 27.96 kHz - f, 22 dB under the tone for f up
// to 2 kHz and, above, under tones the RC has already lowered. It costs one
// step per block while the level moves (about 30 clocks of the processor
// each, most of a held note's cost) and none once the filter has settled on
// a level that holds.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_Fds {
public:
    static constexpr int osc_count = 1;
    static constexpr int wave_steps = 64;
    static constexpr int table_entries = 32;
    static constexpr int max_gain = 32;  // the envelopes' top, and the output's clamp
    // The raw level's unit is 1/30 of a sample step at gain 1, so
    // that every master volume (30, 20, 15 or 12 thirtieths) stays whole.
    static constexpr int master_denominator = 30;
    static constexpr int32_t max_level = 63 * max_gain * master_denominator;
    static constexpr int32_t block_clocks = 64;
    static constexpr double ntsc_clock_rate = 1789772.727;
    static constexpr double default_lowpass_hz = 2000.0;
    static constexpr double min_lowpass_hz = 100.0;
    static constexpr double max_volume = 4.0;

    Chip_Fds();
    Chip_Fds(const Chip_Fds&) = delete;
    Chip_Fds& operator=(const Chip_Fds&) = delete;

    // ---- set-up, off the audio thread ----
    // A square of wave 0 and 63 at gain 32, master 2/2, swings 2.4 times a
    // 2A03 pulse at volume 15 of Chip_Apu at the same `volume`, as measured
    // on a console. Clamped to 0..max_volume; NaN silences.
    void set_volume(double volume);
    // The clock the chip runs at, for the low-pass's corner (NTSC by default).
    void set_clock_rate(double clocks_per_second);
    // The low-pass's corner, clamped to min_lowpass_hz..clock rate / 8; NaN: the lowest.
    void set_lowpass(double corner_hz);
    // None (null) silences: the chip then only keeps its state, or logs.
    void set_output(Band_Buffer* buffer);
    // The same steps into a second buffer too (null: none), for a mix and a
    // channel group heard alone.
    void set_outputs(Band_Buffer* buffer, Band_Buffer* also);
    void osc_output(int osc, Band_Buffer* buffer);
    // Without an output, every change of the raw level (before the low-pass,
    // in max_level's unit) goes to `log` (null: none).
    void osc_log(int osc, Level_Log* log);

    // ---- audio thread: no allocation ----
    void reset();
    // Writes to any other address, or with $4023 bit 1 clear, are ignored.
    void write_register(int32_t time, unsigned addr, int data);
    void run_until(int32_t end_time);
    void end_frame(int32_t end_time);
    // Nothing sounds or can start sounding without a write, the low-pass has
    // settled at silence, and nothing was written in this frame. Skipping
    // the frame leaves the wave, table and envelope timers where they are,
    // as if the console had been switched on later: a note sets them afresh.
    bool idle() const;

    // The step the wave accumulator gains per clock: P plus the modulation
    // term of counter `c` (-64..63), gain `g` (0..63) and pitch `p` (0..4095).
    static int32_t wave_step(int c, int g, int p);

    int32_t last_time() const { return last_time_; }
    int level() const;  // the raw level now
    int wave_position() const { return wave_pos_; }
    int counter() const { return counter_; }
    int volume_gain() const { return vol_.gain; }
    int mod_gain() const { return mod_.gain; }
    int table_position() const { return table_pos_; }
    // The wave RAM's step i and the table's entry i (codes 0..7), as written.
    int wave(int i) const { return wave_[i & (wave_steps - 1)]; }
    int table(int i) const { return table_[i & (table_entries - 1)]; }
    // The register $4080 + i as last written (i 0..10).
    int reg(int i) const { return regs_[i < 0 || i > 10 ? 0 : i]; }

private:
    struct Envelope {
        uint8_t reg = 0;    // $4080 / $4084 as written
        int gain = 0;       // 0..63
        int32_t timer = 0;  // clocks to the next tick, counting from the period
        bool manual() const { return (reg & 0x80) != 0; }
    };

    int32_t envelope_period(const Envelope& env) const;
    bool envelopes_run() const;
    // One clock at last_time_, as the per-clock model does it.
    void clock_once();
    void tick_envelope(Envelope& env);
    void half_step();
    void update_step() { step_ = wave_halted() ? 0 : wave_step(counter_, mod_.gain, pitch()); }
    // Moves every unit on by `clocks` in which no event falls.
    void advance(int32_t clocks);
    void advance_others(int32_t clocks);  // advance() but for the wave
    // Clocks from last_time_ to the next clock with an event (0: this one).
    int32_t clocks_to_event() const;
    // The same with the wave's steps left out.
    int32_t clocks_to_other_event() const;
    bool audible() const { return !write_enabled() && vol_.gain != 0; }
    // Runs to end_time, before which only the wave steps.
    void run_steady(int32_t end_time);
    // The shortest stretch worth run_steady's set-up.
    static constexpr int32_t steady_run = 256;
    void level_changed(int new_level);
    void end_block();

    int pitch() const { return (regs_[3] & 0x0F) << 8 | regs_[2]; }
    int mod_frequency() const { return (regs_[7] & 0x0F) << 8 | regs_[6]; }
    bool wave_halted() const { return (regs_[3] & 0x80) != 0; }
    bool mod_halted() const { return (regs_[7] & 0x80) != 0; }
    bool write_enabled() const { return (regs_[9] & 0x80) != 0; }

    uint8_t regs_[11] = {};  // $4080-$408A as written
    uint8_t wave_[wave_steps] = {};
    uint8_t table_[table_entries] = {};
    bool sound_enabled_ = true;
    Envelope vol_, mod_;
    uint32_t wave_acc_ = 0;  // 16 bits
    int wave_pos_ = 0;
    uint32_t mod_acc_ = 0;  // 16 bits
    int table_pos_ = 0;     // half-steps, 0..63
    int counter_ = 0;       // -64..63
    int32_t step_ = 0;      // the wave accumulator's gain per clock
    int held_level_ = 0;    // the output while $4089 bit 7 holds it
    int32_t level_ = 0;     // the raw level now

    // The low-pass, in the raw level's unit times 2^16.
    static constexpr int decay_bits = 30;
    int64_t decay_[block_clocks + 1] = {};  // decay over k clocks, times 2^30
    int64_t filtered_ = 0;                  // at the start of this block
    int32_t block_start_level_ = 0;
    int64_t block_steps_ = 0;            // the block's steps, each times its decay to the block's end
    int32_t block_left_ = block_clocks;  // clocks from last_time_ to the block's end
    int64_t amplitude_scale_ = 0;        // output units per raw level, times 2^32 / 2^16
    int32_t amplitude_ = 0;              // last emitted, in output units
    double clock_rate_ = ntsc_clock_rate;
    double lowpass_hz_ = default_lowpass_hz;

    Band_Buffer* output_ = nullptr;
    Band_Buffer* also_ = nullptr;
    Level_Log* log_ = nullptr;
    int32_t last_time_ = 0;
    bool written_ = false;
    Band_Synth<12> synth_{1};
};

static_assert(Sound_Chip<Chip_Fds>);
