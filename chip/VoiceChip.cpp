#include "VoiceChip.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int dmc_filler_byte = 0x55;
const char* const out_of_memory = "Out of memory";

int read_sample_memory(void* data, unsigned address)
{
    const auto& memory = *static_cast<const uint8_t(*)[VoiceChip::sample_memory_size]>(data);
    const unsigned offset = address - VoiceChip::sample_memory_address;  // wraps far above for lower addresses
    return offset < static_cast<unsigned>(VoiceChip::sample_memory_size) ? memory[offset] : dmc_filler_byte;
}

}  // namespace

VoiceChip::VoiceChip()
{
    std::memset(sample_memory, dmc_filler_byte, sizeof sample_memory);
    chip.set_dmc_reader(read_sample_memory, &sample_memory);
    buffer.adopt_cells(Band_Buffer::new_cells());
}

const char* VoiceChip::setup(long clock_rate, long sample_rate, int frame_rate)
{
    frame_length = static_cast<int32_t>(clock_rate / frame_rate);
    chip.set_pal(frame_rate == pal_frame_rate);
    chip.set_output(&buffer);
    vrc6.set_output(&buffer);
    if (!buffer.has_buffer())
        return out_of_memory;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    return buffer.set_sample_rate(static_cast<int32_t>(sample_rate));
}

void VoiceChip::end_frame()
{
    frame_length ^= 1;
    write_time = 0;
    chip.end_frame(frame_length);
    if (!vrc6.idle())
        vrc6.end_frame(frame_length);
    buffer.end_frame(frame_length);
}

void VoiceChip::load_sample(const uint8_t* bytes, int32_t length)
{
    const int32_t count = std::clamp(length, int32_t{0}, sample_memory_size);
    if (count > 0)
        std::memcpy(sample_memory, bytes, static_cast<size_t>(count));
}

bool VoiceChip::sample_playing() const
{
    const Dmc_Osc& dmc = chip.dmc();
    return (chip.channel_enables() & 0x10) != 0 || !dmc.buffer_empty || !dmc.silent;
}
