// Sample files (.wav, .dmc) dropped on the editor: each goes into the bank's
// samples, named after its file (a WAV file encoded at the fastest rate), and
// onto the shown Sample program's first key from C2 (36) up that its key map
// leaves free, at the fastest rate. What happened, and what was cut or padded
// on the way, is told in one status line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Instrument;

namespace sampledrop {

constexpr int32_t kFirstKey = 36;  // C2, where a drum kit starts
constexpr int32_t kDroppedRate = 15;

// Whether a dropped file is for this loader (by its extension), not for the
// tracker instruments'.
bool isSampleFile(const std::string& path);

struct Outcome {
    std::string status;        // empty when nothing was dropped
    bool keysChanged = false;  // the program's key map text changed
};

// Adds the sample files among paths (UTF-8) to the bank and maps them on
// program's keys. A file that cannot be read or is no legal sample changes
// nothing.
Outcome load(Instrument& instrument, int32_t program, const std::vector<std::string>& paths);

}  // namespace sampledrop
