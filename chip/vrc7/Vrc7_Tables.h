// The VRC7's read-only tables: the operator's log-sine and exponent ROMs,
// the multiplier, key-scale level and envelope step patterns, the tremolo
// shape and the fifteen built-in patches as read from the silicon (the
// older, ear-tuned sets differ in many bytes and are not used).
#pragma once

#include <array>
#include <cstdint>

namespace vrc7 {

constexpr int quarter_wave = 256;
constexpr int max_log_level = 4095;   // the log-domain attenuation the exponent ROM covers
constexpr int max_attenuation = 127;  // an operator's, in envelope units
constexpr int log_per_attenuation = 16;

// The two 256-entry ROMs, generated once at start-up from the curves the
// chip's ROMs were made from.
struct Wave_Roms {
    // logsin[i] = round(-log2(sin((i + 0.5) pi / 512)) * 256): a quarter sine as
    // attenuation in 1/256 of an octave of level.
    std::array<uint16_t, quarter_wave> logsin;
    // exp[i] = round(2^((255 - i) / 256) * 1024).
    std::array<uint16_t, quarter_wave> exp;
    // The two ROMs in one step for each attenuation a (0-127, 0.375 dB):
    // exp[l & 255] >> (l >> 8) with l = min(4095, logsin[i] + 16 a). One
    // load instead of two on the modulator's sample-to-sample feedback path.
    uint16_t magnitude[max_attenuation + 1][quarter_wave];
    // Whole waves from the same: the output at each of the 1024 phases for
    // each attenuation, mirror and sign built in (the negative half in one's
    // complement), and a last row of zeros for a silent envelope. A run of
    // samples at one attenuation reads one row, one load a sample.
    static constexpr int wave_length = 4 * quarter_wave;
    static constexpr int silent_row = max_attenuation + 1;
    int16_t wave[silent_row + 1][wave_length];
};
const Wave_Roms& wave_roms();

// Twice the frequency factor for each 4-bit multiplier field (factor 1/2 .. 15).
constexpr std::array<uint8_t, 16> multiplier_x2 = {1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 24, 24, 30, 30};

// Key-scale attenuation by the F-number's top four bits at block 8, in
// envelope units; each lower block takes off 8.
constexpr std::array<uint8_t, 16> key_scale_rom = {0, 32, 40, 45, 48, 51, 53, 55, 56, 58, 59, 60, 61, 62, 63, 64};

// Whether an envelope step falls in each eighth of a rate's period, by the
// rate's low two bits: 4, 5, 6 or 7 steps in 8.
constexpr uint8_t envelope_pattern[4][8] = {
    {0, 1, 0, 1, 0, 1, 0, 1},
    {0, 1, 0, 1, 1, 1, 0, 1},
    {0, 1, 1, 1, 0, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1},
};

// Tremolo: a triangle counter up 0..105 and down again, one step every 64
// samples; the attenuation is the counter over 8.
constexpr int tremolo_steps = 210;
constexpr int tremolo_step_samples = 64;
constexpr int tremolo_peak = 105;
constexpr int tremolo_attenuation(int step)
{
    return (step <= tremolo_peak ? step : tremolo_steps - step) >> 3;
}

// Vibrato: eight steps of 1024 samples; the doubled F-number moves by
// itself shifted right by this much (0: no move), up then down.
constexpr int vibrato_step_samples = 1024;
constexpr int vibrato_steps = 8;

constexpr int patch_bytes = 8;
constexpr int patch_count = 16;
// Patches 1-15 in the layout of registers $00-$07; row 0 stands for the
// custom patch, which lives in the registers.
constexpr uint8_t rom_patches[patch_count][patch_bytes] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x03, 0x21, 0x05, 0x06, 0xE8, 0x81, 0x42, 0x27},  // buzzy bell
    {0x13, 0x41, 0x14, 0x0D, 0xD8, 0xF6, 0x23, 0x12},                                                    // guitar
    {0x11, 0x11, 0x08, 0x08, 0xFA, 0xB2, 0x20, 0x12},  // electric piano
    {0x31, 0x61, 0x0C, 0x07, 0xA8, 0x64, 0x61, 0x27},  // flute
    {0x32, 0x21, 0x1E, 0x06, 0xE1, 0x76, 0x01, 0x28},  // clarinet
    {0x02, 0x01, 0x06, 0x00, 0xA3, 0xE2, 0xF4, 0xF4},  // synth
    {0x21, 0x61, 0x1D, 0x07, 0x82, 0x81, 0x11, 0x07},  // trumpet
    {0x23, 0x21, 0x22, 0x17, 0xA2, 0x72, 0x01, 0x17},  // organ
    {0x35, 0x11, 0x25, 0x00, 0x40, 0x73, 0x72, 0x01},  // bells
    {0xB5, 0x01, 0x0F, 0x0F, 0xA8, 0xA5, 0x51, 0x02},  // vibes
    {0x17, 0xC1, 0x24, 0x07, 0xF8, 0xF8, 0x22, 0x12},  // vibraphone
    {0x71, 0x23, 0x11, 0x06, 0x65, 0x74, 0x18, 0x16},  // tutti
    {0x01, 0x02, 0xD3, 0x05, 0xC9, 0x95, 0x03, 0x02},  // fretless bass
    {0x61, 0x63, 0x0C, 0x00, 0x94, 0xC0, 0x33, 0xF6},  // synth bass
    {0x21, 0x72, 0x0D, 0x00, 0xC1, 0xD5, 0x56, 0x06},  // sweep
};

}  // namespace vrc7
