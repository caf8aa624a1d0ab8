// One of the MMC5's two pulses: the 2A03's pulse less its sweep, with its own
// envelope and length counter, clocked by the chip's frame timer. It keeps
// its registers, timer and duty sequencer; run over a span of chip clocks it
// reports every change of its output level to its synthesiser, or with only
// a log, to the log. Chip_Mmc5 owns both, stores register writes into them
// and clocks them. Times are chip clocks from the start of the current frame;
// only `delay` links one run to the next.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"
#include "chip/Step_Count.h"

#include <cstdint>

struct Mmc5_Pulse {
    static constexpr int max_volume = 15;
    static constexpr int sequence_steps = 8;

    uint8_t regs[4] = {};                   // as last written; register 1 is never read
    Band_Buffer* output = nullptr;          // none: running does nothing, or only logs
    Level_Log* log = nullptr;               // with no output: running logs every change of the raw level
    const Band_Synth<12>* synth = nullptr;  // shared by both pulses
    int32_t delay = 0;                      // clocks from the end of the last run to the next timer event
    int32_t last_level = 0;                 // level last reported to the synthesiser or the log
    int32_t step = 0;                       // 0..7, the duty sequence's step sounding, in time order
    int32_t length_counter = 0;
    bool envelope_start = false;
    int32_t envelope_divider = 0;  // 0..15
    int32_t decay = 0;             // 0..15
    Step_Count step_count;

    // $5000 / $5004: DDLC VVVV  duty, length halt and envelope loop, constant
    // volume, volume or envelope period
    int duty() const { return regs[0] >> 6; }
    bool halt() const { return (regs[0] & 0x20) != 0; }
    bool constant() const { return (regs[0] & 0x10) != 0; }
    int volume() const;
    // $5002 / $5006: TTTT TTTT  period low; $5003 / $5007: LLLL LTTT  length index, period high
    int period() const { return (regs[3] & 7) << 8 | regs[2]; }
    // The timer counts on every second clock: t + 1 of its counts to a step.
    int32_t timer_length() const { return 2 * (period() + 1); }
    // The level the current step sounds at the current volume.
    int level() const;

    // A $5003 / $5007 write: the sequence starts over, the envelope on its next
    // clock, and an enabled channel loads its length counter.
    void restart(bool enabled);
    // Each frame timer clock: the envelope, then the length counter.
    void clock_frame();
    // Whether the envelope has nothing left to do but count round: its level
    // holds, or loops, whatever time passes without writes.
    bool envelope_settled() const { return !envelope_start && (decay == 0 || halt()); }
    void run(int32_t time, int32_t end_time);
    void reset();

private:
    void run_logged(int32_t time, int32_t end_time);
    // The sequencer's steps from `time` until end_time, where the output does
    // not change; answers the time after the last.
    int32_t skip(int32_t time, int32_t end_time, int32_t length);
};
