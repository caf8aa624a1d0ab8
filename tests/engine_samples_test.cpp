// Sample programs played through the instrument: the voice chip's memory and
// registers after a note, loudness that no velocity, Volume level or
// controller changes, keys without an entry, release parts and the pedal, a
// saved song's kit. (Periods and silence through the binary: in
// engine_sample_programs_test.cpp.)
#include "AudioMeasure.h"
#include "engine/SampleFrame.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

namespace {

constexpr float kRate = 44100.0f;
constexpr int32_t kBlock = 441;  // a hundredth of a second

struct Event {
    int64_t frame;
    std::array<uint8_t, 3> bytes;
};

// 17 bytes whose bits move up as often as down: a loop of them repeats exactly.
std::vector<uint8_t> balancedLoop()
{
    std::vector<uint8_t> bytes(17);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 2 ? 0x0F : 0x3C;
    bytes[16] = 0x33;
    return bytes;
}

class SampleKit : public ::testing::Test {
protected:
    // Program 0 as a Sample program with the given key map and Volume.
    void setUpKit(const char* keys, const char* volume = "15")
    {
        const std::vector<uint8_t> loop = balancedLoop();
        std::vector<uint8_t> kick(33);
        for (size_t i = 0; i < kick.size(); ++i)
            kick[i] = static_cast<uint8_t>(i < 16 ? 0xFF : 0x00);
        ASSERT_EQ(instrument->putSample("loop", loop.data(), 17), nullptr);
        ASSERT_EQ(instrument->putSample("kick", kick.data(), 33), nullptr);
        instrument->setChannelType(0, Sample);
        ASSERT_EQ(instrument->setEnvelopeText(0, Volume, volume), nullptr);
        ASSERT_EQ(instrument->setKeyMapText(0, keys), nullptr);
    }
    // Renders from where the last render stopped; events count from there.
    std::vector<float> render(double seconds, const std::vector<Event>& events = {})
    {
        const auto frames = static_cast<int64_t>(seconds * kRate);
        std::vector<float> out(static_cast<size_t>(frames));
        for (int64_t start = 0; start < frames; start += kBlock) {
            const auto count = static_cast<int32_t>(std::min<int64_t>(kBlock, frames - start));
            for (const Event& e : events)
                if (e.frame >= start && e.frame < start + count)
                    instrument->queueMidi(static_cast<int32_t>(e.frame - start), e.bytes.data());
            instrument->render(out.data() + start, nullptr, count, kRate);
        }
        return out;
    }
    const Voice& voice(int i = 0) const { return instrument->engine.voicePool.voices[i]; }

    std::unique_ptr<Instrument> instrument = std::make_unique<Instrument>();
};

Event noteOn(int64_t frame, int key, int velocity = 100)
{
    return {frame, {0x90, static_cast<uint8_t>(key), static_cast<uint8_t>(velocity)}};
}

Event noteOff(int64_t frame, int key)
{
    return {frame, {0x80, static_cast<uint8_t>(key), 0}};
}

Event controller(int64_t frame, int number, int value)
{
    return {frame, {0xB0, static_cast<uint8_t>(number), static_cast<uint8_t>(value)}};
}

TEST_F(SampleKit, NoteLoadsItsSampleIntoTheVoiceChipAndStartsTheChannel)
{
    setUpKit("36=kick:9:d100 F#2=loop:15:loop");
    render(0.01, {noteOn(0, 36), noteOn(0, 42)});
    const VoiceChip& kickChip = instrument->engine.voiceChips[0];
    const VoiceChip& loopChip = instrument->engine.voiceChips[1];
    EXPECT_EQ(kickChip.sample_memory[0], 0xFF);
    EXPECT_EQ(kickChip.sample_memory[16], 0x00);
    EXPECT_EQ(kickChip.sample_memory[33], 0x55);  // beyond the sample: as it was
    EXPECT_EQ(kickChip.chip.dmc().period, 160);
    EXPECT_EQ(kickChip.chip.dmc().regs[0], 0x09);
    EXPECT_EQ(kickChip.chip.dmc().regs[1], 100);
    EXPECT_EQ(kickChip.chip.dmc().regs[3], 2);
    EXPECT_EQ(loopChip.sample_memory[0], 0x3C);
    EXPECT_EQ(loopChip.chip.dmc().regs[0], 0x4F);
    EXPECT_EQ(loopChip.chip.dmc().regs[3], 1);
    EXPECT_TRUE(loopChip.sample_playing());
}

TEST_F(SampleKit, VelocityVolumeLevelAndControllersLeaveTheLoudnessAlone)
{
    setUpKit("36=loop:10:loop 38=kick:10");
    instrument->setMidiControllers(true);
    std::vector<float> reference;
    for (const char* volume : {"15", "1", "7 3 9"}) {
        for (int velocity : {1, 64, 127}) {
            for (int level : {0, 127}) {
                instrument = std::make_unique<Instrument>();
                setUpKit("36=loop:10:loop 38=kick:10", volume);
                const std::vector<float> out = render(0.3, {controller(0, 7, level), controller(0, 11, level),
                                                            noteOn(1, 36, velocity), noteOn(100, 38, velocity)});
                if (reference.empty()) {
                    reference = out;
                    ASSERT_GT(lastSound(out), 0);
                }
                ASSERT_EQ(renderHash(out), renderHash(reference)) << volume << " " << velocity << " " << level;
            }
        }
    }
}

TEST_F(SampleKit, KeysWithoutEntryTakeNoVoice)
{
    setUpKit("36=loop:10:loop");
    instrument->setPolyphony(1);
    const std::vector<float> alone = render(0.3, {noteOn(0, 36)});
    instrument = std::make_unique<Instrument>();
    setUpKit("36=loop:10:loop");
    instrument->setPolyphony(1);
    // Mono: a mapped key would take voice 0; these leave it playing.
    const std::vector<float> with = render(0.3, {noteOn(0, 36), noteOn(2000, 50), noteOn(3000, 37), noteOff(5000, 50)});
    EXPECT_EQ(renderHash(with), renderHash(alone));
    EXPECT_EQ(voice().key, 36);
}

// A fixed note in the Arp plays its key's sample whatever key is pressed, as
// drums on the other channels do: the key the map leaves out takes a voice.
TEST_F(SampleKit, AFixedArpNotePlaysItsKeyFromAnyKey)
{
    setUpKit("36=loop:10:loop");
    ASSERT_EQ(instrument->setEnvelopeText(0, Arp, "@36"), nullptr);
    render(0.05, {noteOn(0, 60)});
    EXPECT_EQ(voice().key, 60);
    EXPECT_TRUE(instrument->engine.voiceChips[0].sample_playing());
    EXPECT_EQ(instrument->engine.voiceChips[0].sample_memory[0], 0x3C);
}

TEST_F(SampleKit, ReleasePartsAndThePedalHoldTheNoteAsOnOtherChannels)
{
    setUpKit("36=loop:10:loop", "15 / 15 15 15 0");
    instrument->setMidiControllers(true);
    render(0.1, {noteOn(0, 36), noteOff(2000, 36)});
    EXPECT_FALSE(voice().isFree());
    EXPECT_TRUE(voice().releasing);
    render(0.1);
    EXPECT_TRUE(voice().isFree());  // the release's 0 ended it

    render(0.1, {controller(0, 64, 127), noteOn(10, 36), noteOff(100, 36)});
    EXPECT_TRUE(voice().sustained);
    render(0.5);
    EXPECT_FALSE(voice().isFree());
    render(0.2, {controller(0, 64, 0)});
    EXPECT_TRUE(voice().isFree());
}

TEST_F(SampleKit, ASavedSongCarriesItsSamplesAndKeyMapsAndPlaysTheSame)
{
    setUpKit("36=loop:10:loop 38=kick:4:d90");
    const unsigned char* data = nullptr;
    const size_t size = instrument->saveState(&data);
    ASSERT_GT(size, 0u);
    const std::vector<unsigned char> saved(data, data + size);
    const std::vector<Event> song = {noteOn(0, 36), noteOn(3000, 38), noteOff(9000, 36)};
    const std::vector<float> original = render(0.4, song);

    instrument = std::make_unique<Instrument>();
    ASSERT_TRUE(instrument->loadState(saved.data(), saved.size()));
    EXPECT_EQ(instrument->readSamples([](const SampleBank& bank) { return bank.count; }), 2);
    char keys[kEnvelopeTextSize];
    instrument->keyMapText(0, keys);
    EXPECT_STREQ(keys, "36=loop:10:loop 38=kick:4:d90");
    EXPECT_EQ(renderHash(render(0.4, song)), renderHash(original));
}

TEST_F(SampleKit, AProgramWithoutKeyMapStaysSilentAndHoldsItsVoiceAsBefore)
{
    setUpKit("");
    const std::vector<float> out = render(0.2, {noteOn(0, 36)});
    EXPECT_EQ(lastSound(out), -1);
    EXPECT_FALSE(voice().isFree());
    EXPECT_EQ(instrument->engine.voiceChips[0].sample_memory[0], 0x55);
}

}  // namespace
