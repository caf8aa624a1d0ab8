// Reading and writing a host's IBStream whole. Hosts hand streams over a few
// bytes at a time, so both loop until done.
#pragma once

#include "Vst3Interfaces.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads to the end of the stream; false if it fails or holds more than
// maxBytes.
bool readWholeStream(v3_bstream** stream, size_t maxBytes, std::vector<uint8_t>& bytes);
// Writes every byte; false if the stream takes no more before the end.
bool writeWholeStream(v3_bstream** stream, const uint8_t* bytes, size_t size);
