// MIDI from a host, any bytes at any sample offsets, in blocks of any length
// and at odd sample rates, with controllers and a program that has release
// parts: the output stays within full scale, both outputs agree, and nothing
// reads or writes out of bounds.
#include "FuzzCheck.h"
#include "plugin/vst2/PLINKA.h"

#include <bit>
#include <vector>

namespace {

// Program 0, which every channel starts on, with release parts and fixed
// notes, so that note offs, the pedal and sound off meet releasing voices.
std::vector<unsigned char> releasingBank()
{
    std::vector<unsigned char> bytes;
    auto cell = [&bytes](float value) {
        const auto bits = std::bit_cast<uint32_t>(value);
        for (int byte = 0; byte < 4; ++byte)
            bytes.push_back(static_cast<unsigned char>(bits >> (8 * byte)));
    };
    auto text = [&cell](const char* characters) {
        for (const char* c = characters; *c; ++c)
            cell(static_cast<float>(*c));
        cell(0.0f);
    };
    cell(150202704.0f);  // program
    cell(0.0f);
    cell(160688960.0f);  // Volume
    text("15 | 12 / 8 6 4 2 0");
    cell(169124032.0f);  // Arp
    text("@36 0 | 12 / @40");
    cell(141895744.0f);  // Pitch
    text("0 | 1 -1 / 2");
    cell(145991616.0f);  // end
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static PLINKA* plinka = [] {
        auto* instance = new PLINKA(nullptr);
        std::vector<unsigned char> bank = releasingBank();
        instance->setChunk(bank.data(), static_cast<VstInt32>(bank.size()), false);
        return instance;
    }();
    AEffect* effect = plinka->getAeffect();
    size_t next = 0;
    auto byte = [&]() -> uint8_t { return next < size ? data[next++] : 0; };

    // A fresh start for each input: silence, and a rate from the input.
    const float rates[] = {44100.0f, 48000.0f, 22050.0f, 96000.0f, 8000.0f, 0.0f, -1.0f, 1e9f};
    plinka->setSampleRate(rates[byte() % 8]);
    plinka->instrument.settings.polyphony = 1 + byte() % 8;
    plinka->instrument.settings.ntsc = byte() % 2;
    const uint8_t allOff[3] = {0xB0, 123, 0};
    plinka->instrument.queueMidi(0, allOff);

    std::vector<float> left(1024), right(1024);
    float* outputs[2] = {left.data(), right.data()};
    std::vector<VstMidiEvent> midi(32);
    std::vector<unsigned char> list(sizeof(VstEvents) + 32 * sizeof(VstEvent*));
    auto* events = reinterpret_cast<VstEvents*>(list.data());
    VstEvent** slots = events->events;  // numEvents of them, past the declared two
    while (next < size) {
        const int high = byte();
        const int low = byte();
        const VstInt32 frames = 1 + (high << 2 | low >> 6) % 1024;
        const int count = byte() % 33;
        for (int i = 0; i < count; ++i) {
            VstMidiEvent& event = midi[i];
            event = {};
            event.type = byte() % 16 ? kVstMidiType : byte();
            event.byteSize = sizeof event;
            const auto coarse = static_cast<int8_t>(byte());
            event.deltaFrames = coarse * 8 + byte() % 8;
            for (int b = 0; b < 3; ++b)
                event.midiData[b] = static_cast<char>(byte());
            slots[i] = reinterpret_cast<VstEvent*>(&event);
        }
        events->numEvents = count;
        effect->dispatcher(effect, effProcessEvents, 0, 0, events, 0.0f);
        effect->processReplacing(effect, nullptr, outputs, frames);
        for (VstInt32 i = 0; i < frames; ++i)
            check(left[i] >= -1.0f && left[i] <= 1.0f && left[i] == right[i]);
    }
    return 0;
}
