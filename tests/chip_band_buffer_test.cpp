// Band_Buffer: the rate check values, frame arithmetic, the read-out
// integrator (latency, leak, clamping), removal of samples, and its
// requirements. Also home of the test program's counting array allocator.
#include "ChipTestSupport.h"
#include "chip/Band_Buffer.h"
#include "chip/Band_Synth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

std::atomic<long> chip_test_allocations{0};
std::atomic<bool> chip_test_refuse_allocations{false};

namespace {

void* counted_allocate(std::size_t size)
{
    if (chip_test_refuse_allocations)
        return nullptr;
    ++chip_test_allocations;
    return std::malloc(size ? size : 1);
}

}  // namespace

// Array allocation is all the chip does, so the array forms are enough.
void* operator new[](std::size_t size)
{
    if (void* p = counted_allocate(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return counted_allocate(size);
}
// Kept out of line: inlined, the free() would meet the new[] of its caller.
[[gnu::noinline]] void operator delete[](void* p) noexcept
{
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// A buffer set up as a VoiceChip sets it up.
void setUp(Band_Buffer& buffer, long clock, int32_t rate)
{
    buffer.set_clock_rate(static_cast<int32_t>(clock));
    ASSERT_EQ(buffer.set_sample_rate(rate), nullptr);
}

uint32_t samplePos(uint32_t sample, uint32_t fraction = 0)
{
    return sample << 16 | fraction;
}

std::vector<short> readAll(Band_Buffer& buffer)
{
    std::vector<short> out(static_cast<size_t>(buffer.samples_avail()));
    buffer.read_samples(out.data(), static_cast<long>(out.size()));
    return out;
}

TEST(BandBufferSetup, FactorMatchesTheTableAtBothClocks)
{
    struct Row {
        int32_t rate;
        uint32_t ntsc, pal;
    };
    for (const Row& row : {Row{22050, 807, 869}, Row{44100, 1615, 1738}, Row{48000, 1758, 1892}, Row{96000, 3515, 3784},
                           Row{192000, 7030, 7568}}) {
        Band_Buffer ntsc, pal, rateFirst;
        setUp(ntsc, ntsc_clock, row.rate);
        setUp(pal, pal_clock, row.rate);
        EXPECT_EQ(ntsc.factor(), row.ntsc) << row.rate;
        EXPECT_EQ(pal.factor(), row.pal) << row.rate;
        // Either order of the two calls ends at the same factor.
        ASSERT_EQ(rateFirst.set_sample_rate(row.rate), nullptr);
        rateFirst.set_clock_rate(static_cast<int32_t>(ntsc_clock));
        EXPECT_EQ(rateFirst.factor(), row.ntsc);
    }
}

TEST(BandBufferSetup, HighpassShiftFollowsTheRate)
{
    const std::pair<int32_t, int32_t> expected[] = {{22050, 8},  {32000, 8},  {44100, 9},   {48000, 9},
                                                    {88200, 10}, {96000, 10}, {176400, 11}, {192000, 11}};
    Band_Buffer buffer;
    for (const auto& [rate, shift] : expected) {
        setUp(buffer, ntsc_clock, rate);
        EXPECT_EQ(buffer.highpass_shift(), shift) << rate;
    }
    // Other corners at 48000 Hz, down to the clamp at 0; corner 0 turns the leak off.
    setUp(buffer, ntsc_clock, 48000);
    for (const auto& [corner, shift] : {std::pair{1, 13}, {3000, 1}, {20000, 0}, {0, 31}}) {
        buffer.set_highpass(corner);
        EXPECT_EQ(buffer.highpass_shift(), shift) << corner;
    }
}

TEST(BandBufferSetup, FreshBufferHasNoArrayUntilItsRateIsSet)
{
    Band_Buffer buffer;
    EXPECT_FALSE(buffer.has_buffer());
    EXPECT_EQ(buffer.buffer_size(), 0u);
    EXPECT_EQ(buffer.factor(), 0xFFFFFFFFu);
    EXPECT_EQ(buffer.clock_rate(), 0);
    EXPECT_EQ(buffer.sample_rate(), 44100);

    setUp(buffer, ntsc_clock, 44100);
    EXPECT_EQ(buffer.factor(), 1615u);
    EXPECT_EQ(buffer.highpass_shift(), 9);
    EXPECT_EQ(buffer.samples_avail(), 0);
    EXPECT_EQ(buffer.buffer_size(), 65448u);
    for (uint32_t i = 0; i < Band_Buffer::allocation; ++i)
        ASSERT_EQ(buffer.cells()[i], 0x7F7F) << i;
}

TEST(BandBufferSetup, SecondSetupKeepsTheArrayAndClearsIt)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    Band_Synth<12> synth(15);
    synth.set_unit(0.01);
    synth.add_delta(100, 9, buffer);
    buffer.end_frame(2000);
    short sample[20];
    buffer.read_samples(sample, 20);
    ASSERT_NE(buffer.integrator(), 0);

    const uint16_t* array = buffer.cells();
    const long allocationsBefore = chip_test_allocations;
    ASSERT_EQ(buffer.set_sample_rate(48000), nullptr);
    EXPECT_EQ(chip_test_allocations, allocationsBefore);
    EXPECT_EQ(buffer.cells(), array);
    EXPECT_EQ(buffer.factor(), 1758u);
    EXPECT_EQ(buffer.integrator(), 0);
    EXPECT_EQ(buffer.time_offset(), 0u);
    EXPECT_EQ(cell_sum(buffer), 0);
    EXPECT_EQ(buffer.cells()[50], 0x7F7F);
}

TEST(BandBufferSetup, FailedAllocationAnswersOutOfMemory)
{
    Band_Buffer buffer;
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    chip_test_refuse_allocations = true;
    const char* result = buffer.set_sample_rate(44100);
    chip_test_refuse_allocations = false;
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result, "Out of memory");
    EXPECT_FALSE(buffer.has_buffer());
    EXPECT_EQ(buffer.buffer_size(), 0u);
    // A later set-up may still succeed.
    EXPECT_EQ(buffer.set_sample_rate(44100), nullptr);
    EXPECT_TRUE(buffer.has_buffer());
}

TEST(BandBufferFrames, NtscFramesCarryTheirFractionOfASample)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    buffer.end_frame(29828);
    EXPECT_EQ(buffer.samples_avail(), 735);
    EXPECT_EQ(buffer.time_offset() & 0xFFFF, 0x0CBCu);
    readAll(buffer);
    EXPECT_EQ(buffer.to_buffer_time(0), 0x0CBCu);
    EXPECT_EQ(buffer.to_buffer_time(10), 0x0CBCu + 16150);
    buffer.end_frame(29829);
    EXPECT_EQ(buffer.samples_avail(), 735);
    EXPECT_EQ(buffer.time_offset() & 0xFFFF, 0x1FC7u);
}

TEST(BandBufferReadOut, SilenceReadsAsZeros)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    buffer.end_frame(29828);
    for (short s : readAll(buffer))
        ASSERT_EQ(s, 0);
}

TEST(BandBufferReadOut, AStepArrivesOneSampleLateThenLeaksAway)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);  // unit 493
    synth.add_delta_at(samplePos(10, 0x5000), 10, buffer);
    buffer.end_frame(4000);

    // Without leak each output is the sum of the cells before it, and the
    // step settles at exactly ten units.
    buffer.set_highpass(0);
    const std::vector<uint16_t> cells(buffer.cells(), buffer.cells() + 40);
    std::vector<short> out(40);
    ASSERT_EQ(buffer.read_samples(out.data(), 40), 40);
    int64_t sum = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i], sum) << i;
        sum += cells[i] - Band_Buffer::zero_level;
    }
    EXPECT_EQ(out.back(), 4930);

    // With the leak each sample keeps sum - (sum >> 9).
    buffer.set_highpass(16);
    buffer.end_frame(10000);
    int64_t integrator = buffer.integrator();
    ASSERT_EQ(integrator >> 15, 4930);
    std::vector<short> decay(200);
    ASSERT_EQ(buffer.read_samples(decay.data(), 200), 200);
    for (short s : decay) {
        ASSERT_EQ(s, integrator >> 15);
        integrator -= integrator >> 9;
    }
    EXPECT_NEAR(decay[199] / 4930.0, std::pow(1.0 - 1.0 / 512, 199), 0.002);
}

TEST(BandBufferReadOut, ClampsAtTheLimitsAndRecoversBecauseTheSumIsKept)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    buffer.set_highpass(0);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    synth.add_delta_at(samplePos(10), 80, buffer);    // 39440 above range
    synth.add_delta_at(samplePos(100), -80, buffer);  // back to 0
    synth.add_delta_at(samplePos(200), -70, buffer);  // 34510 below range
    buffer.end_frame(12000);
    const std::vector<short> out = readAll(buffer);
    EXPECT_EQ(out[60], 32767);
    EXPECT_EQ(out[150], 0);
    EXPECT_EQ(out[250], -32768);
    EXPECT_EQ(buffer.integrator() >> 15, -34510);
}

TEST(BandBufferReadOut, BuffersReadTogetherGiveWhatEachGivesAlone)
{
    // Eleven buffers (a group of eight and three alone), random steps that
    // drive some past the 16-bit limits, read in uneven spans, whole
    // stretches of eight samples and a rest; then a buffer with a different
    // leak, whose four must fall back to reading each alone while the other
    // four still go together.
    constexpr int kBuffers = 11;
    Band_Buffer together[kBuffers], alone[kBuffers];
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    std::srand(7);
    for (int b = 0; b < kBuffers; ++b) {
        for (Band_Buffer* buffer : {&together[b], &alone[b]})
            setUp(*buffer, ntsc_clock, 44100);
        for (int n = 0; n < 60; ++n) {
            const auto pos =
                static_cast<uint32_t>(std::rand() % 2000) << 16 | static_cast<uint32_t>(std::rand() & 0xFFFF);
            const int delta = std::rand() % 161 - 80;
            synth.add_delta_at(pos, delta, together[b]);
            synth.add_delta_at(pos, delta, alone[b]);
        }
        together[b].end_frame(90000);
        alone[b].end_frame(90000);
    }
    int32_t clamped = 0;
    for (long span : {1L, 333L, 1024L, 0L, 700L}) {
        if (span == 700) {
            together[2].set_highpass(0);
            alone[2].set_highpass(0);
        }
        std::vector<short> joint(kBuffers * static_cast<size_t>(span) + 1), single(joint.size());
        Band_Buffer* buffers[kBuffers];
        short* dests[kBuffers];
        for (int b = 0; b < kBuffers; ++b) {
            buffers[b] = &together[b];
            dests[b] = joint.data() + b * span;
            ASSERT_EQ(alone[b].read_samples(single.data() + b * span, span), span);
        }
        Band_Buffer::read_samples(buffers, dests, kBuffers, span);
        ASSERT_EQ(joint, single) << "span " << span;
        for (int b = 0; b < kBuffers; ++b) {
            EXPECT_EQ(together[b].integrator(), alone[b].integrator());
            EXPECT_EQ(together[b].samples_avail(), alone[b].samples_avail());
        }
        for (short s : single)
            clamped += s == 32767 || s == -32768;
    }
    EXPECT_GT(clamped, 0) << "the steps never reached the limits";
}

TEST(BandBufferReadOut, EmptyOrZeroLengthReadsChangeNothing)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    synth.add_delta(50, 5, buffer);
    buffer.end_frame(3000);
    short out[80];
    buffer.read_samples(out, 30);
    const int32_t integrator = buffer.integrator();
    const uint32_t offset = buffer.time_offset();
    ASSERT_NE(integrator, 0);
    EXPECT_EQ(buffer.read_samples(out, 0), 0);
    EXPECT_EQ(buffer.integrator(), integrator);
    EXPECT_EQ(buffer.time_offset(), offset);

    readAll(buffer);
    const int32_t drained = buffer.integrator();
    EXPECT_EQ(buffer.read_samples(out, 80), 0);
    EXPECT_EQ(buffer.integrator(), drained);
}

TEST(BandBufferRemoval, RemainingCellsMoveDownAndTheVacatedCellsClear)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    for (uint32_t sample = 0; sample < 120; sample += 7)
        synth.add_delta_at(samplePos(sample, sample * 500), static_cast<int>(sample % 11) - 5, buffer);
    buffer.end_frame(4000);  // 98 samples; impulses reach past the frame end
    const std::vector<uint16_t> before(buffer.cells(), buffer.cells() + Band_Buffer::allocation);
    const long avail = buffer.samples_avail();

    buffer.remove_samples(30);
    EXPECT_EQ(buffer.samples_avail(), avail - 30);
    const long remain = avail - 30 + 25;
    for (long i = 0; i < remain; ++i)
        ASSERT_EQ(buffer.cells()[i], before[static_cast<size_t>(i + 30)]) << i;
    for (long i = remain; i < remain + 30; ++i)
        ASSERT_EQ(buffer.cells()[i], 0x7F7F) << i;
}

TEST(BandBufferRemoval, AFullBufferMovesItsLastCellsWithoutOverrun)
{
    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    synth.add_delta_at(samplePos(65440, 0x8000), 15, buffer);  // reaches the last cells of the array
    buffer.end_frame(2655852);
    ASSERT_EQ(buffer.samples_avail(), 65448);
    const std::vector<uint16_t> before(buffer.cells(), buffer.cells() + Band_Buffer::allocation);

    buffer.remove_samples(1000);
    const size_t kept = Band_Buffer::allocation - 1000;
    for (size_t i = 0; i < kept; ++i)
        ASSERT_EQ(buffer.cells()[i], before[i + 1000]) << i;
    for (size_t i = kept; i < Band_Buffer::allocation; ++i)
        ASSERT_EQ(buffer.cells()[i], 0x7F7F) << i;
}

TEST(BandBufferRequirements, EveryCheckFires)
{
    Band_Buffer noArray;
    short out[4];
    EXPECT_REQUIREMENT(noArray.read_samples(out, 4), "unmet requirement", "buffer_");
    EXPECT_REQUIREMENT(noArray.remove_samples(1), "unmet requirement", "buffer_");

    Band_Buffer slow;
    setUp(slow, ntsc_clock, 44100);
    EXPECT_REQUIREMENT(slow.set_sample_rate(1), "unmet requirement", "factor_ > 0");

    Band_Buffer buffer;
    setUp(buffer, ntsc_clock, 44100);
    buffer.end_frame(1000);
    EXPECT_REQUIREMENT(buffer.remove_silence(buffer.samples_avail() + 1),
                       "Band_Buffer::remove_silence(): Tried to remove more samples than available",
                       "count <= samples_avail()");
    EXPECT_REQUIREMENT(buffer.end_frame(2657000), "Band_Buffer::end_frame(): Frame went past end of buffer",
                       "samples_avail() <= (long) buffer_size_");

    Band_Buffer limited;
    limited.set_frame_limit(29781);
    setUp(limited, ntsc_clock, 44100);
    EXPECT_REQUIREMENT(limited.end_frame(3 * 29781), "Band_Buffer::end_frame(): Frame longer than its limit",
                       "samples_avail() + impulse_spread <= filled_");
}

// A buffer told its longest frame fills cells only as its frames reach them,
// and plays exactly what a buffer filled whole plays: random changes up to
// each frame's end and past it by the impulses, reads of any length, rates
// and clocks changed midway.
TEST(BandBufferFrames, ALimitedBufferFillsOnlyWhatItsFramesReachAndPlaysTheSame)
{
    std::srand(7);
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    for (const auto& [clock, rate] : {std::pair{ntsc_clock, 44100}, std::pair{pal_clock, 96000}}) {
        Band_Buffer whole, limited;
        Band_Buffer* const both[] = {&whole, &limited};
        const int32_t frame = static_cast<int32_t>(clock / 60);
        limited.set_frame_limit(frame + 1);
        for (Band_Buffer* buffer : both)
            setUp(*buffer, clock, rate);
        EXPECT_LT(limited.filled_cells(), static_cast<uint32_t>(rate / 50));
        long most = 0;  // samples ever waiting
        for (int f = 0; f < 200; ++f) {
            const int32_t length = frame + (f & 1);
            const int changes = std::rand() % 40;
            for (int c = 0; c < changes; ++c) {
                const int32_t t = std::rand() % length;
                const int delta = std::rand() % 31 - 15;
                for (Band_Buffer* buffer : both)
                    synth.add_delta(t, delta, *buffer);
            }
            for (Band_Buffer* buffer : both)
                buffer->end_frame(length);
            most = std::max(most, whole.samples_avail());
            const long read = std::rand() % (whole.samples_avail() + 1);
            std::vector<short> a(static_cast<size_t>(read) + 1), b(a.size());
            ASSERT_EQ(whole.read_samples(a.data(), read), limited.read_samples(b.data(), read));
            ASSERT_EQ(a, b) << "frame " << f;
            // At most the samples ever waiting, a frame and the impulses' reach.
            ASSERT_LE(limited.filled_cells(), static_cast<uint32_t>(most + rate / 50 + 100));
        }
    }
}

}  // namespace
