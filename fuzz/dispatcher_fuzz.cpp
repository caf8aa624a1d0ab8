// A host gone wrong: any opcode with any index, value and option, valid
// buffers where pointers belong, render calls of any length in between. The
// instrument must never crash, never leave the audio range, and afterwards
// still save and load its state exactly.
#include "FuzzCheck.h"
#include "plugin/vst2/PLINKA.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

// Reads the input piece by piece; past its end everything is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return next_ >= size_; }
    uint8_t byte() { return next_ < size_ ? data_[next_++] : 0; }
    int32_t int32()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return static_cast<int32_t>(value);
    }
    float real()
    {
        const uint32_t bits = static_cast<uint32_t>(int32());
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t next_ = 0;
};

constexpr size_t kBufferBytes = 8192;
constexpr int kMaxFrames = 2048;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PLINKA* plinka = new PLINKA(nullptr);
    AEffect* effect = plinka->getAeffect();
    Input input(data, size);
    std::vector<unsigned char> buffer(kBufferBytes);
    std::vector<float> left(kMaxFrames), right(kMaxFrames);
    float* outputs[2] = {left.data(), right.data()};

    for (int step = 0; step < 64 && !input.empty(); ++step) {
        const uint8_t what = input.byte();
        if (what % 4 == 0) {
            const VstInt32 frames = input.int32() % (kMaxFrames + 1);
            effect->processReplacing(effect, nullptr, outputs, frames);
            for (VstInt32 i = 0; i < frames; ++i)
                check(left[i] >= -1.0f && left[i] <= 1.0f && left[i] == right[i]);
            continue;
        }
        const VstInt32 opcode = input.byte() % 90;
        if (opcode == effClose)
            continue;  // the end of the instance, not of the fuzzing
        const VstInt32 index = input.int32();
        VstIntPtr value = input.int32();
        const float opt = input.real();
        // A pointer always points at something a host would pass: a buffer
        // filled from the input and terminated, or null.
        for (size_t i = 0; i < 64; ++i)
            buffer[i] = input.byte();
        std::memset(buffer.data() + 64, 0, kBufferBytes - 64);
        void* ptr = input.byte() % 8 == 0 ? nullptr : buffer.data();
        void* pointers[2] = {buffer.data(), buffer.data()};
        VstEvents* events = reinterpret_cast<VstEvents*>(buffer.data() + 4096);
        VstMidiEvent midi[2] = {};
        switch (opcode) {
        case effSetChunk:  // a host passes as many bytes as it has
            value = ptr ? static_cast<VstIntPtr>(static_cast<uint32_t>(value) % kBufferBytes) : value;
            break;
        case effGetSpeakerArrangement:
            value = reinterpret_cast<VstIntPtr>(&pointers[0]);
            ptr = &pointers[1];
            break;
        case effProcessEvents:
            events->numEvents = 2;
            for (VstMidiEvent& event : midi) {
                event.type = kVstMidiType;
                event.byteSize = sizeof event;
                event.deltaFrames = static_cast<VstInt32>(value % 4096);
                std::memcpy(event.midiData, buffer.data(), 3);
            }
            events->events[0] = reinterpret_cast<VstEvent*>(&midi[0]);
            events->events[1] = reinterpret_cast<VstEvent*>(&midi[1]);
            ptr = events;
            break;
        case effEditOpen:
            ptr = nullptr;  // no window to be a parent
            break;
        default:
            break;
        }
        effect->dispatcher(effect, opcode, index, value, ptr, opt);
    }

    // Whatever happened, the state still saves and loads exactly.
    void* chunk = nullptr;
    const VstInt32 chunkSize = plinka->getChunk(&chunk, false);
    std::vector<unsigned char> saved(static_cast<unsigned char*>(chunk),
                                     static_cast<unsigned char*>(chunk) + chunkSize);
    plinka->setChunk(saved.data(), chunkSize, false);
    plinka->getChunk(&chunk, false);
    check(std::memcmp(chunk, saved.data(), saved.size()) == 0);
    return 0;
}
