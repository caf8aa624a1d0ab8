#include "Chip_Mmc5.h"

#include "chip/Chip_Require.h"

namespace {

// A pulse at volume 15, as a fraction of full scale at volume 1: the level of
// the 2A03's pulses in Chip_Apu, for an MMC5 pulse sounds as loud as a 2A03
// pulse at the same volume. The console inverts the MMC5's output against
// the 2A03's, but a voice's output has no 2A03 partner to cancel against, so
// its steps keep the 2A03's sign.
constexpr double pulse_level = 0.1128;

constexpr unsigned first_pulse_addr = 0x5000;
constexpr unsigned last_pulse_addr = 0x5007;
constexpr unsigned status_addr = 0x5015;
constexpr unsigned sweep_reg = 1;
constexpr unsigned restart_reg = 3;

}  // namespace

Chip_Mmc5::Chip_Mmc5()
{
    for (Mmc5_Pulse& pulse : pulses_)
        pulse.synth = &synth_;
    set_output(nullptr);
    set_volume(1.0);
    reset();
}

void Chip_Mmc5::reset()
{
    for (Mmc5_Pulse& pulse : pulses_)
        pulse.reset();
    last_time_ = 0;
    frame_countdown_ = frame_timer_period;
    enables_ = 0;
    written_ = false;
}

void Chip_Mmc5::set_volume(double volume)
{
    synth_.set_volume(pulse_level * volume);
}

void Chip_Mmc5::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_Mmc5::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_Mmc5::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    pulses_[osc].output = buffer;
}

void Chip_Mmc5::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_Mmc5::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    pulses_[osc].log = log;
}

void Chip_Mmc5::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    // $5000 / $5004: DDLC VVVV  duty, length halt and envelope loop, constant volume, volume or envelope period
    // $5001 / $5005: ---- ----  no sweep unit: ignored
    // $5002 / $5006: TTTT TTTT  period low
    // $5003 / $5007: LLLL LTTT  length index, period high; restarts the sequence and the envelope
    // $5010 / $5011: the PCM, not emulated: ignored like every other address
    // $5015:         ---- --21  enables
    const bool pulse_reg = addr >= first_pulse_addr && addr <= last_pulse_addr;
    if ((!pulse_reg || (addr & 3) == sweep_reg) && addr != status_addr)
        return;
    run_until(time);
    written_ = true;

    if (addr == status_addr) {
        // $5015: ---- --21  enables; clearing one silences at once, setting
        // one loads no length: the next $5003 / $5007 does.
        enables_ = data & 3;
        for (int i = 0; i < osc_count; ++i) {
            if (!(enables_ >> i & 1))
                pulses_[i].length_counter = 0;
        }
        return;
    }
    const int index = (addr >> 2) & 1;
    const unsigned reg = addr & 3;
    Mmc5_Pulse& pulse = pulses_[index];
    pulse.regs[reg] = static_cast<uint8_t>(data);
    if (reg == restart_reg)
        pulse.restart((enables_ >> index & 1) != 0);
}

void Chip_Mmc5::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    for (;;) {
        // A frame timer clock due at end_time waits for the next run: writes
        // at a time act before the clocks there.
        const int32_t clock_time = last_time_ + frame_countdown_;
        const int32_t to = clock_time < end_time ? clock_time : end_time;
        if (to > last_time_) {
            for (Mmc5_Pulse& pulse : pulses_)
                pulse.run(last_time_, to);
            frame_countdown_ -= to - last_time_;
            last_time_ = to;
        }
        if (to == end_time)
            break;
        for (Mmc5_Pulse& pulse : pulses_)
            pulse.clock_frame();
        frame_countdown_ = frame_timer_period;
    }
}

void Chip_Mmc5::end_frame(int32_t end_time)
{
    if (end_time > last_time_)
        run_until(end_time);
    last_time_ -= end_time;
    written_ = false;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_Mmc5::idle() const
{
    if (written_ || last_time_ != 0)
        return false;
    for (const Mmc5_Pulse& pulse : pulses_) {
        if (pulse.length_counter != 0 || pulse.last_level != 0 || !pulse.envelope_settled())
            return false;
    }
    return true;
}
