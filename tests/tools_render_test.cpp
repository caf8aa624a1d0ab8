// plinka-render as its users run it: MIDI files in, WAV files out, through
// Plinka and through an instrument nobody here wrote; bad input refused with
// one clear line and no file left behind.
#include "AudioMeasure.h"
#include "MidiFileWriter.h"
#include "TestPaths.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr double kNtscClock = 1789773.0;

struct RunResult {
    int status;
    std::string output;  // stdout and stderr
};

RunResult run(const std::string& arguments)
{
    const std::string command = std::string(testpaths::render) + " " + arguments + " 2>&1";
    RunResult result{-1, {}};
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (size_t count = std::fread(buffer, 1, sizeof buffer, pipe))
            result.output.append(buffer, count);
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result;
}

std::vector<uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string readFile(const fs::path& path)
{
    const std::vector<uint8_t> bytes = readBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The fundamental of a periodic signal by autocorrelation, for instruments
// whose waveform crosses zero more than once a period; the peak is placed
// between lags by a parabola through its neighbours.
double fundamentalOf(const std::vector<float>& signal, size_t from, size_t to, double rate, double low, double high)
{
    const int shortest = static_cast<int>(rate / high);
    const int longest = static_cast<int>(rate / low);
    std::vector<double> score(static_cast<size_t>(longest + 2), 0.0);
    int best = 0;
    for (int lag = shortest - 1; lag <= longest + 1; ++lag) {
        for (size_t i = from; i + lag < to; ++i)
            score[lag] += signal[i] * signal[i + lag];
        if (lag >= shortest && lag <= longest && (best == 0 || score[lag] > score[best]))
            best = lag;
    }
    const double left = score[best - 1], centre = score[best], right = score[best + 1];
    const double curve = left - 2.0 * centre + right;
    const double offset = curve < 0.0 ? 0.5 * (left - right) / curve : 0.0;
    return rate / (best + offset);
}

class Renderer : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("plinka-render-test-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path file(const std::string& name) const { return dir / name; }
    std::string quoted(const fs::path& path) const { return "'" + path.string() + "'"; }
    // No file but the ones the test made itself, and no stray temporaries.
    size_t filesIn() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }

    fs::path dir;
};

}  // namespace

TEST_F(Renderer, FormatOneWithTempoChangesPlaysEachNoteAtItsTime)
{
    // A conductor track: 120 BPM, then 60 BPM from beat 4. Notes on beats
    // 0, 2, 4 and 6: at 0, 1, 2 and 4 seconds.
    MidiFileWriter midi;
    const int conductor = midi.addTrack();
    const int notes = midi.addTrack();
    midi.tempo(conductor, 0, 120.0);
    midi.tempo(conductor, 4 * 480, 60.0);
    const int keys[4] = {57, 69, 64, 76};
    for (int i = 0; i < 4; ++i)
        midi.note(notes, 0, i * 2 * 480, 240, keys[i]);
    writeBytes(file("song.mid"), midi.bytes(1));

    const RunResult result =
        run(quoted(file("song.mid")) + " -o " + quoted(file("song.wav")) + " --program 1:3 --format float");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "") << "nothing but errors when not on a terminal";
    const Wav wav = readWav(file("song.wav"));
    ASSERT_EQ(wav.rate, 44100);
    ASSERT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.left, wav.right);

    const double starts[4] = {0.0, 1.0, 2.0, 4.0};
    const int periods[4] = {507, 253, 338, 168};  // 50% pulse, NTSC
    for (int i = 0; i < 4; ++i) {
        const auto start = static_cast<size_t>(starts[i] * 44100);
        const int64_t onset = firstSound(wav.left, start > 100 ? start - 100 : 0);
        EXPECT_GE(onset, static_cast<int64_t>(start)) << "note " << i;
        EXPECT_LT(onset, static_cast<int64_t>(start) + 40) << "note " << i;
        const double expected = kNtscClock / (16.0 * (periods[i] + 1));
        const double measured = frequencyOf(wav.left, start + 1000, start + 9000, 44100.0);
        EXPECT_NEAR(measured, expected, expected * 0.002) << "note " << i;
    }
    // Silent between the third note (at 60 BPM its eighth lasts half a
    // second, played out by 2.52 s) and the fourth.
    EXPECT_GE(firstSound(wav.left, static_cast<size_t>(2.52 * 44100)), 4 * 44100);
}

TEST_F(Renderer, SameFileWhateverTheBlockSize)
{
    MidiFileWriter midi;
    const int track = midi.addTrack();
    midi.tempo(track, 0, 140.0);
    for (int i = 0; i < 24; ++i)
        midi.note(track, i % 3, i * 173, 300, 45 + (i * 7) % 30, 60 + i);
    midi.event(track, 1000, {0xE0, 0x00, 0x60});
    midi.event(track, 2000, {0xC1, 3});
    writeBytes(file("blocks.mid"), midi.bytes(0));
    std::vector<uint8_t> reference;
    for (int block : {512, 64, 4096, 333}) {
        const fs::path out = file("blocks-" + std::to_string(block) + ".wav");
        const RunResult result =
            run(quoted(file("blocks.mid")) + " -o " + quoted(out) + " --format float --block " + std::to_string(block));
        ASSERT_EQ(result.status, 0) << result.output;
        if (reference.empty())
            reference = readBytes(out);
        else
            EXPECT_EQ(readBytes(out), reference) << "block " << block;
    }
    EXPECT_GT(reference.size(), 44100u);
    // Ended by the silence after the song, not by the whole two-second tail.
    const Wav wav = readWav(file("blocks-512.wav"));
    EXPECT_LT(wav.left.size(), static_cast<size_t>((24 * 173 + 300) / 480.0 * 60.0 / 140.0 * 44100 + 1.5 * 44100));
}

TEST_F(Renderer, EveryFormatOfPlinkaRendersTheSameFile)
{
    // The demo tune with its bank, through the VST 2 build and the other
    // formats' builds: the same file, byte for byte, and the same state saved.
    // The LV2 build is named by its bundle and by its URI, found on LV2_PATH.
    const std::string song = std::string(" ") + testpaths::source + "/tools/demo/plinka-demo.mid --bank " +
                             testpaths::source + "/tools/demo/plinka-demo-bank.txt --format float";
    fs::create_directories(file("lv2"));
    fs::create_directory_symlink(testpaths::lv2Bundle, file("lv2") / "Plinka.lv2");
    ::setenv("LV2_PATH", file("lv2").c_str(), 1);
    std::vector<uint8_t> reference, referenceBank;
    for (const char* plugin : {testpaths::vst2Plugin, testpaths::clapPlugin, testpaths::vst3Bundle,
                               testpaths::lv2Bundle, "https://plinka.invalid/plinka"}) {
        const RunResult result = run(song + " --plugin " + plugin + " -o " + quoted(file("out.wav")) + " --save-bank " +
                                     quoted(file("out.fxb")));
        ASSERT_EQ(result.status, 0) << plugin << ": " << result.output;
        if (reference.empty()) {
            reference = readBytes(file("out.wav"));
            referenceBank = readBytes(file("out.fxb"));
        } else {
            EXPECT_EQ(readBytes(file("out.wav")), reference) << plugin;
            EXPECT_EQ(readBytes(file("out.fxb")), referenceBank) << plugin;
        }
    }
    EXPECT_GT(reference.size(), 44100u * 8);
}

// Envelopes in time with the song: an Arp of 0 and 12 stepping four times a
// quarter note alternates on sixteenths, at 120 BPM and, after the file's
// tempo change, at 90; every format's transport tells the plug-in the same
// tempo, and every format renders the same file.
TEST_F(Renderer, TempoStepsFollowTheFilesTempoMapInEveryFormat)
{
    MidiFileWriter midi;
    const int conductor = midi.addTrack();
    const int notes = midi.addTrack();
    midi.tempo(conductor, 0, 120.0);
    midi.tempo(conductor, 4 * 480, 90.0);
    midi.note(notes, 0, 0, 8 * 480, 60);
    writeBytes(file("steps.mid"), midi.bytes(1));
    std::ofstream(file("steps.txt")) << "[program 1]\nchannel = pulse\nduty = 2\narp = | 0 12\ntempo-steps = 4\n";
    const std::string song =
        quoted(file("steps.mid")) + " --bank " + quoted(file("steps.txt")) + " --format float --tail 0 --plugin ";
    fs::create_directories(file("lv2"));
    fs::create_directory_symlink(testpaths::lv2Bundle, file("lv2") / "Plinka.lv2");
    ::setenv("LV2_PATH", file("lv2").c_str(), 1);
    std::vector<uint8_t> reference;
    for (const char* plugin : {testpaths::vst2Plugin, testpaths::clapPlugin, testpaths::vst3Bundle,
                               testpaths::lv2Bundle, "https://plinka.invalid/plinka"}) {
        const RunResult result = run(song + plugin + " -o " + quoted(file("steps.wav")));
        ASSERT_EQ(result.status, 0) << plugin << ": " << result.output;
        if (reference.empty())
            reference = readBytes(file("steps.wav"));
        else
            EXPECT_EQ(readBytes(file("steps.wav")), reference) << plugin;
    }
    const Wav wav = readWav(file("steps.wav"));
    // Sixteenth j of each tempo, its edges left out: C, then the C above, by turns.
    for (const auto& [from, sixteenth, count] : {std::tuple{0.0, 0.125, 16}, std::tuple{2.0, 1.0 / 6.0, 16}})
        for (int j = 0; j < count; ++j) {
            const double start = from + j * sixteenth;
            const double measured = frequencyOf(wav.left, static_cast<size_t>((start + 0.03) * 44100),
                                                static_cast<size_t>((start + sixteenth - 0.03) * 44100), 44100.0);
            const double expected = 440.0 * std::pow(2.0, (j % 2 == 0 ? 60 - 69 : 72 - 69) / 12.0);
            EXPECT_NEAR(measured, expected, expected * 0.01) << "at " << start << " s";
        }
}

TEST_F(Renderer, PlaysAThirdPartyInstrument)
{
    const char* kars = "/usr/lib/vst/Kars-vst.so";
    ASSERT_TRUE(fs::exists(kars)) << "dpf-plugins-vst provides it";
    // Format 1 with a tempo change: an A at 0 s and an E at 4 s.
    MidiFileWriter midi;
    const int conductor = midi.addTrack();
    const int track = midi.addTrack();
    midi.tempo(conductor, 0, 120.0);
    midi.tempo(conductor, 4 * 480, 60.0);
    midi.note(track, 0, 0, 960, 69, 110);
    midi.note(track, 0, 6 * 480, 480, 76, 110);
    writeBytes(file("kars.mid"), midi.bytes(1));
    const RunResult result = run(quoted(file("kars.mid")) + " -o " + quoted(file("kars.wav")) + " --plugin " + kars +
                                 " --format float --tail 1");
    ASSERT_EQ(result.status, 0) << result.output;
    const Wav wav = readWav(file("kars.wav"));
    ASSERT_EQ(wav.channels, 1) << "a mono instrument gives a mono file";
    ASSERT_GT(wav.left.size(), 5u * 44100);
    auto loudness = [&](double from, double to) {
        float peak = 0.0f;
        for (size_t i = static_cast<size_t>(from * 44100); i < static_cast<size_t>(to * 44100); ++i)
            peak = std::max(peak, std::fabs(wav.left[i]));
        return peak;
    };
    EXPECT_GT(loudness(0.0, 0.5), 0.05f) << "the first note sounds";
    EXPECT_LT(loudness(3.9, 3.99), loudness(4.0, 4.1) / 4) << "the second starts at 4 s, after the tempo change";
    // A plucked-string model tunes by whole delay-line samples: close, not exact.
    EXPECT_NEAR(fundamentalOf(wav.left, 1000, 12000, 44100.0, 200.0, 1000.0), 440.0, 440.0 * 0.02);
    EXPECT_NEAR(fundamentalOf(wav.left, 4 * 44100 + 1000, 4 * 44100 + 12000, 44100.0, 300.0, 1500.0), 659.26,
                659.26 * 0.02);
}

TEST_F(Renderer, BanksLoadAndSaveAndProgramsSelect)
{
    MidiFileWriter midi;
    const int track = midi.addTrack();
    midi.note(track, 0, 0, 480, 69);
    writeBytes(file("a.mid"), midi.bytes(0));

    // Program 4 (the triangle) on channel 1.
    RunResult result = run(quoted(file("a.mid")) + " -o " + quoted(file("tri.wav")) + " --program 1:4 --save-bank " +
                           quoted(file("state.fxb")));
    ASSERT_EQ(result.status, 0) << result.output;
    const Wav triangle = readWav(file("tri.wav"));
    const double expected = kNtscClock / (32.0 * 127);
    EXPECT_NEAR(frequencyOf(triangle.left, 2000, 15000, 44100.0), expected, expected * 0.002);

    // The saved bank remembers the program; loading it and saving again gives
    // the same file, and a text bank of it loads the same.
    result = run(quoted(file("a.mid")) + " -o " + quoted(file("again.wav")) + " --bank " + quoted(file("state.fxb")) +
                 " --save-bank " + quoted(file("again.fxb")));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readBytes(file("again.fxb")), readBytes(file("state.fxb")));
    EXPECT_EQ(readBytes(file("again.wav")), readBytes(file("tri.wav")));
    result = run(quoted(file("a.mid")) + " -o " + quoted(file("text.wav")) + " --bank " + quoted(file("state.fxb")) +
                 " --save-bank " + quoted(file("state.txt")));
    ASSERT_EQ(result.status, 0) << result.output;
    result = run(quoted(file("a.mid")) + " -o " + quoted(file("text2.wav")) + " --bank " + quoted(file("state.txt")));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readBytes(file("text2.wav")), readBytes(file("tri.wav")));
}

TEST_F(Renderer, IgnoringProgramChangesKeepsTheProgramsChosen)
{
    // The song asks for the triangle (program 4) on channel 1 before its note;
    // --program 1:3 asks for the pulse.
    MidiFileWriter midi;
    const int track = midi.addTrack();
    midi.event(track, 0, {0xC0, 3});
    midi.note(track, 0, 0, 480, 69);
    writeBytes(file("gm.mid"), midi.bytes(0));
    const double pulse = kNtscClock / (16.0 * 254);
    const double triangle = kNtscClock / (32.0 * 127);
    struct Case {
        std::string options;
        double frequency;
    };
    const Case cases[] = {
        {"", triangle},  // the song's program change wins
        {" --ignore-program-changes", pulse},
    };
    for (const Case& c : cases) {
        const RunResult result = run(quoted(file("gm.mid")) + " -o " + quoted(file("out.wav")) +
                                     " --program 1:3 --format float" + c.options);
        ASSERT_EQ(result.status, 0) << result.output;
        const Wav wav = readWav(file("out.wav"));
        EXPECT_NEAR(fundamentalOf(wav.left, 2000, 15000, 44100.0, 200.0, 2000.0), c.frequency, c.frequency * 0.002)
            << c.options;
    }
    // A bank's channel programs stand too: channel 1 on the triangle.
    writeBytes(file("bank.txt"), {});
    RunResult result = run(quoted(file("gm.mid")) + " -o " + quoted(file("tri.wav")) + " --program 1:4 --save-bank " +
                           quoted(file("bank.txt")));
    ASSERT_EQ(result.status, 0) << result.output;
    midi = MidiFileWriter();
    midi.event(midi.addTrack(), 0, {0xC0, 2});
    midi.note(0, 0, 0, 480, 69);
    writeBytes(file("gm.mid"), midi.bytes(0));
    result = run(quoted(file("gm.mid")) + " -o " + quoted(file("out.wav")) + " --format float --bank " +
                 quoted(file("bank.txt")) + " --ignore-program-changes");
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NEAR(fundamentalOf(readWav(file("out.wav")).left, 2000, 15000, 44100.0, 200.0, 2000.0), triangle,
                triangle * 0.002);
}

TEST_F(Renderer, GainScalesTheOutputAndAClippedRenderNamesTheGainThatAvoidsIt)
{
    // Eight full-volume pulses started together: they clip at gain 200.
    MidiFileWriter midi;
    const int track = midi.addTrack();
    for (int key = 0; key < 8; ++key)
        midi.note(track, 0, 0, 480, 57 + key * 3, 127);
    writeBytes(file("chord.mid"), midi.bytes(0));
    const std::string chord = quoted(file("chord.mid")) + " --program 1:3 --format float --tail 0.2 -o ";

    RunResult result = run(chord + quoted(file("40.wav")) + " --gain 40 --save-bank " + quoted(file("40.txt")));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(readFile(file("40.txt")).find("gain = 40\n"), std::string::npos) << "the state took the gain";
    result = run(chord + quoted(file("20.wav")) + " --gain 20");
    ASSERT_EQ(result.status, 0) << result.output;
    const Wav loud = readWav(file("40.wav"));
    const Wav half = readWav(file("20.wav"));
    ASSERT_EQ(loud.left.size(), half.left.size());
    float peak = 0.0f;
    for (size_t i = 0; i < loud.left.size(); ++i) {
        ASSERT_NEAR(half.left[i], loud.left[i] * 0.5f, 1e-6f) << i;
        peak = std::max(peak, std::fabs(loud.left[i]));
    }
    ASSERT_GT(peak, 0.2f) << "gain 200 clips this chord";
    ASSERT_LT(peak, 1.0f);

    result = run(chord + quoted(file("200.wav")) + " --gain 200");
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string says = "or lower avoids it";
    const size_t at = result.output.find("--gain ");
    ASSERT_NE(result.output.find(says), std::string::npos) << result.output;
    ASSERT_NE(at, std::string::npos) << result.output;
    EXPECT_NE(result.output.find("clipped samples"), std::string::npos) << result.output;
    const int gain = std::atoi(result.output.c_str() + at + 7);
    // The gain named is the largest under full scale: 40 / (peak at gain 40), rounded down.
    EXPECT_EQ(gain, static_cast<int>(std::ceil(40.0 / peak)) - 1) << result.output;
    result = run(chord + quoted(file("ok.wav")) + " --gain " + std::to_string(gain));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "") << "no clipping at the gain named";
    result = run(chord + quoted(file("over.wav")) + " --gain " + std::to_string(gain + 1));
    EXPECT_NE(result.output.find("clipped samples"), std::string::npos) << "one more clips: " << result.output;

    // Another instrument has no gain for it to set.
    result = run(chord + quoted(file("x.wav")) + " --gain 50 --plugin /usr/lib/vst/Kars-vst.so");
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.output.find("plinka-render: --gain"), 0u) << result.output;
    EXPECT_FALSE(fs::exists(file("x.wav")));
}

TEST_F(Renderer, TracksWriteEachChannelGroupThatSoundsBesideTheMixWhichStaysAsItWas)
{
    // A pulse on channel 1 and a triangle on channel 2, overlapping.
    MidiFileWriter midi;
    const int track = midi.addTrack();
    midi.note(track, 0, 0, 700, 69);
    midi.note(track, 1, 240, 900, 45);
    writeBytes(file("song.mid"), midi.bytes(0));
    const std::string song = quoted(file("song.mid")) + " --program 1:3 --program 2:4 --format float --plugin ";
    const char* groups[] = {"pulse-1", "pulse-2", "triangle", "noise", "samples", "vrc6"};

    RunResult result = run(song + testpaths::clapPlugin + " -o " + quoted(file("alone.wav")));
    ASSERT_EQ(result.status, 0) << result.output;
    for (const char* plugin : {testpaths::clapPlugin, testpaths::vst3Bundle}) {
        result = run(song + plugin + " -o " + quoted(file("song.wav")) + " --tracks");
        ASSERT_EQ(result.status, 0) << plugin << ": " << result.output;
        EXPECT_EQ(readBytes(file("song.wav")), readBytes(file("alone.wav"))) << plugin << ": the mix as without tracks";
        const Wav mix = readWav(file("song.wav"));
        // Pulse 1 and the triangle's tracks add up to the mix; the silent
        // groups get no file, and the one line says which were written.
        EXPECT_EQ(result.output,
                  "tracks written: song-pulse-1.wav, song-triangle.wav; silent, not written: Pulse 2, Noise, "
                  "Samples, VRC6, 5B, MMC5, FDS, N163, VRC7\n");
        std::vector<Wav> tracks;
        for (const char* group : {"pulse-1", "triangle"}) {
            tracks.push_back(readWav(file(std::string("song-") + group + ".wav")));
            ASSERT_EQ(tracks.back().channels, 2) << group;
            ASSERT_EQ(tracks.back().left.size(), mix.left.size()) << group;
        }
        for (size_t g : {1, 3, 4, 5})
            EXPECT_FALSE(fs::exists(file(std::string("song-") + groups[g] + ".wav"))) << plugin << ": " << groups[g];
        const Wav& pulse = tracks[0];
        const Wav& triangle = tracks[1];
        for (size_t i = 0; i < mix.left.size(); ++i)
            ASSERT_NEAR(pulse.left[i] + triangle.left[i], mix.left[i], 1e-6f) << plugin << " at " << i;
        EXPECT_LT(firstSound(pulse.left, 0), 100);
        EXPECT_GE(firstSound(triangle.left, 0), 11025) << "the triangle's note comes at a quarter second";
        EXPECT_EQ(tracks[0].left, tracks[0].right);
        fs::remove(file("song-pulse-1.wav"));
        fs::remove(file("song-triangle.wav"));
    }
}

TEST_F(Renderer, BadInputGetsOneClearLineAndLeavesNoFile)
{
    writeBytes(file("notmidi.mid"), {'h', 'e', 'l', 'l', 'o'});
    MidiFileWriter midi;
    midi.note(midi.addTrack(), 0, 0, 100, 60);
    std::vector<uint8_t> good = midi.bytes(0);
    writeBytes(file("good.mid"), good);
    good.resize(good.size() - 6);
    writeBytes(file("cut.mid"), good);
    writeBytes(file("junk.fxb"), {'C', 'c', 'n', 'K', 0, 0, 0, 4, 'j', 'u', 'n', 'k'});
    writeBytes(file("junk.txt"), {'[', 'p', 'r', 'o'});
    const size_t before = filesIn();

    struct Case {
        std::string arguments;
        std::string says;
    };
    const std::string out = " -o " + quoted(file("out.wav"));
    const Case cases[] = {
        {quoted(file("missing.mid")) + out, "missing.mid"},
        {quoted(file("notmidi.mid")) + out, "notmidi.mid"},
        {quoted(file("cut.mid")) + out, "truncated"},
        {quoted(file("good.mid")) + " -o /nonexistent/folder/out.wav", "/nonexistent/folder/out.wav"},
        {quoted(file("good.mid")) + out + " --plugin " + quoted(file("nothere.so")), "nothere.so"},
        {quoted(file("good.mid")) + out + " --plugin " + testpaths::nullPlugin, "null"},
        {quoted(file("good.mid")) + out + " --plugin /usr/lib/x86_64-linux-gnu/libsndfile.so.1", "VSTPluginMain"},
        {quoted(file("good.mid")) + out + " --bank " + quoted(file("junk.fxb")), "junk.fxb"},
        {quoted(file("good.mid")) + out + " --bank " + quoted(file("junk.txt")), "junk.txt"},
        {quoted(file("good.mid")) + out + " --bank " + quoted(file("missing.fxb")), "missing.fxb"},
        {quoted(file("good.mid")) + out + " --rate 0", "--rate"},
        {quoted(file("good.mid")) + out + " --program 17:1", "--program"},
        {quoted(file("good.mid")) + out + " --format mp3", "--format"},
        {quoted(file("good.mid")) + out + " --gain 201", "--gain takes a percentage from 0 to 200"},
        {quoted(file("good.mid")) + out + " --gain loud", "--gain takes a percentage from 0 to 200"},
        {quoted(file("good.mid")) + out + " --bogus", "--bogus"},
        {quoted(file("good.mid")) + out + " --tracks --plugin " + testpaths::vst2Plugin, "--tracks"},
    };
    for (const Case& c : cases) {
        const RunResult result = run(c.arguments);
        EXPECT_NE(result.status, 0) << c.arguments;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << c.arguments << "\n" << result.output;
        EXPECT_EQ(result.output.find("plinka-render: "), 0u) << result.output;
        EXPECT_EQ(filesIn(), before) << "no file left behind by " << c.arguments;
        EXPECT_FALSE(fs::exists(file("out.wav")));
    }
}

TEST_F(Renderer, RendersTheDemoWithNoArguments)
{
    const std::string command = "cd " + quoted(dir) + " && " + testpaths::render + " --format float";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const Wav wav = readWav(file("plinka-demo.wav"));
    ASSERT_EQ(wav.rate, 44100);
    const double seconds = static_cast<double>(wav.left.size()) / wav.rate;
    EXPECT_GE(seconds, 30.0);
    EXPECT_LE(seconds, 60.0);
    float peak = 0.0f;
    for (float sample : wav.left)
        peak = std::max(peak, std::fabs(sample));
    EXPECT_GT(peak, 0.2f);
    EXPECT_LT(peak, 1.0f) << "the demo does not clip";
}
