#include "Sample_Memory.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int dmc_filler_byte = 0x55;
constexpr int dmc_enable_bit = 0x10;

int read_sample_memory(void* data, unsigned address)
{
    const auto& memory = *static_cast<const Sample_Memory::Bytes*>(data);
    const unsigned offset = address - Sample_Memory::address;  // wraps far above for lower addresses
    return offset < static_cast<unsigned>(Sample_Memory::size) ? memory[offset] : dmc_filler_byte;
}

}  // namespace

void Sample_Memory::attach(Chip_Apu& chip, Bytes& bytes)
{
    std::memset(bytes, dmc_filler_byte, sizeof bytes);
    chip.set_dmc_reader(read_sample_memory, &bytes);
    chip.set_dmc_memory(bytes, Sample_Memory::address, Sample_Memory::size);
}

void Sample_Memory::load(Bytes& bytes, const uint8_t* source, int32_t length)
{
    const int32_t count = std::clamp(length, int32_t{0}, size);
    if (count > 0)
        std::memcpy(bytes, source, static_cast<size_t>(count));
}

bool Sample_Memory::playing(const Chip_Apu& chip)
{
    const Dmc_Osc& dmc = chip.dmc();
    return (chip.channel_enables() & dmc_enable_bit) != 0 || !dmc.buffer_empty || !dmc.silent;
}
