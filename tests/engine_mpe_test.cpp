// MPE on an instrument driven as the audio thread drives it: a member's bend
// measured from the audio against the chip's own pitch, over 48 semitones and
// the ranges registered parameter 0 sets; the configuration message switching
// zones at its sample, the setting following it; the members playing their
// manager's program; pressure stepping the volume as expression does, and
// controller 74 stepping the duty; and random streams on every channel that
// stay in range and leave nothing sounding once all notes are off.
#include "AudioMeasure.h"
#include "EngineTestSupport.h"
#include "instrument/Chunk.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr float kRate = 48000.0f;
constexpr int32_t kBlock = 256;
constexpr double kNtscClock = 1789773.0;

struct Message {
    int64_t at;  // sample
    uint8_t bytes[3];
};

int64_t sampleAt(double seconds)
{
    return std::llround(seconds * kRate);
}
Message noteOn(double seconds, int channel, int key)
{
    return {sampleAt(seconds), {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), 100}};
}
Message noteOff(double seconds, int channel, int key)
{
    return {sampleAt(seconds), {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0}};
}
Message bend(double seconds, int channel, int raw)
{
    return {sampleAt(seconds),
            {static_cast<uint8_t>(0xE0 | channel), static_cast<uint8_t>(raw & 0x7F), static_cast<uint8_t>(raw >> 7)}};
}
Message pressure(double seconds, int channel, int value)
{
    return {sampleAt(seconds), {static_cast<uint8_t>(0xD0 | channel), static_cast<uint8_t>(value), 0}};
}
Message cc(double seconds, int channel, int controller, int value)
{
    return {sampleAt(seconds),
            {static_cast<uint8_t>(0xB0 | channel), static_cast<uint8_t>(controller), static_cast<uint8_t>(value)}};
}
// A registered parameter's three controllers.
std::vector<Message> rpn(double seconds, int channel, int parameter, int value)
{
    return {cc(seconds, channel, 101, 0), cc(seconds, channel, 100, parameter), cc(seconds, channel, 6, value)};
}
std::vector<Message> operator+(std::vector<Message> a, const std::vector<Message>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The instrument's left output over some seconds, in blocks, each message
// queued in the block of its sample; messages of one sample keep their order.
std::vector<float> play(Instrument& instrument, std::vector<Message> midi, double seconds)
{
    std::stable_sort(midi.begin(), midi.end(), [](const Message& a, const Message& b) { return a.at < b.at; });
    const auto total = static_cast<int64_t>(seconds * kRate);
    std::vector<float> out(static_cast<size_t>(total));
    size_t next = 0;
    for (int64_t start = 0; start < total; start += kBlock) {
        const auto frames = static_cast<int32_t>(std::min<int64_t>(kBlock, total - start));
        for (; next < midi.size() && midi[next].at < start + frames; ++next)
            instrument.queueMidi(static_cast<int32_t>(midi[next].at - start), midi[next].bytes);
        instrument.render(out.data() + start, nullptr, frames, kRate);
    }
    return out;
}

// Programs 0 to 15 a plain pulse with the given Volume and Duty.
std::unique_ptr<Instrument> pulses(int32_t mpe, const char* volume = "15", const char* duty = "2")
{
    auto instrument = std::make_unique<Instrument>();
    instrument->editBank([&](ProgramBank& bank) {
        for (int number = 0; number < 16; ++number) {
            Program& program = bank[number];
            program.channelType = Pulse;
            program.multi = 0;
            const char* texts[kEnvelopeKindCount] = {volume, "0", "0", "0", duty};
            for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
                copyTextField(program.envelopeText[kind], texts[kind]);
        }
    });
    instrument->setMpe(mpe);
    return instrument;
}

// The frequency a pulse plays a (bent) note at: its period rounds down.
double pulseHz(double note)
{
    const double r = std::pow(2.0, (note - 69.0) / 12.0);
    return kNtscClock / (16.0 * std::floor(kNtscClock / (r * 440.0 * 16.0)));
}

double tone(const std::vector<float>& out, double from, double to, double note)
{
    return toneAmplitude(out, static_cast<size_t>(from * kRate), static_cast<size_t>(to * kRate), kRate, pulseHz(note));
}

bool identical(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The busy voice playing a channel's note, or null.
const Voice* voiceOf(const Instrument& instrument, int channel)
{
    for (const Voice& voice : instrument.engine.voicePool.voices)
        if (!voice.isFree() && voice.channel == channel)
            return &voice;
    return nullptr;
}

}  // namespace

// Channel 2's A6 bent all the way down lands on A2, 48 semitones below,
// while channel 3's D4 beside it holds its pitch.
TEST(Mpe, AMembersBendMovesItsOwnNoteAloneByFortyEightSemitones)
{
    auto instrument = pulses(MpeLower);
    const std::vector<float> out = play(*instrument, {noteOn(0, 1, 93), noteOn(0, 2, 62), bend(0.25, 1, 0)}, 0.6);
    const double high = tone(out, 0.02, 0.22, 93), d4 = tone(out, 0.02, 0.22, 62);
    ASSERT_GT(high, 0.02);
    ASSERT_GT(d4, 0.02);
    EXPECT_LT(tone(out, 0.02, 0.22, 45), high / 50) << "not bent before the bend";
    EXPECT_LT(tone(out, 0.3, 0.58, 93), high / 50) << "gone from where it was";
    EXPECT_NEAR(tone(out, 0.3, 0.58, 45) / high, 1.0, 0.1) << "48 semitones down";
    EXPECT_NEAR(tone(out, 0.3, 0.58, 62) / d4, 1.0, 0.05) << "the other member's note is not bent";
}

// Members bend 48 semitones until their registered parameter 0 says
// otherwise, in semitones; the manager keeps 2, and with MPE off every
// channel has the half-value ranges songs have always had.
TEST(Mpe, MembersBendFortyEightSemitonesOrWhatTheirParameterZeroSays)
{
    struct Case {
        const char* what;
        int32_t mode;
        int channel;
        int rangeValue;  // registered parameter 0 sent first; -1: none
        int raw;         // 14-bit bend
        int key;
        double semitones;
    };
    const Case cases[] = {
        {"member down", MpeLower, 1, -1, 0, 93, -48.0},
        {"member up", MpeLower, 5, -1, 16383, 45, 48.0 * 8191.0 / 8192.0},
        {"manager", MpeLower, 0, -1, 0, 69, -2.0},
        {"member set to 12", MpeLower, 15, 12, 0, 81, -12.0},
        {"member asks for more than 96", MpeLower, 1, 127, 16383, 12, 96.0 * 8191.0 / 8192.0},
        {"upper zone: channel 1 a member", MpeUpper, 0, -1, 0, 93, -48.0},
        {"upper zone's manager", MpeUpper, 15, -1, 0, 69, -2.0},
        {"off", MpeOff, 1, -1, 0, 69, -2.0},
        {"off: half the value", MpeOff, 1, 24, 0, 81, -12.0},
    };
    for (const Case& c : cases) {
        auto instrument = pulses(c.mode);
        play(*instrument, {}, 0.01);  // the setting reaches the intake with a block
        std::vector<Message> midi;
        if (c.rangeValue >= 0)
            midi = rpn(0, c.channel, 0, c.rangeValue);
        const std::vector<float> out =
            play(*instrument, midi + std::vector<Message>{bend(0, c.channel, c.raw), noteOn(0, c.channel, c.key)}, 0.4);
        EXPECT_NEAR(frequencyOf(out, 2000, out.size(), kRate) / pulseHz(c.key + c.semitones), 1.0, 0.002) << c.what;
    }
}

// The configuration message on channel 1 or 16 switches its zone on (the
// other off) or, with no members, off; elsewhere, or for a zone that is off,
// it changes nothing. The setting follows, and a song saved then keeps it.
TEST(Mpe, TheConfigurationMessageSwitchesZonesAndTheSettingFollows)
{
    struct Step {
        int channel;
        int members;
        int32_t mode;  // after it
    };
    const Step steps[] = {{0, 15, MpeLower}, {15, 0, MpeLower}, {4, 0, MpeLower}, {15, 7, MpeUpper},
                          {0, 0, MpeUpper},  {15, 0, MpeOff},   {3, 15, MpeOff},  {15, 1, MpeUpper}};
    auto instrument = pulses(MpeOff);
    for (const Step& step : steps) {
        play(*instrument, rpn(0, step.channel, 6, step.members), 0.01);
        EXPECT_EQ(instrument->mpe(), step.mode) << step.channel << " " << step.members;
        for (int channel = 0; channel < 16; ++channel)
            EXPECT_EQ(instrument->engine.intake.bendRange[channel], isMpeMember(step.mode, channel) ? 48.0f : 2.0f)
                << step.channel << " " << step.members << ", channel " << channel + 1;
        const unsigned char* data = nullptr;
        const size_t size = instrument->saveState(&data);
        ProgramBank bank;
        chunk::Settings saved{};
        chunk::read(data, size, bank, saved);
        EXPECT_EQ(saved.mpe, step.mode) << "saved with the song";
    }

    // Switched on by the controller, a member bends its 48 semitones.
    auto fresh = pulses(MpeOff);
    const std::vector<float> out =
        play(*fresh, rpn(0, 0, 6, 15) + std::vector<Message>{bend(0, 1, 0), noteOn(0, 1, 93)}, 0.4);
    EXPECT_NEAR(frequencyOf(out, 2000, out.size(), kRate) / pulseHz(45), 1.0, 0.002);

    // At its sample: a member's note just before it plays the member's own
    // program, one just after, the manager's.
    auto timed = pulses(MpeOff);
    timed->settings.channelProgram[0].store(7);
    timed->settings.channelProgram[1].store(3);
    timed->settings.channelProgram[2].store(3);
    play(*timed,
         std::vector<Message>{{100, {0x91, 60, 100}}} + rpn(200.0 / kRate, 0, 6, 15) +
             std::vector<Message>{{201, {0x92, 62, 100}}},
         0.01);
    ASSERT_NE(voiceOf(*timed, 1), nullptr);
    ASSERT_NE(voiceOf(*timed, 2), nullptr);
    EXPECT_EQ(voiceOf(*timed, 1)->program, 3);
    EXPECT_EQ(voiceOf(*timed, 2)->program, 7);
}

// Members play the manager's program, as it is when their note begins, and
// its way of playing (here mono: one note per member); the manager and,
// with MPE off, every channel play their own.
TEST(Mpe, MembersPlayTheProgramOfTheirManager)
{
    struct Case {
        int32_t mode;
        int channel;
        int32_t program;
    };
    for (const Case& c : {Case{MpeLower, 1, 5}, Case{MpeLower, 15, 5}, Case{MpeLower, 0, 5}, Case{MpeUpper, 1, 7},
                          Case{MpeUpper, 15, 7}, Case{MpeOff, 1, 9}, Case{MpeOff, 3, 12}, Case{MpeOff, 15, 7}}) {
        auto instrument = pulses(c.mode);
        instrument->settings.channelProgram[0].store(5);
        instrument->settings.channelProgram[1].store(9);
        instrument->settings.channelProgram[15].store(7);
        for (int channel = 2; channel < 15; ++channel)
            instrument->settings.channelProgram[channel].store(12);
        play(*instrument, {noteOn(0, c.channel, 60)}, 0.01);
        ASSERT_NE(voiceOf(*instrument, c.channel), nullptr);
        EXPECT_EQ(voiceOf(*instrument, c.channel)->program, c.program) << c.mode << " " << c.channel;
    }

    // A program change on the manager reaches the members' next notes.
    auto instrument = pulses(MpeLower);
    ASSERT_EQ(instrument->setPlaying(11, {MonoOn, 0, 0}), nullptr);
    play(*instrument, {noteOn(0, 3, 60), {10, {0xC0, 11, 0}}, noteOn(0.005, 4, 62), noteOn(0.005, 5, 64)}, 0.01);
    EXPECT_EQ(voiceOf(*instrument, 3)->program, 0) << "begun before the change";
    EXPECT_EQ(voiceOf(*instrument, 4)->program, 11);
    play(*instrument, {noteOn(0, 4, 65)}, 0.01);
    int sounding = 0;
    for (const Voice& voice : instrument->engine.voicePool.voices)
        sounding += !voice.isFree() && !voice.releasing;
    EXPECT_EQ(sounding, 3) << "mono per member: 65 took channel 5's note over";
    EXPECT_EQ(voiceOf(*instrument, 4)->key, 65);
}

// Pressure steps a member's chip volume as expression does, (p/127)^2,
// rounded to the chip's steps: the same audio as a Volume envelope at that
// step. The manager's pressure, and any with MPE off, changes nothing.
TEST(Mpe, PressureScalesAMembersVolumeAsExpressionDoes)
{
    const auto note = [](int channel) {
        return std::vector<Message>{noteOn(0, channel, 69), noteOff(0.25, channel, 69)};
    };
    struct Case {
        int32_t mode;
        int channel;
        std::vector<Message> before;
        const char* same;  // the Volume envelope that sounds the same without them
    };
    const Case cases[] = {
        {MpeLower, 1, {pressure(0, 1, 127)}, "15"}, {MpeLower, 1, {pressure(0, 1, 64)}, "4"},
        {MpeLower, 1, {pressure(0, 1, 100)}, "9"},  {MpeLower, 1, {pressure(0, 1, 30)}, "1"},
        {MpeUpper, 0, {pressure(0, 0, 64)}, "4"},   {MpeLower, 1, {pressure(0, 1, 64), cc(0, 1, 11, 64)}, "1"},
        {MpeLower, 0, {pressure(0, 0, 64)}, "15"},  {MpeOff, 1, {pressure(0, 1, 64)}, "15"},
    };
    for (const Case& c : cases) {
        auto pressed = pulses(c.mode);
        auto plain = pulses(c.mode, c.same);
        EXPECT_TRUE(identical(play(*pressed, c.before + note(c.channel), 0.4), play(*plain, note(c.channel), 0.4)))
            << c.mode << " " << c.channel << " " << c.same;
    }
    auto silent = pulses(MpeLower);
    EXPECT_EQ(lastSound(play(*silent, {pressure(0, 2, 0), noteOn(0, 2, 69)}, 0.2)), -1) << "no pressure, no sound";
}

// Controller 74 shifts the duty from the centre 64 by N steps over each
// half of its travel, towards the centre, clamped to the type's N duties.
TEST(Mpe, TimbreShiftsTheDutyByStepsOfTheChannelsDuties)
{
    struct Case {
        int32_t type, duty, timbre, played;
    };
    const Case cases[] = {
        {Pulse, 2, 64, 2},      {Pulse, 6, 64, 6},     {Pulse, 0, 79, 0},  {Pulse, 0, 80, 1},     {Pulse, 0, 127, 3},
        {Pulse, 2, 127, 3},     {Pulse, 3, 49, 3},     {Pulse, 3, 48, 2},  {Pulse, 3, 0, 0},      {Mmc5Pulse, 1, 96, 3},
        {Noise, 1, 33, 1},      {Noise, 1, 32, 0},     {Noise, 0, 127, 1}, {Vrc6Pulse, 4, 72, 5}, {Vrc6Pulse, 7, 0, 0},
        {Vrc6Pulse, 0, 127, 7}, {S5b, 0, 127, 4},      {S5b, 4, 0, 0},     {N163, 10, 70, 16},    {N163, 60, 127, 63},
        {N163, 10, 0, 0},       {Triangle, 2, 127, 2}, {Vrc7, 5, 0, 5},    {Fds, 1, 127, 1},      {Pulse, 1, -5, 0},
        {Pulse, 1, 500, 3},
    };
    for (const Case& c : cases) {
        ChannelControllers controllers;
        controllers.timbre = c.timbre;
        EXPECT_EQ(shiftDuty(c.duty, c.type, controllers), c.played) << c.type << " " << c.duty << " " << c.timbre;
    }

    // Heard: a member's 127 plays the 75% duty of a program at 12.5%; the
    // manager's, or any with MPE off, nothing.
    const std::vector<Message> note = {noteOn(0, 1, 69), noteOff(0.2, 1, 69)};
    const std::vector<float> wide = play(*pulses(MpeLower, "15", "3"), note, 0.3);
    const std::vector<float> narrow = play(*pulses(MpeLower, "15", "0"), note, 0.3);
    EXPECT_FALSE(identical(wide, narrow));
    EXPECT_TRUE(
        identical(play(*pulses(MpeLower, "15", "0"), std::vector<Message>{cc(0, 1, 74, 127)} + note, 0.3), wide));
    EXPECT_TRUE(
        identical(play(*pulses(MpeLower, "15", "0"), std::vector<Message>{cc(0, 1, 74, 64)} + note, 0.3), narrow));
    const std::vector<Message> managerNote = {cc(0, 0, 74, 127), noteOn(0, 0, 69), noteOff(0.2, 0, 69)};
    const std::vector<Message> plainManagerNote = {noteOn(0, 0, 69), noteOff(0.2, 0, 69)};
    EXPECT_TRUE(identical(play(*pulses(MpeLower, "15", "0"), managerNote, 0.3),
                          play(*pulses(MpeLower, "15", "0"), plainManagerNote, 0.3)));
    EXPECT_TRUE(
        identical(play(*pulses(MpeOff, "15", "0"), std::vector<Message>{cc(0, 1, 74, 127)} + note, 0.3), narrow));
}

// Random notes, bends, pressure, timbre, bend ranges, program changes,
// pedals and configuration messages on every channel: the output stays a
// signal, each bend within its range, and once all notes are off nothing
// sounds.
TEST(Mpe, RandomStreamsStayInRangeAndAllNotesOffLeavesNothingSounding)
{
    std::mt19937 random(74);
    const auto any = [&](int below) { return static_cast<int>(random() % static_cast<uint32_t>(below)); };
    for (int round = 0; round < 40; ++round) {
        auto instrument = std::make_unique<Instrument>();
        const auto bank = randomBank(static_cast<uint32_t>(round));
        instrument->editBank(
            [&](ProgramBank& programs) { std::copy(std::begin(bank->programs), std::end(bank->programs), programs); });
        instrument->setMpe(round % kMpeModeCount);
        for (int channel = 0; channel < 16; ++channel)
            instrument->settings.channelProgram[channel].store(9 + any(20));
        std::vector<float> out(kBlock);
        for (int block = 0; block < 300; ++block) {
            const int count = any(10);
            for (int i = 0; i < count; ++i) {
                const int channel = any(16);
                const auto status = [&](int kind) { return static_cast<uint8_t>(kind | channel); };
                uint8_t message[3] = {status(0x90), static_cast<uint8_t>(any(128)), static_cast<uint8_t>(1 + any(127))};
                switch (any(12)) {
                case 0:
                case 1:
                    message[0] = status(0x80);
                    break;
                case 2:
                case 3:
                    message[0] = status(0xE0);
                    message[1] = static_cast<uint8_t>(any(128));
                    message[2] = static_cast<uint8_t>(any(128));
                    break;
                case 4:
                    message[0] = status(0xD0);
                    message[1] = static_cast<uint8_t>(any(128));
                    break;
                case 5:
                    message[0] = status(0xB0);
                    message[1] = static_cast<uint8_t>(any(3) == 0 ? 64 : 74);
                    message[2] = static_cast<uint8_t>(any(128));
                    break;
                case 6: {
                    // A bend range or, on a manager's channel, a configuration.
                    const bool configure = any(4) == 0;
                    const uint8_t on = static_cast<uint8_t>(0xB0 | (configure ? any(2) * 15 : channel));
                    const uint8_t selection[][3] = {{on, 101, 0}, {on, 100, static_cast<uint8_t>(configure ? 6 : 0)}};
                    for (const uint8_t(&select)[3] : selection)
                        instrument->queueMidi(any(kBlock), select);
                    message[0] = on;
                    message[1] = 6;
                    message[2] = static_cast<uint8_t>(configure ? any(16) : any(128));
                    break;
                }
                case 7:
                    message[0] = status(0xC0);
                    message[1] = static_cast<uint8_t>(9 + any(20));
                    break;
                default:
                    break;
                }
                instrument->queueMidi(any(kBlock), message);
            }
            instrument->render(out.data(), nullptr, kBlock, kRate);
            for (float sample : out)
                ASSERT_TRUE(std::isfinite(sample) && std::abs(sample) <= 1.0f) << "round " << round;
            const int32_t mode = instrument->engine.intake.mpeMode;
            for (int channel = 0; channel < 16; ++channel) {
                const float range = instrument->engine.intake.bendRange[channel];
                ASSERT_LE(range, isMpeMember(mode, channel) ? 96.0f : 63.5f);
                ASSERT_LE(std::abs(instrument->engine.channelBend[channel]), 96.0f) << "round " << round;
            }
        }
        EXPECT_EQ(instrument->mpe(), instrument->engine.intake.mpeMode) << "the setting follows the messages";
        const uint8_t allNotesOff[3] = {0xB0, 123, 0};
        instrument->queueMidi(0, allNotesOff);
        instrument->render(out.data(), nullptr, kBlock, kRate);
        for (const Voice& voice : instrument->engine.voicePool.voices)
            EXPECT_TRUE(voice.isFree()) << "round " << round;
        // What the chips still hold plays out within a frame.
        for (int block = 0; block < 8; ++block)
            instrument->render(out.data(), nullptr, kBlock, kRate);
        EXPECT_EQ(lastSound(out), -1) << "round " << round;
    }
}

// What MPE controllers send on the manager reaches the whole zone: its bend
// adds to every member's own, its sustain pedal holds every member's notes
// until it goes up.
TEST(Mpe, TheManagersBendAndPedalReachEveryMember)
{
    auto instrument = pulses(MpeLower);
    const std::vector<float> out =
        play(*instrument,
             {noteOn(0, 1, 69), noteOn(0, 2, 62), bend(0.25, 0, 0), bend(0.25, 2, 8192 + 4096),
              cc(0.55, 0, 64, 127), noteOff(0.6, 1, 69), noteOff(0.6, 2, 62), cc(0.95, 0, 64, 0)},
             1.2);
    const double a = tone(out, 0.02, 0.22, 69), d = tone(out, 0.02, 0.22, 62);
    ASSERT_GT(a, 0.02);
    ASSERT_GT(d, 0.02);
    EXPECT_NEAR(tone(out, 0.3, 0.5, 67) / a, 1.0, 0.1) << "the manager's 2 semitones down";
    EXPECT_NEAR(tone(out, 0.3, 0.5, 62 - 2 + 24) / d, 1.0, 0.1) << "and the member's own 24 up";
    EXPECT_NEAR(tone(out, 0.65, 0.9, 67) / a, 1.0, 0.1) << "held by the manager's pedal";
    EXPECT_GT(lastSound(out), sampleAt(0.9));
    EXPECT_LT(lastSound(out), sampleAt(0.95) + 2400) << "silent within three frames of it going up";
}
