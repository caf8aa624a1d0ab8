// Mono and legato programs in the voice pool: one note per MIDI channel, a
// new key taking it over, the last key still held (by the key or the pedal)
// taking it back; where glides start from; and, under random streams of
// keys, pedals and channel programs, no note left sounding once every key
// and pedal is up. Envelopes stepping in time with the song: the frames
// their steps fall on, and the tempos the engine takes.
#include "EngineTestSupport.h"
#include "engine/Engine.h"
#include "engine/EnvelopeSequencer.h"
#include "engine/VoicePool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

class Mono : public ::testing::Test, protected PoolState {
protected:
    // Program 0 plays mono (or legato), program 1 poly; each with a release part.
    void SetUp() override { setPrograms(MonoOn, 0); }
    void setPrograms(int32_t mono, int32_t glide, const char* volume = "15 / 5 5")
    {
        for (int program : {0, 1}) {
            copyTextField(bank->programs[program].envelopeText[Volume], volume);
            bank->programs[program].mono = program == 0 ? mono : MonoOff;
            bank->programs[program].glide = glide;
        }
        ASSERT_EQ(compileAllEnvelopes(bank->programs), nullptr);
        snapshot->capture(bank->programs);
    }
    VoiceContext context(int32_t polyphony = 8) { return {*snapshot, channelProgram, polyphony, controllers}; }
    void on(int key, int channel = 0) { pool.noteOn(context(), channel, key, 100); }
    void off(int key, int channel = 0) { pool.noteOff(context(), channel, key); }
    void pedal(bool down, int channel = 0)
    {
        controllers[channel].pedalDown = down;
        if (!down)
            pool.pedalUp(context(), channel);
    }
    // The keys of the voices that sound a held note (not releasing), voice order.
    std::vector<int> held() const
    {
        std::vector<int> keys;
        for (const Voice& voice : pool.voices)
            if (!voice.isFree() && !voice.releasing)
                keys.push_back(voice.key);
        return keys;
    }
};

using Keys = std::vector<int>;

}  // namespace

// Last-note priority: the note goes back to the key pressed last of those
// still down, not the highest, and is released when none is.
TEST_F(Mono, ANewKeyTakesOverAndTheLastStillHeldTakesItBack)
{
    on(60);
    on(67);
    on(64);
    EXPECT_EQ(held(), Keys{64});
    off(64);
    EXPECT_EQ(held(), Keys{67}) << "the last pressed of those held, though not the highest";
    off(60);
    EXPECT_EQ(held(), Keys{67}) << "a key not sounding goes up unheard";
    off(67);
    EXPECT_EQ(held(), Keys{});
    EXPECT_TRUE(pool.voices[0].releasing) << "its release part plays";

    // Each channel has its note; a poly program beside it keeps each key.
    channelProgram[1] = 1;
    on(60, 0);
    on(62, 0);
    on(48, 1);
    on(50, 1);
    EXPECT_EQ(held(), (Keys{62, 48, 50}));
}

// Mono restarts the envelopes at every change of key; legato only when no
// other key was held, and keeps them (and the velocity) going otherwise.
TEST_F(Mono, MonoRestartsTheEnvelopesAndLegatoKeepsThemWhileAKeyIsHeld)
{
    struct Case {
        int32_t mode;
        bool restartedOnTakeOver;
        bool restartedOnReturn;
    };
    for (const Case c : {Case{MonoOn, true, true}, Case{MonoLegato, false, false}}) {
        setPrograms(c.mode, 0);
        pool = VoicePool{};
        on(60);
        pool.voices[0].position[Volume] = 7;
        pool.noteOn(context(), 0, 64, 40);
        EXPECT_EQ(pool.voices[0].position[Volume] == 0, c.restartedOnTakeOver) << c.mode;
        EXPECT_EQ(pool.voices[0].velocity, c.restartedOnTakeOver ? 40 : 100) << c.mode;
        pool.voices[0].position[Volume] = 7;
        off(64);
        EXPECT_EQ(pool.voices[0].key, 60);
        EXPECT_EQ(pool.voices[0].position[Volume] == 0, c.restartedOnReturn) << c.mode;
        EXPECT_EQ(pool.voices[0].velocity, 100) << "the held key's own velocity";
        // Released, then a new key: a new note in both modes.
        off(60);
        pool.voices[0].position[Volume] = 7;
        on(62);
        EXPECT_EQ(pool.voices[0].position[Volume], 0) << c.mode;
        EXPECT_EQ(held(), Keys{62}) << "the releasing note was taken over, not doubled";
        off(62);
    }
}

// Keys let go under the pedal count as held until it goes up; then the note
// goes back to a key still down, or is released.
TEST_F(Mono, ThePedalHoldsKeysLetGoUntilItGoesUp)
{
    on(60);
    pedal(true);
    on(64);
    off(64);
    EXPECT_EQ(pool.voices[0].key, 64) << "held by the pedal, it stays";
    EXPECT_TRUE(pool.voices[0].sustained);
    pedal(false);
    EXPECT_EQ(held(), Keys{60}) << "the key still down takes the note back";
    EXPECT_FALSE(pool.voices[0].sustained);

    pedal(true);
    off(60);
    EXPECT_TRUE(pool.voices[0].sustained);
    on(62);
    off(62);
    EXPECT_EQ(pool.voices[0].key, 62);
    pedal(false);
    EXPECT_EQ(held(), Keys{}) << "nothing down: released";
    EXPECT_TRUE(pool.voices[0].releasing);
}

// A glide starts where the note sounds: a mono note from the note it takes
// over (mid-glide too), a poly note from the channel's last note; none on a
// channel's first note or with glide 0.
TEST_F(Mono, AGlideStartsFromWhereTheChannelsLastNoteSounds)
{
    setPrograms(MonoLegato, 200);
    on(60);
    EXPECT_EQ(pool.voices[0].glideFrom, 0.0f) << "nothing before it";
    on(72);
    EXPECT_EQ(pool.voices[0].glideFrom, -12.0f);
    pool.voices[0].glideFrames = 6;  // half way, 100 ms at 60 frames a second
    EXPECT_FLOAT_EQ(pool.voices[0].pitch(60), 66.0f);
    off(72);
    EXPECT_EQ(pool.voices[0].key, 60);
    EXPECT_FLOAT_EQ(pool.voices[0].glideFrom, 6.0f) << "back from where it had got to";
    EXPECT_EQ(pool.voices[0].glideFrames, 0);

    channelProgram[2] = 1;
    on(50, 2);
    on(55, 2);
    const Voice* fifthFromFiftyFive = nullptr;
    for (const Voice& voice : pool.voices)
        if (voice.channel == 2 && voice.key == 55)
            fifthFromFiftyFive = &voice;
    ASSERT_NE(fifthFromFiftyFive, nullptr);
    EXPECT_EQ(fifthFromFiftyFive->glideFrom, -5.0f) << "poly: from the channel's last note";
    EXPECT_EQ(fifthFromFiftyFive->glideMs, 200);

    // Controller 65 and 5 decide instead, while the controllers play.
    controllers[3].portamento = PortamentoOn;
    controllers[3].portamentoTime = 127;
    channelProgram[3] = 1;
    on(40, 3);
    on(45, 3);
    EXPECT_EQ(pool.voices[4].glideMs, 2000);
    controllers[3].portamento = PortamentoOff;
    on(47, 3);
    EXPECT_EQ(pool.voices[5].glideFrom, 0.0f) << "portamento off: no glide whatever the program says";
    EXPECT_EQ(controllers[3].glideMs(300), 0);
    controllers[3].portamento = PortamentoOn;
    for (const auto& [value, ms] : {std::pair{0, 0}, {1, 16}, {64, 1008}, {127, 2000}}) {
        controllers[3].portamentoTime = value;
        EXPECT_EQ(controllers[3].glideMs(300), ms) << value;
    }
}

// Whatever keys, pedals, program changes and note-ids arrive, each channel
// sounds at most one note of a mono program, and once every key and pedal
// is up no note is held.
TEST_F(Mono, RandomStreamsLeaveNoNoteHeldOnceEverythingIsUp)
{
    std::mt19937 random(36);
    for (int round = 0; round < 200; ++round) {
        setPrograms(round % 3 == 0 ? MonoOn : MonoLegato, round % 2 == 0 ? 0 : 150);
        pool = VoicePool{};
        for (ChannelControllers& c : controllers)
            c = ChannelControllers{};
        const int polyphony = round % 4 == 0 ? 1 : 8;
        for (int event = 0; event < 60; ++event) {
            const int channel = static_cast<int>(random() % 3);
            const int key = 60 + static_cast<int>(random() % 6);
            switch (random() % 8) {
            case 0:
            case 1:
            case 2:
                pool.noteOn(context(polyphony), channel, key, 1 + static_cast<int>(random() % 127),
                            static_cast<int>(random() % 4) - 1);
                break;
            case 3:
            case 4:
                pool.noteOff(context(polyphony), channel, key);
                break;
            case 5:
                controllers[channel].pedalDown = !controllers[channel].pedalDown;
                if (!controllers[channel].pedalDown)
                    pool.pedalUp(context(polyphony), channel);
                break;
            case 6:
                channelProgram[channel] = static_cast<int>(random() % 2);
                break;
            default:
                pool.noteOffMatching(context(polyphony), {-1, -1, static_cast<int>(random() % 3)});
                break;
            }
            for (int c = 0; c < 3; ++c) {
                int monoNotes = 0;
                for (const Voice& voice : pool.voices)
                    monoNotes += !voice.isFree() && voice.mono && voice.channel == c && !voice.releasing;
                ASSERT_LE(monoNotes, 1) << "round " << round << " event " << event;
            }
            for (const Voice& voice : pool.voices)
                ASSERT_TRUE(voice.isFree() || std::abs(voice.glideFrom) <= 5.0f) << "within the keys played";
        }
        for (int channel = 0; channel < 3; ++channel) {
            for (int key = 60; key < 66; ++key)
                pool.noteOff(context(polyphony), channel, key);
            controllers[channel].pedalDown = false;
            pool.pedalUp(context(polyphony), channel);
        }
        ASSERT_EQ(held(), Keys{}) << "round " << round;
    }
}

// Four steps a quarter note at 100 BPM and 60 frames a second: a step every
// 9 frames; at 135 BPM every 6.67, each on its nearest frame; at a tempo
// past all reason, no more than the most a frame takes. A host's tempo that is no positive number is
// not taken.
TEST_F(Mono, TempoStepsFallOnTheNearestFrameAndTheEngineTakesOnlyRealTempos)
{
    std::string climb;
    for (int step = 0; step < 40; ++step)
        climb += std::to_string(step) + " ";
    copyTextField(bank->programs[0].envelopeText[Arp], climb.c_str());
    bank->programs[0].tempoSteps = 4;
    ASSERT_EQ(compileAllEnvelopes(bank->programs), nullptr);
    snapshot->capture(bank->programs);
    on(60);
    Voice& voice = pool.voices[0];
    const auto stepsAt = [&](double tempo, int frames) {
        std::vector<int> changes;
        for (int frame = 0; frame < frames; ++frame) {
            const int32_t before = voice.arpValue;
            stepEnvelopesInTempo(voice, snapshot->programs[0], tempo, 60);
            if (voice.arpValue != before || frame == 0)
                changes.push_back(frame);
        }
        return changes;
    };
    EXPECT_EQ(stepsAt(100.0, 30), (std::vector<int>{0, 9, 18, 27}));
    EXPECT_EQ(voice.arpValue, 3);
    // The new tempo counts from the next frame, the part of a step owed
    // (7/18) carried over: due at 5.07, 11.7, 18.4.
    EXPECT_EQ(stepsAt(135.0, 21), (std::vector<int>{0, 5, 11, 18}));
    EXPECT_EQ(voice.arpValue, 6);
    stepsAt(30000.0, 1);
    const int32_t before = voice.arpValue;
    stepsAt(30000.0, 1);
    EXPECT_EQ(voice.arpValue - before, kMaxTempoStepsPerFrame) << "at most 16 a frame";

    SharedSettings settings;
    auto exchange = std::make_unique<BankExchange>();
    exchange->initialise(bank->programs);
    auto engine = std::make_unique<Engine>(settings, *exchange);
    EXPECT_EQ(engine->hostTempo(), 120.0);
    for (const double tempo : {0.0, -90.0, std::nan(""), double{INFINITY}, 1e9})
        engine->setHostTempo(tempo);
    EXPECT_EQ(engine->hostTempo(), 120.0);
    engine->setHostTempo(93.5);
    EXPECT_EQ(engine->hostTempo(), 93.5);
}
