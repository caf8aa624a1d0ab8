// Files dropped on the editor as a hostile or careless user brings them,
// through the editor's model: each kind is read only up to a sane size, a
// file that counts more than a tracker writes is refused before anything is
// made of it, a recording decodes only what a sample keeps, the files of one
// drop are held one at a time, and where memory runs out the status line says
// so. The heap is measured (AllocatedBytes), never the time taken.
#include "AllocatedBytes.h"
#include "FtiBuilder.h"
#include "WavBytes.h"
#include "editor/EditorModel.h"
#include "instrument/Instrument.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr size_t kMegabyte = size_t{1} << 20;

class DropMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() / ("plinka-drop-memory-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override
    {
        allocatedbytes::failAbove(0);
        std::filesystem::remove_all(folder);
    }

    std::string write(const std::string& name, const Bytes& bytes)
    {
        const std::filesystem::path path = folder / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }
    // The most the drop held at once, above what was held before it.
    size_t dropPeak(const std::vector<std::string>& paths)
    {
        allocatedbytes::start();
        model.dropFiles(paths);
        return allocatedbytes::peak();
    }
    std::string status() const { return model.statusText(); }

    std::unique_ptr<Instrument> core = std::make_unique<Instrument>();
    EditorModel model{*core};
    std::filesystem::path folder;
};

void putInt32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>(value >> shift));
}

// A 2A03 instrument whose DPCM part counts `samples` samples, each with no
// name and no bytes: twelve bytes apiece, a file a tracker never writes.
Bytes emptySamples(uint32_t samples)
{
    ftitest::FtiBuilder file;
    file.name = "Many";
    Bytes bytes = file.bytes();  // ends with no keys and no samples
    bytes.resize(bytes.size() - 4);
    putInt32(bytes, samples);
    for (uint32_t i = 0; i < samples; ++i) {
        putInt32(bytes, i);
        putInt32(bytes, 0);
        putInt32(bytes, 0);
    }
    return bytes;
}

int32_t sampleCount(const Instrument& instrument)
{
    return instrument.readSamples([](const SampleBank& samples) { return samples.count; });
}

}  // namespace

// A million empty samples in 12 MB, and eighty thousand in less than one: the
// first is refused unread, the second as soon as its count is read; each with
// one line that names the file, and nothing changed.
TEST_F(DropMemory, AnInstrumentCountingMoreThanATrackerWritesIsRefusedWithinItsOwnSize)
{
    const struct {
        uint32_t samples;
        const char* line;
    } cases[] = {
        {1000000, "huge.fti: too large for a tracker instrument"},
        {80000, "huge.fti: the instrument counts 80000 DPCM samples; a tracker has at most 64"},
    };
    for (const auto& c : cases) {
        const Bytes bytes = emptySamples(c.samples);
        const std::string path = write("huge.fti", bytes);
        const size_t peak = dropPeak({path});
        EXPECT_LT(peak, std::min(bytes.size(), kMegabyte) + kMegabyte / 2) << c.samples;
        EXPECT_EQ(status(), c.line);
        EXPECT_EQ(std::strchr(status().c_str(), '\n'), nullptr);
        EXPECT_EQ(sampleCount(*core), 0);
        char name[kProgramNameSize];
        core->programName(0, name, sizeof name);
        EXPECT_STRNE(name, "Many");
    }
}

// A recording that claims the highest rate a WAV file can is refused before
// any of it is decoded; one of minutes at an ordinary rate decodes only the
// second a sample keeps, and the note still tells its whole length.
TEST_F(DropMemory, ARecordingDecodesNoMoreThanASampleKeeps)
{
    const std::vector<int16_t> minutes(4u << 20, 1000);  // 95 s at 44.1 kHz: 8 MB
    const Bytes fast = pcm16MonoWav(minutes, 2147483647u);
    const size_t fastPeak = dropPeak({write("fast.wav", fast)});
    EXPECT_LT(fastPeak, fast.size() + kMegabyte / 2);
    EXPECT_EQ(status(), "fast.wav: the WAV file's sample rate of 2147483647 Hz is above the highest taken, 768000 Hz");
    EXPECT_EQ(sampleCount(*core), 0);

    const Bytes slow = pcm16MonoWav(minutes, 44100);
    const size_t slowPeak = dropPeak({write("long.wav", slow)});
    EXPECT_LT(slowPeak, slow.size() + kMegabyte / 2);
    EXPECT_EQ(sampleCount(*core), 1);
    EXPECT_NE(status().find("long.wav: the sound lasts 95.11 s;"), std::string::npos) << status();
}

// Eight instruments of almost a megabyte each (a sequence far longer than a
// tracker plays, which is read whole): the drop holds one or two of them at
// a time, never all eight.
TEST_F(DropMemory, TheFilesOfOneDropAreHeldOneAtATime)
{
    ftitest::FtiBuilder file;
    file.name = "Long";
    file.sequences[0] = ftitest::seq(std::vector<int>(1000000, 5));
    const Bytes bytes = file.bytes();
    ASSERT_LT(bytes.size(), kMegabyte);
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i)
        paths.push_back(write("long" + std::to_string(i) + ".fti", bytes));
    const size_t peak = dropPeak(paths);
    EXPECT_LT(peak, 3 * bytes.size());
    EXPECT_EQ(status().rfind("Loaded 8 instruments into programs 1-8", 0), 0u) << status();
}

// Where memory runs out, the file that found none says so on the status
// line, the others load, and no exception reaches the host.
TEST_F(DropMemory, AFailedAllocationIsOneLineNotAnException)
{
    ftitest::FtiBuilder lead;
    lead.name = "Lead";
    lead.sequences[0] = ftitest::seq({15, 10, 5});
    const std::string small = write("lead.fti", lead.bytes());
    const std::string large = write("long.wav", pcm16MonoWav(std::vector<int16_t>(1u << 20, 100), 44100));
    allocatedbytes::failAbove(kMegabyte);
    ASSERT_NO_THROW(model.dropFiles({large, small}));
    allocatedbytes::failAbove(0);
    EXPECT_EQ(status(), "long.wav: not enough memory to read it; Loaded \"Lead\" into program 1") << status();
    EXPECT_EQ(sampleCount(*core), 0);
}
