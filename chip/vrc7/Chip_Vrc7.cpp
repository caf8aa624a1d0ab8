#include "Chip_Vrc7.h"

#include "chip/Chip_Require.h"

#include <algorithm>

namespace {

// A full-scale channel's peak to peak over a full-volume 2A03 pulse's step
// (Chip_Apu's 0.1128 of full scale): +11 dB, see the header.
constexpr double pulse_level = 0.1128;
constexpr double swing_over_pulse = 3.548;  // 10^(11/20)

constexpr uint32_t phase_mask = (1u << 19) - 1;
constexpr int phase_shift = 9;  // the accumulator's top 10 bits
constexpr unsigned wave_mask = 1023;
constexpr unsigned half_wave = 512;
constexpr unsigned quarter_mirror = 256;
constexpr int channel_shift = 3;      // carrier output to the channel's 9 bits
constexpr int volume_units = 8;       // 3 dB a volume step
constexpr int total_level_units = 2;  // 0.75 dB a modulator TL step
constexpr int block_count = 8;
constexpr int sustain_bit_rate = 5;
constexpr int percussive_release_rate = 7;
constexpr int feedback_shift = 7;  // FB 7 shifts the mean of the outputs by none
constexpr uint32_t vibrato_mask = vrc7::vibrato_step_samples * vrc7::vibrato_steps - 1;

int key_scale_level(int ksl, int f_number, int block)
{
    if (ksl == 0)
        return 0;
    int base = vrc7::key_scale_rom[static_cast<size_t>(f_number >> 5)] - 8 * (block_count - block);
    base = base > 0 ? base : 0;
    // KSL 1, 2, 3: 1.5, 3, 6 dB an octave.
    return (2 * base) >> (3 - ksl);
}

}  // namespace

Chip_Vrc7::Chip_Vrc7() : roms_(vrc7::wave_roms())
{
    set_clock_rate(ntsc_cpu_hz);
    set_volume(1.0);
    reset();
}

void Chip_Vrc7::reset()
{
    for (uint8_t& r : regs_)
        r = 0;
    for (int c = 0; c < osc_count; ++c) {
        Channel& ch = channels_[c];
        ch.modulator.phase = 0;
        ch.carrier.phase = 0;
        ch.modulator.envelope.reset();
        ch.carrier.envelope.reset();
        ch.key = false;
        ch.previous[0] = ch.previous[1] = 0;
        ch.level = 0;
        decode_channel(c);
    }
    address_ = 0;
    // Each channel runs once to show the silent code, then rests.
    active_ = (1u << osc_count) - 1;
    held_ = false;
    written_ = false;
    envelope_counter_ = 0;
    vibrato_counter_ = 0;
    tremolo_step_ = 0;
    tremolo_samples_ = 0;
    next_ = 0;
    remainder_ = 0;
    last_time_ = 0;
}

void Chip_Vrc7::set_clock_rate(int32_t cpu_clocks_per_second)
{
    PLINKA_CHIP_REQUIRE("Chip_Vrc7::set_clock_rate(): rate must be positive", "cpu_clocks_per_second > 0",
                        cpu_clocks_per_second > 0);
    if (cpu_clocks_per_second <= 0)
        return;
    // CPU clocks a sample, 16.16, as a whole part and a remainder in
    // crystal_hz-ths: 72 crystal cycles of 1 / crystal_hz s each.
    const uint64_t scaled = uint64_t{crystal_cycles_per_sample} * static_cast<uint64_t>(cpu_clocks_per_second)
                            << Band_Buffer::time_bits;
    step_ = scaled / crystal_hz;
    step_remainder_ = scaled % crystal_hz;
    remainder_ = 0;
}

void Chip_Vrc7::set_volume(double volume)
{
    synth_.set_volume(swing_over_pulse * pulse_level * volume);
}

void Chip_Vrc7::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_Vrc7::set_outputs(Band_Buffer* buffer, Band_Buffer* also)
{
    set_output(buffer);
    also_ = also;
}

void Chip_Vrc7::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_Vrc7::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    if (osc < 0 || osc >= osc_count)
        return;
    channels_[osc].output = buffer;
}

void Chip_Vrc7::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_Vrc7::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    if (osc < 0 || osc >= osc_count)
        return;
    channels_[osc].log = log;
}

void Chip_Vrc7::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    // $9010: AAAA AAAA  internal register select
    // $9030: DDDD DDDD  data for the selected register
    // $E000: RS.. ..MM  S: sound held in reset; R, MM: the mapper's
    if (addr != 0x9010 && addr != 0x9030 && addr != 0xE000)
        return;
    run_until(time);
    written_ = true;
    if (addr == 0xE000)
        set_held(next_, (data & 0x40) != 0);
    else if (held_)
        return;
    else if (addr == 0x9010)
        address_ = static_cast<unsigned>(data) & 0xFF;
    else
        write_internal(address_, data & 0xFF);
}

void Chip_Vrc7::set_held(int64_t at, bool held)
{
    if (held == held_)
        return;
    if (held) {
        for (Channel& ch : channels_)
            show(ch, at, 0);
        // Cleared as at power-up, but the vibrato goes on where it was.
        const uint32_t vibrato = vibrato_counter_;
        const int64_t next = next_;
        const uint64_t remainder = remainder_;
        const int32_t last = last_time_;
        reset();
        vibrato_counter_ = vibrato;
        next_ = next;
        remainder_ = remainder;
        last_time_ = last;
        active_ = 0;
    } else {
        active_ = (1u << osc_count) - 1;
    }
    held_ = held;
    written_ = true;
}

void Chip_Vrc7::write_internal(unsigned addr, int data)
{
    if (addr >= register_count)
        return;
    // Low nibbles 9-F of the channel rows act as 0-6.
    if (addr >= 0x10 && (addr & 15) >= 9)
        addr -= 9;
    regs_[addr] = static_cast<uint8_t>(data);
    if (addr < vrc7::patch_bytes) {
        // The one custom patch: every channel that plays it changes.
        for (int c = 0; c < osc_count; ++c) {
            if ((regs_[0x30 + c] >> 4) == 0)
                decode_channel(c);
        }
        return;
    }
    const int c = static_cast<int>(addr & 15);
    if (addr < 0x10 || c >= osc_count)
        return;  // $08-$0F, and channels 7-9, which the VRC7 never lets out
    // $2n: --ST BBBF  sustain, key, block, F-number bit 8
    if ((addr >> 4) == 2)
        key_channel(c, (data & 0x10) != 0);
    decode_channel(c);
}

void Chip_Vrc7::key_channel(int c, bool key)
{
    Channel& ch = channels_[c];
    if (key == ch.key)
        return;
    ch.key = key;
    if (key) {
        // Both operators first damp what sounds, then attack.
        ch.modulator.envelope.enter(Vrc7_Envelope::State::damp);
        ch.carrier.envelope.enter(Vrc7_Envelope::State::damp);
    } else {
        // Only the carrier releases: the modulator holds where it is.
        ch.carrier.envelope.enter(Vrc7_Envelope::State::release);
    }
    active_ |= 1u << c;
}

void Chip_Vrc7::decode_channel(int c)
{
    Channel& ch = channels_[c];
    // $1n: FFFF FFFF  F-number bits 0-7
    // $2n: --ST BBBF  sustain (release at rate 5), key, block, F-number bit 8
    // $3n: IIII VVVV  patch (0: custom), volume (attenuation, 3 dB a step)
    const int high = regs_[0x20 + c];
    ch.f_number = regs_[0x10 + c] | (high & 1) << 8;
    ch.block = high >> 1 & 7;
    const bool sustain = (high & 0x20) != 0;
    const int patch_index = regs_[0x30 + c] >> 4;
    const int volume = regs_[0x30 + c] & 15;
    const uint8_t* patch = patch_index == 0 ? regs_ : vrc7::rom_patches[patch_index];
    // $03: KK-Q WFFF  carrier KSL, carrier and modulator half-sine, feedback
    ch.feedback = patch[3] & 7;
    for (int o = 0; o < 2; ++o) {
        const bool is_carrier = o == 1;
        Operator& op = is_carrier ? ch.carrier : ch.modulator;
        // $00/$01: TVSK MMMM  tremolo, vibrato, sustained, key-scale rate, multiplier
        const int flags = patch[o];
        op.tremolo = (flags & 0x80) != 0;
        op.vibrato = (flags & 0x40) != 0;
        const bool sustained = (flags & 0x20) != 0;
        const bool key_scale_rate = (flags & 0x10) != 0;
        op.multiple_x2 = vrc7::multiplier_x2[static_cast<size_t>(flags & 15)];
        op.increment = ((static_cast<uint32_t>(ch.f_number) << ch.block) * static_cast<uint32_t>(op.multiple_x2)) >> 1;
        // $02: KKLL LLLL  modulator KSL, total level
        const int ksl = patch[2 + o] >> 6;
        op.rectified = (patch[3] & (is_carrier ? 0x10 : 0x08)) != 0;
        const int level = is_carrier ? volume * volume_units : (patch[2] & 63) * total_level_units;
        op.attenuation = level + key_scale_level(ksl, ch.f_number, ch.block);
        // $04/$05: AAAA DDDD  attack, decay; $06/$07: SSSS RRRR  sustain level, release
        const int release = patch[6 + o] & 15;
        Vrc7_Envelope::Rates rates;
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::damp)] = Vrc7_Envelope::damp_rate;
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::attack)] = static_cast<uint8_t>(patch[4 + o] >> 4);
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::decay)] = static_cast<uint8_t>(patch[4 + o] & 15);
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::sustain)] = static_cast<uint8_t>(sustained ? 0 : release);
        int release_rate = sustained ? release : percussive_release_rate;
        if (sustain)
            release_rate = sustain_bit_rate;
        rates.by_state[static_cast<int>(Vrc7_Envelope::State::release)] = static_cast<uint8_t>(release_rate);
        rates.sustain_level = static_cast<uint8_t>(patch[6 + o] >> 4);
        const int ksr_offset = key_scale_rate ? (ch.block << 1 | ch.f_number >> 8) : ch.block >> 1;
        op.envelope.set_rates(rates, ksr_offset);
        op.envelope.set_frozen(!is_carrier && !ch.key);
    }
    active_ |= 1u << c;
}

int Chip_Vrc7::operator_output(const Operator& op, unsigned phase, int tremolo) const
{
    const int envelope = op.envelope.level();
    if (envelope == Vrc7_Envelope::silent)
        return 0;
    int attenuation = envelope + op.attenuation + (op.tremolo ? tremolo : 0);
    attenuation = attenuation < vrc7::max_attenuation ? attenuation : vrc7::max_attenuation;
    // A quarter of the sine, mirrored in the second and fourth.
    unsigned index = phase & (vrc7::quarter_wave - 1);
    if (phase & quarter_mirror)
        index ^= vrc7::quarter_wave - 1;
    const int magnitude = roms_.magnitude[attenuation][index];
    // The negative half in one's complement: -1 where the magnitude is 0.
    if (phase & half_wave)
        return op.rectified ? -1 : ~magnitude;
    return magnitude;
}

uint32_t Chip_Vrc7::vibrato_increment(const Channel& ch, const Operator& op, uint32_t step)
{
    // The doubled F-number moves by 0, +1/256, +1/128, +1/256, 0, -1/256,
    // -1/128, -1/256 of itself, in whole units.
    const int doubled = 2 * ch.f_number;
    const int depth = (step & 3) == 0 ? 0 : doubled >> ((step & 3) == 2 ? 7 : 8);
    const int moved = step < 4 ? doubled + depth : doubled - depth;
    return ((static_cast<uint32_t>(moved) << ch.block >> 1) * static_cast<uint32_t>(op.multiple_x2)) >> 1;
}

inline void Chip_Vrc7::show(Channel& ch, int64_t at, int level)
{
    if (level == ch.level)
        return;
    if (ch.output) {
        Band_Buffer& buffer = *ch.output;
        const auto whole = static_cast<int32_t>(at >> Band_Buffer::time_bits);
        const auto fraction = static_cast<uint32_t>(at & 0xFFFF);
        const uint32_t pos = buffer.to_buffer_time(whole) +
                             static_cast<uint32_t>((uint64_t{fraction} * buffer.factor()) >> Band_Buffer::time_bits);
        synth_.add_delta_at(pos, level - ch.level, buffer);
        if (also_) {
            const uint32_t also_pos = also_->to_buffer_time(whole) +
                                      static_cast<uint32_t>((uint64_t{fraction} * also_->factor()) >> Band_Buffer::time_bits);
            synth_.add_delta_at(also_pos, level - ch.level, *also_);
        }
    } else if (ch.log) {
        ch.log->change(static_cast<int32_t>(at >> Band_Buffer::time_bits), level);
    } else {
        return;  // heard nowhere: connected later, it steps from 0
    }
    ch.level = level;
}

Chip_Vrc7::Position Chip_Vrc7::position() const
{
    return {next_, remainder_, envelope_counter_, vibrato_counter_, tremolo_step_, tremolo_samples_};
}

void Chip_Vrc7::advance(Position& p) const
{
    p.at += static_cast<int64_t>(step_);
    p.remainder += step_remainder_;
    if (p.remainder >= static_cast<uint64_t>(crystal_hz)) {
        p.remainder -= crystal_hz;
        ++p.at;
    }
    ++p.envelope_counter;
    p.vibrato_counter = (p.vibrato_counter + 1) & vibrato_mask;
    if (++p.tremolo_samples == vrc7::tremolo_step_samples) {
        p.tremolo_samples = 0;
        if (++p.tremolo_step == vrc7::tremolo_steps)
            p.tremolo_step = 0;
    }
}

void Chip_Vrc7::advance_counters(Position& p, int64_t count)
{
    p.envelope_counter += static_cast<uint32_t>(count);
    p.vibrato_counter = (p.vibrato_counter + static_cast<uint32_t>(count)) & vibrato_mask;
    const int64_t tremolo_samples = p.tremolo_samples + count;
    p.tremolo_step =
        static_cast<int>((p.tremolo_step + tremolo_samples / vrc7::tremolo_step_samples) % vrc7::tremolo_steps);
    p.tremolo_samples = static_cast<int>(tremolo_samples % vrc7::tremolo_step_samples);
}

int64_t Chip_Vrc7::quiet_samples(const Channel& ch, const Position& p, int64_t limit) const
{
    const Vrc7_Envelope& m_env = ch.modulator.envelope;
    const Vrc7_Envelope& c_env = ch.carrier.envelope;
    // A carrier silent for good rests the channel within a sample or two
    // unless its modulator sounds on, unheard, its key still down.
    if (c_env.level() == Vrc7_Envelope::silent && c_env.settled() &&
        (m_env.frozen() || (m_env.level() == Vrc7_Envelope::silent && m_env.settled())))
        return 0;
    int64_t quiet = limit;
    quiet = std::min<int64_t>(quiet, m_env.quiet_samples(p.envelope_counter));
    quiet = std::min<int64_t>(quiet, c_env.quiet_samples(p.envelope_counter));
    if (ch.modulator.vibrato || ch.carrier.vibrato)
        quiet = std::min<int64_t>(quiet, vrc7::vibrato_step_samples -
                                             (p.vibrato_counter & (vrc7::vibrato_step_samples - 1)));
    if (ch.modulator.tremolo || ch.carrier.tremolo) {
        // Up to the step whose attenuation differs: a few steps at most.
        const int tremolo = vrc7::tremolo_attenuation(p.tremolo_step);
        int64_t samples = vrc7::tremolo_step_samples - p.tremolo_samples;
        for (int step = (p.tremolo_step + 1) % vrc7::tremolo_steps;
             samples < quiet && vrc7::tremolo_attenuation(step) == tremolo; step = (step + 1) % vrc7::tremolo_steps)
            samples += vrc7::tremolo_step_samples;
        quiet = std::min(quiet, samples);
    }
    return quiet;
}

template <bool Feedback, int Outputs> void Chip_Vrc7::run_quiet(Channel& ch, Run& run, int64_t count)
{
    // Everything the loop reads in locals: the compiler then keeps them in
    // registers across the stores into the cells.
    uint32_t mod_phase = run.mod_phase;
    uint32_t car_phase = run.car_phase;
    const uint32_t mod_increment = run.mod_increment;
    const uint32_t car_increment = run.car_increment;
    int previous = run.previous;
    int before = run.before;
    const int feedback_by = run.feedback_by;
    const int mod_rectified = run.mod_rectified;
    const int car_rectified = run.car_rectified;
    const int16_t* const mod_row = run.mod_row;
    const int16_t* const car_row = run.car_row;
    int level = ch.level;
    // The next sample's DAC code, the phases and the feedback moved on.
    auto next_code = [&] {
        unsigned index = mod_phase >> phase_shift;
        if constexpr (Feedback)
            index += static_cast<unsigned>((previous + before) >> feedback_by);
        index &= wave_mask;
        const int m = mod_row[index] | (mod_rectified & -static_cast<int>(index >> 9));
        before = previous;
        previous = m;
        const unsigned car_index = ((car_phase >> phase_shift) + static_cast<unsigned>(2 * m)) & wave_mask;
        const int value = (car_row[car_index] | (car_rectified & -static_cast<int>(car_index >> 9))) >> channel_shift;
        mod_phase = (mod_phase + mod_increment) & phase_mask;
        car_phase = (car_phase + car_increment) & phase_mask;
        return value >= 0 ? value + 1 : value;
    };
    if constexpr (Outputs == 0) {
        int64_t at = run.at;
        uint64_t remainder = run.remainder;
        for (int64_t k = 0; k < count; ++k) {
            show(ch, at, next_code());
            at += static_cast<int64_t>(step_);
            remainder += step_remainder_;
            if (remainder >= static_cast<uint64_t>(crystal_hz)) {
                remainder -= crystal_hz;
                ++at;
            }
        }
        run.at = at;
        run.remainder = remainder;
    } else {
        // The samples' buffer positions first, a chunk at a time, so that the
        // loop that adds the changes holds only the operators: show's
        // whole * factor + offset + (fraction * factor >> 16) is the 16.16
        // time times the factor over 65536, which grows by the same sum
        // each sample but for the carry of the remainder. Each position is
        // kept as the cells and the window row that add_delta_cells takes.
        const Band_Buffer* buffers[2] = {ch.output, also_};
        Band_Synth<12>::Delta_Target targets[2] = {};
        uint64_t scaled[2] = {}, scaled_step[2] = {};
        for (int b = 0; b < Outputs; ++b) {
            targets[b] = synth_.delta_target(*(b ? also_ : ch.output));
            scaled[b] = static_cast<uint64_t>(run.at) * buffers[b]->factor();
            scaled_step[b] = step_ * buffers[b]->factor();
        }
        // The changes of n samples lie at most (n - 1) (step + 1) factor
        // (32.32) and two cells, the even cells' rounding, apart.
        auto fits = [&](uint64_t n) {
            return (n - 1) * (step_ + 1) * buffers[0]->factor() + (uint64_t{2} << (2 * Band_Buffer::time_bits)) <=
                   (uint64_t{Band_Synth<12>::max_group_cells} << (2 * Band_Buffer::time_bits));
        };
        const int group_size = fits(4) ? 4 : fits(2) ? 2 : 1;
        uint64_t remainder = run.remainder;
        constexpr int chunk = 128;
        uint32_t cell_at[Outputs][chunk];
        uint32_t row_at[Outputs][chunk];
        for (int64_t done = 0; done < count; done += chunk) {
            const int n = static_cast<int>(std::min<int64_t>(chunk, count - done));
            for (int b = 0; b < Outputs; ++b) {
                const uint32_t offset = buffers[b]->time_offset();
                const uint64_t factor = buffers[b]->factor();
                uint64_t at_scaled = scaled[b];
                uint64_t r = remainder;
                for (int k = 0; k < n; ++k) {
                    const uint32_t pos = static_cast<uint32_t>(at_scaled >> Band_Buffer::time_bits) + offset;
                    PLINKA_CHIP_REQUIRE("Band_Synth/Band_Wave: Went past end of buffer",
                                        "sample_index < band_buf->buffer_size_",
                                        ((pos >> Band_Buffer::time_bits) & ~1u) < targets[b].size);
                    cell_at[b][k] = Band_Synth<12>::delta_cells(pos);
                    row_at[b][k] = Band_Synth<12>::delta_row(pos);
                    at_scaled += scaled_step[b];
                    r += step_remainder_;
                    const uint64_t carry = 0 - static_cast<uint64_t>(r >= static_cast<uint64_t>(crystal_hz));
                    r -= carry & static_cast<uint64_t>(crystal_hz);
                    at_scaled += carry & factor;
                }
                scaled[b] = at_scaled;
                if (b == Outputs - 1)
                    remainder = r;
            }
            uint16_t* const cells = targets[0].cells;
            const uint32_t* const rows = targets[0].rows;
            uint16_t* const also_cells = targets[Outputs - 1].cells;
            const uint32_t* const also_rows = targets[Outputs - 1].rows;
            int k = 0;
            if constexpr (Outputs == 1) {
                // Changes a few at a time, summed before they reach the
                // cells, while the last lies close enough after the first.
                auto add_groups = [&]<int Count>() {
                    for (; k + Count <= n; k += Count) {
                        const uint32_t first = cell_at[0][k];
                        const uint32_t* shifted[Count];
                        int deltas[Count];
                        for (int g = 0; g < Count; ++g) {
                            PLINKA_CHIP_REQUIRE("unmet requirement", "apart <= max_group_cells",
                                                cell_at[0][k + g] - first <= Band_Synth<12>::max_group_cells);
                            shifted[g] = rows + row_at[0][k + g] - (cell_at[0][k + g] - first) / 2;
                            const int code = next_code();
                            deltas[g] = code - level;
                            level = code;
                        }
                        Band_Synth<12>::add_delta_group<Count>(cells + first, shifted, deltas);
                    }
                };
                if (group_size >= 4)
                    add_groups.template operator()<4>();
                else if (group_size >= 2)
                    add_groups.template operator()<2>();
            }
            for (; k < n; ++k) {
                // Every sample adds its change, none too: a branch on
                // whether the level moved would go either way at random.
                const int code = next_code();
                Band_Synth<12>::add_delta_cells(cells + cell_at[0][k], rows + row_at[0][k], code - level);
                if constexpr (Outputs > 1)
                    Band_Synth<12>::add_delta_cells(also_cells + cell_at[1][k], also_rows + row_at[1][k], code - level);
                level = code;
            }
        }
        ch.level = level;
        // The time after the last sample, as advance would leave it.
        const uint64_t carried = run.remainder + static_cast<uint64_t>(count) * step_remainder_;
        run.at += count * static_cast<int64_t>(step_) + static_cast<int64_t>(carried / crystal_hz);
        run.remainder = remainder;
    }
    run.mod_phase = mod_phase;
    run.car_phase = car_phase;
    run.previous = previous;
    run.before = before;
}

inline Chip_Vrc7::Sample_State Chip_Vrc7::begin_samples(const Channel& ch)
{
    Sample_State s;
    s.vibrato_step = vrc7::vibrato_steps;  // none yet
    s.mod_increment = ch.modulator.increment;
    s.car_increment = ch.carrier.increment;
    s.mod_phase = ch.modulator.phase;
    s.car_phase = ch.carrier.phase;
    s.previous = ch.previous[0];
    s.before = ch.previous[1];
    s.feedback_mask = ch.feedback ? -1 : 0;
    s.feedback_by = ch.feedback ? feedback_shift - ch.feedback : 0;
    return s;
}

inline void Chip_Vrc7::end_samples(Channel& ch, const Sample_State& s)
{
    ch.modulator.phase = s.mod_phase;
    ch.carrier.phase = s.car_phase;
    ch.previous[0] = s.previous;
    ch.previous[1] = s.before;
}

inline void Chip_Vrc7::follow_vibrato(const Channel& ch, const Position& p, Sample_State& s)
{
    if (const uint32_t step = p.vibrato_counter / vrc7::vibrato_step_samples; step != s.vibrato_step) {
        s.vibrato_step = step;
        s.mod_increment = ch.modulator.vibrato ? vibrato_increment(ch, ch.modulator, step) : ch.modulator.increment;
        s.car_increment = ch.carrier.vibrato ? vibrato_increment(ch, ch.carrier, step) : ch.carrier.increment;
    }
}

[[gnu::always_inline]] inline bool Chip_Vrc7::run_sample(int c, const Position& p, int tremolo, Sample_State& s)
{
    Channel& ch = channels_[c];
    Operator& mod = ch.modulator;
    Operator& car = ch.carrier;
    if (mod.envelope.step(p.envelope_counter))
        s.mod_phase = 0;
    // The carrier's attack restarts both operators.
    if (car.envelope.step(p.envelope_counter))
        s.mod_phase = s.car_phase = 0;
    // Feedback: the mean of the modulator's last two outputs, scaled by FB.
    const int feedback = (((s.previous + s.before) >> 1) >> s.feedback_by) & s.feedback_mask;
    const int m =
        operator_output(mod, ((s.mod_phase >> phase_shift) + static_cast<unsigned>(feedback)) & wave_mask, tremolo);
    s.before = s.previous;
    s.previous = m;
    // The carrier's phase moves by twice the modulator's output.
    const int out =
        operator_output(car, ((s.car_phase >> phase_shift) + static_cast<unsigned>(2 * m)) & wave_mask, tremolo);
    s.mod_phase = (s.mod_phase + s.mod_increment) & phase_mask;
    s.car_phase = (s.car_phase + s.car_increment) & phase_mask;
    const int value = out >> channel_shift;
    show(ch, p.at, value >= 0 ? value + 1 : value);
    // The carrier silent until a key-on, whose attack restarts both
    // phases: the channel rests. A modulator that is silent too must
    // have no feedback left; one frozen by the key-off may still be
    // sounding inside, and rests with its feedback cleared (see the header).
    const Vrc7_Envelope& m_env = mod.envelope;
    const Vrc7_Envelope& c_env = car.envelope;
    if (c_env.level() != Vrc7_Envelope::silent || !c_env.settled())
        return false;
    if (m_env.frozen()) {
        s.previous = s.before = 0;
    } else if (m_env.level() != Vrc7_Envelope::silent || !m_env.settled() || s.previous != 0 || s.before != 0) {
        return false;
    }
    active_ &= ~(1u << c);
    return true;
}

void Chip_Vrc7::run_channel(int c, Position p, int64_t count)
{
    if (sample_by_sample_) {
        run_channel_by_sample(c, p, count);
        return;
    }
    // Runs of samples between the ones where an envelope may step or the
    // vibrato or tremolo moves: inside one the attenuations and increments
    // hold, each operator reads one whole-wave row, and only the phases,
    // the feedback and the level move. The other samples are run in full,
    // as run_channel_by_sample runs every one.
    Channel& ch = channels_[c];
    Operator& mod = ch.modulator;
    Operator& car = ch.carrier;
    Sample_State s = begin_samples(ch);
    uint32_t& mod_increment = s.mod_increment;
    uint32_t& car_increment = s.car_increment;
    uint32_t& mod_phase = s.mod_phase;
    uint32_t& car_phase = s.car_phase;
    int& previous = s.previous;
    int& before = s.before;
    const int feedback_by = s.feedback_by;
    const int outputs = ch.output ? (also_ ? 2 : 1) : 0;
    int64_t i = 0;
    while (i < count) {
        follow_vibrato(ch, p, s);
        const int tremolo = vrc7::tremolo_attenuation(p.tremolo_step);
        const int64_t quiet = quiet_samples(ch, p, count - i);
        if (quiet > 0) {
            // Rows at this run's attenuations; a silent envelope reads zeros.
            auto row = [&](const Operator& op, int& rectified) {
                const int envelope = op.envelope.level();
                rectified = op.rectified && envelope != Vrc7_Envelope::silent ? -1 : 0;
                if (envelope == Vrc7_Envelope::silent)
                    return roms_.wave[vrc7::Wave_Roms::silent_row];
                const int attenuation = envelope + op.attenuation + (op.tremolo ? tremolo : 0);
                return roms_.wave[attenuation < vrc7::max_attenuation ? attenuation : vrc7::max_attenuation];
            };
            Run run;
            run.mod_phase = mod_phase;
            run.car_phase = car_phase;
            run.mod_increment = mod_increment;
            run.car_increment = car_increment;
            run.previous = previous;
            run.before = before;
            run.feedback_by = 1 + feedback_by;
            run.mod_row = row(mod, run.mod_rectified);
            run.car_row = row(car, run.car_rectified);
            run.at = p.at;
            run.remainder = p.remainder;
            if (car.envelope.level() == Vrc7_Envelope::silent) {
                // The carrier adds nothing: one level for the whole run, and
                // only the modulator's feedback history to keep.
                show(ch, run.at, silent_level);
                auto mod_output = [&](uint32_t phase, int feedback) {
                    const unsigned index = ((phase >> phase_shift) + static_cast<unsigned>(feedback)) & wave_mask;
                    return run.mod_row[index] | (run.mod_rectified & -static_cast<int>(index >> 9));
                };
                if (ch.feedback) {
                    for (int64_t k = 0; k < quiet; ++k) {
                        const int m = mod_output(mod_phase, (previous + before) >> run.feedback_by);
                        before = previous;
                        previous = m;
                        mod_phase = (mod_phase + mod_increment) & phase_mask;
                    }
                } else {
                    // Without feedback only the last two outputs matter.
                    auto phase_at = [&](int64_t k) {
                        return static_cast<uint32_t>((mod_phase + static_cast<uint64_t>(mod_increment) * k) & phase_mask);
                    };
                    before = quiet > 1 ? mod_output(phase_at(quiet - 2), 0) : previous;
                    previous = mod_output(phase_at(quiet - 1), 0);
                    mod_phase = phase_at(quiet);
                }
                car_phase = static_cast<uint32_t>((car_phase + static_cast<uint64_t>(car_increment) * quiet) & phase_mask);
                // The time after the run, as advance would leave it.
                const uint64_t carried = p.remainder + static_cast<uint64_t>(quiet) * step_remainder_;
                p.at += quiet * static_cast<int64_t>(step_) + static_cast<int64_t>(carried / crystal_hz);
                p.remainder = carried % crystal_hz;
            } else {
                if (ch.feedback) {
                    if (outputs == 1)
                        run_quiet<true, 1>(ch, run, quiet);
                    else if (outputs == 2)
                        run_quiet<true, 2>(ch, run, quiet);
                    else
                        run_quiet<true, 0>(ch, run, quiet);
                } else {
                    if (outputs == 1)
                        run_quiet<false, 1>(ch, run, quiet);
                    else if (outputs == 2)
                        run_quiet<false, 2>(ch, run, quiet);
                    else
                        run_quiet<false, 0>(ch, run, quiet);
                }
                mod_phase = run.mod_phase;
                car_phase = run.car_phase;
                previous = run.previous;
                before = run.before;
                p.at = run.at;
                p.remainder = run.remainder;
            }
            advance_counters(p, quiet);
            i += quiet;
            continue;
        }
        // One sample in full, as run_channel_by_sample runs it.
        if (run_sample(c, p, tremolo, s))
            break;
        advance(p);
        ++i;
    }
    end_samples(ch, s);
}

void Chip_Vrc7::run_channel_by_sample(int c, Position p, int64_t count)
{
    // One channel over the whole run: between writes the channels share
    // only the counters, and the operators' phases and the feedback stay in
    // registers, off the store-to-load path that would lengthen the
    // modulator's sample-to-sample chain.
    Channel& ch = channels_[c];
    Sample_State s = begin_samples(ch);
    for (int64_t i = 0; i < count; ++i, advance(p)) {
        follow_vibrato(ch, p, s);
        if (run_sample(c, p, vrc7::tremolo_attenuation(p.tremolo_step), s))
            break;
    }
    end_samples(ch, s);
}

void Chip_Vrc7::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    const int64_t end = int64_t{end_time} << Band_Buffer::time_bits;
    // Sample k falls at (E0 + k S) / crystal_hz in 16.16 clocks, E0 and S
    // counted in crystal_hz-ths: it is before `end` while E0 + k S < end crystal_hz.
    const int64_t first = next_ * crystal_hz + static_cast<int64_t>(remainder_);
    const int64_t stride = static_cast<int64_t>(step_) * crystal_hz + static_cast<int64_t>(step_remainder_);
    const int64_t span = end * crystal_hz - first;
    const int64_t count = span > 0 ? (span + stride - 1) / stride : 0;
    const int64_t last = first + count * stride;
    Position p = position();
    p.at = last / crystal_hz;
    p.remainder = static_cast<uint64_t>(last % crystal_hz);
    advance_counters(p, count);
    if (held_) {
        // Held in reset, only the vibrato runs on.
        vibrato_counter_ = p.vibrato_counter;
    } else if (count > 0) {
        const Position from = position();
        for (unsigned rest = active_; rest; rest &= rest - 1)
            run_channel(__builtin_ctz(rest), from, count);
        envelope_counter_ = p.envelope_counter;
        vibrato_counter_ = p.vibrato_counter;
        tremolo_step_ = p.tremolo_step;
        tremolo_samples_ = p.tremolo_samples;
    }
    next_ = p.at;
    remainder_ = p.remainder;
    if (end_time > last_time_)
        last_time_ = end_time;
}

void Chip_Vrc7::end_frame(int32_t end_time)
{
    run_until(end_time);
    next_ -= int64_t{end_time} << Band_Buffer::time_bits;
    last_time_ -= end_time;
    written_ = false;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_Vrc7::idle() const
{
    return !written_ && last_time_ == 0 && active_ == 0;
}
