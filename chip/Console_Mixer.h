// The console's mix of its channels' raw levels: not a sum. The 2A03 sums
// its two pulses through one resistor network and its triangle, noise and
// delta modulation through another, each of which compresses loud sums:
//
//   pulse_out = 95.88 / (8128 / (p1 + p2) + 100)                        (0 when p1 + p2 = 0)
//   tnd_out   = 159.79 / (1 / (t / 8227 + n / 12241 + d / 22638) + 100)  (0 when t = n = d = 0)
//
// with p1, p2, t, n in 0..15 and d in 0..127; output = pulse_out + tnd_out,
// as a fraction of full scale. The VRC6 on the cartridge adds its three
// outputs linearly beside that, one of its steps worth a 2A03 pulse step as
// in the per-voice mix (see Chip_Vrc6.cpp): pulse_out(15) / 15, so that a VRC6
// pulse at 15 is as loud as a lone 2A03 pulse at 15. The 5B's channels add
// linearly too, each through its logarithmic DAC, level 31 being 2.5 dB below
// a lone 2A03 pulse at 15 as in the per-voice mix (see Chip_S5b.cpp). The
// MMC5's two pulses mix through the 2A03 pulses' formula, as a pair of their
// own.
#pragma once

#include <cstdint>

class Console_Mixer {
public:
    static constexpr int pulse_entries = 31;  // p1 + p2
    static constexpr int tnd_entries = 16 * 16 * 128;

    // Fills the tables: the only costly step, never on the audio thread.
    Console_Mixer();

    static double pulse_out(int pulse_sum);
    static double tnd_out(int triangle, int noise, int dmc);

    float pulse(int pulse_sum) const { return pulse_[pulse_sum]; }
    float tnd(int triangle, int noise, int dmc) const { return tnd_[(triangle * 16 + noise) * 128 + dmc]; }
    // The same at index (triangle << 4 | noise) << 7 | dmc.
    float tnd_at(int index) const { return tnd_[index]; }
    // One VRC6 step: the three channels' levels add, the saw's 0..31 too.
    float vrc6_step() const { return vrc6_step_; }
    static constexpr int s5b_levels = 32;
    // A 5B channel at raw level 0..31: 2^((L - 31) / 4) of its full scale, 0 silent.
    static double s5b_out(int level);
    float s5b(int level) const { return s5b_[level]; }

private:
    float pulse_[pulse_entries];
    float tnd_[tnd_entries];
    float vrc6_step_;
    float s5b_[s5b_levels];
};
