#include "Chip_N163.h"

#include "chip/Chip_Require.h"

#include <cmath>

namespace {

// A full-volume channel's swing from sample 0 to 15, as a multiple of a
// full-volume 2A03 pulse's step (Chip_Apu's 0.1128): see the header.
constexpr double pulse_level = 0.1128;
constexpr double swing_over_pulse = 6.0;

constexpr uint32_t phase_mask = 0xFFFFFF;
constexpr uint32_t phase_one = 0x10000;       // one sample of a wave
constexpr unsigned last_channel_base = 0x78;  // channel 8's registers; channel 8 - t's are 8 t below
constexpr unsigned channel_bytes = 8;
constexpr unsigned address_mask = Chip_N163::ram_size - 1;

// Whether a wave of `length` samples from `start` takes in a sample of
// channel 8's phase bytes ($79, $7B, $7D), which change at every update.
bool reads_phase(unsigned start, uint32_t length)
{
    for (const unsigned byte : {0x79u, 0x7Bu, 0x7Du}) {
        for (const unsigned sample : {2 * byte, 2 * byte + 1}) {
            if (((sample - start) & 0xFF) < length)
                return true;
        }
    }
    return false;
}

unsigned channel_base(int turn)
{
    return last_channel_base - channel_bytes * static_cast<unsigned>(turn);
}

}  // namespace

Chip_N163::Chip_N163()
{
    set_volume(1.0);
    reset();
}

void Chip_N163::reset()
{
    for (uint8_t& byte : ram_)
        byte = 0;
    for (Osc& osc : oscs_)
        osc.level = 0;
    last_time_ = 0;
    delay_ = 0;
    turn_ = 0;
    holder_ = osc_count - 1;
    address_ = 0;
    auto_increment_ = false;
    enabled_ = true;
    written_ = false;
}

void Chip_N163::set_volume(double volume)
{
    // The synthesiser takes no negative step size: the sign goes on the deltas.
    sign_ = volume < 0 ? -1 : 1;
    synth_.set_volume(swing_over_pulse * pulse_level * std::fabs(volume));
}

void Chip_N163::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_N163::set_outputs(Band_Buffer* buffer, Band_Buffer* also)
{
    set_output(buffer);
    also_ = also;
}

void Chip_N163::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_N163::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    oscs_[osc].output = buffer;
}

void Chip_N163::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_N163::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    oscs_[osc].log = log;
}

void Chip_N163::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    // $E000-$E7FF: .SPP PPPP  S: sound disabled (updates stop, output silent); P: the mapper's PRG bank
    // $F800-$FFFF: IAAA AAAA  sound RAM address, I: auto-increment after each data access
    // $4800-$4FFF: DDDD DDDD  the RAM byte at the address
    const bool enable_port = addr >= 0xE000 && addr <= 0xE7FF;
    const bool address_port = addr >= 0xF800 && addr <= 0xFFFF;
    const bool data_port = addr >= 0x4800 && addr <= 0x4FFF;
    if (!enable_port && !address_port && !data_port)
        return;
    run_until(time);
    written_ = true;
    if (address_port) {
        address_ = static_cast<unsigned>(data) & address_mask;
        auto_increment_ = (data & 0x80) != 0;
    } else if (data_port) {
        ram_[address_] = static_cast<uint8_t>(data);
        if (auto_increment_)
            address_ = (address_ + 1) & address_mask;
    } else {
        enabled_ = (data & 0x40) == 0;
        if (!enabled_)
            show(time, holder_, 0);
    }
}

int Chip_N163::read_data(int32_t time)
{
    run_until(time);
    const int data = ram_[address_];
    if (auto_increment_)
        address_ = (address_ + 1) & address_mask;
    return data;
}

int Chip_N163::update(int turn)
{
    // Channel block at $40 + 8 c, channel c + 1 (channel 8 at $78):
    // +0: FFFF FFFF  frequency bits 0-7      +1: PPPP PPPP  phase bits 0-7
    // +2: FFFF FFFF  frequency bits 8-15     +3: PPPP PPPP  phase bits 8-15
    // +4: LLLL LLFF  length 256 - 4 L, frequency bits 16-17
    // +5: PPPP PPPP  phase bits 16-23: the sample index in the wave
    // +6: AAAA AAAA  the wave's first sample
    // +7: ---- VVVV  volume ($7F: -CCC VVVV, CCC = N - 1)
    uint8_t* regs = ram_ + channel_base(turn);
    const uint32_t frequency = regs[0] | regs[2] << 8 | (regs[4] & 3u) << 16;
    const uint32_t length = 256 - 4 * (regs[4] >> 2u);
    uint32_t phase = regs[1] | regs[3] << 8 | static_cast<uint32_t>(regs[5]) << 16;
    phase = (phase + frequency) & phase_mask;
    // Once: a phase written past the wave's end comes back a length at a
    // time, as the chip's own subtraction does.
    if ((phase >> 16) >= length)
        phase -= length << 16;
    regs[1] = static_cast<uint8_t>(phase);
    regs[3] = static_cast<uint8_t>(phase >> 8);
    regs[5] = static_cast<uint8_t>(phase >> 16);
    // Sample s: the low nibble of byte s / 2 when even, the high when odd.
    const unsigned sample_index = (regs[6] + (phase >> 16)) & 0xFF;
    const int sample = ram_[sample_index >> 1] >> (4 * (sample_index & 1)) & 15;
    return (sample - 8) * (regs[7] & 15);
}

void Chip_N163::set_level(int32_t time, Osc& osc, int level)
{
    if (osc.output) {
        if (level != osc.level) {
            synth_.add_delta(time, sign_ * (level - osc.level), *osc.output);
            if (also_)
                synth_.add_delta(time, sign_ * (level - osc.level), *also_);
        }
    } else if (osc.log) {
        osc.log->change(time, level);
    } else {
        return;  // heard nowhere: connected later, it steps from silence
    }
    osc.level = level;
}

void Chip_N163::show(int32_t time, int osc, int level)
{
    Osc& to = oscs_[osc];
    if (osc != holder_) {
        Osc& from = oscs_[holder_];
        holder_ = osc;
        // One DAC, one step: two oscillators into one buffer change it once.
        if (from.output && from.output == to.output) {
            const int delta = sign_ * (level - to.level - from.level);
            if (delta) {
                synth_.add_delta(time, delta, *to.output);
                if (also_)
                    synth_.add_delta(time, delta, *also_);
            }
            from.level = 0;
            to.level = level;
            return;
        }
        set_level(time, from, 0);
    }
    set_level(time, to, level);
}

void Chip_N163::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    // Disabled, the chip stops where it is: its next update waits.
    if (enabled_) {
        int32_t time = last_time_ + delay_;
        // Only the phase bytes change while running: N holds.
        const int count = active_channels();
        if (turn_ >= count)
            turn_ = 0;
        if (count == 1) {
            time = run_single(time, end_time);
        } else {
            int turn = turn_;
            for (; time < end_time; time += update_period) {
                show(time, osc_count - 1 - turn, update(turn));
                turn = turn + 1 < count ? turn + 1 : 0;
            }
            turn_ = turn;
        }
        delay_ = time - end_time;
    }
    last_time_ = end_time;
}

int32_t Chip_N163::run_single(int32_t time, int32_t end_time)
{
    // Channel 8 alone. Between the updates that move its sample index the
    // output holds, unless its wave reads its own phase bytes: those it
    // steps one by one.
    uint8_t* regs = ram_ + last_channel_base;
    const uint32_t frequency = regs[0] | regs[2] << 8 | (regs[4] & 3u) << 16;
    const uint32_t length = 256 - 4 * (regs[4] >> 2u);
    const unsigned wave_start = regs[6];
    constexpr int osc = osc_count - 1;
    uint32_t phase = regs[1] | regs[3] << 8 | static_cast<uint32_t>(regs[5]) << 16;
    if (time < end_time && frequency != 0 && frequency < phase_one && (phase >> 16) < length &&
        !reads_phase(wave_start, length)) {
        // The common note: the phase stays in locals, split into the sample
        // index and its fraction, and the division by F that finds the next
        // change becomes a multiply, exact for dividends and divisors below
        // 2^16.
        const uint64_t inverse = ((uint64_t{1} << 32) + frequency - 1) / frequency;
        const int volume = regs[7] & 15;
        auto centred_sample = [&](uint32_t index) {
            const unsigned sample_index = (wave_start + index) & 0xFF;
            const int sample = ram_[sample_index >> 1] >> (4 * (sample_index & 1)) & 15;
            return sample - 8;
        };
        // Updates from a fraction f to the next change of index: ceil((65536 - f) / F).
        auto updates_to_change = [inverse](uint32_t f) {
            return static_cast<int32_t>(((phase_one - 1 - f) * inverse) >> 32) + 1;
        };
        phase += frequency;
        if ((phase >> 16) >= length)
            phase -= length << 16;
        uint32_t index = phase >> 16;
        uint32_t fraction = phase & (phase_one - 1);
        show(time, osc, centred_sample(index) * volume);
        // Past a change the fraction is below F, so the next change comes
        // `longer` updates on, or one sooner if longer - 1 updates reach it.
        // Each of the two spans moves the fraction, the time and the buffer
        // position by its own constant: from one change to the next the
        // chain is a compare and a select, not a multiply.
        const int32_t longer = updates_to_change(0);
        const uint32_t shorter_reach = static_cast<uint32_t>(longer - 1) * frequency;
        const uint32_t short_from = phase_one - shorter_reach;  // a fraction this high takes the shorter span
        // The DAC holds this channel now: a change is one step into its
        // buffer, at a position that moves on by whole updates.
        Osc& held = oscs_[osc];
        Band_Buffer* const output = held.output;
        const uint32_t update_span = output ? output->factor() * static_cast<uint32_t>(update_period) : 0;
        uint32_t pos = output ? output->to_buffer_time(time) : 0;
        struct Span {
            uint32_t gain;  // to the fraction, less the sample it passes
            int32_t clocks;
            uint32_t positions;
        };
        auto span_of = [&](int32_t updates) {
            return Span{static_cast<uint32_t>(updates) * frequency - phase_one, updates * update_period,
                        static_cast<uint32_t>(updates) * update_span};
        };
        const Span long_span = span_of(longer);
        const Span short_span = span_of(longer - 1);
        Span span = span_of(updates_to_change(fraction));
        // Moves to the next change of index, or answers false and moves to
        // the first update at or past end_time if none comes before it.
        auto next_change = [&] {
            const int32_t next = time + span.clocks;
            if (next >= end_time) {
                const int32_t more = (end_time - time - 1) / update_period;
                fraction += static_cast<uint32_t>(more) * frequency;
                time += (more + 1) * update_period;
                return false;
            }
            fraction += span.gain;
            index = index + 1 < length ? index + 1 : 0;
            time = next;
            pos += span.positions;
            span = fraction >= short_from ? short_span : long_span;
            return true;
        };
        if (output && !also_) {
            // One buffer: the changes go straight to its cells.
            using Synth = Band_Synth<12>;
            const Synth::Delta_Target target = synth_.delta_target(*output);
            auto add_changes = [&](auto&& step_to) {
                // A change held back to be summed with the next one (none: delta 0).
                uint32_t pending_cell = 0;
                const uint32_t* pending_row = nullptr;
                int pending_delta = 0;
                while (next_change()) {
                    const int delta = step_to(index);
                    if (delta == 0)
                        continue;
                    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer",
                                        "sample_index < band_buf->buffer_size_",
                                        ((pos >> Band_Buffer::time_bits) & ~1u) < target.size);
                    const uint32_t cell = Synth::delta_cells(pos);
                    const uint32_t* const row = target.rows + Synth::delta_row(pos);
                    if (pending_delta != 0 && cell - pending_cell <= Synth::max_group_cells) {
                        // Two changes close together reach the cells as one
                        // sum: the second does not wait for the first's stores.
                        const uint32_t* const shifted[2] = {pending_row, row - (cell - pending_cell) / 2};
                        const int deltas[2] = {pending_delta, delta};
                        Synth::add_delta_group<2>(target.cells + pending_cell, shifted, deltas);
                        pending_delta = 0;
                    } else {
                        if (pending_delta != 0)
                            Synth::add_delta_cells(target.cells + pending_cell, pending_row, pending_delta);
                        pending_cell = cell;
                        pending_row = row;
                        pending_delta = delta;
                    }
                }
                if (pending_delta != 0)
                    Synth::add_delta_cells(target.cells + pending_cell, pending_row, pending_delta);
            };
            // The step into each index, in the output's units.
            auto step_to = [&](uint32_t i) {
                return sign_ * (centred_sample(i) - centred_sample(i != 0 ? i - 1 : length - 1)) * volume;
            };
            // A run through much of the wave reads its steps from a table,
            // which no write changes during the run; a short one, between
            // writes close together, works out the few it meets.
            const int64_t updates = (end_time - time + update_period - 1) / update_period;
            if (updates * frequency >= int64_t{length} << 14) {
                int steps[256];
                for (uint32_t i = 0; i < length; ++i)
                    steps[i] = step_to(i);
                add_changes([&steps](uint32_t i) { return steps[i]; });
            } else {
                add_changes(step_to);
            }
            held.level = centred_sample(index) * volume;
        } else {
            while (next_change())
                show(time, osc, centred_sample(index) * volume);
        }
        phase = index << 16 | fraction;
        regs[1] = static_cast<uint8_t>(phase);
        regs[3] = static_cast<uint8_t>(phase >> 8);
        regs[5] = static_cast<uint8_t>(phase >> 16);
        return time;
    }
    while (time < end_time) {
        show(time, osc, update(0));
        time += update_period;
        if (time >= end_time || frequency >= phase_one)
            continue;
        phase = regs[1] | regs[3] << 8 | static_cast<uint32_t>(regs[5]) << 16;
        const unsigned byte = ((wave_start + (phase >> 16)) & 0xFF) >> 1;
        const bool own_phase =
            byte == last_channel_base + 1 || byte == last_channel_base + 3 || byte == last_channel_base + 5;
        // A phase past the wave's end moves back at every update.
        if ((own_phase && frequency != 0) || (phase >> 16) >= length)
            continue;
        // Updates that leave the index where it is: `same` of them.
        const int32_t left = (end_time - time + update_period - 1) / update_period;
        int32_t same = left;
        if (frequency != 0) {
            const auto within = static_cast<int32_t>((phase_one - 1 - (phase & (phase_one - 1))) / frequency);
            same = within < left ? within : left;
        }
        const uint32_t moved = phase + static_cast<uint32_t>(same) * frequency;
        regs[1] = static_cast<uint8_t>(moved);
        regs[3] = static_cast<uint8_t>(moved >> 8);
        time += same * update_period;
    }
    return time;
}

void Chip_N163::end_frame(int32_t end_time)
{
    if (end_time > last_time_)
        run_until(end_time);
    last_time_ -= end_time;
    written_ = false;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_N163::idle() const
{
    if (written_ || last_time_ != 0)
        return false;
    for (const Osc& osc : oscs_) {
        if (osc.level != 0)
            return false;
    }
    if (!enabled_)
        return true;
    for (int turn = 0; turn < active_channels(); ++turn) {
        if (ram_[channel_base(turn) + 7] & 15)
            return false;
    }
    return true;
}
