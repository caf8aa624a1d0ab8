// Delta-modulation sample files (.dmc): the sample's bytes as the console
// stores them, nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dmc {

// Reads a whole file from memory. A file of a length the console cannot play
// is padded with steady bytes (dpcm::kSteadyByte) to the next one it can, and
// note says so (else note is emptied): the console would go on reading
// whatever followed the sample in its memory, and files of other lengths are
// common, so keeping every byte and holding the level after them is the
// closest sound. A file over 4081 bytes is cut to its first 4081, the
// longest sample, and note says so. On failure (an empty file) answers false
// with a one-line reason in error (without a file name).
bool read(const unsigned char* data, size_t size, std::vector<uint8_t>& bytes, std::string& note, std::string& error);

}  // namespace dmc
