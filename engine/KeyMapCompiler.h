// The key map language of Sample programs: entries separated by spaces, each
// KEY=SAMPLE:RATE with optional flags after further colons, e.g.
//   36=kick:15 38=snare:14 F#2=hat:15:loop C#2=bass:12:d64
// KEY is a MIDI note number 0..127 or a note name, C-1 being 0 (so C2 is 36
// and C4 middle C, as fixed Arp notes count), with # or b; RATE is the rate
// index 0..15; "loop" loops the sample, "dNN" starts it from level NN
// (0..127). Compiling never leaves a map unusable: on any error every key
// becomes silent and the message is returned.
#pragma once

#include "KeyMap.h"
#include "SampleBank.h"

#include <cstdint>
#include <string_view>

// The messages, exactly as the editor shows them; arrays, so that each has
// one address and callers may compare pointers.
inline constexpr char kErrorKeyMapEntry[] = "Error: A key map entry reads key=sample:rate, then :loop or :dNN";
inline constexpr char kErrorKeyMapKey[] = "Error: A key is a MIDI number 0..127 or a note name from C-1 to G9";
inline constexpr char kErrorKeyMapRate[] = "Error: A sample's rate must lie between 0 and 15";
inline constexpr char kErrorKeyMapFlag[] = "Error: A key map flag is loop or dNN";
inline constexpr char kErrorKeyMapStartLevel[] = "Error: A start level must lie between d0 and d127";
inline constexpr char kErrorKeyMapMissingSample[] = "Error: The key map names a sample the bank does not hold";
inline constexpr char kErrorKeyMapKeyRedefinition[] = "Error: A key is mapped twice";

// The key a token names (a number 0..127 or a note name), or -1.
int32_t keyOfToken(std::string_view token);

// Compiles a NUL-terminated text (null counts as blank) against the bank's
// samples into `map`, overwriting it. Answers null on success (a blank text
// too: every key silent) or one of the messages.
const char* compileKeyMap(const char* text, const SampleBank& samples, KeyMap& map);
const char* compileKeyMap(std::string_view text, const SampleBank& samples, KeyMap& map);
