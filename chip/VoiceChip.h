// One voice's chips: the console's own 2A03, and the expansion chip the voice
// last played, built in place when first wanted, sharing one Band_Buffer; and
// the frame bookkeeping the engine drives them with. Per frame the engine
// writes registers at write_time 4, 8, 12, ..., calls end_frame(), then reads
// the buffer until it is empty. The 2A03 is always there: its frame
// sequencer and noise shift register move on in every frame, and what a
// note hears of them is part of how it sounds. The expansion chip runs only
// in frames where it has something to do: while a voice plays 2A03 channels
// it costs nothing.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Chip_Slot.h"
#include "chip/Sample_Memory.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/fds/Chip_Fds.h"
#include "chip/mmc5/Chip_Mmc5.h"
#include "chip/n163/Chip_N163.h"
#include "chip/s5b/Chip_S5b.h"
#include "chip/vrc6/Chip_Vrc6.h"
#include "chip/vrc7/Chip_Vrc7.h"

#include <cstdint>

class VoiceChip {
public:
    static constexpr int32_t initial_frame_length = 29780;
    static constexpr int32_t sample_memory_size = Sample_Memory::size;
    static constexpr unsigned sample_memory_address = Sample_Memory::address;
    static constexpr int pal_frame_rate = 50;

    // The delta-modulation channel reads the voice's own sample memory (see
    // Sample_Memory).
    // Allocates the buffer's cells, which serve every sample rate; when memory
    // is short it has none until buffer.adopt_cells gives it some.
    VoiceChip();
    VoiceChip(const VoiceChip&) = delete;
    VoiceChip& operator=(const VoiceChip&) = delete;

    // Rendering call, when the sample rate or the clock standard changes (a
    // frame rate of 50 is PAL's). Never allocates: answers "Out of memory"
    // while the buffer has no cells, else null. Clears the buffer; the chip
    // keeps running from where it was.
    const char* setup(long clock_rate, long sample_rate, int frame_rate);
    // Rendering call: copies at most sample_memory_size bytes into the sample
    // memory from its start; bytes past them keep what they held.
    void load_sample(const uint8_t* bytes, int32_t length);
    // Whether the delta modulation still has bits to play: it is enabled, or
    // the last byte it fetched has not yet played out.
    bool sample_playing() const;
    // Closes the frame: lengths alternate between two values one clock apart,
    // so that frames average out to clock_rate / frame_rate.
    void end_frame();

    // The expansion chip `Chip`, built first if the voice holds another (or
    // none): the engine has silenced the other, whose last steps reach the
    // buffer before it goes.
    template <class Chip> Chip& expansion()
    {
        if (Chip* held = expansion_.template get<Chip>())
            return *held;
        expansion_.visit([this](auto& other) { other.run_until(write_time + 1); });
        Chip& held = expansion_.template emplace<Chip>();
        held.set_output(&buffer);
        set_clock(held);
        return held;
    }
    template <class Chip> bool holds() const { return expansion_.template holds<Chip>(); }

    Chip_Apu chip;
    Band_Buffer buffer;
    int32_t write_time = 0;  // chip time of the last register write in this frame
    int32_t frame_length = initial_frame_length;
    // The expansion chip's channels the engine has left enabled, so that it
    // knows what to silence; each chip's frame writer numbers them.
    int32_t expansion_enables = 0;
    Sample_Memory::Bytes sample_memory;

private:
    // The CPU clock, for the chips whose sound depends on it (the FDS's
    // low-pass) or whose own clock runs beside it (the VRC7's crystal).
    template <class Chip> void set_clock(Chip& held)
    {
        if constexpr (requires { held.set_clock_rate(1.0); }) {
            using Rate = decltype(clock_argument(&Chip::set_clock_rate));
            held.set_clock_rate(static_cast<Rate>(clock_rate_));
        }
    }
    template <class Chip, class Rate> static Rate clock_argument(void (Chip::*)(Rate));

    Chip_Slot<Chip_Vrc6, Chip_S5b, Chip_Mmc5, Chip_Fds, Chip_N163, Chip_Vrc7> expansion_;
    long clock_rate_ = 1789773;
};
