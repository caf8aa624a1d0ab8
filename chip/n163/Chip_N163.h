// The Namco 163 mapper's wavetable sound: up to eight channels whose
// registers and 4-bit waves share one 128-byte sound RAM, served by a single
// adder and DAC that update one channel every 15 CPU clocks and hold its
// level until the next. Driven like Chip_Mmc5: every operation takes a time
// in chip clocks from the start of the current frame, first runs the chip up
// to it, then acts.
//
// The output is the time-shared signal, not a mix: each active channel is
// heard 1/N of the time, and with N > 1 the switching adds a tone at
// clock / (15 N). Oscillator c (0..7) is channel c + 1; its output and its
// log carry the channel's level only while the DAC holds it, and 0 while
// another channel holds it. Their sum, or every oscillator sent to one
// buffer, is exactly the chip's DAC. The switching tone stays, and so does
// the fall of each channel's level with N: both are what the chip sounds
// like, and an instrument that wants them gone chooses N = 1.
//
// Sound disabled ($E000 bit 6) silences the DAC at once and stops the
// count to the next update where it stands; enabled again, the DAC stays
// silent until that update.
//
// Level: a channel at volume 15 swinging from sample 0 to 15 (225 steps of
// its level) is 6.0 times the step of a full-volume 2A03 pulse. Boards
// measure from 3.4 to 8.5 times; 6.0 is the figure of the common reference
// player and within 0.2 dB of the trackers' default (+15.4 dB), so music
// balanced in a tracker keeps its balance. The console inverts the chip
// against the 2A03, but a voice has no 2A03 partner to cancel against, so
// its steps keep the 2A03's sign (as Chip_Mmc5's do).
#pragma once

#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"
#include "chip/Level_Log.h"
#include "chip/Sound_Chip.h"

#include <cstdint>

class Chip_N163 {
public:
    static constexpr int osc_count = 8;  // index c: channel c + 1, registers at $40 + 8 c
    static constexpr int ram_size = 128;
    static constexpr int32_t update_period = 15;  // clocks from one channel's update to the next channel's
    // A channel's level: (sample - 8) x volume.
    static constexpr int min_level = -8 * 15;
    static constexpr int max_level = 7 * 15;

    Chip_N163();
    Chip_N163(const Chip_N163&) = delete;
    Chip_N163& operator=(const Chip_N163&) = delete;

    // Sound RAM cleared (one active channel, silent), sound enabled, address 0.
    void reset();
    void set_volume(double volume);
    // Inverted, every level has the opposite sign: the console's, against
    // its 2A03 (the default keeps the 2A03's sign).
    void set_inverted(bool inverted) { sign_ = inverted ? -1 : 1; }
    // None (null) silences.
    void set_output(Band_Buffer* buffer);
    // Every oscillator into `buffer`, and the same steps into `also` (null:
    // none), for a mix and a channel group heard alone.
    void set_outputs(Band_Buffer* buffer, Band_Buffer* also);
    void osc_output(int osc, Band_Buffer* buffer);
    // An oscillator without output logs its raw level into `log` (null: none).
    void osc_log(int osc, Level_Log* log);

    // $E000-$E7FF, $F800-$FFFF and $4800-$4FFF; writes to any other address
    // are ignored.
    void write_register(int32_t time, unsigned addr, int data);
    // A read of $4800: the RAM byte at the address, which then moves on if
    // auto-increment is set.
    int read_data(int32_t time);
    void run_until(int32_t end_time);
    // Runs to `end_time` and makes it time 0 of the next frame.
    void end_frame(int32_t end_time);
    // Nothing written in this frame, every oscillator at 0, and either sound
    // disabled or every active channel at volume 0: ending the frame would
    // only move the phases round their waves. Skipping it leaves them where
    // they are, as if the note had been started a frame later; a program
    // that wants a wave from its start writes the phase.
    bool idle() const;

    int32_t last_time() const { return last_time_; }
    uint8_t ram(int index) const { return ram_[index & (ram_size - 1)]; }
    // N: channels 8 down to 9 - N take turns.
    int active_channels() const { return (ram_[0x7F] >> 4 & 7) + 1; }
    bool enabled() const { return enabled_; }
    const Band_Synth<12>& synth() const { return synth_; }

private:
    struct Osc {
        Band_Buffer* output = nullptr;
        Level_Log* log = nullptr;
        int level = 0;  // last reported to the output or the log
    };

    // One update of the channel in turn `turn` (0: channel 8): its phase
    // advanced and written back, answers its level.
    int update(int turn);
    // The DAC takes `level` from `osc` at `time`.
    void show(int32_t time, int osc, int level);
    void set_level(int32_t time, Osc& osc, int level);
    // With one channel: from update to update where the output may change.
    int32_t run_single(int32_t time, int32_t end_time);

    uint8_t ram_[ram_size] = {};
    Osc oscs_[osc_count];
    Band_Buffer* also_ = nullptr;
    int sign_ = 1;
    int32_t last_time_ = 0;
    int32_t delay_ = 0;            // clocks from last_time_ to the next update
    int turn_ = 0;                 // the next update's channel: 8 - turn_
    int holder_ = osc_count - 1;   // the oscillator the DAC holds
    unsigned address_ = 0;         // $F800 bits 6-0
    bool auto_increment_ = false;  // $F800 bit 7
    bool enabled_ = true;          // $E000 bit 6 clear
    bool written_ = false;         // a register written in this frame
    Band_Synth<12> synth_{max_level - min_level};
};

static_assert(Sound_Chip<Chip_N163>);
