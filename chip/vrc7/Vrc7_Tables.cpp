#include "Vrc7_Tables.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vrc7 {

namespace {

void fill_wave_roms(Wave_Roms& roms)
{
    for (int i = 0; i < quarter_wave; ++i) {
        const double angle = (i + 0.5) * std::numbers::pi / (2 * quarter_wave);
        roms.logsin[static_cast<size_t>(i)] = static_cast<uint16_t>(std::lround(-std::log2(std::sin(angle)) * 256));
        roms.exp[static_cast<size_t>(i)] = static_cast<uint16_t>(std::lround(std::exp2((255 - i) / 256.0) * 1024));
    }
    for (int a = 0; a <= max_attenuation; ++a) {
        for (size_t i = 0; i < quarter_wave; ++i) {
            const int level = std::min(max_log_level, roms.logsin[i] + a * log_per_attenuation);
            roms.magnitude[a][i] = static_cast<uint16_t>(roms.exp[static_cast<size_t>(level & 255)] >> (level >> 8));
        }
    }
    for (int a = 0; a <= max_attenuation; ++a) {
        for (int i = 0; i < Wave_Roms::wave_length; ++i) {
            // A quarter of the sine, mirrored in the second and fourth.
            int index = i & (quarter_wave - 1);
            if (i & quarter_wave)
                index ^= quarter_wave - 1;
            const int magnitude = roms.magnitude[a][static_cast<size_t>(index)];
            roms.wave[a][i] = static_cast<int16_t>(i & 2 * quarter_wave ? ~magnitude : magnitude);
        }
    }
}

}  // namespace

const Wave_Roms& wave_roms()
{
    // Built at the first call, which a chip's constructor makes, whatever
    // order the program's static objects are built in; filled in place, as
    // a returned copy would take a few hundred KB of a host thread's stack.
    static Wave_Roms roms;
    static const bool built = (fill_wave_roms(roms), true);
    (void)built;
    return roms;
}

}  // namespace vrc7
