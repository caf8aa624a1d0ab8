#include "DmcFile.h"

#include "DpcmEncoder.h"

namespace dmc {

bool read(const unsigned char* data, size_t size, std::vector<uint8_t>& bytes, std::string& note, std::string& error)
{
    note.clear();
    if (size == 0) {
        error = "the .dmc file is empty";
        return false;
    }
    if (size > dpcm::kMaxBytes) {
        // Cut as a long recording is: the start of a drum is what matters.
        bytes.assign(data, data + dpcm::kMaxBytes);
        note = "the .dmc file holds " + std::to_string(size) + " bytes; a sample holds 4081: the rest is cut";
        return true;
    }
    bytes.assign(data, data + size);
    dpcm::padToLegalLength(bytes);
    if (bytes.size() != size)
        note = "padded from " + std::to_string(size) + " to " + std::to_string(bytes.size()) +
               " bytes, a length the channel plays";
    return true;
}

}  // namespace dmc
