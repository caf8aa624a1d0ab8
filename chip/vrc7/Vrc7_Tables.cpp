#include "Vrc7_Tables.h"

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
