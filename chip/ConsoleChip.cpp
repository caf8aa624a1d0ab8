#include "ConsoleChip.h"

#include <algorithm>
#include <utility>

namespace {

const char* const out_of_memory = "Out of memory";
// A formula level of 1 in the buffers' amplitude units, which integrate to
// 16-bit samples one for one.
constexpr float amplitude_scale = static_cast<float>(ConsoleChip::output_scale * 32768.0);
// The buffer's step for a change of 1.0 in a Band_Synth's volume unit.
constexpr double synth_unit_steps = 65536.0;
constexpr int dmc_log = 4;

int32_t to_amplitude(float level)
{
    return static_cast<int32_t>(level * amplitude_scale + 0.5f);  // levels are never negative
}
}  // namespace

ConsoleChip::ConsoleChip()
{
    Sample_Memory::attach(apu_, sample_memory);
    for (int i = 0; i < Chip_Apu::osc_count; ++i)
        apu_.osc_log(i, &logs_[i]);
    for (int i = 0; i < Chip_Vrc6::osc_count; ++i)
        vrc6_.osc_log(i, &logs_[vrc6_log + i]);
    for (int i = 0; i < Chip_S5b::osc_count; ++i)
        s5b_.osc_log(i, &logs_[s5b_log + i]);
    for (int i = 0; i < Chip_Mmc5::osc_count; ++i)
        mmc5_.osc_log(i, &logs_[mmc5_log + i]);
    synth_.set_volume(1.0);  // builds the kernel that add_amplitude scales
    for (int sum = 0; sum < Console_Mixer::pulse_entries; ++sum)
        pair_amplitudes_[sum] = to_amplitude(mixer_.pulse(sum));
    for (int index = 0; index < Console_Mixer::tnd_entries; ++index)
        trio_amplitudes_[index] = static_cast<int16_t>(to_amplitude(mixer_.tnd_at(index)));
    for (int level = 0; level < vrc6_levels; ++level)
        vrc6_amplitudes_[level] = to_amplitude(static_cast<float>(level) * mixer_.vrc6_step());
    for (int level = 0; level < Console_Mixer::s5b_levels; ++level)
        s5b_amplitudes_[level] = to_amplitude(mixer_.s5b(level));
    for (int b = 0; b < buffer_count; ++b) {
        buffer(b).set_frame_limit(VoiceChip::initial_frame_length + 1);  // setup sets the real one
        buffer(b).adopt_cells(Band_Buffer::new_cells());
    }
    // The chips' levels are Chip_Apu's pulse's at the volume given, in a
    // synthesiser's unit (1: a step of 65536, a 16-bit sample's whole range);
    // the mix's pulse is the formula's, amplitude_scale to a level of 1.
    const double pulse = mixer_.pulse(15) * amplitude_scale / (synth_unit_steps * Chip_Apu::pulse_level);
    fds_.set_volume(pulse);
    n163_.set_volume(-pulse);
    vrc7_.set_volume(pulse);
}

void ConsoleChip::connect_own_outputs(bool connected)
{
    fds_.set_outputs(connected ? &mix : nullptr, connected ? &groups[fds_group] : nullptr);
    n163_.set_outputs(connected ? &mix : nullptr, connected ? &groups[n163_group] : nullptr);
    // The VRC7's silent channels sit one code above 0: heard only once a
    // song has used it, so that a song without it has nothing of it.
    const bool vrc7 = connected && vrc7_used_;
    vrc7_.set_outputs(vrc7 ? &mix : nullptr, vrc7 ? &groups[vrc7_group] : nullptr);
}

const char* ConsoleChip::setup(long clock_rate, long sample_rate, int frame_rate)
{
    run_until(reached_);  // the writes so far sound through the buffers they were made for
    frame_length = static_cast<int32_t>(clock_rate / std::max(frame_rate, 1));
    apu_.set_pal(frame_rate == VoiceChip::pal_frame_rate);
    fds_.set_clock_rate(static_cast<double>(clock_rate));
    vrc7_.set_clock_rate(static_cast<int32_t>(clock_rate));
    ready_ = false;
    connect_own_outputs(false);
    for (int b = 0; b < buffer_count; ++b) {
        if (!buffer(b).has_buffer())
            return out_of_memory;
    }
    for (int b = 0; b < buffer_count; ++b) {
        buffer(b).set_clock_rate(static_cast<int32_t>(clock_rate));
        buffer(b).set_frame_limit(frame_length + 1);  // end_frame alternates the length's low bit
        if (const char* error = buffer(b).set_sample_rate(static_cast<int32_t>(sample_rate)))
            return error;
        amplitudes_[b] = 0;
    }
    ready_ = true;
    connect_own_outputs(true);
    // The cleared buffers start again from the levels sounding now.
    catch_up(run_time_);
    return nullptr;
}

void ConsoleChip::reset()
{
    apu_.reset();
    vrc6_.reset();
    s5b_.reset();
    mmc5_.reset();
    fds_.reset();
    n163_.reset();
    vrc7_used_ = false;
    connect_own_outputs(ready_);
    vrc7_.reset();
    for (Level_Log& log : logs_)
        log.reset();
    std::fill(std::begin(levels_), std::end(levels_), 0);
    std::fill(std::begin(amplitudes_), std::end(amplitudes_), 0);
    run_time_ = 0;
    reached_ = 0;
    write_time = 0;
    for (int b = 0; b < buffer_count; ++b) {
        if (buffer(b).has_buffer())
            buffer(b).clear();
    }
}

int32_t ConsoleChip::clamp_time(int32_t time) const
{
    return std::clamp(time, reached_, std::max(reached_, frame_length - 1));
}

void ConsoleChip::write_apu(int32_t time, unsigned addr, int data)
{
    if (addr < Chip_Apu::start_addr || addr > Chip_Apu::end_addr)
        return;
    time = clamp_time(time);
    settle(time);
    apu_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::write_apu_enables(int32_t time, int mask, int bits)
{
    time = clamp_time(time);
    settle(time);
    apu_.write_register(time, 0x4015, (apu_.channel_enables() & ~mask) | (bits & mask));
}

void ConsoleChip::write_vrc6(int32_t time, unsigned addr, int data)
{
    time = clamp_time(time);
    settle(time);
    vrc6_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::write_mmc5(int32_t time, unsigned addr, int data)
{
    time = clamp_time(time);
    settle(time);
    mmc5_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::write_mmc5_enables(int32_t time, int mask, int bits)
{
    write_mmc5(time, 0x5015, (mmc5_.enables() & ~mask) | (bits & mask));
}

void ConsoleChip::write_s5b(int32_t time, int reg, int data)
{
    time = clamp_time(time);
    settle(time);
    s5b_.write_register(time, 0xC000, reg & 15);
    s5b_.write_register(time, 0xE000, data & 0xFF);
}

void ConsoleChip::write_fds(int32_t time, unsigned addr, int data)
{
    // Its own output: it runs only as far as its writes, and the frame's end.
    fds_.write_register(clamp_time(time), addr, data & 0xFF);
}

void ConsoleChip::write_n163(int32_t time, unsigned addr, int data)
{
    n163_.write_register(clamp_time(time), addr, data & 0xFF);
}

void ConsoleChip::write_vrc7(int32_t time, unsigned addr, int data)
{
    if (!vrc7_used_) {
        vrc7_used_ = true;
        connect_own_outputs(ready_);
    }
    vrc7_.write_register(clamp_time(time), addr, data & 0xFF);
}

void ConsoleChip::write_s5b_mixer(int32_t time, int mask, int bits)
{
    write_s5b(time, 0x07, (s5b_.reg(0x07) & ~mask) | (bits & mask));
}

void ConsoleChip::write_s5b_port(int32_t time, unsigned addr, int data)
{
    time = clamp_time(time);
    settle(time);
    s5b_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::settle(int32_t time)
{
    // Both chips still stop at every write of either, for the noise's
    // register moves on once for each run that is silent; and the slices
    // past a log's span start at the last write, as they always did.
    if (time - run_time_ > Level_Log::max_span) {
        run_until(reached_);
        while (time - run_time_ > Level_Log::max_span)
            run_until(run_time_ + Level_Log::max_span);
    }
    apu_.advance_to(time);
    vrc6_.run_until(time);
    s5b_.run_until(time);
    mmc5_.run_until(time);
    reached_ = time;
}

void ConsoleChip::load_sample(const uint8_t* bytes, int32_t length)
{
    run_until(reached_);  // the bytes already played were the old sample's
    Sample_Memory::load(sample_memory, bytes, length);
}

bool ConsoleChip::sample_playing()
{
    run_until(reached_);
    return Sample_Memory::playing(apu_);
}

void ConsoleChip::end_frame()
{
    frame_length ^= 1;
    write_time = 0;
    run_until(reached_);
    run_until(frame_length);
    apu_.end_frame(frame_length);
    vrc6_.end_frame(frame_length);
    s5b_.end_frame(frame_length);
    mmc5_.end_frame(frame_length);
    // Idle, they have not run in this frame: they start the next where they are.
    if (!fds_.idle())
        fds_.end_frame(frame_length);
    if (!n163_.idle())
        n163_.end_frame(frame_length);
    if (!vrc7_.idle())
        vrc7_.end_frame(frame_length);
    run_time_ -= frame_length;  // above 0 only after a setup shortened the frame under way
    reached_ = run_time_;
    if (ready_) {
        for (int b = 0; b < buffer_count; ++b)
            buffer(b).end_frame(frame_length);
    }
}

void ConsoleChip::set_groups_enabled(bool enabled)
{
    const bool switched_on = enabled && !groups_enabled_;
    groups_enabled_ = enabled;
    if (switched_on) {
        run_until(reached_);
        catch_up(run_time_);
    }
}

int ConsoleChip::buffers_without_cells() const
{
    int count = !mix.has_buffer();
    for (const Band_Buffer& group : groups)
        count += !group.has_buffer();
    return count;
}

void ConsoleChip::adopt_cells(uint16_t* cells)
{
    for (int b = 0; b < buffer_count; ++b) {
        if (!buffer(b).has_buffer()) {
            buffer(b).adopt_cells(cells);
            return;
        }
    }
    delete[] cells;
}

void ConsoleChip::run_until(int32_t end_time)
{
    // Slices no longer than a log's span keep every log within its capacity.
    while (run_time_ < end_time) {
        const int32_t slice_end =
            end_time - run_time_ > Level_Log::max_span ? run_time_ + Level_Log::max_span : end_time;
        apu_.run_until(slice_end);
        vrc6_.run_until(slice_end);
        s5b_.run_until(slice_end);
        mmc5_.run_until(slice_end);
        mix_logs();
        run_time_ = slice_end;
    }
}

void ConsoleChip::mix_logs()
{
    bool any = false;
    for (Level_Log& log : logs_) {
        log.end_with_sentinel();
        any = any || log.count != 0;
    }
    if (!any)
        return;
    if (ready_) {
        // The mix's three parts, then each group alone while they follow.
        auto pair = [this](const int32_t(&levels)[2]) { return pair_amplitude(levels[0], levels[1]); };
        add_steps(group_steps<0, 2, 1>(group_steps<0, 2, 0>(0, pair), pair), mix);
        auto trio = [this](const int32_t(&levels)[3]) { return trio_amplitude(levels[0], levels[1], levels[2]); };
        add_steps(group_steps<2, 3, 2>(group_steps<2, 3, 1>(group_steps<2, 3, 0>(0, trio), trio), trio), mix);
        // A log's changes alone, to one buffer or two.
        auto alone = [this](int log, auto amplitude_of, Band_Buffer& buffer, Band_Buffer* also) {
            int32_t amplitude = amplitude_of(levels_[log]);
            const int32_t count = log_steps(logs_[log], amplitude, amplitude_of);
            add_steps(count, buffer);
            if (also)
                add_steps(count, *also);
        };
        auto vrc6 = [this](int32_t level) { return vrc6_amplitude(level); };
        for (int i = vrc6_log; i < s5b_log; ++i)
            alone(i, vrc6, mix, groups_enabled_ ? &groups[vrc6_group] : nullptr);
        auto s5b = [this](int32_t level) { return s5b_amplitude(level); };
        for (int i = s5b_log; i < mmc5_log; ++i)
            alone(i, s5b, mix, groups_enabled_ ? &groups[s5b_group] : nullptr);
        const int32_t mmc5 = group_steps<mmc5_log, 2, 1>(group_steps<mmc5_log, 2, 0>(0, pair), pair);
        add_steps(mmc5, mix);
        if (groups_enabled_)
            add_steps(mmc5, groups[mmc5_group]);
        if (groups_enabled_) {
            auto pulse = [this](int32_t level) { return pair_amplitude(level, 0); };
            alone(0, pulse, groups[0], nullptr);
            alone(1, pulse, groups[1], nullptr);
            alone(2, [this](int32_t level) { return trio_amplitude(level, 0, 0); }, groups[2], nullptr);
            alone(3, [this](int32_t level) { return trio_amplitude(0, level, 0); }, groups[3], nullptr);
            alone(dmc_log, [this](int32_t level) { return trio_amplitude(0, 0, level); }, groups[4], nullptr);
        }
    }
    for (int i = 0; i < log_count; ++i) {
        if (logs_[i].count != 0)
            levels_[i] = logs_[i].level;
        logs_[i].clear();
    }
    if (ready_) {
        int32_t targets[buffer_count];
        target_amplitudes(targets);
        for (int b = 0; b < (groups_enabled_ ? buffer_count : 1); ++b)
            amplitudes_[b] = targets[b];
    }
}

template <int First, int Count, int Driver, class Amplitude>
int32_t ConsoleChip::group_steps(int32_t steps, Amplitude amplitude_of)
{
    // Changes at one clock count as the lower log's first: a change sees
    // the lower logs' changes up to its clock, the higher ones' before it.
    int32_t levels[Count];
    const Level_Log::Entry* others[Count];
    for (int k = 0; k < Count; ++k) {
        levels[k] = levels_[First + k];
        others[k] = logs_[First + k].entries;
    }
    const Level_Log& log = logs_[First + Driver];
    for (int32_t e = 0; e < log.count; ++e) {
        const int32_t time = log.entries[e].time;
        // Past the last change, the sentinel's time stops the walk.
        auto walk = [&]<int K>() {
            if constexpr (K != Driver) {
                const int32_t until = K < Driver ? time + 1 : time;
                while (others[K]->time < until)
                    levels[K] = (others[K]++)->level;
            }
        };
        [&]<int... K>(std::integer_sequence<int, K...>) {
            (walk.template operator()<K>(), ...);
        }(std::make_integer_sequence<int, Count>{});
        const int32_t before = amplitude_of(levels);
        levels[Driver] = log.entries[e].level;
        const int32_t after = amplitude_of(levels);
        positions_[steps] = mix.to_buffer_time(time);
        steps_[steps] = after - before;
        steps += after != before;
    }
    return steps;
}

template <class Amplitude>
int32_t ConsoleChip::log_steps(const Level_Log& log, int32_t& amplitude, Amplitude amplitude_of)
{
    int32_t steps = 0;
    for (int32_t e = 0; e < log.count; ++e) {
        const int32_t level = amplitude_of(log.entries[e].level);
        positions_[steps] = mix.to_buffer_time(log.entries[e].time);
        steps_[steps] = level - amplitude;
        steps += level != amplitude;
        amplitude = level;
    }
    return steps;
}

void ConsoleChip::add_steps(int32_t count, Band_Buffer& buffer)
{
    synth_.add_amplitudes(positions_, steps_, count, buffer);
}

void ConsoleChip::target_amplitudes(int32_t (&targets)[buffer_count]) const
{
    const int32_t p1 = levels_[0], p2 = levels_[1], t = levels_[2], n = levels_[3], d = levels_[dmc_log];
    const int32_t vrc6 = vrc6_part();
    const int32_t s5b = s5b_part();
    const int32_t mmc5 = mmc5_part();
    targets[0] = pair_amplitude(p1, p2) + trio_amplitude(t, n, d) + vrc6 + s5b + mmc5;
    targets[1] = pair_amplitude(p1, 0);
    targets[2] = pair_amplitude(p2, 0);
    targets[3] = trio_amplitude(t, 0, 0);
    targets[4] = trio_amplitude(0, n, 0);
    targets[5] = trio_amplitude(0, 0, d);
    targets[1 + vrc6_group] = vrc6;
    targets[1 + s5b_group] = s5b;
    targets[1 + mmc5_group] = mmc5;
    targets[1 + fds_group] = 0;  // their chips step these buffers themselves
    targets[1 + n163_group] = 0;
    targets[1 + vrc7_group] = 0;
}

int32_t ConsoleChip::vrc6_part() const
{
    int32_t sum = 0;
    for (int i = vrc6_log; i < s5b_log; ++i)
        sum += vrc6_amplitude(levels_[i]);
    return sum;
}

int32_t ConsoleChip::s5b_part() const
{
    int32_t sum = 0;
    for (int i = s5b_log; i < mmc5_log; ++i)
        sum += s5b_amplitude(levels_[i]);
    return sum;
}

void ConsoleChip::catch_up(int32_t time)
{
    if (!ready_)
        return;
    const uint32_t pos = mix.to_buffer_time(time);
    int32_t targets[buffer_count];
    target_amplitudes(targets);
    for (int b = 0; b < (groups_enabled_ ? buffer_count : 1); ++b) {
        synth_.add_amplitude(pos, targets[b] - amplitudes_[b], buffer(b));
        amplitudes_[b] = targets[b];
    }
}
