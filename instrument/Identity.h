// What every build of the instrument calls itself, in every plug-in format.
// Hosts store these with songs: they never change.
#pragma once

#include <cstdint>

inline constexpr const char* kPlinkaEffectName = "Plinka";
inline constexpr const char* kPlinkaVendorString = "v0.1 06.05.19 Tovak";
constexpr int32_t kPlinkaVendorVersion = 1000;
// 'plnk' as the VST 2 unique id and the id of its bank files.
constexpr int32_t kPlinkaUniqueId = ('p' << 24) | ('l' << 16) | ('n' << 8) | 'k';
