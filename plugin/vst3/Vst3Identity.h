// How the VST3 build names itself. Hosts store the class id with songs: it
// never changes.
#pragma once

#include "travesty/base.h"

inline constexpr v3_tuid kPlinkaVst3ClassId = V3_ID(0x83DB1106, 0xDFCD5891, 0x0F635769, 0x465CE3CB);
inline constexpr const char* kPlinkaVst3Category = "Audio Module Class";
inline constexpr const char* kPlinkaVst3SubCategories = "Instrument|Synth";
inline constexpr const char* kPlinkaVst3SdkVersion = "VST 3.7.4";
