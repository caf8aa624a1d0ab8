#include "ConsoleChip.h"

#include <algorithm>
#include <bit>

namespace {

const char* const out_of_memory = "Out of memory";
// A formula level of 1 in the buffers' amplitude units, which integrate to
// 16-bit samples one for one.
constexpr float amplitude_scale = static_cast<float>(ConsoleChip::output_scale * 32768.0);
constexpr int dmc_log = 4;
constexpr unsigned vrc6_logs = 0x7u << Chip_Apu::osc_count;
constexpr unsigned all_logs = (1u << (Chip_Apu::osc_count + Chip_Vrc6::osc_count)) - 1;

}  // namespace

ConsoleChip::ConsoleChip()
{
    Sample_Memory::attach(apu_, sample_memory);
    for (int i = 0; i < Chip_Apu::osc_count; ++i)
        apu_.osc_log(i, &logs_[i]);
    for (int i = 0; i < Chip_Vrc6::osc_count; ++i)
        vrc6_.osc_log(i, &logs_[Chip_Apu::osc_count + i]);
    synth_.set_volume(1.0);  // builds the kernel that add_amplitude scales
    for (int b = 0; b < buffer_count; ++b)
        buffer(b).adopt_cells(Band_Buffer::new_cells());
}

const char* ConsoleChip::setup(long clock_rate, long sample_rate, int frame_rate)
{
    frame_length = static_cast<int32_t>(clock_rate / std::max(frame_rate, 1));
    apu_.set_pal(frame_rate == VoiceChip::pal_frame_rate);
    ready_ = false;
    for (int b = 0; b < buffer_count; ++b) {
        if (!buffer(b).has_buffer())
            return out_of_memory;
    }
    for (int b = 0; b < buffer_count; ++b) {
        buffer(b).set_clock_rate(static_cast<int32_t>(clock_rate));
        if (const char* error = buffer(b).set_sample_rate(static_cast<int32_t>(sample_rate)))
            return error;
        amplitudes_[b] = 0;
    }
    ready_ = true;
    // The cleared buffers start again from the levels sounding now.
    mix_changes(run_time_, all_logs);
    return nullptr;
}

void ConsoleChip::reset()
{
    apu_.reset();
    vrc6_.reset();
    for (Level_Log& log : logs_)
        log.reset();
    std::fill(std::begin(levels_), std::end(levels_), 0);
    std::fill(std::begin(amplitudes_), std::end(amplitudes_), 0);
    run_time_ = 0;
    write_time = 0;
    for (int b = 0; b < buffer_count; ++b) {
        if (buffer(b).has_buffer())
            buffer(b).clear();
    }
}

int32_t ConsoleChip::clamp_time(int32_t time) const
{
    return std::clamp(time, run_time_, std::max(run_time_, frame_length - 1));
}

void ConsoleChip::write_apu(int32_t time, unsigned addr, int data)
{
    if (addr < Chip_Apu::start_addr || addr > Chip_Apu::end_addr)
        return;
    time = clamp_time(time);
    run_until(time);
    apu_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::write_vrc6(int32_t time, unsigned addr, int data)
{
    time = clamp_time(time);
    run_until(time);
    vrc6_.write_register(time, addr, data & 0xFF);
}

void ConsoleChip::load_sample(const uint8_t* bytes, int32_t length)
{
    Sample_Memory::load(sample_memory, bytes, length);
}

bool ConsoleChip::sample_playing() const
{
    return Sample_Memory::playing(apu_);
}

void ConsoleChip::end_frame()
{
    frame_length ^= 1;
    write_time = 0;
    run_until(frame_length);
    apu_.end_frame(frame_length);
    vrc6_.end_frame(frame_length);
    run_time_ -= frame_length;  // above 0 only after a setup shortened the frame under way
    if (ready_) {
        for (int b = 0; b < buffer_count; ++b)
            buffer(b).end_frame(frame_length);
    }
}

void ConsoleChip::set_groups_enabled(bool enabled)
{
    const bool switched_on = enabled && !groups_enabled_;
    groups_enabled_ = enabled;
    if (switched_on)
        mix_changes(run_time_, all_logs);
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
        mix_logs(run_time_);
        run_time_ = slice_end;
    }
}

void ConsoleChip::mix_logs(int32_t slice_start)
{
    // The logs meet in slots, one per clock of the slice, and a bitmap of
    // the slots with changes visits them in time order: no branch on which
    // log comes next, which would go one way or the other at random. A log
    // may change twice in one slot: the later level holds.
    static_assert(Level_Log::max_span % 64 == 0 && log_count <= 8);
    for (int i = 0; i < log_count; ++i) {
        const Level_Log& log = logs_[i];
        for (int32_t e = 0; e < log.count; ++e) {
            const auto slot = static_cast<uint32_t>(log.entries[e].time - slice_start);
            PLINKA_CHIP_REQUIRE("unmet requirement", "slot < max_span", slot < Level_Log::max_span);
            const uint32_t at = slot & (Level_Log::max_span - 1);
            slot_changes_[at] = static_cast<uint8_t>(slot_changes_[at] | 1u << i);
            slot_levels_[i][at] = static_cast<uint8_t>(log.entries[e].level);
            slot_bits_[at / 64] |= uint64_t{1} << (at % 64);
        }
    }
    for (int w = 0; w < Level_Log::max_span / 64; ++w) {
        for (uint64_t bits = slot_bits_[w]; bits != 0; bits &= bits - 1) {
            const int slot = w * 64 + std::countr_zero(bits);
            const unsigned changed = slot_changes_[slot];
            slot_changes_[slot] = 0;
            for (int i = 0; i < log_count; ++i)
                levels_[i] = (changed >> i) & 1 ? slot_levels_[i][slot] : levels_[i];
            mix_changes(slice_start + slot, changed);
        }
        slot_bits_[w] = 0;
    }
    for (Level_Log& log : logs_)
        log.clear();
}

void ConsoleChip::mix_changes(int32_t time, unsigned changed)
{
    if (!ready_)
        return;
    const uint32_t pos = mix.to_buffer_time(time);
    // Masked to the tables' ranges, which the oscillators never leave.
    const int p1 = levels_[0] & 15, p2 = levels_[1] & 15, t = levels_[2] & 15, n = levels_[3] & 15;
    const int d = levels_[dmc_log] & 127;
    const float vrc6 = static_cast<float>(levels_[5] + levels_[6] + levels_[7]) * mixer_.vrc6_step();
    set_level(0, pos, mixer_.pulse(p1 + p2) + mixer_.tnd(t, n, d) + vrc6);
    if (!groups_enabled_)
        return;
    // Usually one oscillator changes: its group, found by table rather than
    // by a branch per group.
    const float solo[Chip_Apu::osc_count] = {mixer_.pulse(p1), mixer_.pulse(p2), mixer_.tnd(t, 0, 0),
                                             mixer_.tnd(0, n, 0), mixer_.tnd(0, 0, d)};
    for (unsigned apu_changes = changed & 0x1F; apu_changes != 0; apu_changes &= apu_changes - 1) {
        const int osc = std::countr_zero(apu_changes);
        set_level(1 + osc, pos, solo[osc]);
    }
    if (changed & vrc6_logs)
        set_level(buffer_count - 1, pos, vrc6);
}

void ConsoleChip::set_level(int index, uint32_t pos, float level)
{
    // A change to the same amplitude adds nothing; adding it costs less than
    // a branch that goes one way or the other at random.
    const auto amplitude = static_cast<int32_t>(level * amplitude_scale + 0.5f);  // levels are never negative
    synth_.add_amplitude(pos, amplitude - amplitudes_[index], buffer(index));
    amplitudes_[index] = amplitude;
}
