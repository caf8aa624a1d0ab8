// What every emulated sound chip offers, so that voices and the console can
// drive any chip alike: the compiler checks each chip against it, and no call
// on the audio path is virtual. A chip is driven like a device: it knows
// clocks, not seconds. The clock and sample rates are those of the
// Band_Buffer it adds to (set_clock_rate, set_sample_rate); every time is in
// chip clocks from the start of the current frame. What differs between
// chips, their registers and settings such as the 2A03's clock standard,
// stays each chip's own.
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Level_Log.h"

#include <concepts>
#include <cstdint>
#include <type_traits>

// The formatter would break the requires-expression up line by line.
// clang-format off
template <class Chip>
concept Sound_Chip = std::default_initializable<Chip> && !std::is_polymorphic_v<Chip> &&
                     requires(Chip chip, const Chip& held, double volume, Band_Buffer* buffer, Level_Log* log,
                              int osc, int32_t time, unsigned addr, int data) {
                         // Oscillators, numbered 0 up to osc_count for osc_output and osc_log.
                         requires Chip::osc_count > 0;
                         // Set-up, off the audio thread: the synthesisers' tables for a level.
                         { chip.set_volume(volume) } -> std::same_as<void>;
                         // Where the oscillators add their band-limited steps; null silences.
                         { chip.set_output(buffer) } -> std::same_as<void>;
                         { chip.osc_output(osc, buffer) } -> std::same_as<void>;
                         // Where an oscillator with no output logs its raw level, for the console's mixer.
                         { chip.osc_log(osc, log) } -> std::same_as<void>;
                         // As at power-up.
                         { chip.reset() } -> std::same_as<void>;
                         { chip.write_register(time, addr, data) } -> std::same_as<void>;
                         { chip.run_until(time) } -> std::same_as<void>;
                         // Runs to `time` and makes it time 0 of the next frame.
                         { chip.end_frame(time) } -> std::same_as<void>;
                         // Whether ending the frame would change nothing that sounds, so may be skipped.
                         { held.idle() } -> std::same_as<bool>;
                     };
// clang-format on
