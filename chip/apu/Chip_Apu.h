// The audio unit of the NES 2A03: two pulses, triangle, noise and delta
// modulation, the frame sequencer that clocks their envelopes, length
// counters, sweeps and linear counter, and the registers at $4000-$4017.
// Driven like the device: every operation takes a time in chip clocks from the
// start of the current frame, first runs the chip up to it (as far as the
// operation can tell), then acts.
#pragma once

#include "Chip_Oscs.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_Apu {
public:
    // A pulse's full swing (15 steps) at volume 1, as a fraction of full scale.
    static constexpr double pulse_level = 0.1128;
    static constexpr int osc_count = 5;  // indices: pulse 1, pulse 2, triangle, noise, delta modulation
    static constexpr unsigned start_addr = 0x4000;
    static constexpr unsigned end_addr = 0x4017;
    static constexpr int32_t no_irq = apu_no_irq;
    static constexpr int32_t ntsc_frame_period = 7458;

    using Irq_Notifier = void (*)(void* data);

    Chip_Apu();
    Chip_Apu(const Chip_Apu&) = delete;
    Chip_Apu& operator=(const Chip_Apu&) = delete;

    void reset();
    // Rebuilds the synthesisers' tables and takes the triangle's shared rows:
    // allocates and locks, so never on the audio thread.
    void set_volume(double volume);
    // None (null) silences: an oscillator without output does nothing when run.
    void set_output(Band_Buffer* buffer);
    void osc_output(int osc, Band_Buffer* buffer);
    // An oscillator without output logs its raw level into `log` (null: none).
    void osc_log(int osc, Level_Log* log);
    void set_dmc_reader(Dmc_Osc::Rom_Reader reader, void* data);
    // Bytes the delta modulation reads from memory itself, at CPU addresses
    // from `base` on, `size` of them; the reader answers every other address.
    // Null, as set_dmc_reader leaves it: the reader answers all.
    void set_dmc_memory(const uint8_t* bytes, unsigned base, unsigned size);
    // The delta modulation's rates in clocks per bit differ between the NTSC
    // and the PAL chip; the choice outlives reset(). The rate index written
    // stays, and its bits take the new standard's clocks from the next one on.
    void set_pal(bool pal);
    void set_irq_notifier(Irq_Notifier notify, void* data);

    // Writes outside $4000-$4017 are ignored.
    void write_register(int32_t time, unsigned addr, int data);
    void run_until(int32_t end_time);
    // Runs the frame sequencer, the noise and the delta modulation to
    // `end_time`, as a write there would; the pulses and the triangle follow
    // when their output is about to change, or at run_until.
    void advance_to(int32_t end_time);
    // Runs to `end_time` and makes it time 0 of the next frame.
    void end_frame(int32_t end_time);
    void update_irq();
    // Never: the frame sequencer and the noise's shift register move on every
    // frame, sounding or not, and the notes after the frame hear where they are.
    bool idle() const { return false; }

    int32_t last_time() const { return last_time_; }
    int32_t earliest_irq() const { return earliest_irq_; }
    int32_t next_irq() const { return next_irq_; }
    int32_t frame_countdown() const { return frame_countdown_; }
    int32_t frame_step() const { return frame_step_; }
    int32_t channel_enables() const { return channel_enables_; }
    int32_t frame_mode() const { return frame_mode_; }
    bool frame_irq_flag() const { return frame_irq_flag_; }
    const Pulse_Osc& pulse(int index) const { return index == 0 ? pulse1_ : pulse2_; }
    const Triangle_Osc& triangle() const { return triangle_; }
    const Noise_Osc& noise() const { return noise_; }
    const Dmc_Osc& dmc() const { return dmc_; }
    const Band_Synth<12>& pulse_synth() const { return pulse_synth_; }

private:
    friend struct Dmc_Osc;  // ends its sample: clears its enable bit, updates the interrupt
    // Lets the chip's tests reach times that no register sequence produces.
    friend struct Chip_Apu_Test_Access;

    // The pulses and the triangle run only when something their output
    // depends on is about to change (a write that changes their registers'
    // effect, a frame step that changes their volume, period or gate), or
    // when the whole chip is run. A run split anywhere else adds the same
    // steps as one run, so their output is the same, with fewer calls: an
    // instrument that writes the same registers every frame runs them once a
    // frame. The noise (whose register moves on once per silent run) and the
    // delta modulation (whose sample end clears its enable bit) run at every
    // piece, as before.
    static constexpr int lazy_count = 3;
    // Runs lazy oscillator `index` to `time`.
    void catch_up(int index, int32_t time);
    // Runs every lazy oscillator to last_time_: before a change of how they
    // sound, which applies from there on.
    void catch_up_all();
    void clock_frame_step(int32_t time);

    Apu_Osc* oscs_[osc_count];
    Pulse_Osc pulse1_;
    Pulse_Osc pulse2_;
    Noise_Osc noise_;
    Triangle_Osc triangle_;
    Dmc_Osc dmc_;
    int32_t last_time_ = 0;
    int32_t lazy_times_[lazy_count] = {};  // where each lazy oscillator has run to, at most last_time_
    int32_t earliest_irq_ = no_irq;        // 0: pending now
    int32_t next_irq_ = no_irq;            // next frame interrupt
    int32_t frame_period_ = ntsc_frame_period;
    int32_t frame_countdown_ = 0;  // clocks from last_time_ to the next sequencer step
    int32_t frame_step_ = 0;       // 0..3
    int32_t channel_enables_ = 0;  // last $4015, less the bit of a sample that has ended
    int32_t frame_mode_ = 0;       // last $4017
    bool frame_irq_flag_ = false;
    Irq_Notifier irq_notify_ = nullptr;
    void* irq_data_ = nullptr;
    Band_Synth<12> pulse_synth_{15};
};

static_assert(Sound_Chip<Chip_Apu>);
