// The VRC6 expansion chip's sound: two pulses with eight duty widths and a
// sawtooth, clocked by the console's CPU clock, registers at $9000-$9003,
// $A000-$A002 and $B000-$B002. Driven like Chip_Apu: every operation takes a
// time in chip clocks from the start of the current frame, first runs the
// whole chip up to it, then acts. Its output is linear: the three levels add.
#pragma once

#include "Vrc6_Oscs.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_Vrc6 {
public:
    static constexpr int osc_count = 3;  // indices: pulse 1, pulse 2, sawtooth

    Chip_Vrc6();
    Chip_Vrc6(const Chip_Vrc6&) = delete;
    Chip_Vrc6& operator=(const Chip_Vrc6&) = delete;

    void reset();
    void set_volume(double volume);
    // None (null) silences: an oscillator without output does nothing when run.
    void set_output(Band_Buffer* buffer);
    void osc_output(int osc, Band_Buffer* buffer);
    // An oscillator without output logs its raw level into `log` (null: none).
    void osc_log(int osc, Level_Log* log);

    // Writes to any other address are ignored.
    void write_register(int32_t time, unsigned addr, int data);
    void run_until(int32_t end_time);
    // Runs to `end_time` and makes it time 0 of the next frame.
    void end_frame(int32_t end_time);
    // Nothing enabled, nothing sounding and nothing done in this frame:
    // ending the frame would change nothing but the oscillators' delays,
    // which the next enable sets anew, so it may be skipped.
    bool idle() const;

    int32_t last_time() const { return last_time_; }
    int frequency_control() const { return frequency_control_; }
    const Vrc6_Pulse_Osc& pulse(int index) const { return index == 0 ? pulse1_ : pulse2_; }
    const Vrc6_Saw_Osc& saw() const { return saw_; }
    const Band_Synth<12>& synth() const { return synth_; }

private:
    Vrc6_Osc* oscs_[osc_count];
    Vrc6_Pulse_Osc pulse1_;
    Vrc6_Pulse_Osc pulse2_;
    Vrc6_Saw_Osc saw_;
    int frequency_control_ = 0;  // last $9003
    Vrc6_Clocking clocking_;
    int32_t last_time_ = 0;
    Band_Synth<12> synth_{15};  // amplitudes up to a pulse's 15; the saw's reach 31
};

static_assert(Sound_Chip<Chip_Vrc6>);
