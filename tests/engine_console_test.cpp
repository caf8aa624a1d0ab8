// Console mode's voices: which console channel a note takes, how a busy
// channel is taken over, and how a voice's writes land on its channel's
// registers.
#include "EngineTestSupport.h"
#include "engine/ConsolePort.h"
#include "engine/EnvelopeSequencer.h"
#include "engine/VoicePool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Programs 0..5 play one channel type each, in ChannelType's order.
class ConsoleVoices : public ::testing::Test, protected PoolState {
protected:
    ConsoleVoices()
    {
        for (int32_t type = 0; type < kChannelTypeCount; ++type) {
            bank->programs[type].channelType = type;
            bank->programs[type].multi = 0;
        }
        snapshot->capture(bank->programs);
        for (int channel = 0; channel < kChannelTypeCount; ++channel)
            channelProgram[channel] = channel;  // channel n plays type n
    }
    VoiceContext context() { return {*snapshot, channelProgram, 1, controllers, true}; }
    void on(int32_t channel, int32_t key) { pool.noteOn(context(), channel, key, 100); }
    void off(int32_t channel, int32_t key) { pool.noteOff(context(), channel, key); }
};

}  // namespace

TEST_F(ConsoleVoices, EachTypeTakesItsOwnChannelWhateverThePolyphony)
{
    on(Triangle, 50);
    on(Noise, 51);
    on(Sample, 52);
    on(Vrc6Saw, 53);
    on(Pulse, 54);
    on(Vrc6Pulse, 55);
    EXPECT_EQ(pool.voices[TriangleSlot].key, 50);
    EXPECT_EQ(pool.voices[NoiseSlot].key, 51);
    EXPECT_EQ(pool.voices[Vrc6SawSlot].key, 53);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 54);
    EXPECT_EQ(pool.voices[Vrc6PulseOneSlot].key, 55);
    // The factory Sample program has no key map: it takes the channel too.
    EXPECT_EQ(pool.voices[SampleSlot].key, 52);
    EXPECT_TRUE(pool.voices[PulseTwoSlot].isFree());
    EXPECT_TRUE(pool.voices[Vrc6PulseTwoSlot].isFree());
}

TEST_F(ConsoleVoices, AThirdPulseTakesOverThePulseHeldLongest)
{
    on(Pulse, 60);
    on(Pulse, 64);
    on(Pulse, 67);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 67);
    EXPECT_EQ(pool.voices[PulseTwoSlot].key, 64);
    on(Pulse, 72);
    EXPECT_EQ(pool.voices[PulseTwoSlot].key, 72);
    // The taken-over notes' keys going up change nothing.
    off(Pulse, 60);
    off(Pulse, 64);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 67);
    EXPECT_FALSE(pool.voices[PulseOneSlot].isFree());
    EXPECT_FALSE(pool.voices[PulseTwoSlot].isFree());
    off(Pulse, 67);
    EXPECT_TRUE(pool.voices[PulseOneSlot].isFree());
    on(Pulse, 48);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 48) << "a free pulse goes first";
    EXPECT_EQ(pool.voices[PulseTwoSlot].key, 72);
}

TEST_F(ConsoleVoices, ANoteNeverTakesAnotherTypesChannel)
{
    on(Pulse, 60);
    on(Pulse, 62);
    for (int key = 40; key < 50; ++key)
        on(Triangle, key);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 60);
    EXPECT_EQ(pool.voices[PulseTwoSlot].key, 62);
    EXPECT_EQ(pool.voices[TriangleSlot].key, 49);
    for (int slot = NoiseSlot; slot < kConsoleSlotCount; ++slot)
        EXPECT_LT(pool.voiceOnSlot(slot), 0) << slot;
    for (int voice = NoiseSlot; voice < kVoiceCount; ++voice)
        EXPECT_TRUE(pool.voices[voice].isFree()) << voice;
    // The same key again restarts its own channel, not the other pulse.
    on(Pulse, 60);
    EXPECT_EQ(pool.voices[PulseOneSlot].key, 60);
    EXPECT_EQ(pool.voices[PulseTwoSlot].key, 62);
    // A type no channel has takes nothing.
    bank->programs[9].channelType = 17;
    snapshot->capture(bank->programs);
    channelProgram[9] = 9;
    on(9, 70);
    for (const Voice& voice : pool.voices)
        EXPECT_NE(voice.key, 70);
}

namespace {

struct Write {
    bool vrc6;
    unsigned address;
    int data;
    bool operator==(const Write&) const = default;
};

// Records what reaches the console's registers; its $4015 is what was last
// written there.
struct RecordingConsole {
    void write_apu(int32_t, unsigned address, int data) { writes.push_back({false, address, data}); }
    void write_apu_enables(int32_t time, int mask, int bits)
    {
        enables = (enables & ~mask) | (bits & mask);
        write_apu(time, 0x4015, enables);
    }
    void write_vrc6(int32_t, unsigned address, int data) { writes.push_back({true, address, data}); }
    // The expansion chips' writes, told apart by their addresses: the 5B's
    // register r as $E00r.
    void write_mmc5(int32_t, unsigned address, int data) { writes.push_back({true, address, data}); }
    void write_mmc5_enables(int32_t time, int mask, int bits)
    {
        mmc5Enables = (mmc5Enables & ~mask) | (bits & mask);
        write_mmc5(time, 0x5015, mmc5Enables);
    }
    void write_s5b(int32_t, int reg, int data) { writes.push_back({true, 0xE000u + reg, data}); }
    void write_s5b_mixer(int32_t time, int mask, int bits)
    {
        mixer = (mixer & ~mask) | (bits & mask);
        write_s5b(time, 0x07, mixer);
    }
    void write_fds(int32_t, unsigned address, int data) { writes.push_back({true, address, data}); }
    void write_n163(int32_t time, unsigned address, int data)
    {
        writes.push_back({true, address, data});
        n163Chip.write_register(time, address, data);
    }
    void write_vrc7(int32_t, unsigned address, int data) { writes.push_back({true, address, data}); }
    const Chip_Vrc7& vrc7() const { return vrc7Chip; }
    const Chip_Fds& fds() const { return fdsChip; }
    const Chip_N163& n163() const { return n163Chip; }
    void load_sample(const uint8_t*, int32_t) {}
    bool sample_playing() const { return false; }

    Chip_Fds fdsChip;
    Chip_N163 n163Chip;
    Chip_Vrc7 vrc7Chip;
    int32_t write_time = 0;
    int32_t enables = 0;
    int mmc5Enables = 0;
    int mixer = 0x3F;
    std::vector<Write> writes;
};

}  // namespace

TEST(ConsolePorts, EachSlotsWritesLandOnItsOwnChannelAndKeepTheOthersOn)
{
    RecordingConsole console;
    int32_t vrc6Enables[kConsoleSlotCount] = {};
    auto port = [&](int32_t slot) { return ConsolePort<RecordingConsole>(console, vrc6Enables[slot], slot); };

    port(PulseOneSlot).chip.write_register(4, 0x4015, 0x01);
    port(PulseTwoSlot).chip.write_register(8, 0x4015, 0x01);
    port(PulseTwoSlot).chip.write_register(12, 0x4002, 0x34);
    port(TriangleSlot).chip.write_register(16, 0x4015, 0x04);
    port(PulseOneSlot).chip.write_register(20, 0x4015, 0x00);
    port(SampleSlot).chip.write_register(24, 0x4013, 0x07);
    port(Vrc6PulseOneSlot).chip.write_register(28, 0x4015, 0x00);  // a VRC6 voice silencing "its" 2A03
    port(Vrc6PulseTwoSlot).expansion<Chip_Vrc6>().write_register(32, 0x9000, 0x3F);
    port(Vrc6SawSlot).expansion<Chip_Vrc6>().write_register(36, 0xB002, 0x81);
    port(PulseOneSlot).chip.write_register(40, 0x4006, 0x99);  // not its channel's: dropped
    const std::vector<Write> expected = {
        {false, 0x4015, 0x01}, {false, 0x4015, 0x03}, {false, 0x4006, 0x34}, {false, 0x4015, 0x07},
        {false, 0x4015, 0x06}, {false, 0x4013, 0x07}, {true, 0xA000, 0x3F},  {true, 0xB002, 0x81},
    };
    EXPECT_EQ(console.writes, expected);

    // The 5B's channel A as each slot's own, its mixer bits merged; the noise
    // and envelope shared. The MMC5's pulse 1 as each pulse, $5015 merged.
    console.writes.clear();
    auto s5b = [&](int32_t slot, int reg, int data) {
        ConsolePort<RecordingConsole> held = port(slot);
        auto& chip = held.expansion<Chip_S5b>();
        chip.write_register(44, 0xC000, reg);
        chip.write_register(44, 0xE000, data);
    };
    s5b(S5bBSlot, 0x00, 0x12);
    s5b(S5bCSlot, 0x01, 0x03);
    s5b(S5bCSlot, 0x08, 0x0F);
    s5b(S5bBSlot, 0x07, 0x36 | 0x08);  // tone on, noise off for A: B's bits only
    s5b(S5bASlot, 0x06, 0x11);
    s5b(S5bCSlot, 0x0D, 0x08);
    s5b(S5bASlot, 0x03, 0x55);  // channel B's register from A's slot: not its own
    port(S5bASlot).chip.write_register(48, 0x4015, 0x00);  // a 5B voice silencing "its" 2A03
    port(Mmc5PulseTwoSlot).expansion<Chip_Mmc5>().write_register(52, 0x5015, 0x01);
    port(Mmc5PulseOneSlot).expansion<Chip_Mmc5>().write_register(56, 0x5015, 0x01);
    port(Mmc5PulseTwoSlot).expansion<Chip_Mmc5>().write_register(60, 0x5000, 0xBF);
    port(Mmc5PulseOneSlot).expansion<Chip_Mmc5>().write_register(64, 0x5015, 0x00);
    port(Mmc5PulseOneSlot).expansion<Chip_Vrc6>().write_register(68, 0x9000, 0x3F);  // another chip's: dropped
    const std::vector<Write> expansions = {
        {true, 0xE002, 0x12}, {true, 0xE005, 0x03}, {true, 0xE00A, 0x0F}, {true, 0xE007, 0x3D},
        {true, 0xE006, 0x11}, {true, 0xE00D, 0x08}, {true, 0x5015, 0x02}, {true, 0x5015, 0x03},
        {true, 0x5004, 0xBF}, {true, 0x5015, 0x02},
    };
    EXPECT_EQ(console.writes, expansions);
}

TEST(ConsolePorts, APulseVoicesFrameOnTheSecondPulseWritesItsRegisters)
{
    auto bank = factoryBank();
    bank->programs[0].channelType = Pulse;
    auto snapshot = std::make_unique<BankSnapshot>();
    snapshot->capture(bank->programs);
    RecordingConsole console;
    console.enables = 0x04;  // the triangle plays
    int32_t vrc6Enables = 0;
    ConsolePort<RecordingConsole> port(console, vrc6Enables, PulseTwoSlot);
    Voice voice;
    voice.note = 69;
    voice.key = 69;
    voice.velocity = 100;
    voice.channelType = Pulse;
    stepVoiceFrame(voice, port, snapshot->programs[0], 0.0f, kNtscClockRate);
    ASSERT_GE(console.writes.size(), 4u);
    EXPECT_EQ(console.writes[0], (Write{false, 0x4015, 0x06}));
    for (size_t i = 1; i < console.writes.size(); ++i)
        EXPECT_EQ(console.writes[i].address & ~3u, 0x4004u) << i;
    EXPECT_EQ(console.write_time, 4 * static_cast<int32_t>(console.writes.size()));

    console.writes.clear();
    port.silence();
    EXPECT_EQ(console.writes, (std::vector<Write>{{false, 0x4015, 0x04}}));
}
