// Mono, legato and glide as a host hears them: which notes sound (by the
// level of each key's tone in windows), the volume envelope where a key
// takes over, and a glide's pitch frame by frame against its even line in
// semitones, from the program and from controllers 65 and 5.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "PluginUnderTest.h"

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr size_t kFrame = 800;  // samples of a chip frame, 60 a second
constexpr int kMonoOff = 0, kMonoOn = 1, kLegato = 2;

struct Playing {
    int mono = kMonoOff;
    int glide = 0;
};

// Program 0, a pulse of half duty on every channel, played as asked.
std::vector<unsigned char> bank(const std::string& volume, Playing playing, bool controllers = false)
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(0).cell(cells::channelType).number(0);
    chunk.cell(cells::volume).string(volume).cell(cells::duty).string("2");
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number(0);
    if (controllers)
        chunk.cell(cells::midiControllers).number(1);
    chunk.cell(cells::playing).number(0).number(playing.mono).number(playing.glide).number(0);
    return chunk.bytes();
}

TimedMidi at(double seconds, uint8_t status, int data1, int data2)
{
    return {std::llround(seconds * kRate), {status, static_cast<uint8_t>(data1), static_cast<uint8_t>(data2)}};
}
TimedMidi keyDown(double seconds, int key) { return at(seconds, 0x90, key, 100); }
TimedMidi keyUp(double seconds, int key) { return at(seconds, 0x80, key, 0); }

double keyHz(int key)
{
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

// A key's tone between two times.
double tone(const std::vector<float>& out, double from, double to, int key)
{
    return toneAmplitude(out, static_cast<size_t>(from * kRate), static_cast<size_t>(to * kRate), kRate, keyHz(key));
}

// The pitch in semitones (69 the A at 440 Hz) in frame k after a sample,
// the frame's edges left out.
double frameSemitones(const std::vector<float>& out, size_t start, size_t k)
{
    const size_t from = start + k * kFrame + kFrame / 10, to = start + (k + 1) * kFrame - kFrame / 10;
    return 69.0 + 12.0 * std::log2(frequencyOf(out, from, to, kRate) / 440.0);
}

}  // namespace

// Held C, then E over it, E let go, C let go: mono plays E alone and goes
// back to C; poly plays both together.
TEST(Playing, MonoTakesOverAndGoesBackWherePolyKeepsBoth)
{
    const std::vector<TimedMidi> notes = {keyDown(0.0, 60), keyDown(0.3, 64), keyUp(0.6, 64), keyUp(0.9, 60)};
    for (const int mono : {kMonoOn, kLegato}) {
        const std::vector<float> out = renderWithChunk(bank("15", {mono}), notes, 1.1, kRate);
        const double c = tone(out, 0.05, 0.28, 60);
        EXPECT_GT(c, 0.02) << mono;
        EXPECT_LT(tone(out, 0.35, 0.58, 60), c / 50) << "C gave way to E, " << mono;
        EXPECT_NEAR(tone(out, 0.35, 0.58, 64) / c, 1.0, 0.1) << mono;
        EXPECT_NEAR(tone(out, 0.65, 0.88, 60) / c, 1.0, 0.1) << "back to C, " << mono;
        EXPECT_LT(tone(out, 0.65, 0.88, 64), c / 50) << mono;
        EXPECT_LT(tone(out, 0.95, 1.1, 60), c / 50) << "let go: no release part, silent, " << mono;
    }
    const std::vector<float> poly = renderWithChunk(bank("15", {kMonoOff}), notes, 1.1, kRate);
    const double c = tone(poly, 0.05, 0.28, 60);
    EXPECT_NEAR(tone(poly, 0.35, 0.58, 60) / c, 1.0, 0.1);
    EXPECT_NEAR(tone(poly, 0.35, 0.58, 64) / c, 1.0, 0.1);
    EXPECT_LT(tone(poly, 0.65, 0.88, 64), c / 50);
}

// A volume falling from 15 to a held 3: where E takes over C, mono starts
// it again at 15, legato goes on at 3.
TEST(Playing, LegatoKeepsTheVolumeEnvelopesLevelWhereMonoStartsItAgain)
{
    const std::string fall = "15 14 13 12 11 10 9 8 7 6 5 4 | 3";
    const std::vector<TimedMidi> notes = {keyDown(0.0, 60), keyDown(0.4, 64)};
    const std::vector<float> mono = renderWithChunk(bank(fall, {kMonoOn}), notes, 0.6, kRate);
    const std::vector<float> legato = renderWithChunk(bank(fall, {kLegato}), notes, 0.6, kRate);
    // Two frames from the take-over: volumes 15 and 14, or 3 and 3.
    const double monoE = tone(mono, 0.401, 0.433, 64), legatoE = tone(legato, 0.401, 0.433, 64);
    const double heldC = tone(legato, 0.3, 0.39, 60);
    EXPECT_NEAR(legatoE / heldC, 1.0, 0.15) << "the level it had";
    EXPECT_NEAR(monoE / legatoE, 14.5 / 3.0, 1.0) << "from the top";
}

// A 200 ms glide from C to the C above moves evenly in semitones, frame by
// frame: half way after 100 ms, there after 200. The program's glide plays
// until controller 65 is sent: on, with controller 5's time (127: two
// seconds); off, no glide at all.
TEST(Playing, AGlideMovesEvenlyInSemitonesFromTheProgramOrTheControllers)
{
    struct Case {
        const char* what;
        std::vector<TimedMidi> controllers;
        double glideMs;
    };
    const Case cases[] = {
        {"the program's 200 ms", {}, 200.0},
        {"controller 5 at 127 with 65 on", {at(0.0, 0xB0, 5, 127), at(0.0, 0xB0, 65, 127)}, 2000.0},
        {"controller 65 off", {at(0.0, 0xB0, 65, 0)}, 0.0},
    };
    for (const Case& c : cases) {
        std::vector<TimedMidi> notes = c.controllers;
        for (const TimedMidi& note : {keyDown(0.0, 60), keyUp(0.2, 60), keyDown(0.5, 72)})
            notes.push_back(note);
        const double seconds = 0.5 + c.glideMs / 1000.0 + 0.1;
        const std::vector<float> out = renderWithChunk(bank("15", {kMonoOff, 200}, true), notes, seconds, kRate);
        const auto start = static_cast<size_t>(0.5 * kRate);
        const auto frames = static_cast<size_t>(c.glideMs * 60.0 / 1000.0);
        // Against the note's own pitch, as its period rounds.
        const double arrived = frameSemitones(out, start, frames + 3);
        for (const double part : {0.0, 0.25, 0.5, 0.75, 1.0}) {
            const auto k = static_cast<size_t>(std::lround(part * static_cast<double>(frames)));
            const double left = c.glideMs > 0.0 ? 1.0 - static_cast<double>(k) * 1000.0 / 60.0 / c.glideMs : 0.0;
            EXPECT_NEAR(frameSemitones(out, start, k) - arrived, -12.0 * left, 0.06) << c.what << ", frame " << k;
        }
        EXPECT_NEAR(arrived, 72.0, 0.1) << c.what << ": there, and it stays";
    }
}

// MPE as a host plays it: a song saved with the lower zone on, or a
// controller's configuration message switching it on, lets two members'
// notes bend apart, the one bent all the way down landing 48 semitones
// lower while the other holds, both playing the manager's program (program
// 1 here a silent one on the members' own channels).
TEST(Playing, MpeMembersBendTheirOwnNotesAndPlayTheManagersProgram)
{
    cells::Builder chunk;
    chunk.cell(cells::program).number(0).cell(cells::channelType).number(0);
    chunk.cell(cells::volume).string("15").cell(cells::duty).string("2");
    chunk.cell(cells::program).number(1).cell(cells::channelType).number(0).cell(cells::volume).string("0");
    chunk.cell(cells::channelPrograms).number(0);
    for (int channel = 1; channel < 16; ++channel)
        chunk.number(1);
    const std::vector<TimedMidi> play = {at(0.0, 0x91, 93, 100), at(0.0, 0x92, 62, 100), at(0.25, 0xE1, 0, 0)};
    cells::Builder saved = chunk;
    saved.cell(cells::mpe).number(1);
    std::vector<TimedMidi> configured = {at(0.0, 0xB0, 101, 0), at(0.0, 0xB0, 100, 6), at(0.0, 0xB0, 6, 15)};
    configured.insert(configured.end(), play.begin(), play.end());
    // A pulse's tone at the pitch its rounded period plays.
    const auto tone = [](const std::vector<float>& out, double from, double to, int key) {
        const double clock = 1789773.0;
        const double hz = clock / (16.0 * std::floor(clock / (16.0 * keyHz(key))));
        return toneAmplitude(out, static_cast<size_t>(from * kRate), static_cast<size_t>(to * kRate), kRate, hz);
    };
    const int a6 = 93, a2 = 45, d4 = 62;
    for (const auto& [what, bytes, midi] : {std::tuple{"saved on", saved.bytes(), play},
                                            std::tuple{"switched on by the controller", chunk.bytes(), configured}}) {
        const std::vector<float> out = renderWithChunk(bytes, midi, 0.6, kRate);
        const double high = tone(out, 0.02, 0.22, a6), held = tone(out, 0.02, 0.22, d4);
        EXPECT_GT(high, 0.02) << what;
        EXPECT_NEAR(held / high, 1.0, 0.1) << what;
        EXPECT_LT(tone(out, 0.3, 0.58, a6), high / 50) << what;
        EXPECT_NEAR(tone(out, 0.3, 0.58, a2) / high, 1.0, 0.15) << what << ": 48 semitones down";
        EXPECT_NEAR(tone(out, 0.3, 0.58, d4) / held, 1.0, 0.05) << what << ": the other note holds";
    }
    const std::vector<float> off = renderWithChunk(chunk.bytes(), play, 0.3, kRate);
    EXPECT_EQ(lastSound(off), -1) << "without MPE the channels play their own silent program";
}
