#include "Chip_S5b.h"

#include "chip/Chip_Require.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

// A 2A03 pulse at volume 15, as a fraction of full scale at volume 1 (as in
// Chip_Apu and Chip_Vrc6). A 5B channel at level 31 sounds 2.5 dB below it,
// the balance trackers give the chip beside the console's own channels.
constexpr double pulse_level = 0.1128;
constexpr double below_pulse_db = -2.5;
// Full scale in the buffer's 16-bit sample units, which add_amplitude counts in.
constexpr double full_scale_units = 65536.0;
// A volume far beyond any mix keeps the table inside int32 all the same.
constexpr double max_amplitude = 1 << 24;

constexpr unsigned select_first = 0xC000;
constexpr unsigned data_first = 0xE000;
constexpr unsigned data_last = 0xFFFF;
constexpr int chip_address_mask = 0xF0;  // a select with any of these set is for another chip

// $07: --CB Acba  bits 0-2 tone off for A/B/C, bits 3-5 noise off for A/B/C
constexpr int mixer_reg = 0x07;
constexpr int noise_off_shift = 3;
// $08-$0A: ---E VVVV  envelope instead of the fixed volume V
constexpr int volume_reg = 0x08;
constexpr int envelope_bit = 0x10;
constexpr int envelope_shape_reg = 0x0D;

// Level L sounds at 2^((L - 31) / 4) of level 31's amplitude, 0 at L = 0.
// The table is in whole sample units (level 31 is 5544 at volume 1, level 1
// is 31), each change adding exactly its difference, so the channels' sum
// never drifts; a table of a few hundred units would lose the low levels'
// 1.5 dB steps to rounding. Positive, as the 2A03's pulses: the cartridge's
// inverted output only matters when it cancels against the console's, and an
// instrument's voice has no such partner.
void fill_amplitudes(double volume, int32_t (&amplitudes)[Chip_S5b::level_count])
{
    const double top = full_scale_units * pulse_level * std::pow(10.0, below_pulse_db / 20.0) * volume;
    amplitudes[0] = 0;
    for (int l = 1; l < Chip_S5b::level_count; ++l) {
        const double a = top * std::exp2((l - (Chip_S5b::level_count - 1)) / 4.0);
        const bool in_range = a >= -max_amplitude && a <= max_amplitude;  // false for NaN too
        amplitudes[l] = in_range ? static_cast<int32_t>(std::lround(a)) : 0;
    }
}

// The buzz rows of volume 1, the volume every voice's 5B plays at, built as
// the library loads: a chip is built on whatever thread first plays it, the
// audio thread too, where the rows could be neither built nor waited for.
// A chip built before it (a static one elsewhere) finds it still zero,
// serving nothing: that chip plays each change on its own.
struct Unit_Rows {
    Band_Synth<12> synth{15};
    int32_t amplitudes[Chip_S5b::level_count];
    S5b_Rows rows;

    Unit_Rows() : rows(prepared(), amplitudes) {}
    const Band_Synth<12>& prepared()
    {
        synth.set_volume(1.0);
        fill_amplitudes(1.0, amplitudes);
        return synth;
    }
};
const Unit_Rows unit_rows;

}  // namespace

Chip_S5b::Chip_S5b()
{
    synth_.set_volume(1.0);  // builds the kernel that add_amplitude scales
    set_volume(1.0);
    reset();
}

void Chip_S5b::reset()
{
    for (uint8_t& r : regs_)
        r = 0;
    select_ = 0;
    for (S5b_Tone& tone : tones_)
        tone = {};
    noise_ = {};
    envelope_ = {};
    tick_delay_ = 0;
    last_time_ = 0;
    written_ = false;
    for (int i = 0; i < osc_count; ++i) {
        last_levels_[i] = 0;
        last_amplitudes_[i] = 0;
    }
}

void Chip_S5b::set_volume(double volume)
{
    fill_amplitudes(volume, amplitudes_);
    rows_ = unit_rows.rows.serves(synth_, amplitudes_) ? &unit_rows.rows : nullptr;
}

void Chip_S5b::set_output(Band_Buffer* buffer)
{
    for (int i = 0; i < osc_count; ++i)
        osc_output(i, buffer);
}

void Chip_S5b::osc_output(int osc, Band_Buffer* buffer)
{
    PLINKA_CHIP_REQUIRE("Chip_S5b::osc_output(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    outputs_[osc] = buffer;
}

void Chip_S5b::osc_log(int osc, Level_Log* log)
{
    PLINKA_CHIP_REQUIRE("Chip_S5b::osc_log(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    logs_[osc] = log;
}

void Chip_S5b::write_register(int32_t time, unsigned addr, int data)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "(unsigned) data <= 0xff", (unsigned)data <= 0xff);
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", time >= last_time_);
    if (addr < select_first || addr > data_last)
        return;
    // A write that changes nothing that sounds leaves the run going: a
    // voice writes its registers every frame, mostly with what they hold,
    // and a buzz or a tone then adds a whole frame's steps in one go. The
    // select, an ignored write and the same value again (but to $0D, which
    // restarts the envelope) are such writes.
    if (addr < data_first) {
        select_ = data & 0xFF;  // with the checks compiled out, a wider value must not reach past regs_
        return;
    }
    if (select_ & chip_address_mask)
        return;
    written_ = true;
    if (regs_[select_] == data && select_ != envelope_shape_reg)
        return;
    run_until(time);
    regs_[select_] = static_cast<uint8_t>(data);
    apply(select_, data);
    // Only a write makes the noise heard: its waiting shifts are made
    // before any channel's level reads it.
    if (noise_.pending)
        for (int i = 0; i < osc_count; ++i)
            if (hears_noise(i)) {
                noise_.catch_up();
                break;
            }
}

void Chip_S5b::apply(int reg, int data)
{
    switch (reg) {
    case 0x00:
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05: {
        // $00/$02/$04: LLLL LLLL  tone period low; $01/$03/$05: ---- HHHH  high
        const int low = reg & ~1;
        tones_[reg >> 1].counter.period = (regs_[low + 1] & 0x0F) << 8 | regs_[low];
        break;
    }
    case 0x06:
        // $06: ---P PPPP  noise period
        noise_.counter.period = data & 0x1F;
        break;
    case 0x0B:
    case 0x0C:
        // $0B: LLLL LLLL  envelope period low; $0C: HHHH HHHH  high
        envelope_.counter.period = regs_[0x0C] << 8 | regs_[0x0B];
        break;
    case 0x0D:
        // $0D: ---- CAaH  envelope shape; every write restarts it, the same value too
        envelope_.restart(data);
        break;
    default:
        // The mixer and the volumes are read where they sound; $0E/$0F are
        // I/O ports with no pins on this chip.
        break;
    }
}

int Chip_S5b::level(int osc) const
{
    PLINKA_CHIP_REQUIRE("Chip_S5b::level(): Index out of range", "0 <= osc && osc < osc_count",
                        0 <= osc && osc < osc_count);
    // gate = (T or tone off) and (N or noise off)
    const int mixer = regs_[mixer_reg];
    const int tone_gate = tones_[osc].high | (mixer >> osc);
    const int noise_gate = noise_.output() | (mixer >> (osc + noise_off_shift));
    if (!(tone_gate & noise_gate & 1))
        return 0;
    const int volume = regs_[volume_reg + osc];
    if (volume & envelope_bit)
        return envelope_.level;
    // Fixed volume V sits on every second level; V = 0 is silent.
    const int v = volume & 0x0F;
    return v ? 2 * v + 1 : 0;
}

bool Chip_S5b::may_sound(int osc) const
{
    const int volume = regs_[volume_reg + osc];
    if (volume & envelope_bit)
        return !(envelope_.held && envelope_.level == 0);
    return (volume & 0x0F) != 0;
}

bool Chip_S5b::hears_tone(int osc) const
{
    return !((regs_[mixer_reg] >> osc) & 1) && may_sound(osc);
}

bool Chip_S5b::hears_noise(int osc) const
{
    return !((regs_[mixer_reg] >> (osc + noise_off_shift)) & 1) && may_sound(osc);
}

bool Chip_S5b::hears_envelope(int osc) const
{
    return (regs_[volume_reg + osc] & envelope_bit) != 0 && !envelope_.held;
}

void Chip_S5b::sound(int osc, int32_t time, int level)
{
    if (Band_Buffer* out = outputs_[osc]) {
        const int32_t a = amplitudes_[level];
        if (a != last_amplitudes_[osc]) {
            synth_.add_amplitude(out->to_buffer_time(time), a - last_amplitudes_[osc], *out);
            last_amplitudes_[osc] = a;
        }
    } else if (Level_Log* log = logs_[osc]) {
        log->change(time, level);
    }
    last_levels_[osc] = level;
}

void Chip_S5b::run_until(int32_t end_time)
{
    PLINKA_CHIP_REQUIRE("unmet requirement", "end_time >= last_time", end_time >= last_time_);
    if (end_time == last_time_)
        return;
    // What the writes since the last run changed sounds from their time on.
    for (int i = 0; i < osc_count; ++i)
        sound(i, last_time_, level(i));
    int32_t time = last_time_ + tick_delay_;
    if (time < end_time) {
        const int32_t ticks = (end_time - time + tick_clocks - 1) / tick_clocks;
        run_ticks(time, ticks);
        time += ticks * tick_clocks;
    }
    tick_delay_ = time - end_time;
    last_time_ = end_time;
}

void Chip_S5b::run_ticks(int32_t time, int32_t ticks)
{
    // No channel that may sound, as a console's 5B while no voice plays
    // it: nothing is heard, and every generator takes its ticks in one
    // stride, as the event loop below would leave them.
    bool quiet = true;
    for (int i = 0; i < osc_count; ++i)
        quiet = quiet && !may_sound(i);
    if (quiet) {
        for (S5b_Tone& tone : tones_)
            tone.advance(ticks);
        noise_.skip(ticks);
        envelope_.advance(ticks);
        return;
    }
    if (run_buzz(time, ticks) || run_tone(time, ticks))
        return;
    // The generators some channel hears go from event to event, together;
    // the others, and those that fall silent on the way (an envelope coming
    // to rest at 0), take their remaining ticks in one stride at the end.
    // With no writes inside the run, one that is unheard stays unheard.
    constexpr int generators = osc_count + 2;
    constexpr int noise_index = osc_count;
    constexpr int envelope_index = osc_count + 1;
    bool heard[generators];
    int32_t done[generators] = {};
    auto listen = [&] {
        heard[noise_index] = false;
        heard[envelope_index] = false;
        for (int i = 0; i < osc_count; ++i) {
            heard[i] = hears_tone(i);
            heard[noise_index] = heard[noise_index] || hears_noise(i);
            heard[envelope_index] = heard[envelope_index] || hears_envelope(i);
        }
    };
    auto advance = [&](int g, int32_t to) {
        const int32_t count = to - done[g];
        done[g] = to;
        if (g < osc_count)
            tones_[g].advance(count);
        else if (g == noise_index)
            heard[noise_index] ? noise_.advance(count) : noise_.skip(count);
        else
            envelope_.advance(count);
    };
    listen();
    int32_t now = 0;  // ticks run
    for (;;) {
        int32_t next = ticks - now + 1;  // past the run: no event
        for (int i = 0; i < osc_count; ++i)
            if (heard[i] && tones_[i].ticks_to_event() < next)
                next = tones_[i].ticks_to_event();
        if (heard[noise_index] && noise_.ticks_to_event() < next)
            next = noise_.ticks_to_event();
        if (heard[envelope_index] && envelope_.ticks_to_event() < next)
            next = envelope_.ticks_to_event();
        if (next > ticks - now)
            break;
        now += next;
        for (int g = 0; g < generators; ++g)
            if (heard[g])
                advance(g, now);
        const int32_t at = time + (now - 1) * tick_clocks;
        for (int i = 0; i < osc_count; ++i)
            sound(i, at, level(i));
        if (heard[envelope_index] && envelope_.held)
            listen();
    }
    for (int g = 0; g < generators; ++g)
        advance(g, ticks);
}

bool Chip_S5b::run_buzz(int32_t time, int32_t ticks)
{
    constexpr int repeat_mask = S5b_Envelope::continue_bit | S5b_Envelope::hold_bit;
    if (!rows_ || std::endian::native != std::endian::little || envelope_.held ||
        (envelope_.shape & repeat_mask) != S5b_Envelope::continue_bit || envelope_.ticks_to_event() > ticks)
        return false;
    // The one channel on the envelope: with its tone and noise unheard, its
    // gate stays open (the envelope, never at rest, makes it may_sound).
    int osc = -1;
    for (int i = 0; i < osc_count; ++i) {
        if (hears_tone(i) || hears_noise(i))
            return false;
        if (hears_envelope(i)) {
            if (osc >= 0)
                return false;
            osc = i;
        }
    }
    if (osc < 0 || !outputs_[osc])
        return false;
    Band_Buffer& out = *outputs_[osc];
    const int32_t first = envelope_.ticks_to_event();
    const int32_t period = s5b_effective_period(envelope_.counter.period);
    const int32_t steps = 1 + (ticks - first) / period;
    const uint32_t pos_step = out.factor() * static_cast<uint32_t>(period * tick_clocks);
    uint32_t pos = out.to_buffer_time(time + (first - 1) * tick_clocks);
    // add_cycle_steps plays its last windows near the buffer's end change by
    // change, in the synthesiser's own units: the chip's sound() does it right.
    const uint32_t last = pos + static_cast<uint32_t>(steps - 1) * pos_step;
    if ((last >> Band_Buffer::time_bits) + Band_Synth<12>::window_reach > Band_Buffer::allocation)
        return false;
    const bool alternate = (envelope_.shape & S5b_Envelope::alternate_bit) != 0;
    bool rising = envelope_.rising;
    auto position = static_cast<uint32_t>(envelope_.position);
    for (int32_t left = steps; left > 0;) {
        // A triangle turns each ramp to the other direction's rows; a saw
        // goes round one cycle for good.
        const int32_t run =
            alternate ? std::min<int32_t>(left, S5b_Envelope::ramp_steps - static_cast<int32_t>(position)) : left;
        pos = synth_.add_cycle_steps<false>(pos, pos_step, run, rows_->ramp(rising, alternate), position, out);
        left -= run;
        position = (position + static_cast<uint32_t>(run)) % S5b_Envelope::ramp_steps;
        if (alternate && position == 0)
            rising = !rising;
    }
    for (S5b_Tone& tone : tones_)
        tone.advance(ticks);
    noise_.skip(ticks);
    envelope_.advance(ticks);
    last_levels_[osc] = envelope_.level;
    last_amplitudes_[osc] = amplitudes_[envelope_.level];
    return true;
}

bool Chip_S5b::run_tone(int32_t time, int32_t ticks)
{
    int osc = -1;
    for (int i = 0; i < osc_count; ++i) {
        if (hears_noise(i) || hears_envelope(i))
            return false;
        if (hears_tone(i)) {
            if (osc >= 0)
                return false;
            osc = i;
        }
    }
    if (osc < 0 || !outputs_[osc])
        return false;
    // Its noise unheard and its volume not at rest, the gate follows the
    // tone alone; the level it opens to is fixed, or an envelope at rest.
    const int volume = regs_[volume_reg + osc];
    const int32_t high = amplitudes_[(volume & envelope_bit) ? envelope_.level : 2 * (volume & 0x0F) + 1];
    S5b_Tone& tone = tones_[osc];
    const int32_t first = tone.ticks_to_event();
    if (first <= ticks) {
        Band_Buffer& out = *outputs_[osc];
        const int32_t period = s5b_effective_period(tone.counter.period);
        const int32_t flips = 1 + (ticks - first) / period;
        const uint32_t pos_step = out.factor() * static_cast<uint32_t>(period * tick_clocks);
        uint32_t pos = out.to_buffer_time(time + (first - 1) * tick_clocks);
        int32_t last = last_amplitudes_[osc];
        int on = tone.high;
        for (int32_t f = 0; f < flips; ++f, pos += pos_step) {
            on ^= 1;
            const int32_t a = on ? high : 0;
            if (a != last)
                synth_.add_amplitude(pos, a - last, out);
            last = a;
        }
        last_amplitudes_[osc] = last;
    }
    for (S5b_Tone& t : tones_)
        t.advance(ticks);
    noise_.skip(ticks);
    envelope_.advance(ticks);
    last_levels_[osc] = level(osc);
    return true;
}

void Chip_S5b::end_frame(int32_t end_time)
{
    if (end_time > last_time_)
        run_until(end_time);
    last_time_ -= end_time;
    written_ = false;
    PLINKA_CHIP_REQUIRE("unmet requirement", "last_time >= 0", last_time_ >= 0);
}

bool Chip_S5b::idle() const
{
    if (written_)
        return false;
    for (int i = 0; i < osc_count; ++i)
        if ((regs_[volume_reg + i] & (envelope_bit | 0x0F)) != 0 || last_levels_[i] != 0)
            return false;
    return true;
}
