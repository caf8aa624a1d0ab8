#include "Chip_Oscs.h"

#include "Chip_Apu.h"
#include "chip/Chip_Require.h"

#include <algorithm>
#include <bit>

namespace {

constexpr int max_volume = 15;
constexpr int pulse_phases = 8;
constexpr int min_pulse_period = 8;  // shorter ones would be ultrasonic; the chip mutes them
constexpr int max_period = 0x7FF;
constexpr int dmc_max_dac = 0x7F;
constexpr int noise_bits = 15;
constexpr uint32_t noise_mask = (1u << noise_bits) - 1;
// Timer events a noise run takes from its register at once: as many as the
// output-change mask holds.
constexpr int32_t noise_chunk = 64 - noise_bits;

// The register's next 64 outputs (its 15 bits, then the 49 it shifts in) are
// an XOR-linear function of its bits, so three lookups of five bits each
// give them: each entry is the sequence that its bits alone would start.
// Bit k + 15 is bit k XOR bit k + tap.
struct Noise_Ahead {
    uint64_t groups[3][32];
};
constexpr int noise_group_bits = 5;

constexpr Noise_Ahead noise_ahead_table(int tap)
{
    Noise_Ahead table{};
    for (int group = 0; group < 3; ++group) {
        for (uint64_t value = 0; value < 32; ++value) {
            uint64_t sequence = value << (noise_group_bits * group);
            for (int k = 0; k < noise_chunk; ++k)
                sequence |= ((sequence >> k ^ sequence >> (k + tap)) & 1) << (k + noise_bits);
            table.groups[group][value] = sequence;
        }
    }
    return table;
}
constexpr Noise_Ahead noise_ahead_long = noise_ahead_table(1);
constexpr Noise_Ahead noise_ahead_short = noise_ahead_table(6);

}  // namespace

// ---- common ----

void Apu_Osc::clock_length(int halt_mask)
{
    if (length_counter && !(regs[0] & halt_mask))
        --length_counter;
}

void Apu_Osc::reset()
{
    for (int i = 0; i < 4; ++i) {
        regs[i] = 0;
        written[i] = false;
    }
    length_counter = 0;
    delay = 0;
    last_level = 0;
}

// $4000 / $4004 / $400C: --LC VVVV  loop, constant volume, volume or envelope period
void Apu_Env_Osc::clock_envelope()
{
    const int period = regs[0] & 15;
    if (written[3]) {
        written[3] = false;
        env_divider = period;
        env_volume = max_volume;
    } else if (--env_divider < 0) {
        env_divider = period;
        if (env_volume || (regs[0] & 0x20))
            env_volume = (env_volume - 1) & 15;
    }
}

int Apu_Env_Osc::volume() const
{
    if (length_counter == 0)
        return 0;
    return (regs[0] & 0x10) ? regs[0] & 15 : env_volume;
}

void Apu_Env_Osc::reset()
{
    Apu_Osc::reset();
    env_volume = 0;
    env_divider = 0;
}

// ---- pulse ----

// $4001 / $4005: EPPP NSSS  sweep enable, period, negate, shift
void Pulse_Osc::clock_sweep(int negate_adjust)
{
    if (--sweep_divider < 0) {
        written[1] = true;
        int p = timer_period();
        const int shift = regs[1] & 7;
        if (shift && (regs[1] & 0x80) && p >= min_pulse_period) {
            int offset = p >> shift;
            if (regs[1] & 0x08)
                offset = negate_adjust - offset;
            if (p + offset <= max_period) {
                p += offset;
                regs[2] = static_cast<uint8_t>(p & 0xFF);
                regs[3] = static_cast<uint8_t>((regs[3] & ~7) | ((p >> 8) & 7));
            }
        }
    }
    if (written[1]) {
        written[1] = false;
        sweep_divider = (regs[1] >> 4) & 7;
    }
}

void Pulse_Osc::run(int32_t time, int32_t end_time)
{
    if (!output) {
        if (log)
            run_logged(time, end_time);
        return;
    }
    const int vol = volume();
    const int p = timer_period();
    const int32_t step = (p + 1) * 2;

    if (muted(vol, p)) {
        if (last_level) {
            synth->add_delta(time, -last_level, *output);
            last_level = 0;
        }
        time += delay;
        if (time < end_time)
            time = skip(time, end_time, step);
    } else {
        // $4000 / $4004 bits 7-6: duty 12.5, 25, 50 or 75 % (25 % inverted)
        const int duty_select = regs[0] >> 6;
        int duty = 1 << duty_select;
        int level = 0;
        if (duty_select == 3) {
            duty = 2;
            level = vol;
        }
        if (phase < duty)
            level ^= vol;
        if (level != last_level)
            synth->add_delta(time, level - last_level, *output);
        last_level = level;

        time += delay;
        if (time < end_time) {
            Band_Buffer& out = *output;
            int d = 2 * level - vol;
            do {
                phase = (phase + 1) & (pulse_phases - 1);
                if (phase == 0 || phase == duty) {
                    d = -d;
                    synth->add_delta(time, d, out);
                }
                time += step;
            } while (time < end_time);
            last_level = (d + vol) >> 1;
        }
    }
    delay = time - end_time;
}

void Pulse_Osc::run_logged(int32_t time, int32_t end_time)
{
    const int vol = volume();
    const int p = timer_period();
    const int32_t step = (p + 1) * 2;
    const bool silent = muted(vol, p);
    const int duty_select = regs[0] >> 6;
    const int duty = duty_select == 3 ? 2 : 1 << duty_select;
    const int inverted = duty_select == 3 ? vol : 0;
    log->change(time, silent ? 0 : (phase < duty ? vol : 0) ^ inverted);
    time += delay;
    if (silent) {
        if (time < end_time)
            time = skip(time, end_time, step);
    } else {
        Level_Log::Writer out(*log);
        int ph = phase;
        for (; time < end_time; time += step) {
            ph = (ph + 1) & (pulse_phases - 1);
            out.change(time, (ph < duty ? vol : 0) ^ inverted);
        }
        out.close();
        phase = ph;
    }
    last_level = log->level;
    delay = time - end_time;
}

bool Pulse_Osc::muted(int vol, int p) const
{
    // A sweep that would carry the period past 11 bits mutes the channel even
    // when the sweep is off.
    const int offset = (regs[1] & 0x08) ? 0 : p >> (regs[1] & 7);
    return vol == 0 || p < min_pulse_period || p + offset > max_period;
}

int32_t Pulse_Osc::skip(int32_t time, int32_t end_time, int32_t step)
{
    // The sequencer keeps its phase while silent.
    const int32_t count = step_count.events_in(end_time - time, step);
    phase = (phase + count) & (pulse_phases - 1);
    return time + count * step;
}

void Pulse_Osc::reset()
{
    Apu_Env_Osc::reset();
    sweep_divider = 0;
}

// ---- triangle ----

int Triangle_Osc::level_of(int ph)
{
    const int level = 16 - ph;
    return level < 0 ? ph - 17 : level;
}

// $4008: CRRR RRRR  control (length halt, reload kept pending), linear reload value
void Triangle_Osc::clock_linear_counter()
{
    if (written[3])
        linear_counter = regs[0] & 0x7F;
    else if (linear_counter)
        --linear_counter;
    if (!(regs[0] & 0x80))
        written[3] = false;
}

void Triangle_Osc::run(int32_t time, int32_t end_time)
{
    if (!output) {
        if (log)
            run_logged(time, end_time);
        return;
    }
    const int level = level_of(phase);
    if (level != last_level) {
        synth.add_delta(time, level - last_level, *output);
        last_level = level;
    }

    time += delay;
    const int32_t step = timer_period() + 1;
    if (length_counter == 0 || linear_counter == 0 || step < 3) {
        // The sequencer stops and the output holds its level; periods 0 and 1
        // would be ultrasonic.
        time = end_time;
    } else if (time < end_time) {
        // Each timer event moves the phase down by one, from 1 to 32 at the
        // bottom; the turns repeat an end level and change nothing.
        Band_Buffer& out = *output;
        PLINKA_CHIP_REQUIRE("Triangle_Osc: volume set through set_volume", "cycle_build == synth.table_builds()",
                            cycle_build == synth.table_builds());
        const int32_t events = step_count.events_in(end_time - time, step);
        const uint32_t pos_step = out.factor() * static_cast<uint32_t>(step);
        synth.add_cycle_steps(out.to_buffer_time(time), pos_step, events, cycle, static_cast<uint32_t>(32 - phase) % 32,
                              out);
        time += events * step;
        phase = (phase - 1 - events % 32 + 32) % 32 + 1;
        last_level = level_of(phase);
    }
    delay = time - end_time;
}

void Triangle_Osc::set_volume(double volume)
{
    synth.set_volume(volume);
    if (cycle_build == synth.table_builds())
        return;
    rows = Triangle_Rows::shared_for(synth);
    build_cycle();
    cycle_build = synth.table_builds();
}

void Triangle_Osc::build_cycle()
{
    for (int32_t ph = 1; ph <= 32; ++ph) {
        const int delta = level_of(ph == 1 ? 32 : ph - 1) - level_of(ph);
        const auto event = static_cast<uint32_t>(32 - ph) % 32;
        const uint32_t* table = delta > 0 ? rows->up() : delta < 0 ? rows->down() : synth.zero_aligned_table;
        cycle.set(event, static_cast<int8_t>(delta), table);
    }
}

void Triangle_Osc::run_logged(int32_t time, int32_t end_time)
{
    log->change(time, level_of(phase));
    time += delay;
    const int32_t step = timer_period() + 1;
    if (length_counter == 0 || linear_counter == 0 || step < 3) {
        time = end_time;
    } else {
        Level_Log::Writer out(*log);
        int ph = phase;
        for (; time < end_time; time += step) {
            ph = ph == 1 ? 32 : ph - 1;  // the sequence repeats each end level as it turns
            out.change(time, level_of(ph));
        }
        out.close();
        phase = ph;
    }
    last_level = log->level;
    delay = time - end_time;
}

void Triangle_Osc::reset()
{
    Apu_Osc::reset();
    linear_counter = 0;
    phase = 16;
}

// ---- noise ----

// $400E: M--- PPPP  short mode, period index
void Noise_Osc::run(int32_t time, int32_t end_time)
{
    if (!output) {
        if (log)
            run_logged(time, end_time);
        return;
    }
    const int vol = volume();
    const int level = (shift_reg & 1) ? vol : 0;
    if (level != last_level)
        synth.add_delta(time, level - last_level, *output);
    last_level = level;

    time += delay;
    if (time < end_time) {
        const int32_t period = noise_period_table[regs[2] & 15];
        if (vol == 0) {
            time = skip_silent(time, end_time, period);
        } else {
            // The register shifts right, so its low bits are the next outputs:
            // a chunk of timer events is read off at once, and only the events
            // that change the output cost anything. Bit 14 receives bit 0 XOR
            // bit 1 (long mode) or bit 0 XOR bit 6 (short).
            const bool short_mode = (regs[2] & 0x80) != 0;
            const Noise_Ahead& ahead_of = short_mode ? noise_ahead_short : noise_ahead_long;
            Band_Buffer& out = *output;
            uint32_t pos = out.to_buffer_time(time);
            const uint32_t pos_step = out.factor() * static_cast<uint32_t>(period);
            const int32_t events = step_count.events_in(end_time - time, period);
            time += events * period;
            int d = 2 * level - vol;
            auto bits = static_cast<uint32_t>(shift_reg);
            // Advances the register n events, answering the events among them
            // that change the output: event i does when bits i and i + 1
            // differ.
            auto take = [&](int32_t n) {
                constexpr uint32_t group_mask = (1u << noise_group_bits) - 1;
                const uint64_t ahead = ahead_of.groups[0][bits & group_mask] ^
                                       ahead_of.groups[1][(bits >> noise_group_bits) & group_mask] ^
                                       ahead_of.groups[2][bits >> (2 * noise_group_bits)];
                const uint64_t changes = (ahead ^ (ahead >> 1)) & ((uint64_t{1} << n) - 1);
                bits = static_cast<uint32_t>(ahead >> n) & noise_mask;
                return changes;
            };
            using Synth = Band_Synth<8>;
            if (pos_step <= Synth::pair_span / 2) {
                // Several events to a pair of samples: a chunk's changes are
                // summed first. A reciprocal from below never lets a chunk
                // reach past the window.
                const uint32_t reciprocal = 0xFFFFFFFF / pos_step;
                for (int32_t left = events; left > 0;) {
                    const uint32_t room = Synth::window_pairs * Synth::pair_span - 1 - pos % Synth::pair_span;
                    const auto in_window = static_cast<int32_t>((uint64_t{room} * reciprocal) >> 32) + 1;
                    const int32_t n = std::min({left, noise_chunk, in_window});
                    if (const uint64_t changes = take(n)) {
                        synth.add_sums(pos / Synth::pair_span, synth.alternating_sums(pos, pos_step, changes), -d, out);
                        if (std::popcount(changes) & 1)
                            d = -d;
                    }
                    left -= n;
                    pos += static_cast<uint32_t>(n) * pos_step;
                }
            } else {
                for (int32_t left = events; left > 0; left -= noise_chunk) {
                    const int32_t n = left < noise_chunk ? left : noise_chunk;
                    for (uint64_t changes = take(n); changes; changes &= changes - 1) {
                        d = -d;
                        const uint32_t at = pos + static_cast<uint32_t>(std::countr_zero(changes)) * pos_step;
                        if constexpr (std::endian::native == std::endian::little)
                            synth.add_delta_blocks(at, d, out);
                        else
                            synth.add_delta_at(at, d, out);
                    }
                    pos += static_cast<uint32_t>(n) * pos_step;
                }
            }
            shift_reg = static_cast<int32_t>(bits);
            last_level = (d + vol) >> 1;
        }
    }
    delay = time - end_time;
}

void Noise_Osc::run_logged(int32_t time, int32_t end_time)
{
    const int vol = volume();
    log->change(time, (shift_reg & 1) ? vol : 0);
    time += delay;
    if (time < end_time) {
        const int32_t period = noise_period_table[regs[2] & 15];
        if (vol == 0) {
            time = skip_silent(time, end_time, period);
        } else {
            const int tap = (regs[2] & 0x80) ? 6 : 1;
            Level_Log::Writer out(*log);
            int32_t bits = shift_reg;
            for (; time < end_time; time += period) {
                bits = ((bits ^ (bits >> tap)) & 1) << 14 | bits >> 1;
                out.change(time, vol & -(bits & 1));  // no branch on a random bit
            }
            out.close();
            shift_reg = bits;
        }
    }
    last_level = log->level;
    delay = time - end_time;
}

int32_t Noise_Osc::skip_silent(int32_t time, int32_t end_time, int32_t period)
{
    // The register moves on by one step only (none in short mode), however
    // long the span.
    if (!(regs[2] & 0x80))
        shift_reg = ((shift_reg ^ (shift_reg >> 1)) & 1) << 14 | shift_reg >> 1;
    return time + (end_time - time + period - 1) / period * period;
}

void Noise_Osc::reset()
{
    Apu_Env_Osc::reset();
    shift_reg = 0x4000;
}

// ---- delta modulation ----

void Dmc_Osc::write_register(int reg, int data)
{
    if (reg == 0) {
        // $4010: IL-- RRRR  interrupt enable, loop, rate index
        period = periods[data & 15];
        irq_enabled = (data & 0xC0) == 0x80;
        irq_flag = irq_flag && irq_enabled;
        recalc_irq();
    } else if (reg == 1) {
        // $4011: -DDD DDDD  DAC level. The next run reports the jump the DAC
        // table makes, while playback steps stay linear.
        const int level = data & dmc_max_dac;
        if (!nonlinear)
            last_level = level - (dmc_dac_table[level] - dmc_dac_table[dac]);
        dac = level;
    }
}

void Dmc_Osc::reload()
{
    // $4012: sample at $C000 + 64 * value; $4013: 16 * value + 1 bytes
    address = 0x4000 + regs[2] * 0x40;
    length_counter = regs[3] * 0x10 + 1;
}

void Dmc_Osc::start()
{
    reload();
    fill_buffer();
    recalc_irq();
}

inline void Dmc_Osc::fill_buffer()
{
    if (!buffer_empty || length_counter == 0)
        return;
    const unsigned cpu_address = 0x8000u + static_cast<unsigned>(address);
    const unsigned offset = cpu_address - memory_base;  // wraps far above for lower addresses
    if (offset < memory_size) {
        sample_byte = memory[offset];
    } else {
        PLINKA_CHIP_REQUIRE("unmet requirement", "rom_reader", rom_reader != nullptr);
        sample_byte = rom_reader(rom_reader_data, cpu_address);
    }
    address = (address + 1) & 0x7FFF;
    buffer_empty = false;
    if (--length_counter == 0)
        end_sample();
}

void Dmc_Osc::end_sample()
{
    if (regs[0] & 0x40) {
        reload();
    } else {
        apu->channel_enables_ &= ~0x10;
        irq_flag = irq_enabled;
        next_irq = apu_no_irq;
        apu->update_irq();
    }
}

inline void Dmc_Osc::next_byte()
{
    bits_left = 8;
    if (buffer_empty) {
        silent = true;
    } else {
        shifter = sample_byte;
        silent = false;
        buffer_empty = true;
        fill_buffer();
    }
}

void Dmc_Osc::recalc_irq()
{
    int32_t irq = apu_no_irq;
    if (irq_enabled && length_counter)
        irq = apu->last_time() + delay + ((length_counter - 1) * 8 + bits_left - 1) * period + 1;
    if (irq != next_irq) {
        next_irq = irq;
        apu->update_irq();
    }
}

void Dmc_Osc::run(int32_t time, int32_t end_time)
{
    if (!output) {
        if (log)
            run_logged(time, end_time);
        return;
    }
    if (dac != last_level)
        synth.add_delta(time, dac - last_level, *output);
    last_level = dac;

    time += delay;
    if (time < end_time) {
        if (silent && buffer_empty) {
            time = skip_idle(time, end_time);
        } else {
            Band_Buffer& out = *output;
            // Bits come at a fixed spacing: their buffer positions are stepped
            // (the same wrapping sums to_buffer_time makes). A bit's step is
            // chosen by arithmetic, not a branch, for it is as random as the
            // sample, and so is a step that the DAC's range holds back: it
            // adds the rows of none.
            uint32_t pos = out.to_buffer_time(time);
            const uint32_t pos_step = out.factor() * static_cast<uint32_t>(period);
            const bool paired = std::endian::native == std::endian::little && pos_step < Band_Synth<8>::pair_span;
            if (std::endian::native == std::endian::little && step_rows_build != synth.table_builds()) {
                synth.scaled_window_rows(-2, step_rows[0]);
                synth.scaled_window_rows(2, step_rows[1]);
                step_rows_build = synth.table_builds();
            }
            // Rows by a step's units / 2 + 1: down, none, up.
            const uint32_t* const rows_of[3] = {step_rows[0], synth.zero_window_table, step_rows[1]};
            do {
                const int32_t bits = bits_in_run(time, end_time);
                if (!silent) {
                    if (paired) {
                        // Bits less than a pair of samples apart: two to a window.
                        // The DAC and shifter in locals: kept in members,
                        // each bit would wait for the last one's store.
                        int level = dac;
                        int bits_in = shifter;
                        if (static_cast<unsigned>(level - 2 * bits) <=
                            static_cast<unsigned>(dmc_max_dac - 4 * bits)) {
                            // Steps that cannot carry the DAC out of 0..127
                            // need no test, which would chain bit to bit.
                            // Each pair adds the rows of its two steps as they
                            // stand, from the tables of steps down and up.
                            uint32_t at = pos;
                            int32_t bit = 0;
                            auto add_pair = [&] {
                                synth.add_row_pair_blocks(at, step_rows[bits_in & 1], pos_step,
                                                          step_rows[bits_in >> 1 & 1], out);
                                level += ((bits_in & 1) + (bits_in >> 1 & 1)) * 4 - 4;
                                bits_in >>= 2;
                                at += 2 * pos_step;
                            };
                            if (bits == 8) {
                                // A whole byte, the usual case, in a known number of pairs.
                                for (; bit < 8; bit += 2)
                                    add_pair();
                            }
                            for (; bit + 2 <= bits; bit += 2)
                                add_pair();
                            if (bit < bits) {
                                synth.add_row_pair_blocks(at, step_rows[bits_in & 1], 0, synth.zero_window_table, out);
                                level += ((bits_in & 1) << 2) - 2;
                                bits_in >>= 1;
                            }
                        } else {
                            // A step that would leave 0..127 adds the row of none.
                            auto next_rows = [&] { return rows_of[next_step(level, bits_in) / 2 + 1]; };
                            uint32_t at = pos;
                            int32_t bit = 0;
                            for (; bit + 2 <= bits; bit += 2, at += 2 * pos_step) {
                                const uint32_t* rows = next_rows();
                                synth.add_row_pair_blocks(at, rows, pos_step, next_rows(), out);
                            }
                            if (bit < bits)
                                synth.add_row_pair_blocks(at, next_rows(), 0, rows_of[1], out);
                        }
                        dac = level;
                        shifter = bits_in;
                    } else {
                        // Bits a pair of samples apart or more: one to a window.
                        int level = dac;
                        int bits_in = shifter;
                        for (int32_t bit = 0; bit < bits; ++bit) {
                            const int step = next_step(level, bits_in);
                            const uint32_t at = pos + static_cast<uint32_t>(bit) * pos_step;
                            if constexpr (std::endian::native == std::endian::little)
                                synth.add_row_pair_blocks(at, rows_of[step / 2 + 1], 0, rows_of[1], out);
                            else if (step)
                                synth.add_delta_at(at, step, out);
                        }
                        dac = level;
                        shifter = bits_in;
                    }
                }
                time += bits * period;
                pos += static_cast<uint32_t>(bits) * pos_step;
                bits_left -= bits;
                if (bits_left == 0)
                    next_byte();
            } while (time < end_time);
            last_level = dac;
        }
    }
    delay = time - end_time;
}

void Dmc_Osc::run_logged(int32_t time, int32_t end_time)
{
    // The raw DAC level: a $4011 write logs as the jump it makes, like any other change.
    log->change(time, dac);
    time += delay;
    if (time < end_time) {
        if (silent && buffer_empty) {
            time = skip_idle(time, end_time);
        } else {
            do {
                const int32_t bits = bits_in_run(time, end_time);
                if (!silent) {
                    // The level, shifter and log's count in locals: kept in
                    // memory, each bit would wait for the last one's stores.
                    // A held step logs nothing, as a change to the level there.
                    Level_Log::Writer out(*log);
                    int level = dac;
                    int bits_in = shifter;
                    for (int32_t bit = 0; bit < bits; ++bit) {
                        next_step(level, bits_in);
                        out.change(time + bit * period, level);
                    }
                    out.close();
                    dac = level;
                    shifter = bits_in;
                }
                time += bits * period;
                bits_left -= bits;
                if (bits_left == 0)
                    next_byte();
            } while (time < end_time);
        }
    }
    last_level = dac;
    delay = time - end_time;
}

int Dmc_Osc::next_step(int& level, int& bits)
{
    // Each bit, lowest first, moves the DAC two steps up or down unless that
    // would leave 0..127. Arithmetic, not a branch: the bits are as random as
    // the sample.
    const int step = ((bits & 1) << 2) - 2;
    bits >>= 1;
    const int moved = static_cast<unsigned>(level + step) <= static_cast<unsigned>(dmc_max_dac) ? step : 0;
    level += moved;
    return moved;
}

int32_t Dmc_Osc::bits_in_run(int32_t time, int32_t end_time) const
{
    if (end_time - time > (bits_left - 1) * period)
        return bits_left;
    return (end_time - time + period - 1) / period;
}

int32_t Dmc_Osc::skip_idle(int32_t time, int32_t end_time)
{
    const int32_t count = (end_time - time + period - 1) / period;
    bits_left = (bits_left - 1 + 8 - count % 8) % 8 + 1;
    return time + count * period;
}

void Dmc_Osc::reset()
{
    Apu_Osc::reset();
    address = 0;
    dac = 0;
    sample_byte = 0;
    bits_left = 1;
    shifter = 0;
    buffer_empty = true;
    silent = true;
    next_irq = apu_no_irq;
    irq_flag = false;
    irq_enabled = false;
}
