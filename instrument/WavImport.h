// WAV files read from memory for sample import: RIFF/WAVE with PCM samples of
// 8 (unsigned), 16, 24 or 32 bits, 32-bit float, or the extensible format
// holding one of those; any rate and any number of channels, mixed down to
// mono. Little-endian throughout. Written here rather than through a library
// because the plug-in reads the files dropped on its editor and links no
// library of its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace wavimport {

struct Sound {
    int sampleRate = 0;          // frames per second, at least 1
    std::vector<float> samples;  // mono, -1..1: the channels' mean
};

// Reads a whole file from memory. On failure answers false with a one-line
// reason in error (without a file name); sound is then unspecified. A file
// without a frame of sound fails too: there is nothing to import.
bool read(const unsigned char* data, size_t size, Sound& sound, std::string& error);

}  // namespace wavimport
