#include "Chip_Apu.h"

#include "chip/Chip_Require.h"

namespace {

constexpr int dmc_index = 4;
constexpr int dmc_bit = 0x10;

}  // namespace

Chip_Apu::Chip_Apu()
{
    oscs_[0] = &pulse1_;
    oscs_[1] = &pulse2_;
    oscs_[2] = &triangle_;
    oscs_[3] = &noise_;
    oscs_[4] = &dmc_;
    dmc_.apu = this;
    pulse1_.synth = &pulse_synth_;
    pulse2_.synth = &pulse_synth_;
    set_output(nullptr);
    set_volume(1.0);
    reset();
}

void Chip_Apu::reset()
{
    catch_up_all();  // what has sounded stays in the output, as when every oscillator ran along
    frame_period_ = ntsc_frame_period;
    pulse1_.reset();
    pulse2_.reset();
    triangle_.reset();
    noise_.reset();
    dmc_.reset();

    last_time_ = 0;
    for (int32_t& time : lazy_times_)
        time = 0;
    channel_enables_ = 0;
    frame_irq_flag_ = false;
    earliest_irq_ = no_irq;
    frame_countdown_ = 1;

    write_register(0, 0x4017, 0);
    write_register(0, 0x4015, 0);
    // Every oscillator register gets written, so every written flag is set:
    // constant volume 0 for pulses and noise, linear reload 0x10, DAC 0.
    for (unsigned addr = start_addr; addr <= 0x4013; ++addr)
        write_register(0, addr, (addr & 3) ? 0 : 0x10);

    dmc_.dac = 0;
    if (!dmc_.nonlinear)
        dmc_.last_level = 0;
}

void Chip_Apu::set_volume(double volume)
{
    catch_up_all();  // what the lazy oscillators have still to run sounds at the old volume
    dmc_.nonlinear = false;
    pulse_synth_.set_volume(pulse_level * volume);
    triangle_.set_volume(0.12765 * volume);
    noise_.synth.set_volume(0.0741 * volume);
    dmc_.synth.set_volume(0.42545 * volume);
}

void Chip_Apu::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_Apu::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_Apu::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    catch_up_all();
    oscs_[osc]->output = buffer;
}

void Chip_Apu::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_Apu::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    catch_up_all();
    oscs_[osc]->log = log;
}

void Chip_Apu::set_dmc_reader(Dmc_Osc::Rom_Reader reader, void* data)
{
    dmc_.rom_reader = reader;
    dmc_.rom_reader_data = data;
    set_dmc_memory(nullptr, 0, 0);
}

void Chip_Apu::set_dmc_memory(const uint8_t* bytes, unsigned base, unsigned size)
{
    dmc_.memory = bytes;
    dmc_.memory_base = base;
    dmc_.memory_size = bytes ? size : 0;
}

void Chip_Apu::set_pal(bool pal)
{
    dmc_.periods = pal ? dmc_pal_period_table : dmc_period_table;
    dmc_.period = dmc_.periods[dmc_.regs[0] & 15];
}

void Chip_Apu::set_irq_notifier(Irq_Notifier notify, void* data)
{
    irq_notify_ = notify;
    irq_data_ = data;
}

void Chip_Apu::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "addr > 0x20", addr > 0x20);
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    if (addr < start_addr || addr > end_addr)
        return;
    advance_to(time);

    if (addr < 0x4014) {
        const int index = static_cast<int>(addr - start_addr) >> 2;
        const int reg = addr & 3;
        const bool enabled = (channel_enables_ >> index) & 1;
        if (index < 2 ? (index == 0 ? pulse1_ : pulse2_).write_changes_output(reg, data)
                      : index == 2 && triangle_.write_changes_output(reg, data, enabled))
            catch_up(index, time);
        Apu_Osc& osc = *oscs_[index];
        osc.regs[reg] = static_cast<uint8_t>(data);
        osc.written[reg] = true;
        if (index == dmc_index) {
            dmc_.write_register(reg, data);
        } else if (reg == 3) {
            // $4003 / $4007 / $400B / $400F: LLLL LHHH  length index, period high
            if (enabled)
                osc.length_counter = length_table[(data >> 3) & 0x1F];
            if (index < 2)
                (index == 0 ? pulse1_ : pulse2_).phase = 7;  // the next step starts a cycle
        }
    } else if (addr == 0x4015) {
        // Only a channel switched off while it counts changes at once (its
        // length goes to 0): a channel off has none, and switching one on
        // loads none.
        for (int i = 0; i < lazy_count; ++i) {
            if (((channel_enables_ & ~data) >> i) & 1 && oscs_[i]->length_counter != 0)
                catch_up(i, time);
        }
        // $4015: ---D NTPP  enables per oscillator index. Clearing a bit
        // silences at once; setting one never reloads a length counter.
        for (int i = osc_count - 1; i >= 0; --i) {
            if (!((data >> i) & 1))
                oscs_[i]->length_counter = 0;
        }
        const bool had_dmc_irq = dmc_.irq_flag;
        dmc_.irq_flag = false;
        const int old_enables = channel_enables_;
        channel_enables_ = data;
        if (!(data & dmc_bit)) {
            dmc_.next_irq = no_irq;
            update_irq();
        } else {
            if (!(old_enables & dmc_bit))
                dmc_.start();
            if (had_dmc_irq)
                update_irq();
        }
    } else if (addr == 0x4017) {
        // $4017: MI-- ----  five-step mode, frame interrupt inhibit
        frame_countdown_ &= 1;
        const bool irq_enabled = !(data & 0x40);
        frame_irq_flag_ = frame_irq_flag_ && irq_enabled;
        frame_mode_ = data;
        next_irq_ = no_irq;
        frame_step_ = 0;
        if (!(data & 0x80)) {
            frame_step_ = 1;
            frame_countdown_ += frame_period_;
            if (irq_enabled)
                next_irq_ = time + frame_countdown_ + 3 * frame_period_;
        }
        // In five-step mode the countdown stays 0 or 1: step 0 follows at once.
        update_irq();
    }
}

void Chip_Apu::run_until(int32_t end_time)
{
    advance_to(end_time);
    for (int i = 0; i < lazy_count; ++i)
        catch_up(i, end_time);
}

void Chip_Apu::advance_to(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    for (;;) {
        int32_t time = last_time_ + frame_countdown_;
        if (time > end_time)
            time = end_time;
        frame_countdown_ -= time - last_time_;

        noise_.run(last_time_, time);
        dmc_.run(last_time_, time);
        last_time_ = time;

        if (time == end_time)
            break;
        clock_frame_step(time);
    }
}

void Chip_Apu::catch_up(int index, int32_t time)
{
    // A run to the time already reached changes nothing.
    int32_t& from = lazy_times_[index];
    if (from == time)
        return;
    if (index == 2)
        triangle_.run(from, time);
    else
        (index == 0 ? pulse1_ : pulse2_).run(from, time);
    from = time;
}

void Chip_Apu::catch_up_all()
{
    for (int i = 0; i < lazy_count; ++i)
        catch_up(i, last_time_);
}

void Chip_Apu::clock_frame_step(int32_t time)
{
    const bool half_frame = frame_step_ == 0 || frame_step_ == 2;
    if (pulse1_.frame_step_changes_output(half_frame))
        catch_up(0, time);
    if (pulse2_.frame_step_changes_output(half_frame))
        catch_up(1, time);
    if (triangle_.frame_step_changes_output(half_frame))
        catch_up(2, time);
    frame_countdown_ = frame_period_;
    switch (frame_step_++) {
    case 0:
        if (!(frame_mode_ & 0xC0)) {
            next_irq_ = time + 4 * frame_period_ + 1;
            frame_irq_flag_ = true;
        }
        [[fallthrough]];
    case 2:
        pulse1_.clock_length(halt_pulse_noise);
        pulse2_.clock_length(halt_pulse_noise);
        noise_.clock_length(halt_pulse_noise);
        triangle_.clock_length(halt_triangle);
        pulse1_.clock_sweep(-1);
        pulse2_.clock_sweep(0);
        break;
    case 1:
        frame_countdown_ = frame_period_ - 2;
        break;
    case 3:
        frame_step_ = 0;
        if (frame_mode_ & 0x80)
            frame_countdown_ = 2 * frame_period_ - 6;  // the fifth step
        break;
    }
    triangle_.clock_linear_counter();
    pulse1_.clock_envelope();
    pulse2_.clock_envelope();
    noise_.clock_envelope();
}

void Chip_Apu::end_frame(int32_t end_time)
{
    run_until(end_time > last_time_ ? end_time : last_time_);
    last_time_ -= end_time;
    for (int32_t& time : lazy_times_)
        time = last_time_;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
    if (next_irq_ != no_irq) {
        next_irq_ -= end_time;
        PLINKA_CHIP_REQUIRE("next_irq >= 0", "next_irq >= 0", next_irq_ >= 0);
    }
    if (dmc_.next_irq != no_irq) {
        dmc_.next_irq -= end_time;
        PLINKA_CHIP_REQUIRE("dmc.next_irq >= 0", "dmc.next_irq >= 0", dmc_.next_irq >= 0);
    }
    if (earliest_irq_ != no_irq) {
        earliest_irq_ -= end_time;
        if (earliest_irq_ < 0)
            earliest_irq_ = 0;
    }
}

void Chip_Apu::update_irq()
{
    int32_t t = dmc_.next_irq;
    if (frame_irq_flag_ || dmc_.irq_flag)
        t = 0;
    else if (t > next_irq_)
        t = next_irq_;
    if (t != earliest_irq_) {
        earliest_irq_ = t;
        if (irq_notify_)
            irq_notify_(irq_data_);
    }
}
