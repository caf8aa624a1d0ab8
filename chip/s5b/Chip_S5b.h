// The Sunsoft 5B's sound block: three square tone channels, one shared noise
// shift register and one shared envelope, clocked by the console's CPU clock
// through an internal divide-by-16, registers selected at $C000 and written
// at $E000. Driven like Chip_Vrc6: every operation takes a time in chip clocks
// from the start of the current frame, first runs the whole chip up to it,
// then acts. The DAC is logarithmic, 1.5 dB a level; the three channels add
// linearly, with no cartridge amplifier modelled.
#pragma once

#include "S5b_Oscs.h"
#include "S5b_Rows.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_S5b {
public:
    static constexpr int osc_count = 3;  // indices: channels A, B, C
    static constexpr int register_count = 16;
    static constexpr int level_count = 32;  // raw levels 0..31, 1.5 dB apart
    static constexpr int32_t tick_clocks = 16;

    Chip_S5b();
    Chip_S5b(const Chip_S5b&) = delete;
    Chip_S5b& operator=(const Chip_S5b&) = delete;

    void reset();
    // Off the audio thread: rebuilds the amplitude table for `volume`.
    void set_volume(double volume);
    // None (null) silences: a channel without output does nothing but log.
    void set_output(Band_Buffer* buffer);
    void osc_output(int osc, Band_Buffer* buffer);
    // A channel without output logs its raw level (0..31) into `log` (null:
    // none): a change at each run's start and at most one a tick, 16 clocks
    // apart, well within the log's capacity.
    void osc_log(int osc, Level_Log* log);

    // ---- audio thread: no allocation, no locks ----
    // $C000-$DFFF select a register, $E000-$FFFF write it; other addresses are ignored.
    void write_register(int32_t time, unsigned addr, int data);
    void run_until(int32_t end_time);
    // Runs to `end_time` and makes it time 0 of the next frame.
    void end_frame(int32_t end_time);
    // Every channel at fixed volume 0, silent, and nothing written this
    // frame: ending the frame would change nothing that sounds. Skipping it
    // leaves the counters where they are, which only moves phases no one hears.
    bool idle() const;

    int32_t last_time() const { return last_time_; }
    int reg(int index) const { return regs_[index & 15]; }
    // Output amplitude of raw level L, in the buffer's 16-bit sample units.
    int32_t amplitude(int level) const { return amplitudes_[level & 31]; }
    // The raw level channel `osc` sounds now (0 when gated off).
    int level(int osc) const;

private:
    // Runs `ticks` ticks, the first at chip time `time`.
    void run_ticks(int32_t time, int32_t ticks);
    // run_ticks for a buzz: one channel sounding the repeating envelope alone,
    // nothing else heard, its steps added a cycle's rows at a time. False,
    // having done nothing, in any other case.
    bool run_buzz(int32_t time, int32_t ticks);
    // run_ticks for a tone: one channel's square at a steady level, nothing
    // else heard, each flip added straight from the period. False, having
    // done nothing, in any other case.
    bool run_tone(int32_t time, int32_t ticks);
    // Moves channel `osc`'s output to raw level `level` at `time`.
    void sound(int osc, int32_t time, int level);
    void apply(int reg, int data);
    // Whether a tone flip, a noise shift or an envelope step can change what
    // a channel sounds; a generator no channel hears runs in one stride.
    bool may_sound(int osc) const;  // its volume or envelope is not at rest at 0
    bool hears_tone(int osc) const;
    bool hears_noise(int osc) const;
    bool hears_envelope(int osc) const;

    uint8_t regs_[register_count] = {};
    int select_ = 0;  // last $C000 byte: with any of bits 7-4 set, data writes are ignored
    S5b_Tone tones_[osc_count];
    S5b_Noise noise_;
    S5b_Envelope envelope_;
    int32_t tick_delay_ = 0;  // clocks from last_time_ to the next tick, 0..15
    int32_t last_time_ = 0;
    bool written_ = false;  // a register was written this frame

    Band_Buffer* outputs_[osc_count] = {};
    Level_Log* logs_[osc_count] = {};
    int last_levels_[osc_count] = {};
    int32_t last_amplitudes_[osc_count] = {};  // as the buffer integrates it
    int32_t amplitudes_[level_count] = {};
    Band_Synth<12> synth_{15};        // its kernel only: add_amplitude builds each change's row
    const S5b_Rows* rows_ = nullptr;  // the buzz's rows for amplitudes_, if a set has them
};

static_assert(Sound_Chip<Chip_S5b>);
