// The wave language of FDS and N163 programs: the samples of the wave as
// numbers separated by spaces, e.g. "0 8 16 24 ...". An FDS wave has 64
// steps of 0..63; an N163 program has one or more waves of 4-bit samples
// (0..15), all of one length (a multiple of 4 from 4 to 240), separated by
// ";", and its Duty envelope picks the one that plays. An FDS program's text
// may go on with its modulator, each part a word and its numbers:
//   mod 0 0 1 1 2 2 ... (32 step codes 0..7)  mod-rate 20  mod-depth 12  mod-delay 30
// Without "mod" the modulator stays off. A blank text plays a sine.
//
// A VRC7 program's text names its patch instead: "patch 1" .. "patch 15"
// (the chip's built-in instruments) or "patch custom" with "custom" and the
// eight bytes of the chip's $00-$07 in hex, and "sustain on" for the
// release with the sustain bit; blank: patch 1, sustain off.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr int32_t kFdsWaveSteps = 64;
constexpr int32_t kFdsWaveTop = 63;
constexpr int32_t kFdsModSteps = 32;
constexpr int32_t kFdsModCodeTop = 7;
constexpr int32_t kFdsMaxModRate = 4095;
constexpr int32_t kFdsMaxModDepth = 63;
constexpr int32_t kFdsMaxModDelay = 65535;
constexpr int32_t kN163SampleTop = 15;
// A voice's 163 has one channel on: its registers take 8 of the 128 bytes.
constexpr int32_t kN163MaxWaveLength = 240;
constexpr int32_t kVrc7MaxPatch = 15;
constexpr int kVrc7CustomBytes = 8;
// What musicians call the built-in patches, by number (0: the custom one).
inline constexpr const char* kVrc7PatchNames[kVrc7MaxPatch + 1] = {
    "Custom", "Buzzy bell", "Guitar", "Electric piano", "Flute", "Clarinet", "Synth", "Trumpet",
    "Organ",  "Bells",      "Vibes",  "Vibraphone",     "Tutti", "Fretless bass", "Synth bass", "Sweep"};
static_assert(kVrc7PatchNames[kVrc7MaxPatch] != nullptr, "a name for every patch");
// Every sample of a 1023-character text, one digit and a space each.
constexpr int32_t kMaxWaveSamples = 512;

struct WaveProgram {
    int32_t length = 0;  // samples per wave, 1.. ; 0 only for a program of neither chip
    int32_t count = 0;   // waves, back to back in `samples`
    uint8_t samples[kMaxWaveSamples] = {};
    bool hasMod = false;
    uint8_t mod[kFdsModSteps] = {};
    int32_t modRate = 0;
    int32_t modDepth = 0;
    int32_t modDelay = 0;  // frames from the note-on
    // The VRC7's: patch 0 is the custom one, whose bytes are `custom`.
    int32_t patch = 1;
    bool hasCustom = false;  // the text gave the bytes
    uint8_t custom[kVrc7CustomBytes] = {};
    bool sustain = false;

    const uint8_t* wave(int32_t index) const { return samples + length * index; }
};

// The messages, exactly as the editor shows them; arrays, so that each has
// one address and callers may compare pointers.
inline constexpr char kErrorWaveNumber[] = "Error: A wave holds numbers, ';' between waves and the mod words";
inline constexpr char kErrorFdsWaveLength[] = "Error: An FDS wave has 64 steps";
inline constexpr char kErrorFdsWaveValue[] = "Error: An FDS wave's steps lie between 0 and 63";
inline constexpr char kErrorFdsOneWave[] = "Error: An FDS program has one wave";
inline constexpr char kErrorFdsModLength[] = "Error: The FDS mod table has 32 steps";
inline constexpr char kErrorFdsModValue[] = "Error: A mod step is a code from 0 to 7";
inline constexpr char kErrorFdsModSetting[] =
    "Error: mod-rate is 0..4095, mod-depth 0..63, mod-delay 0..65535 frames, one number each";
inline constexpr char kErrorN163WaveLength[] = "Error: An N163 wave's length is a multiple of 4 from 4 to 240";
inline constexpr char kErrorN163WaveValue[] = "Error: An N163 wave's samples lie between 0 and 15";
inline constexpr char kErrorN163SameLength[] = "Error: An N163 program's waves have one length";
inline constexpr char kErrorN163NoMod[] = "Error: Only FDS programs have a modulator";
inline constexpr char kErrorVrc7Only[] = "Error: Only VRC7 programs have a patch, custom bytes or sustain";
inline constexpr char kErrorVrc7Wave[] = "Error: A VRC7 program has a patch, not a wave";
inline constexpr char kErrorVrc7Patch[] = "Error: A VRC7 patch is 1 to 15, or custom";
inline constexpr char kErrorVrc7Custom[] = "Error: A VRC7 custom patch is 8 bytes in hex";
inline constexpr char kErrorVrc7Sustain[] = "Error: VRC7 sustain is on or off";

// Whether programs of the channel type play a wave.
bool playsWave(int32_t channelType);
// Whether they have a text of their chip's: the waves, or the VRC7's patch.
bool hasChipText(int32_t channelType);

// Compiles a text for a program of the channel type into `out`. Answers null
// or one of the messages; on an error `out` holds the blank text's wave, so
// that the program still sounds. A type without waves compiles to no wave
// (length 0) and never fails; a VRC7 program's has no wave, its patch set.
const char* compileWave(std::string_view text, int32_t channelType, WaveProgram& out);

// The text's parts as the text bank names them: the waves, and each mod word's
// numbers, as written (empty where absent). Answers false for a text whose
// parts cannot be told apart (a word twice, or an unknown word).
struct WaveTextParts {
    std::string wave, mod, modRate, modDepth, modDelay, patch, custom, sustain;
};
bool splitWaveText(std::string_view text, WaveTextParts& parts);
// The text of the parts: the waves, then each mod word that has numbers.
std::string joinWaveText(const WaveTextParts& parts);

// The text of a compiled program: what the editor writes after a drag.
std::string formatWave(const WaveProgram& program, int32_t channelType);
