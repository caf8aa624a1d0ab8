#include "Chip_Fds.h"

#include "chip/Chip_Require.h"

#include <cmath>
#include <numbers>

namespace {

// A full-scale square, as a fraction of full scale at volume 1: 2.4 times
// the swing of Chip_Apu's pulse at volume 15 (0.1128), as a console measures
// the two. The steps keep the 2A03's sign.
constexpr double square_level = 2.4 * 0.1128;

// Master volume 2/2, 2/3, 2/4, 2/5, in thirtieths.
constexpr int master_thirtieths[4] = {30, 20, 15, 12};

constexpr unsigned io_enable_addr = 0x4023;
constexpr unsigned first_wave_addr = 0x4040;
constexpr unsigned last_wave_addr = 0x407F;
constexpr unsigned first_reg_addr = 0x4080;
constexpr unsigned last_reg_addr = 0x408A;
constexpr int accumulator_carry = 0x10000;
constexpr int envelope_unit = 8;  // clocks of an envelope period per speed step and multiplier

// The table's step codes, as the counter takes them; 4 resets.
constexpr int table_steps[8] = {0, 1, 2, 4, 0, -4, -2, -1};
constexpr int reset_code = 4;

// Clocks until an accumulator at `acc` gaining `step` per clock carries,
// less one: the carry falls in the clock that many clocks from now.
int32_t clocks_to_carry(uint32_t acc, int32_t step)
{
    return static_cast<int32_t>((accumulator_carry - acc + static_cast<uint32_t>(step) - 1) /
                                static_cast<uint32_t>(step)) -
           1;
}

}  // namespace

Chip_Fds::Chip_Fds()
{
    synth_.set_unit(0.1);  // any unit: add_amplitude needs only the kernel
    set_volume(1.0);
    set_lowpass(default_lowpass_hz);
    reset();
}

void Chip_Fds::set_volume(double volume)
{
    // A bound that keeps the arithmetic in range, far past what 16-bit samples hold.
    volume = volume >= 0 ? (volume < max_volume ? volume : max_volume) : 0;  // NaN: silent
    amplitude_scale_ = std::llround(square_level * volume * 65536.0 / max_level * 65536.0);
}

void Chip_Fds::set_clock_rate(double clocks_per_second)
{
    clock_rate_ = clocks_per_second > 0 ? clocks_per_second : ntsc_clock_rate;
    set_lowpass(lowpass_hz_);
}

void Chip_Fds::set_lowpass(double corner_hz)
{
    const double top = clock_rate_ / 8;
    lowpass_hz_ = !(corner_hz >= min_lowpass_hz) ? min_lowpass_hz : corner_hz > top ? top : corner_hz;  // NaN: lowest
    const double per_clock = std::exp(-2 * std::numbers::pi * lowpass_hz_ / clock_rate_);
    for (int k = 0; k <= block_clocks; ++k)
        decay_[k] = std::llround(std::pow(per_clock, k) * static_cast<double>(int64_t{1} << decay_bits));
}

void Chip_Fds::set_output(Band_Buffer* buffer)
{
    osc_output(0, buffer);
}

void Chip_Fds::set_outputs(Band_Buffer* buffer, Band_Buffer* also)
{
    osc_output(0, buffer);
    also_ = also;
}

void Chip_Fds::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_Fds::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    static_cast<void>(osc);
    output_ = buffer;
}

void Chip_Fds::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_Fds::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    static_cast<void>(osc);
    log_ = log;
}

void Chip_Fds::reset()
{
    for (uint8_t& reg : regs_)
        reg = 0;
    for (uint8_t& sample : wave_)
        sample = 0;
    for (uint8_t& entry : table_)
        entry = 0;
    // What the console's start-up code and a player leave: sound enabled,
    // both gains set directly to 0, the wave and the table halted at pitch
    // 0, writes to the wave off, master 2/2, envelope multiplier $E8.
    sound_enabled_ = true;
    regs_[0x0] = 0x80;
    regs_[0x3] = 0x80;
    regs_[0x4] = 0x80;
    regs_[0x7] = 0x80;
    regs_[0xA] = 0xE8;
    vol_ = Envelope{};
    mod_ = Envelope{};
    vol_.reg = regs_[0x0];
    mod_.reg = regs_[0x4];
    vol_.timer = envelope_period(vol_);
    mod_.timer = envelope_period(mod_);
    wave_acc_ = 0;
    wave_pos_ = 0;
    mod_acc_ = 0;
    table_pos_ = 0;
    counter_ = 0;
    held_level_ = 0;
    level_ = 0;
    update_step();
    filtered_ = 0;
    block_start_level_ = 0;
    block_steps_ = 0;
    block_left_ = block_clocks;
    amplitude_ = 0;
    last_time_ = 0;
    written_ = false;
}

int32_t Chip_Fds::wave_step(int c, int g, int p)
{
    // The modulator's bend with the rounding the chip's adder makes: the
    // product's sixteenths nudged away from zero (+2 up, -1 down) when any
    // fraction is lost, wrapped to -64..191, then P times that in 64ths,
    // rounded half up.
    const int product = c * g;
    int t = product >> 4;
    if ((product & 0x0F) != 0 && (t & 0x80) == 0)
        t += c > 0 ? 2 : c < 0 ? -1 : 0;
    if (t >= 192)
        t -= 256;
    else if (t < -64)
        t += 256;
    const int m = p * t;
    return p + (m >> 6) + ((m & 63) >= 32 ? 1 : 0);
}

int Chip_Fds::level() const
{
    if (write_enabled())
        return held_level_;
    const int gain = vol_.gain < max_gain ? vol_.gain : max_gain;
    return wave_[wave_pos_] * gain * master_thirtieths[regs_[9] & 3];
}

int32_t Chip_Fds::envelope_period(const Envelope& env) const
{
    const int32_t period = envelope_unit * ((env.reg & 0x3F) + 1) * regs_[0xA];
    return period > 0 ? period : 1;
}

bool Chip_Fds::envelopes_run() const
{
    return !wave_halted() && (regs_[3] & 0x40) == 0 && regs_[0xA] != 0;
}

void Chip_Fds::tick_envelope(Envelope& env)
{
    if (env.reg & 0x40) {
        if (env.gain < max_gain)
            ++env.gain;
    } else if (env.gain > 0) {
        --env.gain;
    }
}

void Chip_Fds::half_step()
{
    const int code = table_[table_pos_ >> 1];
    const int moved = code == reset_code ? 0 : counter_ + table_steps[code];
    counter_ = ((moved & 0x7F) ^ 0x40) - 0x40;  // 7-bit two's complement
    table_pos_ = (table_pos_ + 1) & 63;
}

void Chip_Fds::clock_once()
{
    if (envelopes_run()) {
        for (Envelope* env : {&vol_, &mod_}) {
            if (!env->manual() && --env->timer == 0) {
                tick_envelope(*env);
                env->timer = envelope_period(*env);
            }
        }
    }
    if (!mod_halted()) {
        if (regs_[7] & 0x40) {
            half_step();
        } else if (mod_frequency() != 0) {
            mod_acc_ += static_cast<uint32_t>(mod_frequency());
            if (mod_acc_ >= accumulator_carry) {
                mod_acc_ -= accumulator_carry;
                half_step();
            }
        }
    }
    update_step();
    wave_acc_ += static_cast<uint32_t>(step_);
    if (wave_acc_ >= accumulator_carry) {
        wave_acc_ -= accumulator_carry;
        wave_pos_ = (wave_pos_ + 1) & (wave_steps - 1);
    }
    const int now = level();
    if (now != level_) {
        level_changed(now);
        if (log_ && !output_)
            log_->change(last_time_, now);
    }
}

void Chip_Fds::level_changed(int new_level)
{
    // The RC's response at the block's end to a step at block_left_ clocks before it.
    block_steps_ += (level_ - new_level) * decay_[block_left_];
    level_ = new_level;
}

void Chip_Fds::advance(int32_t clocks)
{
    advance_others(clocks);
    // Carries here only where they cannot change the level.
    const uint64_t acc = wave_acc_ + static_cast<uint64_t>(step_) * static_cast<uint64_t>(clocks);
    wave_pos_ = static_cast<int>((static_cast<uint64_t>(wave_pos_) + (acc >> 16)) & (wave_steps - 1));
    wave_acc_ = static_cast<uint32_t>(acc & 0xFFFF);
}

void Chip_Fds::advance_others(int32_t clocks)
{
    if (envelopes_run()) {
        for (Envelope* env : {&vol_, &mod_}) {
            if (!env->manual())
                env->timer -= clocks;
        }
    }
    if (!mod_halted() && (regs_[7] & 0x40) == 0)
        mod_acc_ += static_cast<uint32_t>(mod_frequency()) * static_cast<uint32_t>(clocks);
}

int32_t Chip_Fds::clocks_to_event() const
{
    int32_t clocks = clocks_to_other_event();
    // A silent or held output skips the wave's steps: advance() counts them.
    if (step_ > 0 && audible()) {
        const int32_t c = clocks_to_carry(wave_acc_, step_);
        clocks = c < clocks ? c : clocks;
    }
    return clocks;
}

int32_t Chip_Fds::clocks_to_other_event() const
{
    int32_t clocks = INT32_MAX;
    if (envelopes_run()) {
        for (const Envelope* env : {&vol_, &mod_}) {
            if (!env->manual() && env->timer - 1 < clocks)
                clocks = env->timer - 1;
        }
    }
    if (!mod_halted()) {
        if (regs_[7] & 0x40)
            return 0;
        if (mod_frequency() != 0) {
            const int32_t c = clocks_to_carry(mod_acc_, mod_frequency());
            clocks = c < clocks ? c : clocks;
        }
    }
    return clocks;
}

void Chip_Fds::run_steady(int32_t end_time)
{
    // Only the wave steps: the level is the sample times a fixed factor, and
    // the clocks between carries take one of two counts, the longer unless
    // the accumulator left over from the last carry reaches 65536 sooner.
    const auto step = static_cast<uint32_t>(step_);
    const int scale = (vol_.gain < max_gain ? vol_.gain : max_gain) * master_thirtieths[regs_[9] & 3];
    const auto longer = static_cast<int32_t>((accumulator_carry + step - 1) / step);
    const bool logging = log_ && !output_;
    advance_others(end_time - last_time_);
    uint32_t acc = wave_acc_;
    int32_t to_carry = clocks_to_carry(acc, step_) + 1;  // clocks until just past the carry
    for (;;) {
        const int32_t carry_end = last_time_ + to_carry;
        // Blocks that end before the carry's clock.
        while (last_time_ + block_left_ < carry_end && last_time_ + block_left_ <= end_time) {
            acc += static_cast<uint32_t>(block_left_) * step;
            last_time_ += block_left_;
            end_block();
        }
        if (carry_end > end_time) {
            const int32_t clocks = end_time - last_time_;
            acc += static_cast<uint32_t>(clocks) * step;
            block_left_ -= clocks;
            last_time_ = end_time;
            break;
        }
        const int32_t clocks = carry_end - last_time_;
        acc += static_cast<uint32_t>(clocks) * step - accumulator_carry;
        wave_pos_ = (wave_pos_ + 1) & (wave_steps - 1);
        const int now = wave_[wave_pos_] * scale;
        if (now != level_) {
            block_steps_ += (level_ - now) * decay_[block_left_ - (clocks - 1)];
            level_ = now;
            if (logging)
                log_->change(carry_end - 1, now);
        }
        block_left_ -= clocks;
        last_time_ = carry_end;
        if (block_left_ == 0)
            end_block();
        to_carry = longer - (acc + static_cast<uint32_t>(longer - 1) * step >= accumulator_carry ? 1 : 0);
    }
    wave_acc_ = acc;
}

void Chip_Fds::end_block()
{
    // The RC's state at the block's end in closed form: the start's distance
    // from the start's level decayed over the block, plus each step's
    // response (block_steps_), around the level now. Rounded toward zero, so
    // that a held level is reached exactly.
    const int64_t distance = filtered_ - (int64_t{block_start_level_} << 16);
    const int64_t magnitude = distance < 0 ? -distance : distance;
    const int64_t decayed = (magnitude * decay_[block_clocks]) >> decay_bits;
    filtered_ = (int64_t{level_} << 16) + (distance < 0 ? -decayed : decayed) + (block_steps_ >> (decay_bits - 16));
    block_start_level_ = level_;
    block_steps_ = 0;
    block_left_ = block_clocks;
    if (!output_)
        return;
    const auto amplitude = static_cast<int32_t>((filtered_ * amplitude_scale_) >> 32);
    if (amplitude != amplitude_) {
        synth_.add_amplitude(output_->to_buffer_time(last_time_), amplitude - amplitude_, *output_);
        if (also_)
            synth_.add_amplitude(also_->to_buffer_time(last_time_), amplitude - amplitude_, *also_);
        amplitude_ = amplitude;
    }
}

void Chip_Fds::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    if (log_ && !output_)
        log_->change(last_time_, level_);
    while (last_time_ < end_time) {
        if (step_ > 0 && audible()) {
            const int64_t other = int64_t{last_time_} + clocks_to_other_event();
            const int32_t steady_end = other < end_time ? static_cast<int32_t>(other) : end_time;
            if (steady_end - last_time_ >= steady_run) {
                run_steady(steady_end);
                continue;
            }
        }
        const int32_t to_event = clocks_to_event();
        const int64_t event = int64_t{last_time_} + to_event;
        const bool settled = block_steps_ == 0 && block_start_level_ == level_ && filtered_ == int64_t{level_} << 16;
        if (settled) {
            // Blocks that would end where they start pass without a look.
            const int32_t to = event < end_time ? static_cast<int32_t>(event) : end_time;
            const int32_t clocks = to - last_time_;
            advance(clocks);
            last_time_ = to;
            const int32_t past = clocks - block_left_;
            block_left_ = past >= 0 ? block_clocks - past % block_clocks : block_left_ - clocks;
        } else {
            const int32_t block_end = last_time_ + block_left_;
            const int32_t limit = block_end < end_time ? block_end : end_time;
            const int32_t to = event < limit ? static_cast<int32_t>(event) : limit;
            advance(to - last_time_);
            block_left_ -= to - last_time_;
            last_time_ = to;
            if (block_left_ == 0) {
                end_block();
                continue;
            }
        }
        if (last_time_ == event && last_time_ < end_time) {
            clock_once();
            ++last_time_;
            if (--block_left_ == 0)
                end_block();
        }
    }
}

void Chip_Fds::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    // $4023:        ---- --SD  S = 0: the sound registers do not respond
    if (addr == io_enable_addr) {
        sound_enabled_ = (data & 2) != 0;
        return;
    }
    const bool wave_addr = addr >= first_wave_addr && addr <= last_wave_addr;
    const bool reg_addr = addr >= first_reg_addr && addr <= last_reg_addr && addr != 0x4081;
    if (!sound_enabled_ || !(wave_addr || reg_addr))
        return;
    run_until(time);
    written_ = true;
    if (wave_addr) {
        // $4040-$407F: --SS SSSS  wave sample, only while $4089 bit 7 holds the output
        if (write_enabled())
            wave_[addr - first_wave_addr] = static_cast<uint8_t>(data & 0x3F);
        return;
    }
    const unsigned reg = addr - first_reg_addr;
    const bool was_held = write_enabled();
    regs_[reg] = static_cast<uint8_t>(data);
    switch (reg) {
    case 0x0:  // $4080: MDVV VVVV  M: gain := V, envelope off; D: up; V: speed. Restarts the timer.
    case 0x4:  // $4084: MDSS SSSS  the same for the modulation depth
    {
        Envelope& env = reg == 0 ? vol_ : mod_;
        env.reg = static_cast<uint8_t>(data);
        if (env.manual())
            env.gain = data & 0x3F;
        env.timer = envelope_period(env);
        break;
    }
    case 0x3:  // $4083: HExx PPPP  H: wave halted at position 0; E: envelopes stopped, timers reset; pitch high
        if (data & 0x80) {
            wave_acc_ = 0;
            wave_pos_ = 0;
        }
        if (data & 0x40) {
            vol_.timer = envelope_period(vol_);
            mod_.timer = envelope_period(mod_);
        }
        break;
    case 0x5:  // $4085: -CCC CCCC  the counter, 7-bit two's complement
        counter_ = ((data & 0x7F) ^ 0x40) - 0x40;
        break;
    case 0x7:  // $4087: HFxx FFFF  H: table halted, accumulator cleared, $4088 open; F: step every clock; MF high
        if (data & 0x80)
            mod_acc_ = 0;
        break;
    case 0x8:  // $4088: ---- -MMM  the entry at the table's position, then the next entry
        if (mod_halted()) {
            table_[table_pos_ >> 1] = static_cast<uint8_t>(data & 7);
            table_pos_ = (table_pos_ + 2) & 63;
        }
        break;
    case 0x9:  // $4089: W--- --VV  W: wave writes open, output held; master volume 2/2..2/5
        if (!was_held)
            held_level_ = level_;
        break;
    case 0xA:  // $408A: SSSS SSSS  envelope speed multiplier (0: envelopes off); restarts both timers
        vol_.timer = envelope_period(vol_);
        mod_.timer = envelope_period(mod_);
        break;
    default:  // $4082 pitch low, $4086 modulation frequency low: read where used
        break;
    }
    update_step();
    const int now = level();
    if (now != level_)
        level_changed(now);
}

void Chip_Fds::end_frame(int32_t end_time)
{
    if (end_time > last_time_)
        run_until(end_time);
    last_time_ -= end_time;
    written_ = false;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_Fds::idle() const
{
    if (written_ || last_time_ != 0 || level_ != 0 || filtered_ != 0 || block_steps_ != 0 || amplitude_ != 0)
        return false;
    if (write_enabled())
        return held_level_ == 0;
    const bool can_rise = envelopes_run() && !vol_.manual() && (vol_.reg & 0x40) != 0;
    return vol_.gain == 0 && !can_rise;
}
