// Plinka in a host nobody here wrote: LMMS plays a phrase through the 32-bit
// Windows DLL. The project stores Plinka's state as LMMS does, and that state
// chooses a program that plays every note an octave up; the pitches and the
// silences of the render show that the DLL loaded, took the state, followed
// LMMS's sample rate and answered its MIDI.
#include "AudioMeasure.h"
#include "ChunkCells.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
std::string project(const std::string& plugin)
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
            <vestige plugin=")" + plugin + R"(" guivisible="0" chunk=")" + base64(octaveUpState()) + R"("/>
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

// The left channel of a stereo float WAV file. LMMS can stop before it
// writes the data chunk's size (its VST host aborts on exit under
// emulation), so the samples run to the end of the file whatever the size.
std::vector<float> leftOfLmmsWav(const fs::path& path, int& rate)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const auto u16 = [&](size_t at) { return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8; };
    const auto u32 = [&](size_t at) { return static_cast<uint32_t>(u16(at)) | static_cast<uint32_t>(u16(at + 2)) << 16; };
    std::vector<float> left;
    int channels = 0, bits = 0, format = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id(&bytes[at], 4);
        const size_t size = u32(at + 4);
        if (id == "fmt " && at + 24 <= bytes.size()) {
            format = u16(at + 8);
            channels = u16(at + 10);
            rate = static_cast<int>(u32(at + 12));
            bits = u16(at + 22);
        }
        if (id == "data") {
            if (format != 3 || bits != 32 || channels != 2)
                return {};
            for (size_t frame = at + 8; frame + 8 <= bytes.size(); frame += 8) {
                float sample;
                std::memcpy(&sample, &bytes[frame], 4);
                left.push_back(sample);
            }
            return left;
        }
        at += 8 + size + (size & 1);
    }
    return left;
}

}  // namespace

TEST(Lmms, PlaysAPhraseThroughTheWindowsDllWithTheStateTheProjectStores)
{
    if (std::system("command -v lmms >/dev/null 2>&1") != 0 || !fs::exists(PLINKA_WIN32_DLL))
        GTEST_SKIP() << "needs LMMS's 32-bit VST host and " PLINKA_WIN32_DLL " (scripts/test.sh provides both)";
    const fs::path work = fs::temp_directory_path() / ("plinka-lmms-" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    std::ofstream(work / "phrase.mmp") << project(PLINKA_WIN32_DLL);

    // The script passes LMMS's exit status over (it aborts on exit under
    // emulation whatever the plug-in); the render is judged by what it wrote.
    const std::string lmms = std::string("WITHOUT_PIDFD=") + PLINKA_WITHOUT_PIDFD + " " PLINKA_SOURCE +
                             "/tests/hosts/lmms-render.sh '" + (work / "phrase.mmp").string() + "' '" + work.string() +
                             "' '" + (work / "lmms.wav").string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(lmms.c_str()), 0) << lmms;

    int rate = 0;
    const std::vector<float> out = leftOfLmmsWav(work / "lmms.wav", rate);
    ASSERT_EQ(rate, 44100);
    ASSERT_GE(out.size(), 88200u) << "LMMS wrote no render; its log is " << (work / "lmms.log");

    // Each note an octave up from the state's program: A5, C6, E5 from a
    // pulse of period p sounding at clock / (16 (p + 1)).
    const double clock = 1789773.0;
    const struct {
        size_t from, to;
        int period;
    } notes[] = {{0, 11025, 126}, {22050, 33075, 105}, {44100, 66150, 168}};
    for (const auto& note : notes) {
        const int64_t onset = firstSound(std::vector<float>(out.begin() + note.from, out.begin() + note.to));
        ASSERT_GE(onset, 0) << "no sound from sample " << note.from;
        EXPECT_LT(onset, 64) << "late onset at sample " << note.from;
        EXPECT_NEAR(frequencyOf(out, note.from + 500, note.to - 500, rate), clock / (16.0 * (note.period + 1)), 0.5)
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
