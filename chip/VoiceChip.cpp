#include "VoiceChip.h"

namespace {

constexpr int dmc_filler_byte = 0x55;
const char* const out_of_memory = "Out of memory";

int read_filler_byte(void*, unsigned)
{
    return dmc_filler_byte;
}

}  // namespace

VoiceChip::VoiceChip()
{
    chip.set_dmc_reader(read_filler_byte, nullptr);
    buffer.adopt_cells(Band_Buffer::new_cells());
}

const char* VoiceChip::setup(long clock_rate, long sample_rate, int frame_rate)
{
    frame_length = static_cast<int32_t>(clock_rate / frame_rate);
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
