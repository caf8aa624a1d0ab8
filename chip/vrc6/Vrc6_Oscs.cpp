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

template <class Run> void Vrc6_Osc::sound(Run&& run)
{
    // Each kind goes to the run by value: its state then stays in registers
    // rather than in memory that the buffer's stores might alias.
    struct Synth_Step {
        const Band_Synth<12>* synth;
        Band_Buffer* out;
        int level;  // levels the run reports again cost a comparison, not a step
        void operator()(int32_t time, int next)
        {
            if (next != level)
                synth->add_delta(time, next - level, *out);
            level = next;
        }
    };
    struct Log_Entry {
        Level_Log::Writer out;
        void operator()(int32_t time, int next) { out.change(time, next); }
    };
    if (output) {
        last_level = run(Synth_Step{synth, output, last_level}).level;
    } else if (log) {
        run(Log_Entry{Level_Log::Writer(*log)}).out.close();
        last_level = log->level;
    }
}

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
    sound([&](auto to) { return run_to(time, end_time, clocking, to); });
}

template <class Sound>
Sound Vrc6_Pulse_Osc::run_to(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking, Sound sound)
{
    sound(time, level());
    // A disabled pulse holds its sequencer at step 0 and restarts its divider
    // when enabled; a halted one keeps its divider's count.
    if (!enabled() || clocking.halt)
        return sound;

    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int vol = volume();
        if (constant() || vol == 0) {
            time = skip(time, end_time, length);
        } else {
            // Only two steps of sixteen change the output: the one after the
            // last loud step and step 0. The run goes from change to change.
            const int quiet_from = duty() + 1;
            int ph = phase;
            for (;;) {
                const int target = ph < quiet_from ? quiet_from : pulse_steps;
                const int32_t change = time + (target - ph - 1) * length;
                if (change >= end_time) {
                    const int32_t count = steps_until(time, end_time, length);
                    ph = (ph + count) & (pulse_steps - 1);
                    time += count * length;
                    break;
                }
                ph = target & (pulse_steps - 1);
                sound(change, ph == 0 ? vol : 0);
                time = change + length;
                if (time >= end_time)
                    break;
            }
            phase = ph;
        }
    }
    delay = time - end_time;
    return sound;
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
    sound([&](auto to) { return run_to(time, end_time, clocking, to); });
}

template <class Sound>
Sound Vrc6_Saw_Osc::run_to(int32_t time, int32_t end_time, const Vrc6_Clocking& clocking, Sound sound)
{
    sound(time, level());
    // A disabled saw holds its accumulator at 0 and its count at the cycle's
    // start; a halted one keeps both and its divider's count.
    if (!enabled() || clocking.halt)
        return sound;

    time += delay;
    if (time < end_time) {
        const int32_t length = step_length(clocking);
        const int add = rate();
        if (add == 0 && accumulator == 0) {
            time = skip(time, end_time, length);
        } else {
            int ph = phase;
            int acc = accumulator;
            do {
                // Every second step adds `add`; the last starts the cycle again from 0.
                if (++ph == saw_steps) {
                    ph = 0;
                    acc = 0;
                } else if ((ph & 1) == 0) {
                    acc = (acc + add) & accumulator_mask;
                }
                sound(time, acc >> saw_level_shift);
                time += length;
            } while (time < end_time);
            phase = ph;
            accumulator = acc;
        }
    }
    delay = time - end_time;
    return sound;
}

int32_t Vrc6_Saw_Osc::skip(int32_t time, int32_t end_time, int32_t length)
{
    const int32_t count = steps_until(time, end_time, length);
    phase = (phase + count % saw_steps) % saw_steps;
    return time + count * length;
}

void Vrc6_Saw_Osc::reset()
{
    Vrc6_Osc::reset();
    phase = 0;
    accumulator = 0;
}
