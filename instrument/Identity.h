// What every build of the instrument calls itself, in every plug-in format.
// Hosts store these with songs: they never change.
#pragma once

#include <cstdint>

inline constexpr const char* kPlinkaEffectName = "Plinka";
// VST 2 hosts show the vendor string as it is, so it carries the version
// and date too; the formats that have a field for the version (CLAP, VST3,
// LV2) show the vendor's name alone and the version in its own field.
inline constexpr const char* kPlinkaVendorString = "v0.1 06.05.19 Tovak";
inline constexpr const char* kPlinkaVendorName = "Tovak";
constexpr int32_t kPlinkaVendorVersion = 1000;
// 'plnk' as the VST 2 unique id and the id of its bank files.
constexpr int32_t kPlinkaUniqueId = ('p' << 24) | ('l' << 16) | ('n' << 8) | 'k';
