// Whatever stream a VST3 host hands to setState, in pieces of any size,
// loads without harm; the state then saved is a fixed point, and a stream
// that takes a few bytes at a time receives all of it.
#include "FuzzCheck.h"
#include "plugin/vst3/Vst3Plugin.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// An IBStream over a byte vector that moves at most piece bytes a call.
struct Stream {
    static Stream* of(void* self) { return slotOwner<Stream>(self); }
    static v3_result V3_API query(void*, const v3_tuid, void**) { return V3_NO_INTERFACE; }
    static uint32_t V3_API ref(void*) { return 1; }
    static v3_result V3_API read(void* self, void* buffer, int32_t count, int32_t* done)
    {
        Stream* s = of(self);
        const size_t n = std::min({static_cast<size_t>(std::max(count, 0)), s->piece, s->bytes.size() - s->position});
        if (n > 0)
            std::memcpy(buffer, s->bytes.data() + s->position, n);
        s->position += n;
        *done = static_cast<int32_t>(n);
        return V3_OK;
    }
    static v3_result V3_API write(void* self, void* buffer, int32_t count, int32_t* done)
    {
        Stream* s = of(self);
        const size_t n = std::min(static_cast<size_t>(std::max(count, 0)), s->piece);
        if (n > 0)
            s->bytes.insert(s->bytes.end(), static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + n);
        *done = static_cast<int32_t>(n);
        return V3_OK;
    }
    static v3_result V3_API seek(void*, int64_t, int32_t, int64_t*) { return V3_NOT_IMPLEMENTED; }
    static v3_result V3_API tell(void*, int64_t*) { return V3_NOT_IMPLEMENTED; }
    static inline const struct Table : v3_funknown {
        v3_bstream stream;
    } table{{query, ref, ref}, {read, write, seek, tell}};

    v3_bstream** stream() { return reinterpret_cast<v3_bstream**>(&slot); }
    Vst3Slot<Stream> slot{&table, this};
    std::vector<uint8_t> bytes;
    size_t position = 0;
    size_t piece = 1;
};

std::vector<uint8_t> save(v3_component** component, size_t piece)
{
    Stream out;
    out.piece = piece;
    check(v3_cpp_obj(component)->get_state(component, out.stream()) == V3_OK);
    return out.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto** component = static_cast<v3_component**>((new Vst3Plugin())->component());
    if (size == 0)
        return 0;
    Stream in;
    in.piece = static_cast<size_t>(data[0]) + 1;
    in.bytes.assign(data + 1, data + size);
    v3_cpp_obj(component)->set_state(component, in.stream());

    const std::vector<uint8_t> first = save(component, in.piece);
    Stream again;
    again.bytes = first;
    again.piece = 4096;
    check(v3_cpp_obj(component)->set_state(component, again.stream()) == V3_OK);
    check(save(component, 3) == first);
    return 0;
}
