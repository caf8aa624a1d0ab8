#include "Mmc5_Pulse.h"

#include "chip/Length_Table.h"

namespace {

// The four duty sequences in time order from a restart, step s in bit s:
// 0 1 0 0 0 0 0 0, 0 1 1 0 0 0 0 0, 0 1 1 1 1 0 0 0, 1 0 0 1 1 1 1 1.
constexpr uint8_t duty_sequences[4] = {0x02, 0x06, 0x1E, 0xF9};

// For each duty and step, the timer events until the output changes (1..7):
// a held note runs from change to change instead of event by event.
struct Change_Distances {
    int8_t events[4][Mmc5_Pulse::sequence_steps];
};

constexpr Change_Distances change_distances()
{
    Change_Distances table{};
    for (int duty = 0; duty < 4; ++duty) {
        const int bits = duty_sequences[duty];
        for (int s = 0; s < Mmc5_Pulse::sequence_steps; ++s) {
            int n = 1;
            while ((bits >> ((s + n) & 7) & 1) == (bits >> s & 1))
                ++n;
            table.events[duty][s] = static_cast<int8_t>(n);
        }
    }
    return table;
}
constexpr Change_Distances events_to_change = change_distances();

constexpr int step_mask = Mmc5_Pulse::sequence_steps - 1;

}  // namespace

int Mmc5_Pulse::volume() const
{
    if (length_counter == 0)
        return 0;
    return constant() ? regs[0] & 15 : decay;
}

int Mmc5_Pulse::level() const
{
    return (duty_sequences[duty()] >> step & 1) ? volume() : 0;
}

void Mmc5_Pulse::restart(bool enabled)
{
    if (enabled)
        length_counter = length_table[regs[3] >> 3];
    step = 0;
    envelope_start = true;
}

void Mmc5_Pulse::clock_frame()
{
    const int period = regs[0] & 15;
    if (envelope_start) {
        envelope_start = false;
        decay = max_volume;
        envelope_divider = period;
    } else if (envelope_divider > 0) {
        --envelope_divider;
    } else {
        envelope_divider = period;
        if (decay > 0)
            --decay;
        else if (halt())
            decay = max_volume;
    }
    if (length_counter > 0 && !halt())
        --length_counter;
}

void Mmc5_Pulse::run(int32_t time, int32_t end_time)
{
    if (!output) {
        if (log)
            run_logged(time, end_time);
        return;
    }
    const int vol = volume();
    const int now = level();
    if (now != last_level)
        synth->add_delta(time, now - last_level, *output);
    last_level = now;

    time += delay;
    if (time < end_time) {
        const int32_t length = timer_length();
        if (vol == 0) {
            time = skip(time, end_time, length);
        } else {
            // Two events a cycle change the output; the run goes from one to
            // the next, `d` the step the next change makes.
            const int8_t* distances = events_to_change.events[duty()];
            Band_Buffer& out = *output;
            int d = vol - 2 * now;
            int s = step;
            for (;;) {
                const int32_t change = time + (distances[s] - 1) * length;
                if (change >= end_time) {
                    step = s;
                    time = skip(time, end_time, length);
                    break;
                }
                s = (s + distances[s]) & step_mask;
                synth->add_delta(change, d, out);
                d = -d;
                time = change + length;
                if (time >= end_time) {
                    step = s;
                    break;
                }
            }
            last_level = (vol - d) >> 1;
        }
    }
    delay = time - end_time;
}

void Mmc5_Pulse::run_logged(int32_t time, int32_t end_time)
{
    const int vol = volume();
    log->change(time, level());
    time += delay;
    if (time < end_time) {
        const int32_t length = timer_length();
        if (vol == 0) {
            time = skip(time, end_time, length);
        } else {
            const int bits = duty_sequences[duty()];
            Level_Log::Writer out(*log);
            int s = step;
            for (; time < end_time; time += length) {
                s = (s + 1) & step_mask;
                out.change(time, (bits >> s & 1) ? vol : 0);
            }
            out.close();
            step = s;
        }
    }
    last_level = log->level;
    delay = time - end_time;
}

int32_t Mmc5_Pulse::skip(int32_t time, int32_t end_time, int32_t length)
{
    const int32_t count = step_count.events_in(end_time - time, length);
    step = (step + count) & step_mask;
    return time + count * length;
}

void Mmc5_Pulse::reset()
{
    for (uint8_t& reg : regs)
        reg = 0;
    delay = 0;
    last_level = 0;
    step = 0;
    length_counter = 0;
    envelope_start = false;
    envelope_divider = 0;
    decay = 0;
}
