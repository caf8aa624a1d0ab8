// The MMC5 mapper's sound: two pulses, near-copies of the 2A03's without the
// sweep, and a frame timer of their own, clocked by the console's CPU clock,
// registers at $5000-$5007 and $5015. Its PCM channel ($5010, $5011) is not
// emulated: no instrument plays it. Driven like Chip_Vrc6: every operation
// takes a time in chip clocks from the start of the current frame, first runs
// the whole chip up to it, then acts. Its output is linear: the two levels add.
#pragma once

#include "Mmc5_Pulse.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_Mmc5 {
public:
    static constexpr int osc_count = 2;  // indices: pulse 1, pulse 2
    // Clocks between the frame timer's clocks of the envelopes and length
    // counters, about 240 Hz on NTSC. The chip has no other clock than the
    // CPU's, so a PAL console counts the same clocks (about 223 Hz).
    static constexpr int32_t frame_timer_period = 7458;

    Chip_Mmc5();
    Chip_Mmc5(const Chip_Mmc5&) = delete;
    Chip_Mmc5& operator=(const Chip_Mmc5&) = delete;

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
    // Nothing sounding, no length counting, no envelope with a level still to
    // reach, and nothing done in this frame: ending the frame would only move
    // the frame timer, the pulses' timers and the envelopes' dividers (and a
    // looping envelope) round their cycles. Skipping it leaves them where
    // they are, as if the console had been switched on a frame later. That
    // drift is harmless: no register restarts the frame timer or a pulse's
    // timer (unlike the 2A03's frame sequencer, which $4017 restarts), so no
    // program can know where they stand, and a note starts its sequence and
    // envelope afresh.
    bool idle() const;

    int32_t last_time() const { return last_time_; }
    int32_t frame_countdown() const { return frame_countdown_; }
    int enables() const { return enables_; }
    const Mmc5_Pulse& pulse(int index) const { return pulses_[index == 0 ? 0 : 1]; }
    const Band_Synth<12>& synth() const { return synth_; }

private:
    Mmc5_Pulse pulses_[osc_count];
    int32_t last_time_ = 0;
    int32_t frame_countdown_ = frame_timer_period;  // clocks from last_time_ to the next frame timer clock
    int enables_ = 0;                               // $5015 bits 1-0
    bool written_ = false;                          // a register written in this frame
    Band_Synth<12> synth_{Mmc5_Pulse::max_volume};
};

static_assert(Sound_Chip<Chip_Mmc5>);
