#include "Vrc7_Tables.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vrc7 {

namespace {

Wave_Roms make_wave_roms()
{
    Wave_Roms roms{};
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
    return roms;
}

}  // namespace

const Wave_Roms& wave_roms()
{
    // Built at the first call, which a chip's constructor makes, whatever
    // order the program's static objects are built in.
    static const Wave_Roms roms = make_wave_roms();
    return roms;
}

}  // namespace vrc7
