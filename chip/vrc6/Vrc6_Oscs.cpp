#include "Vrc6_Oscs.h"

namespace {

constexpr int pulse_steps = 16;
constexpr int saw_steps = 14;  // seven additions, every second step, the seventh a reset
constexpr int accumulator_mask = 0xFF;
constexpr int saw_level_shift = 3;  // the top five of the accumulator's eight bits sound

// Divider steps from `time` (the next one) to the last one before `end_time`.
int32_t steps_until(int32_t time, int32_t end_time, int32_t length)
{
    return (end_time - time + length - 1) / length;
}

}  // namespace

// ---- common ----

void Vrc6_Osc::reset()
{
    for (uint8_t& reg : regs)
        reg = 0;
    delay = 0;
    last_level = 0;
}

// ---- pulse ----

int Vrc6_Pulse_Osc::level() const
{
    if (!enabled())
        return 0;
    return constant() || phase <= duty() ? volume() : 0;
}

void Vrc6_Pulse_Osc::run(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking)
{
    if (!output) {
        if (log)
            run_logged(time, end_time, clocking);
        return;
    }
    const int now = level();
    if (now != last_level)
        synth->add_delta(time, now - last_level, *output);
    last_level = now;
    // A disabled pulse holds its sequencer at step 0 and restarts its divider
    // when enabled; a halted one keeps its divider's count.
    if (!enabled() || clocking.halt)
        return;

    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int vol = volume();
        if (constant() || vol == 0) {
            time = skip(time, end_time, length);
        } else {
            Band_Buffer& out = *output;
            time = play(time, end_time, length,
                        [&](int32_t change, bool loud) { synth->add_delta(change, loud ? vol : -vol, out); });
            last_level = level();
        }
    }
    delay = time - end_time;
}

void Vrc6_Pulse_Osc::run_logged(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking)
{
    log->change(time, level());
    last_level = log->level;
    if (!enabled() || clocking.halt)
        return;
    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int vol = volume();
        if (constant() || vol == 0) {
            time = skip(time, end_time, length);
        } else {
            time = play(time, end_time, length, [&](int32_t change, bool loud) { log->change(change, loud ? vol : 0); });
            last_level = log->level;
        }
    }
    delay = time - end_time;
}

template <class Change>
int32_t Vrc6_Pulse_Osc::play(int32_t time, int32_t end_time, int32_t length, Change&& change)
{
    // Only two steps of sixteen change the output: the one after the last
    // loud step and step 0. The run goes from change to change.
    const int quiet_from = duty() + 1;
    int ph = phase;
    for (;;) {
        const int target = ph < quiet_from ? quiet_from : pulse_steps;
        const int32_t at = time + (target - ph - 1) * length;
        if (at >= end_time) {
            const int32_t count = steps_until(time, end_time, length);
            ph = (ph + count) & (pulse_steps - 1);
            time += count * length;
            break;
        }
        ph = target & (pulse_steps - 1);
        change(at, ph == 0);
        time = at + length;
        if (time >= end_time)
            break;
    }
    phase = ph;
    return time;
}

int32_t Vrc6_Pulse_Osc::skip(int32_t time, int32_t end_time, int32_t length)
{
    const int32_t count = steps_until(time, end_time, length);
    phase = (phase + count) & (pulse_steps - 1);
    return time + count * length;
}

void Vrc6_Pulse_Osc::reset()
{
    Vrc6_Osc::reset();
    phase = 0;
}

// ---- sawtooth ----

void Vrc6_Saw_Osc::run(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking)
{
    if (!output) {
        if (log)
            run_logged(time, end_time, clocking);
        return;
    }
    const int now = level();
    if (now != last_level)
        synth->add_delta(time, now - last_level, *output);
    last_level = now;
    // A disabled saw holds its accumulator at 0 and its count at the cycle's
    // start; a halted one keeps both and its divider's count.
    if (!enabled() || clocking.halt)
        return;

    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int add = rate();
        if (add == 0 && accumulator == 0) {
            time = skip(time, end_time, length);
        } else {
            Band_Buffer& out = *output;
            int ph = phase;
            int acc = accumulator;
            int lvl = now;
            do {
                step(ph, acc, add);
                const int next = acc >> saw_level_shift;
                if (next != lvl) {
                    synth->add_delta(time, next - lvl, out);
                    lvl = next;
                }
                time += length;
            } while (time < end_time);
            phase = ph;
            accumulator = acc;
            last_level = lvl;
        }
    }
    delay = time - end_time;
}

void Vrc6_Saw_Osc::run_logged(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking)
{
    log->change(time, level());
    last_level = log->level;
    if (!enabled() || clocking.halt)
        return;
    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int add = rate();
        if (add == 0 && accumulator == 0) {
            time = skip(time, end_time, length);
        } else {
            for (; time < end_time; time += length) {
                step(phase, accumulator, add);
                log->change(time, level());
            }
            last_level = log->level;
        }
    }
    delay = time - end_time;
}

int32_t Vrc6_Saw_Osc::skip(int32_t time, int32_t end_time, int32_t length)
{
    const int32_t count = steps_until(time, end_time, length);
    phase = (phase + count % saw_steps) % saw_steps;
    return time + count * length;
}

void Vrc6_Saw_Osc::step(int& ph, int& acc, int add)
{
    if (++ph == saw_steps) {
        ph = 0;
        acc = 0;
    } else if ((ph & 1) == 0) {
        acc = (acc + add) & accumulator_mask;
    }
}

void Vrc6_Saw_Osc::reset()
{
    Vrc6_Osc::reset();
    phase = 0;
    accumulator = 0;
}
