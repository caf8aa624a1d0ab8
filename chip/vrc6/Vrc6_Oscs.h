// The three oscillators of the VRC6 expansion chip: two pulses with sixteen
// steps and eight duty widths, and the sawtooth's accumulator. Each keeps its
// registers and its period divider; run over a span of chip clocks it reports
// every change of its output level to its synthesiser. Chip_Vrc6 owns them
// and stores register writes into them. Times are chip clocks from the start
// of the current frame; only `delay` links one run to the next.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"

#include <cstdint>

// How the chip's $9003 lets the dividers count, the same for all three.
struct Vrc6_Clocking {
    bool halt = false;  // the dividers stand still and every output holds
    int shift = 0;      // the period is shifted right by 0, 4 or 8 bits
};

struct Vrc6_Osc {
    uint8_t regs[3] = {};                   // as last written
    Band_Buffer* output = nullptr;          // none: running does nothing, or only logs
    Level_Log* log = nullptr;               // with no output: running logs every change of the raw level
    int32_t delay = 0;                      // clocks from the end of the last run to the next divider step
    int32_t last_level = 0;                 // level last reported to the synthesiser
    const Band_Synth<12>* synth = nullptr;  // shared by the chip's three

    // $x001: PPPP PPPP  period low; $x002: E... PPPP  enable, period high
    int period() const { return (regs[2] & 0x0F) << 8 | regs[1]; }
    bool enabled() const { return (regs[2] & 0x80) != 0; }
    // Clocks per divider step under the frequency control.
    int32_t step_length(const Vrc6_Clocking& clocking) const { return (period() >> clocking.shift) + 1; }
    void reset();

protected:
    // Calls run(sound) with sound(time, level) moving the output to `level`
    // at `time`: a step of the synthesiser, or with only a log, its entry;
    // run answers the sound as it left it. Without either, running does nothing.
    template <class Run> void sound(Run&& run);
};

struct Vrc6_Pulse_Osc : Vrc6_Osc {
    int32_t phase = 0;  // 0..15, the step sounding; the volume sounds on steps 0..duty

    // $x000: MDDD VVVV  constant (mode), duty, volume
    int volume() const { return regs[0] & 15; }
    int duty() const { return (regs[0] >> 4) & 7; }
    bool constant() const { return (regs[0] & 0x80) != 0; }
    int level() const;
    void run(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking);
    void reset();

private:
    // The run, moving the output by sound(time, level) (see Vrc6_Osc::sound);
    // answers `sound` as the run left it.
    template <class Sound> Sound run_to(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking, Sound sound);
    // The sequencer's steps from `time` until end_time, silent or constant;
    // answers the time after the last.
    int32_t skip(int32_t time, int32_t end_time, int32_t length);
};

struct Vrc6_Saw_Osc : Vrc6_Osc {
    int32_t phase = 0;        // 0..13 divider steps into the cycle
    int32_t accumulator = 0;  // 0..255; its top five bits sound

    // $B000: ..AA AAAA  accumulator rate
    int rate() const { return regs[0] & 0x3F; }
    int level() const { return enabled() ? accumulator >> 3 : 0; }
    void run(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking);
    void reset();

private:
    template <class Sound> Sound run_to(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking, Sound sound);
    // The steps from `time` until end_time while nothing accumulates;
    // answers the time after the last.
    int32_t skip(int32_t time, int32_t end_time, int32_t length);
};
