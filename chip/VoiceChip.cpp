#include "VoiceChip.h"

namespace {

const char* const out_of_memory = "Out of memory";

}  // namespace

VoiceChip::VoiceChip()
{
    Sample_Memory::attach(chip, sample_memory);
    buffer.set_frame_limit(initial_frame_length + 1);  // setup sets the real one; till then nothing is filled
    buffer.adopt_cells(Band_Buffer::new_cells());
}

const char* VoiceChip::setup(long clock_rate, long sample_rate, int frame_rate)
{
    frame_length = static_cast<int32_t>(clock_rate / frame_rate);
    chip.set_pal(frame_rate == pal_frame_rate);
    chip.set_output(&buffer);
    clock_rate_ = clock_rate;
    expansion_.visit([this](auto& held) {
        held.set_output(&buffer);
        set_clock(held);
    });
    if (!buffer.has_buffer())
        return out_of_memory;
    buffer.set_clock_rate(static_cast<int32_t>(clock_rate));
    buffer.set_frame_limit(frame_length + 1);  // end_frame alternates the length's low bit
    return buffer.set_sample_rate(static_cast<int32_t>(sample_rate));
}

void VoiceChip::end_frame()
{
    frame_length ^= 1;
    write_time = 0;
    chip.end_frame(frame_length);
    expansion_.visit([this](auto& held) {
        if (!held.idle())
            held.end_frame(frame_length);
    });
    buffer.end_frame(frame_length);
}

void VoiceChip::load_sample(const uint8_t* bytes, int32_t length)
{
    Sample_Memory::load(sample_memory, bytes, length);
}

bool VoiceChip::sample_playing() const
{
    return Sample_Memory::playing(chip);
}
