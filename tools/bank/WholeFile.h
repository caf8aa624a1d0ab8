// Files read and written whole: a reader that refuses what cannot be a bank
// file, and a writer that never leaves a half-written file under the target
// name (it writes a temporary file beside it and renames it into place).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace wholefile {

// Larger files are refused before being read: no bank file comes near this.
constexpr size_t kMaxReadBytes = 64u << 20;

// Reads the file at path into bytes. On failure answers false and sets error to
// one line that names the file ("x.fxb: cannot open: No such file or directory").
bool read(const std::string& path, std::vector<unsigned char>& bytes, std::string& error);

// Writes size bytes to path through a temporary file in the same directory.
// On failure the target is left as it was, the temporary is removed, and error
// names the file and the problem.
bool writeAtomically(const std::string& path, const void* data, size_t size, std::string& error);

}  // namespace wholefile
