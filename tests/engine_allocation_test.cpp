// The audio thread never allocates: every heap allocation of the process is
// counted while the plug-in handles MIDI and renders, after its first block.
#include "ChunkCells.h"
#include "EngineTestSupport.h"
#include "PluginUnderTest.h"
#include "TestPaths.h"
#include "engine/Engine.h"
#include "instrument/Parameters.h"
#include "tools/host/ClapHost.h"
#include "tools/host/Vst3Host.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
void count()
{
    if (counting.load(std::memory_order_relaxed))
        allocations.fetch_add(1, std::memory_order_relaxed);
}
// While set, the allocation of a voice chip's sample buffer fails.
std::atomic<bool> failChipBuffers{false};
constexpr size_t kChipBufferBytes = 65472 * 2;
}  // namespace

// The plug-in's operator new and the C library's allocation functions all
// end up here: this program's definitions come first in symbol lookup.
extern "C" void* malloc(size_t size)
{
    count();
    if (size == kChipBufferBytes && failChipBuffers.load(std::memory_order_relaxed))
        return nullptr;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size)
{
    count();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* pointer, size_t size)
{
    count();
    return __libc_realloc(pointer, size);
}
extern "C" void* memalign(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}
extern "C" int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    count();
    *pointer = __libc_memalign(alignment, size);
    return *pointer ? 0 : 12;
}

namespace {

// A song of every channel type played through the VST 2 build, the normal
// way or through the console chip (a console mode, 0 off).
void playWithoutAllocating(int console)
{
    SCOPED_TRACE(console);
    PluginHost host;
    ASSERT_TRUE(host.load(pluginUnderTest()));
    // The upper half of the programs plays the VRC6's pulse and saw; a quarter
    // plays samples, one-shot and looped, up to the longest.
    cells::Builder vrc6;
    for (int program = 64; program < 128; ++program)
        vrc6.cell(cells::program).number(program).cell(cells::channelType).number(4 + program % 2);
    std::string keys;
    for (int key = 24; key < 100; ++key)
        keys += std::to_string(key) + "=s" + std::to_string(key % 4) + ":" + std::to_string(key % 16) +
                (key % 3 == 0 ? ":loop " : " ");
    for (int program = 32; program < 64; ++program)
        vrc6.cell(cells::program).number(program).cell(cells::channelType).number(3);
    for (int program = 32; program < 64; ++program)
        vrc6.cell(cells::keyMap).number(program).string(keys);
    for (int sample = 0; sample < 4; ++sample) {
        const int length = sample == 0 ? 4081 : 16 * sample * sample + 1;
        vrc6.cell(cells::sample).string("s" + std::to_string(sample)).number(length);
        for (int cell = 0; cell < (length + 2) / 3; ++cell)
            vrc6.number((cell * 2654435761u) & 0xFFFFFF);
    }
    if (console != 0)
        vrc6.cell(cells::console).number(console);
    host.setChunk(vrc6.bytes());
    host.start(44100.0f, 512);
    std::vector<float> left(5000), right(5000);
    host.process(left.data(), right.data(), 512);

    // Every event list is built before counting starts.
    std::mt19937 random(7);
    struct Block {
        std::vector<VstMidiEvent> events;
        std::vector<VstEvent*> pointers;
        std::vector<unsigned char> list;
        VstInt32 frames;
        float rate;
    };
    std::vector<Block> blocks(400);
    for (size_t b = 0; b < blocks.size(); ++b) {
        Block& block = blocks[b];
        block.frames = std::uniform_int_distribution<VstInt32>(1, 5000)(random);
        block.rate = b < 200 ? 44100.0f : 96000.0f;  // a rate change sets the chips up again
        const int count = std::uniform_int_distribution<int>(0, 40)(random);
        block.events.resize(count);
        for (VstMidiEvent& event : block.events) {
            event = {};
            event.type = kVstMidiType;
            event.byteSize = sizeof(VstMidiEvent);
            event.deltaFrames = std::uniform_int_distribution<VstInt32>(0, block.frames - 1)(random);
            const uint8_t kinds[] = {0x90, 0x90, 0x80, 0xB0, 0xC0, 0xE0};
            event.midiData[0] = static_cast<char>(kinds[random() % 6] | (random() % 16));
            event.midiData[1] = static_cast<char>(random() % 128);
            event.midiData[2] = static_cast<char>(random() % 128);
            block.pointers.push_back(reinterpret_cast<VstEvent*>(&event));
        }
        block.list.resize(sizeof(VstEvents) + block.pointers.size() * sizeof(VstEvent*));
        auto* list = reinterpret_cast<VstEvents*>(block.list.data());
        list->numEvents = count;
        VstEvent** slots = list->events;
        for (int i = 0; i < count; ++i)
            slots[i] = block.pointers[i];
    }

    AEffect* effect = host.effect();
    host.recordCalls = false;  // the host's own bookkeeping allocates
    float* outputs[2] = {left.data(), right.data()};
    counting = true;
    for (Block& block : blocks) {
        host.sampleRateAnswer = static_cast<VstIntPtr>(block.rate);
        effect->dispatcher(effect, effProcessEvents, 0, 0, block.list.data(), 0.0f);
        effect->processReplacing(effect, nullptr, outputs, block.frames);
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
}

}  // namespace

TEST(AudioThread, NeverAllocatesAfterTheFirstBlock)
{
    playWithoutAllocating(0);
    playWithoutAllocating(1);
}

TEST(AudioThread, TheClapBuildNeverAllocatesAfterTheFirstBlock)
{
    ClapHost host;
    ASSERT_TRUE(host.load(testpaths::clapPlugin)) << host.error();
    host.start(44100.0, 5000, false);
    std::vector<float> left(5000), right(5000);
    host.processEvents({}, left.data(), right.data(), 512);

    std::mt19937 random(11);
    struct Block {
        std::vector<ClapEvent> events;
        uint32_t frames;
    };
    std::vector<Block> blocks(300);
    for (Block& block : blocks) {
        block.frames = std::uniform_int_distribution<uint32_t>(1, 5000)(random);
        const int count = std::uniform_int_distribution<int>(0, 40)(random);
        for (int i = 0; i < count; ++i) {
            const auto time = std::uniform_int_distribution<uint32_t>(0, block.frames - 1)(random);
            const auto channel = static_cast<int16_t>(random() % 16);
            const auto key = static_cast<int16_t>(random() % 128);
            switch (random() % 4) {
            case 0:
                block.events.push_back(ClapEvent::noteEvent(CLAP_EVENT_NOTE_ON, time, channel, key, 0.8));
                break;
            case 1:
                block.events.push_back(ClapEvent::noteEvent(CLAP_EVENT_NOTE_OFF, time, channel, key, 0.0));
                break;
            case 2:
                block.events.push_back(ClapEvent::parameter(time, random() % kParameterCount, random() % 200));
                break;
            default:
                const uint8_t kinds[] = {0x90, 0xB0, 0xC0, 0xE0};
                block.events.push_back(ClapEvent::midiMessage(time, static_cast<uint8_t>(kinds[random() % 4] | channel),
                                                              static_cast<uint8_t>(key), random() % 128));
            }
        }
        std::sort(block.events.begin(), block.events.end(),
                  [](const ClapEvent& a, const ClapEvent& b) { return a.header.time < b.header.time; });
    }

    // Every other block with a port for each channel group beside the main one.
    std::vector<float> groups(kOutputGroupCount * 2 * 5000);
    std::array<float*, kOutputGroupCount * 2> groupChannels;
    std::array<clap_audio_buffer_t, 1 + kOutputGroupCount> ports{};
    float* mainChannels[2] = {left.data(), right.data()};
    ports[0] = {mainChannels, nullptr, 2, 0, 0};
    for (size_t g = 0; g < kOutputGroupCount; ++g) {
        groupChannels[2 * g] = groups.data() + 2 * g * 5000;
        groupChannels[2 * g + 1] = groups.data() + (2 * g + 1) * 5000;
        ports[1 + g] = {&groupChannels[2 * g], nullptr, 2, 0, 0};
    }
    allocations = 0;
    counting = true;
    for (size_t i = 0; i < blocks.size(); ++i)
        host.processPorts(blocks[i].events, ports.data(), i % 2 ? uint32_t(ports.size()) : 1u, blocks[i].frames);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_TRUE(host.outputEvents.empty());
}

TEST(AudioThread, TheCounterCountsAllocations)
{
    counting = true;
    void* pointer = std::malloc(10);
    auto* object = new int(3);
    counting = false;
    std::free(pointer);
    delete object;
    EXPECT_GE(allocations.load(), 2);
    allocations = 0;
}

TEST(AudioThread, VoicesWhoseChipHasNoBufferStaySilent)
{
    auto bank = factoryBank();
    SharedSettings settings;
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    failChipBuffers = true;
    auto engine = std::make_unique<Engine>(settings, *exchange);
    std::vector<float> left(4096), right(4096);
    for (int key = 60; key < 68; ++key) {
        const uint8_t on[3] = {0x90, static_cast<uint8_t>(key), 100};
        engine->queueMidi(0, on);
    }
    engine->render(left.data(), right.data(), 4096, 44100.0f);
    failChipBuffers = false;
    for (bool ready : engine->chipReady)
        EXPECT_FALSE(ready);
    for (float sample : left)
        ASSERT_EQ(sample, 0.0f);

    // A new rate sets the chips up again, but only prepare(), on a host
    // thread, allocates their buffers; the next block takes them up.
    counting = true;
    engine->render(left.data(), right.data(), 4096, 48000.0f);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_FALSE(engine->chipReady[0]);
    engine->prepare(0.0f);
    engine->render(left.data(), right.data(), 4096, 48000.0f);
    EXPECT_FALSE(engine->chipReady[0]) << "nothing is prepared for a rate that cannot play";
    engine->prepare(48000.0f);
    counting = true;
    engine->render(left.data(), right.data(), 4096, 48000.0f);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_TRUE(engine->chipReady[0]);
    bool sounding = false;
    for (float sample : left)
        sounding = sounding || sample != 0.0f;
    EXPECT_TRUE(sounding);
}

// Rates and the clock standard change between blocks while voices sound: the
// chips are set up again each time, and nothing is allocated.
TEST(AudioThread, RateAndClockChangesAllocateNothing)
{
    auto bank = factoryBank();
    SharedSettings settings;
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    auto engine = std::make_unique<Engine>(settings, *exchange);
    std::vector<float> left(2048), right(2048);
    engine->render(left.data(), right.data(), 512, 44100.0f);
    const float rates[] = {44100.0f, 96000.0f, 22050.0f, kMaxSampleRate, kMinSampleRate, 48000.0f};
    const uint8_t keys[] = {45, 52, 60, 67, 72, 79, 84, 91};
    counting = true;
    for (int block = 0; block < 240; ++block) {
        settings.ntsc.store(block / 8 % 2 == 0 ? 1 : 0, std::memory_order_relaxed);
        const uint8_t message[3] = {static_cast<uint8_t>(block % 3 == 2 ? 0x80 : 0x90), keys[block % 8], 100};
        engine->queueMidi(block % 512, message);
        engine->render(left.data(), right.data(), 2048, rates[block / 5 % 6]);
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_EQ(engine->clockRate, kPalClockRate);
    for (bool ready : engine->chipReady)
        EXPECT_TRUE(ready);
}

// The VST3 build too: note events, controllers arriving as parameter changes
// and automation within the block, rendered without a heap allocation once
// the first block is done.
TEST(AudioThread, Vst3ProcessNeverAllocatesAfterTheFirstBlock)
{
    Vst3Host host;
    ASSERT_TRUE(host.load(testpaths::vst3Bundle)) << host.error();
    host.start(44100.0, 512, false);
    std::vector<float> left(512), right(512);
    host.process({}, left.data(), right.data(), 512);
    // Every other block with a bus for each channel group beside the main one.
    std::vector<float> groupSamples(kOutputGroupCount * 2 * 512);
    std::vector<OutputPair> groups;
    for (size_t g = 0; g < kOutputGroupCount; ++g)
        groups.push_back({groupSamples.data() + 2 * g * 512, groupSamples.data() + (2 * g + 1) * 512});
    std::mt19937 random(11);
    for (int block = 0; block < 200; ++block) {
        BlockMidi midi;
        for (int i = 0; i < 8; ++i) {
            const auto status =
                static_cast<uint8_t>(std::array<int, 5>{0x80, 0x90, 0xB0, 0xC0, 0xE0}[random() % 5] | random() % 16);
            midi.push_back({static_cast<int32_t>(random() % 512),
                            {status, static_cast<uint8_t>(random() % 128), static_cast<uint8_t>(random() % 128)}});
        }
        std::sort(midi.begin(), midi.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (int32_t offset : {static_cast<int32_t>(random() % 200), 200 + static_cast<int32_t>(random() % 312)})
            host.setParameter(random() % 2 == 0 ? 0 : 2, static_cast<double>(random() % 8) / 7.0, offset);
        host.prepareBlock(midi, left.data(), right.data(), 512, block % 2 ? groups : std::vector<OutputPair>{});
        allocations = 0;
        counting = true;
        host.processPrepared();
        counting = false;
        ASSERT_EQ(allocations.load(), 0) << "block " << block;
    }
}
