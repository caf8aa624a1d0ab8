// WAV files read from memory for sample import: RIFF/WAVE with PCM samples of
// 8 (unsigned), 16, 24 or 32 bits, 32-bit float, or the extensible format
// holding one of those; any rate up to kMaxSampleRate and any number of
// channels, mixed down to mono. Little-endian throughout. Written here rather than through a library
// because the plug-in reads the files dropped on its editor and links no
// library of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace wavimport {

// Higher rates are refused: resampling from them costs work in proportion
// to the rate, and no recorder writes more.
constexpr uint32_t kMaxSampleRate = 768000;

struct Sound {
    int sampleRate = 0;          // frames per second, 1 .. kMaxSampleRate
    std::vector<float> samples;  // mono, -1..1: the channels' mean
    size_t fileFrames = 0;       // the frames the file holds, samples' or more
};

// Reads a whole file from memory. On failure answers false with a one-line
// reason in error (without a file name); sound is then unspecified. A file
// without a frame of sound fails too: there is nothing to import. Only the
// first keepSeconds of sound and keepFramesBeyond frames more are decoded:
// a long recording takes no more memory than what is used of it.
bool read(const unsigned char* data, size_t size, Sound& sound, std::string& error,
          double keepSeconds = std::numeric_limits<double>::infinity(), size_t keepFramesBeyond = 0);

}  // namespace wavimport
