#include "Chip_Vrc6.h"

#include "chip/Chip_Require.h"

namespace {

// A pulse at volume 15, as a fraction of full scale at volume 1: the level
// of the 2A03's pulses in Chip_Apu. The cartridge adds its three outputs
// linearly, and a VRC6 pulse at 15 sounds about as loud as a 2A03 pulse at
// 15, so each of its steps is a 2A03 pulse step (0.1128 / 15). The saw's
// 0..31 counts the same steps: at its loudest it swings about twice as far.
constexpr double pulse_level = 0.1128;

constexpr unsigned pulse1_page = 0x9;
constexpr unsigned saw_page = 0xB;
constexpr unsigned frequency_control_addr = 0x9003;
constexpr int saw_index = 2;

}  // namespace

Chip_Vrc6::Chip_Vrc6()
{
    oscs_[0] = &pulse1_;
    oscs_[1] = &pulse2_;
    oscs_[2] = &saw_;
    for (Vrc6_Osc* osc : oscs_)
        osc->synth = &synth_;
    set_output(nullptr);
    set_volume(1.0);
    reset();
}

void Chip_Vrc6::reset()
{
    pulse1_.reset();
    pulse2_.reset();
    saw_.reset();
    frequency_control_ = 0;
    clocking_ = {};
    last_time_ = 0;
}

void Chip_Vrc6::set_volume(double volume)
{
    synth_.set_volume(pulse_level * volume);
}

void Chip_Vrc6::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_Vrc6::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_Vrc6::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    oscs_[osc]->output = buffer;
}

void Chip_Vrc6::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_Vrc6::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    oscs_[osc]->log = log;
}

void Chip_Vrc6::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    const unsigned page = addr >> 12;
    const unsigned reg = addr & 0xFFF;
    if (page < pulse1_page || page > saw_page || reg > 3 || (reg == 3 && addr != frequency_control_addr))
        return;
    run_until(time);

    if (reg == 3) {
        // $9003: .... .ABH  256 times the frequency (period >> 8, before A),
        // 16 times (period >> 4), halt
        frequency_control_ = data;
        clocking_.halt = (data & 1) != 0;
        clocking_.shift = (data & 4) ? 8 : (data & 2) ? 4 : 0;
        return;
    }
    const int index = static_cast<int>(page - pulse1_page);
    Vrc6_Osc& osc = *oscs_[index];
    const bool was_enabled = osc.enabled();
    osc.regs[reg] = static_cast<uint8_t>(data);
    if (reg != 2)
        return;
    // $x002: E... PPPP  Enabling starts a whole divider step; disabling sends
    // the sequence back to its start (the saw's accumulator to 0).
    if (!was_enabled && osc.enabled())
        osc.delay = osc.step_length(clocking_);
    if (!osc.enabled()) {
        if (index == saw_index) {
            saw_.phase = 0;
            saw_.accumulator = 0;
        } else {
            (index == 0 ? pulse1_ : pulse2_).phase = 0;
        }
    }
}

void Chip_Vrc6::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    pulse1_.run(last_time_, end_time, clocking_);
    pulse2_.run(last_time_, end_time, clocking_);
    saw_.run(last_time_, end_time, clocking_);
    last_time_ = end_time;
}

void Chip_Vrc6::end_frame(int32_t end_time)
{
    if (end_time > last_time_)
        run_until(end_time);
    last_time_ -= end_time;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_Vrc6::idle() const
{
    for (const Vrc6_Osc* osc : oscs_)
        if (osc->enabled() || osc->last_level != 0)
            return false;
    return last_time_ == 0;
}
