// Sound turned into the 2A03's delta-modulation samples, and back. A sample
// is 1-bit delta data read least significant bit first: each 1 adds 2 to the
// channel's 7-bit level, each 0 subtracts 2, and a step that would leave
// 0..127 is skipped. The console plays L * 16 + 1 bytes (L 0..255), one bit
// every 428 .. 54 CPU cycles as the rate index 0..15 says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dpcm {

constexpr int kRateCount = 16;
constexpr int kMaxLevel = 127;
constexpr int kDefaultStartLevel = 64;
constexpr size_t kLengthUnit = 16;
constexpr size_t kMaxBytes = 255 * kLengthUnit + 1;  // 4081
// Alternate up and down steps: the level stays where it is.
constexpr uint8_t kSteadyByte = 0x55;

// Bits per second at a rate index 0..15 of an NTSC console.
double bitRate(int rateIndex);

// Whether the console can play a sample of this many bytes.
bool isLegalLength(size_t bytes);

// Pads with kSteadyByte to the next length the console plays; leaves longer
// samples than kMaxBytes alone (the caller decides about them).
void padToLegalLength(std::vector<uint8_t>& bytes);

// Mono sound (-1..1, 0 at level 64) at sampleRate frames per second as a
// sample at a rate index 0..15 starting from startLevel 0..127. The sound is
// resampled to the rate's bits per second, then each bit takes the level
// nearer to the sound. A sound at the bit rate rounded to a whole number, as
// a WAV file holds it, is taken sample for sample. The result has a legal
// length: padded with steady bytes, or cut to kMaxBytes with a one-line note
// (else the note is emptied).
// soundFrames, when larger than count, is the whole sound's length where
// samples hold only its start (as much as the sample can take, see
// secondsUsed): the note then tells of the whole.
std::vector<uint8_t> encode(const float* samples, size_t count, int sampleRate, int rateIndex, int startLevel,
                            std::string& note, size_t soundFrames = 0);

// How much of a sound encode reads at most, at any sample rate: the seconds
// the longest sample at rateIndex holds and its resampler's reach beyond
// them, and as many frames again as that reach in frames.
double secondsUsed(int rateIndex);
constexpr size_t kFramesUsedBeyond = 16;

// The channel's level after each bit, from startLevel: size * 8 levels.
std::vector<uint8_t> decode(const uint8_t* bytes, size_t size, int startLevel);

// The levels of decode as sound at the bit rate, for a WAV file: level 64 is
// 0, each level 1/64. encode takes this back to the same bytes.
std::vector<float> toSound(const uint8_t* bytes, size_t size, int startLevel);

}  // namespace dpcm
