// Voice allocation: which voice a note takes, when notes are dropped or yield,
// mono legato, key-split Multi programs, release, the sustain pedal, and MIDI
// decoding into events.
#include "EngineTestSupport.h"
#include "engine/BankExchange.h"
#include "engine/MidiIntake.h"
#include "engine/VoicePool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

class Voices : public ::testing::Test, protected PoolState {
protected:
    VoiceContext context(int32_t polyphony = 8) { return {*snapshot, channelProgram, polyphony, controllers}; }
    // Program 0 gets a release part.
    void giveRelease()
    {
        copyTextField(bank->programs[0].envelopeText[Volume], "15 / 5 5 5");
        ASSERT_EQ(compileAllEnvelopes(bank->programs), nullptr);
        snapshot->capture(bank->programs);
    }
    int busyCount() const
    {
        int count = 0;
        for (const Voice& voice : pool.voices)
            count += !voice.isFree();
        return count;
    }
};

}  // namespace

TEST_F(Voices, NinthKeyIsDroppedAndStealsNothing)
{
    for (int key = 60; key < 68; ++key)
        pool.noteOn(context(), 0, key, 100);
    EXPECT_EQ(busyCount(), 8);
    pool.noteOn(context(), 0, 70, 100);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(pool.voices[i].note, 60 + i);
    EXPECT_EQ(pool.keyDown[70], 1) << "the dropped key still counts as held";

    pool.noteOff(context(), 0, 63);
    EXPECT_TRUE(pool.voices[3].isFree());
    pool.noteOn(context(), 0, 72, 100);
    EXPECT_EQ(pool.voices[3].note, 72) << "the freed voice goes to the next note on, not the dropped key";
}

TEST_F(Voices, ReleasingVoicesYieldToNewNotesLongestReleasedFirst)
{
    giveRelease();
    for (int key = 60; key < 68; ++key)
        pool.noteOn(context(), 0, key, 100);
    pool.noteOff(context(), 0, 63);
    pool.noteOff(context(), 0, 61);
    EXPECT_TRUE(pool.voices[3].releasing);
    EXPECT_FALSE(pool.voices[3].isFree());
    pool.noteOn(context(), 0, 70, 100);
    EXPECT_EQ(pool.voices[3].key, 70);
    EXPECT_FALSE(pool.voices[3].releasing);
    pool.noteOn(context(), 0, 71, 100);
    EXPECT_EQ(pool.voices[1].key, 71);
    pool.noteOn(context(), 0, 72, 100);
    for (const Voice& voice : pool.voices)
        EXPECT_NE(voice.key, 72) << "nothing left releasing: dropped";
    pool.noteOff(context(3), 0, 66);
    pool.noteOn(context(3), 0, 73, 100);
    EXPECT_EQ(pool.voices[6].key, 66) << "a voice above the polyphony does not yield";
}

TEST_F(Voices, PedalHeldVoicesYieldAfterTheReleaseTailsLongestLetGoFirst)
{
    giveRelease();
    controllers[0].pedalDown = true;
    for (int key = 60; key < 68; ++key)
        pool.noteOn(context(), key < 64 ? 0 : 1, key, 100);
    pool.noteOff(context(), 0, 62);  // voices 2 and 0 held by the pedal,
    pool.noteOff(context(), 0, 60);
    pool.noteOff(context(), 1, 65);  // 5 and 4 releasing, after them
    pool.noteOff(context(), 1, 64);
    const int expected[] = {5, 4, 2, 0, -1};  // -1: only held keys are left, the note is dropped
    for (int i = 0; i < 5; ++i) {
        pool.noteOn(context(), 2, 70 + i, 100);
        const auto taken = std::find_if(std::begin(pool.voices), std::end(pool.voices),
                                        [&](const Voice& voice) { return voice.key == 70 + i; });
        EXPECT_EQ(taken == std::end(pool.voices) ? -1 : taken - std::begin(pool.voices), expected[i]) << i;
    }
    EXPECT_FALSE(pool.voices[2].sustained) << "taken: the pedal no longer holds it";
}

TEST_F(Voices, SustainPedalHoldsReleasesUntilItGoesUp)
{
    giveRelease();
    controllers[0].pedalDown = true;
    pool.noteOn(context(), 0, 60, 100);
    pool.noteOn(context(), 1, 62, 100);
    pool.noteOff(context(), 0, 60);
    pool.noteOff(context(), 1, 62);
    EXPECT_TRUE(pool.voices[0].sustained);
    EXPECT_FALSE(pool.voices[0].releasing);
    EXPECT_TRUE(pool.voices[1].releasing) << "channel 2 has no pedal down";
    EXPECT_EQ(pool.keyDown[60], 0);
    pool.pedalUp(context(), 1);
    EXPECT_TRUE(pool.voices[0].sustained) << "another channel's pedal";
    controllers[0].pedalDown = false;
    pool.pedalUp(context(), 0);
    EXPECT_TRUE(pool.voices[0].releasing);
    EXPECT_FALSE(pool.voices[0].sustained);

    pool.cutChannel(0);
    EXPECT_TRUE(pool.voices[0].isFree()) << "sound off cuts the release";
    EXPECT_FALSE(pool.voices[1].isFree());
}

TEST_F(Voices, SameKeyRestartsItsVoiceButNotAcrossChannels)
{
    pool.noteOn(context(), 0, 60, 100);
    pool.voices[0].position[Volume] = 5;
    pool.noteOn(context(), 0, 60, 90);
    EXPECT_EQ(busyCount(), 1);
    EXPECT_EQ(pool.voices[0].position[Volume], 0) << "restarted";
    EXPECT_EQ(pool.voices[0].velocity, 90);
    pool.noteOn(context(), 1, 60, 100);
    EXPECT_EQ(busyCount(), 2);
    EXPECT_EQ(pool.voices[1].channel, 1);
}

TEST_F(Voices, OneNoteOffFreesEveryVoiceOfThatChannelAndKey)
{
    pool.noteOn(context(), 2, 60, 100);
    pool.voices[5] = pool.voices[0];  // a second voice on the same key, as after a polyphony change
    pool.noteOn(context(), 3, 60, 100);
    pool.noteOff(context(2), 2, 60);
    EXPECT_TRUE(pool.voices[0].isFree());
    EXPECT_TRUE(pool.voices[5].isFree()) << "voices above the polyphony are released too";
    EXPECT_FALSE(pool.voices[1].isFree()) << "the other channel keeps its note";
}

TEST_F(Voices, VelocityIsLimitedTo100)
{
    pool.noteOn(context(), 0, 60, 127);
    EXPECT_EQ(pool.voices[0].velocity, 100);
    pool.noteOn(context(), 0, 61, 1);
    EXPECT_EQ(pool.voices[1].velocity, 1);
}

TEST_F(Voices, PolyphonyLimitsWhichVoicesNewNotesTake)
{
    for (int key = 60; key < 64; ++key)
        pool.noteOn(context(3), 0, key, 100);
    EXPECT_EQ(busyCount(), 3);
    EXPECT_TRUE(pool.voices[3].isFree());
}

TEST_F(Voices, MonoLegatoReturnsToTheHighestHeldKeyWithoutRestarting)
{
    pool.noteOn(context(1), 0, 60, 100);
    pool.noteOn(context(1), 0, 64, 100);
    EXPECT_EQ(pool.voices[0].note, 64);
    pool.voices[0].position[Volume] = 9;
    pool.voices[0].pitchOffset = 33;
    pool.noteOff(context(1), 0, 64);
    EXPECT_EQ(pool.voices[0].note, 60);
    EXPECT_EQ(pool.voices[0].key, 60);
    EXPECT_EQ(pool.voices[0].position[Volume], 9) << "legato: the envelopes carry on";
    EXPECT_EQ(pool.voices[0].pitchOffset, 33);
    EXPECT_EQ(pool.voices[0].velocity, 100);

    pool.noteOff(context(1), 0, 60);
    EXPECT_TRUE(pool.voices[0].isFree());
}

TEST_F(Voices, MonoReleasingTheOlderKeyKeepsTheNewerOne)
{
    pool.noteOn(context(1), 0, 60, 100);
    pool.noteOn(context(1), 0, 64, 100);
    pool.noteOff(context(1), 0, 60);
    EXPECT_EQ(pool.voices[0].note, 64);
    EXPECT_EQ(busyCount(), 1);
}

TEST_F(Voices, MonoLegatoFindsKeysHeldOnOtherChannels)
{
    pool.noteOn(context(1), 5, 50, 100);
    pool.noteOn(context(1), 0, 64, 100);
    pool.noteOff(context(1), 0, 64);
    EXPECT_EQ(pool.voices[0].note, 50);
    EXPECT_EQ(pool.voices[0].channel, 0) << "it plays on the releasing channel";
    pool.noteOff(context(1), 5, 50);
    EXPECT_TRUE(pool.voices[0].isFree()) << "and its own key's release ends it there";
}

// Notes with ids in mono (CLAP): a note-off naming only the sounding note's
// id goes back to the held key, which then answers to its own id; a held key
// ended by its id is never gone back to.
TEST_F(Voices, MonoLegatoCarriesTheHeldKeysNoteId)
{
    pool.noteOn(context(1), 0, 60, 100, 1);
    pool.noteOn(context(1), 0, 64, 100, 2);
    EXPECT_EQ(pool.voices[0].noteId, 2);
    pool.noteOffMatching(context(1), {-1, -1, 2});
    EXPECT_EQ(pool.voices[0].key, 60);
    EXPECT_EQ(pool.voices[0].noteId, 1);
    pool.noteOffMatching(context(1), {-1, -1, 2});
    EXPECT_EQ(pool.voices[0].key, 60) << "an id already ended names nothing";
    pool.noteOffMatching(context(1), {-1, -1, 1});
    EXPECT_TRUE(pool.voices[0].isFree());

    pool.noteOn(context(1), 0, 60, 100, 3);
    pool.noteOn(context(1), 0, 64, 100, 4);
    pool.noteOffMatching(context(1), {-1, -1, 3});
    EXPECT_EQ(pool.voices[0].key, 64) << "the held key ended, the sounding one plays on";
    pool.noteOffMatching(context(1), {-1, -1, 4});
    EXPECT_TRUE(pool.voices[0].isFree()) << "never back to a key its id let go";
}

TEST_F(Voices, AllNotesOffSilencesEveryChannel)
{
    for (int channel = 0; channel < 8; ++channel)
        pool.noteOn(context(), channel, 40 + channel, 100);
    pool.noteOff(context(), 9, -1);
    EXPECT_EQ(busyCount(), 0);
    for (uint8_t down : pool.keyDown)
        ASSERT_EQ(down, 0);
}

TEST_F(Voices, MultiProgramsSplitTheOctaveAcrossTwelvePrograms)
{
    bank->programs[120].multi = 1;
    snapshot->capture(bank->programs);
    channelProgram[0] = 120;
    pool.noteOn(context(), 0, 65, 100);  // 65 mod 12 = 5
    EXPECT_EQ(pool.voices[0].program, 125);
    EXPECT_EQ(pool.voices[0].note, 60);
    EXPECT_EQ(pool.voices[0].key, 65);
    pool.noteOn(context(), 0, 70, 100);  // (120 + 10) mod 128
    EXPECT_EQ(pool.voices[1].program, 2);
    EXPECT_EQ(pool.voices[1].channelType, Pulse);
    EXPECT_EQ(pool.voices[1].note, 60);
    // Every voice sounds note 60, so key 60 restarts the first busy voice.
    pool.voices[0].position[Arp] = 4;
    pool.noteOn(context(), 0, 60, 100);
    EXPECT_EQ(pool.voices[0].position[Arp], 0);
    EXPECT_EQ(pool.voices[0].program, 120);
    EXPECT_EQ(busyCount(), 2);
    // Releasing goes by key: key 70 frees its own voice.
    pool.noteOff(context(), 0, 70);
    EXPECT_TRUE(pool.voices[1].isFree());
}

TEST_F(Voices, MultiTakesTypeAndEnvelopesFromTheSelectedProgram)
{
    bank->programs[0].multi = 1;
    snapshot->capture(bank->programs);
    pool.noteOn(context(), 0, 3, 100);  // program 3: the triangle
    EXPECT_EQ(pool.voices[0].channelType, Triangle);
    pool.noteOn(context(), 0, 8, 100);  // program 8: the snare
    EXPECT_EQ(pool.voices[1].channelType, Noise);
    EXPECT_EQ(pool.voices[1].program, 8);
}

TEST(MidiIntake, DecodesEveryMessageKind)
{
    MidiIntake intake;
    EventQueue queue;
    auto decode = [&](uint8_t a, uint8_t b, uint8_t c, int32_t delta = 7) {
        const uint8_t message[3] = {a, b, c};
        intake.decode(delta, message, queue);
    };
    decode(0x93, 60, 100);
    decode(0x83, 61, 99);
    decode(0x90, 0xC5, 0);  // note on of velocity 0, data bytes masked
    decode(0xC4, 0x85, 0);
    decode(0xB2, 123, 0);
    decode(0xB2, 127, 5);
    decode(0xA0, 60, 10);  // pressure: ignored
    decode(0xD0, 60, 0);
    decode(0xF8, 0, 0);     // system: skipped
    decode(0x45, 60, 100);  // a data byte where a status should be
    decode(0xB0, 7, 100);   // volume: ignored
    decode(0xB0, 64, 127);  // sustain: ignored

    ASSERT_EQ(queue.size(), 6u);
    EXPECT_EQ(queue[0].type, NoteEvent);
    EXPECT_EQ(queue[0].channel, 3);
    EXPECT_EQ(queue[0].key, 60);
    EXPECT_EQ(queue[0].velocity, 100);
    EXPECT_EQ(queue[0].deltaFrames, 7);
    EXPECT_EQ(queue[1].velocity, 0) << "note off whatever its velocity";
    EXPECT_EQ(queue[2].key, 0x45);
    EXPECT_EQ(queue[2].velocity, 0);
    EXPECT_EQ(queue[3].type, ProgramEvent);
    EXPECT_EQ(queue[3].program, 5);
    EXPECT_EQ(queue[4].key, -1);
    EXPECT_EQ(queue[5].key, -1);
}

TEST(MidiIntake, PitchBendFollowsTheRegisteredRange)
{
    MidiIntake intake;
    EventQueue queue;
    auto decode = [&](uint8_t a, uint8_t b, uint8_t c) {
        const uint8_t message[3] = {a, b, c};
        intake.decode(0, message, queue);
    };
    decode(0xE0, 0x7F, 0x7F);
    decode(0xE0, 0x00, 0x00);
    decode(0xE0, 0x00, 0x40);
    EXPECT_EQ(queue[0].bend, 1.999755859375f);
    EXPECT_EQ(queue[1].bend, -2.0f);
    EXPECT_EQ(queue[2].bend, 0.0f);

    decode(0xB0, 101, 0);
    decode(0xB0, 100, 0);
    decode(0xB0, 6, 12);  // half the data entry value: 6 semitones
    decode(0xE0, 0x7F, 0x7F);
    decode(0xE1, 0x7F, 0x7F);
    EXPECT_EQ(queue[3].bend, 6.0f * 8191.0f / 8192.0f);
    EXPECT_EQ(queue[4].bend, 1.999755859375f) << "other channels keep their range";

    decode(0xB0, 100, 1);  // another parameter: data entry no longer sets the range
    decode(0xB0, 6, 48);
    decode(0xE0, 0x00, 0x00);
    EXPECT_EQ(queue[5].bend, -6.0f);
}

TEST(EventQueue, KeepsItsCapacityAndDropsTheExcess)
{
    EventQueue queue;
    EngineEvent event{};
    for (size_t i = 0; i < EventQueue::kCapacity; ++i)
        ASSERT_TRUE(queue.push(event));
    EXPECT_FALSE(queue.push(event));
    EXPECT_EQ(queue.size(), EventQueue::kCapacity);
    queue.clear();
    EXPECT_TRUE(queue.empty());
}

TEST(EventQueue, SortsBySampleKeepingArrivalOrderAndDropsWhatNeverActs)
{
    std::mt19937 random(11);
    auto queue = std::make_unique<EventQueue>();
    for (int32_t frames : {1, 7, 512, 70000, std::numeric_limits<int32_t>::max()}) {
        for (size_t count : {size_t{0}, size_t{1}, size_t{300}, EventQueue::kCapacity}) {
            // Deltas from a narrow range make many ties; some fall outside the block.
            const int32_t spread = std::min<int32_t>(frames, 1 << 20);
            std::uniform_int_distribution<int32_t> delta(-3, spread + 3);
            std::vector<EngineEvent> expected;
            queue->clear();
            for (size_t i = 0; i < count; ++i) {
                EngineEvent event{};
                event.deltaFrames = random() % 4 == 0 ? frames - 1 - delta(random) % 4 : delta(random);
                if (random() % 16 == 0)
                    event.deltaFrames = static_cast<int32_t>(random());  // anywhere, often past the end
                event.key = static_cast<int32_t>(i);                     // the arrival order
                queue->push(event);
                if (event.deltaFrames >= 0 && event.deltaFrames < frames)
                    expected.push_back(event);
            }
            std::stable_sort(expected.begin(), expected.end(),
                             [](const EngineEvent& a, const EngineEvent& b) { return a.deltaFrames < b.deltaFrames; });
            queue->sortBySample(frames);
            ASSERT_EQ(queue->size(), expected.size()) << frames << " " << count;
            for (size_t i = 0; i < expected.size(); ++i) {
                ASSERT_EQ((*queue)[i].deltaFrames, expected[i].deltaFrames) << frames << " " << count << " " << i;
                ASSERT_EQ((*queue)[i].key, expected[i].key) << frames << " " << count << " " << i;
            }
        }
    }
}
