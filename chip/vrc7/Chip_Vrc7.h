// The Konami VRC7's FM sound: the OPLL core with six audible two-operator
// channels (a modulator phase-modulating a carrier), fifteen patches in ROM
// and one custom patch shared by every channel that selects it. Driven like
// the other chips: every operation takes a time in CPU clocks from the start
// of the current frame, first runs the chip up to it, then acts.
//
// The chip has its own 3.579545 MHz crystal and makes one sample every 72
// crystal cycles (49715.9 Hz) whatever the console: set_clock_rate gives the
// CPU clock that the caller's times count, and the sample times follow from
// the ratio exactly (a remainder carried from sample to sample), so a PAL
// clock changes when samples fall, never the pitch. A write takes effect from
// the first sample at or after its time.
//
// Resampling: each channel's samples are a staircase at 49715.9 Hz, and
// every new value reaches the buffer as a band-limited step at the moment
// the chip produces it, placed to 1/65536 of a CPU clock. That is the
// zero-order hold of the chip's DAC, band-limited: nothing above the output
// rate's band folds back, and what remains of the hold is its own sinc
// droop (-2.5 dB at 20 kHz) and its images around multiples of 49.7 kHz,
// attenuated by that sinc and, above the output band, by the steps' kernel.
//
// Oscillator c (0..5) is channel c + 1; its level is the DAC's code for the
// channel's 9-bit value v: v + 1 when v >= 0, else v, so a silent channel
// sits at +1 and a full sine swings -256..+256.
//
// Level: a full-scale sine (512 codes from trough to peak) is 11 dB above
// the peak to peak of a full-volume 2A03 pulse (3.55 times its step): the
// estimate between the boards' measurements (+9.5 dB for patch 5, +13.8 dB
// for patch 14). Six loud channels on one buffer add to 1.2 times full
// scale; a voice plays one.
//
// A channel whose carrier is silent and cannot grow louder before a key-on
// rests: it is not computed, and its output stays +1. The key-off freezes
// the modulator's envelope where it was, and on the chip the modulator goes
// on running unheard, its feedback history changing; a resting channel
// clears that history instead. A later key-on with feedback then starts its
// modulator from none, as the first note after power-up does, where the
// chip would start from whatever the unheard modulator last produced. The
// price of a silent voice that costs nothing and can report itself idle.
//
// $E000 bit 6 holds the sound in reset: silent, every register and the
// tremolo cleared, writes ignored; the vibrato keeps its course. The test
// register $0F is not emulated (music never sets it).
#pragma once

#include "Vrc7_Envelope.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_Vrc7 {
public:
    static constexpr int osc_count = 6;
    static constexpr int32_t crystal_hz = 3579545;
    static constexpr int crystal_cycles_per_sample = 72;
    static constexpr int32_t ntsc_cpu_hz = 1789773;
    // A channel's DAC codes.
    static constexpr int min_level = -256;
    static constexpr int max_level = 256;
    static constexpr int silent_level = 1;

    Chip_Vrc7();
    Chip_Vrc7(const Chip_Vrc7&) = delete;
    Chip_Vrc7& operator=(const Chip_Vrc7&) = delete;

    // Every register 0, every operator releasing at silence, LFOs at 0; the
    // next sample at time 0.
    void reset();
    // The CPU clock the times count (NTSC's by default); a rate of 0 or less
    // is ignored.
    void set_clock_rate(int32_t cpu_clocks_per_second);
    void set_volume(double volume);
    // None (null) silences.
    void set_output(Band_Buffer* buffer);
    // Every channel into `buffer`, and the same steps into `also` (null:
    // none), for a mix and a channel group heard alone.
    void set_outputs(Band_Buffer* buffer, Band_Buffer* also);
    void osc_output(int osc, Band_Buffer* buffer);
    // An oscillator without output logs its DAC code into `log` (null: none).
    void osc_log(int osc, Level_Log* log);

    // $9010 register select, $9030 data, $E000 bit 6 reset; any other
    // address is ignored.
    void write_register(int32_t time, unsigned addr, int data);
    void run_until(int32_t end_time);
    // Runs to `end_time` and makes it time 0 of the next frame.
    void end_frame(int32_t end_time);
    // Nothing written in this frame and every channel silent until a key-on.
    // Skipping the frame leaves the LFOs and the envelope counter where they
    // are, as if the chip had started a frame later.
    bool idle() const;

    int32_t last_time() const { return last_time_; }
    uint8_t reg(int index) const { return regs_[index & (register_count - 1)]; }
    const Vrc7_Envelope& envelope(int channel, bool carrier) const
    {
        const Channel& c = channels_[channel < 0 ? 0 : channel % osc_count];
        return carrier ? c.carrier.envelope : c.modulator.envelope;
    }
    const Band_Synth<12>& synth() const { return synth_; }
    // For tests: every channel one sample at a time, the envelopes stepped
    // and both operators computed at each, as the runs of samples must
    // match to the bit.
    void set_sample_by_sample(bool on) { sample_by_sample_ = on; }

private:
    static constexpr int register_count = 0x40;

    struct Operator {
        uint32_t phase = 0;      // 19 bits; the top 10 are the wave's phase
        uint32_t increment = 0;  // per sample, vibrato aside
        int attenuation = 0;     // total level or volume, and key scale, in envelope units
        int multiple_x2 = 1;
        bool tremolo = false;
        bool vibrato = false;
        bool rectified = false;  // half-sine: the negative half silent
        Vrc7_Envelope envelope;
    };
    struct Channel {
        Operator modulator;
        Operator carrier;
        int f_number = 0;
        int block = 0;
        bool key = false;
        int feedback = 0;      // 0: none
        int previous[2] = {};  // the modulator's last two outputs
        Band_Buffer* output = nullptr;
        Level_Log* log = nullptr;
        int level = 0;  // last reported to the output or the log
    };

    void write_internal(unsigned addr, int data);
    // Operator settings of channel c from its registers and patch.
    void decode_channel(int c);
    void key_channel(int c, bool key);
    // One operator's output, -2043..2042, at a 10-bit phase.
    int operator_output(const Operator& op, unsigned phase, int tremolo) const;
    // The operator's increment at vibrato step `step` (0..7).
    static uint32_t vibrato_increment(const Channel& ch, const Operator& op, uint32_t step);
    // Where the global counters and the sample clock stand at a sample.
    struct Position {
        int64_t at;  // CPU clocks, 16.16
        uint64_t remainder;
        uint32_t envelope_counter;
        uint32_t vibrato_counter;
        int tremolo_step;
        int tremolo_samples;
    };
    Position position() const;
    void advance(Position& p) const;
    // The counters `count` samples on; the sample time is left alone.
    static void advance_counters(Position& p, int64_t count);
    // A channel's moving parts from sample to sample, which the loops that
    // run it keep in registers: the operators' phases and increments (at the
    // vibrato step they were taken at) and the modulator's last two outputs.
    struct Sample_State {
        uint32_t vibrato_step;
        uint32_t mod_increment;
        uint32_t car_increment;
        uint32_t mod_phase;
        uint32_t car_phase;
        int previous;
        int before;
        int feedback_mask;  // 0: no feedback
        int feedback_by;
    };
    static Sample_State begin_samples(const Channel& ch);
    static void end_samples(Channel& ch, const Sample_State& s);
    // The increments of p's vibrato step, taken when the step has moved.
    static void follow_vibrato(const Channel& ch, const Position& p, Sample_State& s);
    // Channel c's sample at p in full: the envelopes step, both operators
    // run and the level is shown. Answers whether the channel came to rest,
    // taking it out of active_.
    bool run_sample(int c, const Position& p, int tremolo, Sample_State& s);
    // `count` samples of channel c from `from`, or fewer if it comes to rest.
    void run_channel(int c, Position from, int64_t count);
    // The same one sample at a time (see set_sample_by_sample).
    void run_channel_by_sample(int c, Position from, int64_t count);
    // How many samples from p, at most `limit`, in which only the phases and
    // the feedback move: the envelopes hold, the vibrato and tremolo keep
    // their steps, and the channel cannot come to rest. 0: p's sample must
    // be run in full.
    int64_t quiet_samples(const Channel& ch, const Position& p, int64_t limit) const;
    // A channel's moving parts through such a run, and the rows it reads.
    struct Run {
        uint32_t mod_phase;
        uint32_t car_phase;
        uint32_t mod_increment;
        uint32_t car_increment;
        int previous;
        int before;
        int feedback_by;  // the mean's halving and FB's shift in one
        int mod_rectified;  // -1: the negative half reads -1
        int car_rectified;
        const int16_t* mod_row;
        const int16_t* car_row;
        int64_t at;
        uint64_t remainder;
    };
    // `count` quiet samples of a sounding carrier, the modulator fed back or
    // not, the level reported through show (0), to the output (1) or to the
    // output and also_ (2).
    template <bool Feedback, int Outputs> void run_quiet(Channel& ch, Run& run, int64_t count);
    void show(Channel& ch, int64_t at, int level);
    void set_held(int64_t at, bool held);

    const vrc7::Wave_Roms& roms_;
    Channel channels_[osc_count];
    Band_Buffer* also_ = nullptr;
    uint8_t regs_[register_count] = {};
    unsigned address_ = 0;
    unsigned active_ = 0;  // channels that may change: the rest are silent until a key-on
    bool held_ = false;    // $E000 bit 6
    bool written_ = false;
    bool sample_by_sample_ = false;
    uint32_t envelope_counter_ = 0;
    uint32_t vibrato_counter_ = 0;
    int tremolo_step_ = 0;
    int tremolo_samples_ = 0;
    // Sample times in CPU clocks, 16.16; the exact time is next_ plus
    // remainder_ / crystal_hz of a 65536th.
    int64_t next_ = 0;
    uint64_t step_ = 0;
    uint64_t step_remainder_ = 0;
    uint64_t remainder_ = 0;
    int32_t last_time_ = 0;
    Band_Synth<12> synth_{max_level - min_level};
};

static_assert(Sound_Chip<Chip_Vrc7>);
