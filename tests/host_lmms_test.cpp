// Plinka in a host nobody here wrote: LMMS plays a phrase through the 32-bit
// Windows DLL. The project stores Plinka's state as LMMS does, and that state
// chooses a program that plays every note an octave up; the pitches and the
// silences of the render show that the DLL loaded, took the state, followed
// LMMS's sample rate and answered its MIDI. Then the same project opens in
// LMMS's GUI with Plinka's editor shown, and a click in the editor must take.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "HostRun.h"
#include "TestPaths.h"
#include "WavFile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string base64(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t group = static_cast<uint32_t>(bytes[i]) << 16 |
                               (i + 1 < bytes.size() ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
                               (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += i + 1 < bytes.size() ? digits[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

// Channel 1 plays program 5, a 50% pulse whose Arp holds every note an
// octave up.
std::vector<uint8_t> octaveUpState()
{
    cells::Builder chunk;
    chunk.cell(cells::channelPrograms);
    for (int channel = 0; channel < 16; ++channel)
        chunk.number(channel == 0 ? 5 : 0);
    chunk.cell(cells::program).number(5).cell(cells::channelType).number(0).cell(cells::multi).number(0);
    chunk.cell(cells::name).string("LMMS Octave");
    chunk.cell(cells::volume).string("15").cell(cells::arp).string("| 12").cell(cells::pitch).string("0");
    chunk.cell(cells::hiPitch).string("0").cell(cells::duty).string("2");
    chunk.cell(cells::end);
    return chunk.bytes();
}

// At 120 BPM a beat is 48 of LMMS's ticks and 22050 samples.
std::string project(const std::string& plugin, bool editorShown)
{
    return R"(<?xml version="1.0"?>
<!DOCTYPE lmms-project>
<lmms-project version="1.0" creator="LMMS" creatorversion="1.2.2" type="song">
  <head timesig_numerator="4" mastervol="100" timesig_denominator="4" bpm="120" masterpitch="0"/>
  <song>
    <trackcontainer type="song">
      <track muted="0" type="0" name="Plinka" solo="0">
        <instrumenttrack pan="0" fxch="0" usemasterpitch="1" pitchrange="1" pitch="0" basenote="57" vol="100">
          <instrument name="vestige">
            <vestige plugin=")" +
           plugin + R"(" guivisible=")" + (editorShown ? "1" : "0") + R"(" chunk=")" + base64(octaveUpState()) + R"("/>
          </instrument>
        </instrumenttrack>
        <pattern steps="16" muted="0" type="0" name="" pos="0" len="192">
          <note pan="0" key="69" vol="100" pos="0" len="24"/>
          <note pan="0" key="72" vol="100" pos="48" len="24"/>
          <note pan="0" key="64" vol="100" pos="96" len="48"/>
        </pattern>
      </track>
    </trackcontainer>
  </song>
</lmms-project>
)";
}

bool lmmsCanRun()
{
    return std::system("command -v lmms >/dev/null 2>&1") == 0 && std::filesystem::exists(testpaths::win32Dll);
}

// A fresh working folder holding the project.
fs::path workWithProject(const std::string& name, bool editorShown)
{
    const fs::path work = fs::temp_directory_path() / ("plinka-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    std::ofstream(work / "phrase.mmp") << project(testpaths::win32Dll, editorShown);
    return work;
}

std::string hostScript(const std::string& script, const fs::path& work, const std::string& out)
{
    return std::string("WITHOUT_PIDFD=") + testpaths::withoutPidfd + " " + testpaths::source + "/tests/hosts/" +
           script + " '" + (work / "phrase.mmp").string() + "' '" + work.string() + "' '" + out + "'";
}

std::string skipWhy()
{
    return std::string("needs LMMS's 32-bit VST host and ") + testpaths::win32Dll + " (scripts/test.sh provides both)";
}

#define PLINKA_NEEDS_LMMS()                                                                                            \
    do {                                                                                                               \
        if (!lmmsCanRun()) {                                                                                           \
            if (hostMissingIsAFailure())                                                                               \
                FAIL() << skipWhy();                                                                                   \
            GTEST_SKIP() << skipWhy();                                                                                 \
        }                                                                                                              \
    } while (false)

}  // namespace

TEST(Lmms, PlaysAPhraseThroughTheWindowsDllWithTheStateTheProjectStores)
{
    PLINKA_NEEDS_LMMS();
    const fs::path work = workWithProject("lmms", false);

    // The script passes LMMS's exit status over (it aborts on exit under
    // emulation whatever the plug-in); the render is judged by what it wrote.
    const std::string lmms = hostScript("lmms-render.sh", work, (work / "lmms.wav").string());
    const HostRun run = runHost("lmms", lmms, work / "lmms.wav", std::string(testpaths::binaryDir) + "/host-logs");
    ASSERT_TRUE(fs::exists(work / "lmms.wav")) << "LMMS wrote no render in " << run.tries << " tries; logs " << run.logs
                                               << ", LMMS's own " << (work / "lmms.log");

    const Wav wav = readWav(work / "lmms.wav");
    ASSERT_EQ(wav.rate, 44100);
    const std::vector<float>& out = wav.left;
    ASSERT_GE(out.size(), 88200u) << "LMMS wrote no render; its log is " << (work / "lmms.log");

    // Each note an octave up from the state's program: A5, C6, E5 from a
    // pulse of period p sounding at clock / (16 (p + 1)).
    const double clock = 1789773.0;
    const struct {
        size_t from, to;
        int period;
    } notes[] = {{0, 11025, 126}, {22050, 33075, 105}, {44100, 66150, 168}};
    for (const auto& note : notes) {
        const int64_t onset = firstSound(out, note.from);
        ASSERT_GE(onset, 0) << "no sound from sample " << note.from;
        EXPECT_LT(onset - static_cast<int64_t>(note.from), 64) << "late onset at sample " << note.from;
        EXPECT_NEAR(frequencyOf(out, note.from + 500, note.to - 500, wav.rate), clock / (16.0 * (note.period + 1)), 0.5)
            << "the note at sample " << note.from;
    }
    // Silent between the notes and after the last, once each has played out.
    for (size_t i = 11025 + 800; i < 22050; ++i)
        ASSERT_EQ(out[i], 0.0f) << "sample " << i;
    for (size_t i = 33075 + 800; i < 44100; ++i)
        ASSERT_EQ(out[i], 0.0f) << "sample " << i;
    EXPECT_LT(lastSound(out), 66150 + 800);
    fs::remove_all(work);
}

TEST(Lmms, OpensTheEditorInItsWindowAndTheEditorAnswersAClick)
{
    PLINKA_NEEDS_LMMS();
    const fs::path work = workWithProject("lmms-editor", true);
    // The script checks the click moved the highlight and leaves the
    // screenshots lmms-editor-before.png and -after.png in the build folder;
    // without the second, LMMS never showed the editor and is tried again.
    const std::string lmms = hostScript("lmms-editor.sh", work, testpaths::binaryDir);
    const HostRun run = runHost("lmms-editor", lmms, std::string(testpaths::binaryDir) + "/lmms-editor-after.png",
                                std::string(testpaths::binaryDir) + "/host-logs");
    ASSERT_TRUE(run.produced) << lmms << " failed; logs " << run.logs;
    fs::remove_all(work);
}
