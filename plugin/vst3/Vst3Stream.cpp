#include "Vst3Stream.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr size_t kReadPiece = 65536;

}  // namespace

bool readWholeStream(v3_bstream** stream, size_t maxBytes, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (!stream)
        return false;
    v3_bstream* calls = v3_cpp_obj(stream);
    for (;;) {
        // One byte past the limit tells a stream that is too long.
        const size_t want = std::min(kReadPiece, maxBytes + 1 - bytes.size());
        const size_t had = bytes.size();
        bytes.resize(had + want);
        int32_t read = 0;
        const v3_result result = calls->read(stream, bytes.data() + had, static_cast<int32_t>(want), &read);
        if (read < 0 || static_cast<size_t>(read) > want)
            return false;
        bytes.resize(had + static_cast<size_t>(read));
        if (bytes.size() > maxBytes)
            return false;
        // Hosts end a stream either way: nothing read, or a result not OK.
        if (result != V3_OK || read == 0)
            return true;
    }
}

bool writeWholeStream(v3_bstream** stream, const uint8_t* bytes, size_t size)
{
    if (!stream)
        return false;
    v3_bstream* calls = v3_cpp_obj(stream);
    size_t done = 0;
    while (done < size) {
        const auto piece = static_cast<int32_t>(std::min<size_t>(size - done, INT32_MAX));
        int32_t written = 0;
        if (calls->write(stream, const_cast<uint8_t*>(bytes + done), piece, &written) != V3_OK || written <= 0 ||
            written > piece)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}
