#include "ConsoleChip.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace {

const char* const out_of_memory = "Out of memory";
// A formula level of 1 in the buffers' amplitude units, which integrate to
// 16-bit samples one for one.
constexpr float amplitude_scale = static_cast<float>(ConsoleChip::output_scale * 32768.0);
constexpr int dmc_log = 4;

int32_t to_amplitude(float level)
{
    return static_cast<int32_t>(level * amplitude_scale + 0.5f);  // levels are never negative
}
constexpr unsigned vrc6_logs = 0x7u << Chip_Apu::osc_count;
constexpr unsigned all_logs = (1u << (Chip_Apu::osc_count + Chip_Vrc6::osc_count)) - 1;
// For each set of logs, a word with their bytes all ones, the others zero,
// laid out as the bytes of a slot's levels.
constexpr auto byte_masks = [] {
    std::array<uint64_t, 256> masks{};
    for (unsigned logs = 0; logs < masks.size(); ++logs) {
        std::array<uint8_t, 8> bytes{};
        for (unsigned i = 0; i < bytes.size(); ++i)
            bytes[i] = (logs >> i) & 1 ? 0xFF : 0;
        masks[logs] = std::bit_cast<uint64_t>(bytes);
    }
    return masks;
}();

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
    unsigned filled = 0;
    for (int i = 0; i < log_count; ++i)
        filled |= static_cast<unsigned>(logs_[i].count != 0) << i;
    if (filled == 0)
        return;
    // With the groups off only the mix follows: each change's amplitude is
    // found first, with no call between them, and the changes then go in
    // together. One log alone, as a sample playing alone or a slice where
    // nothing else changes, needs no merging.
    const bool mix_only = ready_ && !groups_enabled_;
    int32_t amplitude = amplitudes_[0];
    const int32_t steps = mix_only && (filled & (filled - 1)) == 0
                              ? mix_one_log(std::countr_zero(filled), slice_start, amplitude)
                              : merge_logs(slice_start, mix_only, amplitude);
    if (mix_only) {
        synth_.add_amplitudes(mix_positions_, mix_steps_, steps, mix);
        amplitudes_[0] = amplitude;
    }
    for (Level_Log& log : logs_)
        log.clear();
}

int32_t ConsoleChip::mix_one_log(int index, [[maybe_unused]] int32_t slice_start, int32_t& amplitude)
{
    // As merge_logs would: of changes at one clock the last holds, and a
    // change that leaves the amplitude where it was is written over by the
    // next one.
    const Level_Log& log = logs_[index];
    int32_t steps = 0;
    for (int32_t e = 0; e < log.count; ++e) {
        const int32_t time = log.entries[e].time;
        PLINKA_CHIP_REQUIRE("unmet requirement", "slot < max_span",
                            static_cast<uint32_t>(time - slice_start) < Level_Log::max_span);
        const bool last_at_time = e + 1 == log.count || log.entries[e + 1].time != time;
        levels_[index] = static_cast<uint8_t>(log.entries[e].level);
        mix_positions_[steps] = mix.to_buffer_time(time);
        const int32_t level = to_amplitude(mix_level());
        mix_steps_[steps] = level - amplitude;
        const bool step = last_at_time && level != amplitude;
        steps += step;
        amplitude = step ? level : amplitude;
    }
    return steps;
}

int32_t ConsoleChip::merge_logs(int32_t slice_start, bool mix_only, int32_t& amplitude)
{
    // The logs meet in slots, one per clock of the slice, and a bitmap of
    // the slots with changes visits them in time order: no branch on which
    // log comes next, which would go one way or the other at random. A log
    // may change twice in one slot: the later level holds.
    static_assert(Level_Log::max_span % 64 == 0 && log_count <= 8);
    int32_t slots = 0;
    for (int i = 0; i < log_count; ++i) {
        const Level_Log& log = logs_[i];
        for (int32_t e = 0; e < log.count; ++e) {
            const auto slot = static_cast<uint32_t>(log.entries[e].time - slice_start);
            PLINKA_CHIP_REQUIRE("unmet requirement", "slot < max_span", slot < Level_Log::max_span);
            const uint32_t at = slot & (Level_Log::max_span - 1);
            slot_changes_[at] = static_cast<uint8_t>(slot_changes_[at] | 1u << i);
            slot_levels_[at][i] = static_cast<uint8_t>(log.entries[e].level);
            // Counted here, not by popcount: without the instruction, a call each word.
            slots += static_cast<int32_t>(~slot_bits_[at / 64] >> (at % 64) & 1);
            slot_bits_[at / 64] |= uint64_t{1} << (at % 64);
        }
    }
    // The slots with changes, one after another: a word of the bitmap used
    // up, the next with bits set is found from a summary of them, by a
    // conditional move rather than a loop that would run a number of times
    // no branch predicts. A slot's logs, too, are usually one, and at most
    // all of them: a conditional move each.
    static_assert(Level_Log::max_span / 64 <= 32 && log_count == sizeof(uint64_t));
    uint32_t words = 0;
    for (int w = 0; w < Level_Log::max_span / 64; ++w)
        words |= static_cast<uint32_t>(slot_bits_[w] != 0) << w;
    int32_t steps = 0;
    uint64_t bits = 0;
    int w = 0;
    for (int32_t k = 0; k < slots; ++k) {
        // All ones when the word is used up; by masks, which the compiler
        // keeps, where it would turn a choice into a branch.
        const auto done = static_cast<uint64_t>(-static_cast<int64_t>(bits == 0));
        const int next = std::countr_zero(words) & (Level_Log::max_span / 64 - 1);
        w = (next & static_cast<int>(done)) | (w & ~static_cast<int>(done));
        bits = (slot_bits_[next] & done) | (bits & ~done);
        words &= ~(static_cast<uint32_t>(done) & words & (0u - words));
        const int slot = w * 64 + std::countr_zero(bits);
        bits &= bits - 1;
        const unsigned changed = slot_changes_[slot];
        slot_changes_[slot] = 0;
        const uint64_t mask = byte_masks[changed];
        uint64_t levels, fresh;
        std::memcpy(&levels, levels_, sizeof levels);
        std::memcpy(&fresh, slot_levels_[slot], sizeof fresh);
        levels = (levels & ~mask) | (fresh & mask);
        std::memcpy(levels_, &levels, sizeof levels);
        if (mix_only) {
            // A change that leaves the amplitude where it was is written
            // over by the next one.
            mix_positions_[steps] = mix.to_buffer_time(slice_start + slot);
            const int32_t level = to_amplitude(mix_level());
            mix_steps_[steps] = level - amplitude;
            steps += level != amplitude;
            amplitude = level;
        } else {
            mix_changes(slice_start + slot, changed);
        }
    }
    std::fill(std::begin(slot_bits_), std::end(slot_bits_), 0);
    return steps;
}

float ConsoleChip::mix_level() const
{
    // Masked to the tables' ranges, which the oscillators never leave.
    const int p1 = levels_[0] & 15, p2 = levels_[1] & 15, t = levels_[2] & 15, n = levels_[3] & 15;
    const int d = levels_[dmc_log] & 127;
    return mixer_.pulse(p1 + p2) + mixer_.tnd(t, n, d) + vrc6_level();
}

float ConsoleChip::vrc6_level() const
{
    return static_cast<float>(levels_[5] + levels_[6] + levels_[7]) * mixer_.vrc6_step();
}

void ConsoleChip::mix_changes(int32_t time, unsigned changed)
{
    if (!ready_)
        return;
    const uint32_t pos = mix.to_buffer_time(time);
    set_level(0, pos, mix_level());
    if (!groups_enabled_)
        return;
    // Usually one oscillator changes: its group, found by table rather than
    // by a branch per group.
    const int p1 = levels_[0] & 15, p2 = levels_[1] & 15, t = levels_[2] & 15, n = levels_[3] & 15;
    const int d = levels_[dmc_log] & 127;
    const float solo[Chip_Apu::osc_count] = {mixer_.pulse(p1), mixer_.pulse(p2), mixer_.tnd(t, 0, 0),
                                             mixer_.tnd(0, n, 0), mixer_.tnd(0, 0, d)};
    for (unsigned apu_changes = changed & 0x1F; apu_changes != 0; apu_changes &= apu_changes - 1) {
        const int osc = std::countr_zero(apu_changes);
        set_level(1 + osc, pos, solo[osc]);
    }
    if (changed & vrc6_logs)
        set_level(buffer_count - 1, pos, vrc6_level());
}

void ConsoleChip::set_level(int index, uint32_t pos, float level)
{
    // A change to the same amplitude adds nothing; adding it costs less than
    // a branch that goes one way or the other at random.
    const int32_t amplitude = to_amplitude(level);
    synth_.add_amplitude(pos, amplitude - amplitudes_[index], buffer(index));
    amplitudes_[index] = amplitude;
}
