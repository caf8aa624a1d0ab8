// ConsoleChip: the mixer's tables against the formula, levels rendered
// through the shared chip (the non-linear sums, the delta modulation's hold
// on the triangle), the exact level the mix and each group alone reach under
// random register sequences, set-up without cells, and bad input.
#include "ChipTestSupport.h"
#include "chip/ConsoleChip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr double amplitude_per_level = ConsoleChip::output_scale * 32768.0;

double pulse_reference(int p1, int p2)
{
    return p1 + p2 == 0 ? 0.0 : 95.88 / (8128.0 / (p1 + p2) + 100.0);
}

double tnd_reference(int t, int n, int d)
{
    if (t == 0 && n == 0 && d == 0)
        return 0.0;
    return 159.79 / (1.0 / (t / 8227.0 + n / 12241.0 + d / 22638.0) + 100.0);
}

int32_t amplitude_of(double level)
{
    return static_cast<int32_t>(std::floor(level * amplitude_per_level + 0.5));
}

// A chip set up at 44.1 kHz whose buffers do not leak: a level reads back as it is.
std::unique_ptr<ConsoleChip> plain_chip()
{
    auto chip = std::make_unique<ConsoleChip>();
    EXPECT_EQ(chip->setup(ntsc_clock, 44100, 60), nullptr);
    chip->mix.set_highpass(0);
    for (Band_Buffer& group : chip->groups)
        group.set_highpass(0);
    return chip;
}

void write(ConsoleChip& chip, std::initializer_list<Reg_Write> writes)
{
    for (const Reg_Write& w : writes)
        chip.write_register(chip.write_time += 4, w.addr, w.data);
}

std::array<Band_Buffer*, ConsoleChip::buffer_count> buffers_of(ConsoleChip& chip)
{
    std::array<Band_Buffer*, ConsoleChip::buffer_count> all{&chip.mix};
    for (int g = 0; g < ConsoleChip::group_count; ++g)
        all[1 + g] = &chip.groups[g];
    return all;
}

// Reads every buffer's samples; answers those of `buffer`.
std::vector<short> read_all(ConsoleChip& chip, const Band_Buffer* buffer = nullptr)
{
    std::vector<short> out;
    for (Band_Buffer* b : buffers_of(chip)) {
        std::vector<short> samples(static_cast<size_t>(b->samples_avail()));
        b->read_samples(samples.data(), static_cast<long>(samples.size()));
        if (b == buffer)
            out = samples;
    }
    return out;
}

// `frames` frames of one buffer, the writes in the first.
std::vector<short> render(ConsoleChip& chip, Band_Buffer& buffer, std::initializer_list<Reg_Write> writes, int frames)
{
    std::vector<short> out;
    write(chip, writes);
    for (int f = 0; f < frames; ++f) {
        chip.end_frame();
        const std::vector<short> samples = read_all(chip, &buffer);
        out.insert(out.end(), samples.begin(), samples.end());
    }
    return out;
}

TEST(ConsoleMixer, TablesHoldTheFormulaForEveryInput)
{
    const Console_Mixer mixer;
    for (int p1 = 0; p1 <= 15; ++p1)
        for (int p2 = 0; p2 <= 15; ++p2)
            ASSERT_EQ(mixer.pulse(p1 + p2), static_cast<float>(pulse_reference(p1, p2))) << p1 << "+" << p2;
    for (int t = 0; t <= 15; ++t)
        for (int n = 0; n <= 15; ++n)
            for (int d : {0, 1, 2, 9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 99, 108, 117, 126, 127})
                ASSERT_FLOAT_EQ(mixer.tnd(t, n, d), static_cast<float>(tnd_reference(t, n, d))) << t << n << d;
    EXPECT_NEAR(mixer.pulse(30), 0.2585, 0.0001);
    EXPECT_FLOAT_EQ(mixer.vrc6_step() * 15, mixer.pulse(15));
}

TEST(ConsoleRender, TwoPulsesTogetherMakeTheCompressedSquareAndALevelReadsBackExactly)
{
    // 50 % duty, constant volume 15, period 1000: 111.7 Hz, a half period of 197 samples.
    for (const bool both : {false, true}) {
        auto chip = plain_chip();
        const std::vector<short> out = render(*chip, chip->mix,
                                              {{0x4015, both ? 0x03 : 0x01},
                                               {0x4000, 0xBF},
                                               {0x4004, 0xBF},
                                               {0x4002, 1000 & 0xFF},
                                               {0x4006, 1000 & 0xFF},
                                               {0x4003, 0x08 | 1000 >> 8},
                                               {0x4007, 0x08 | 1000 >> 8}},
                                              8);
        const auto [low, high] = std::minmax_element(out.begin() + 2000, out.end());
        // Plateaus: the most common values, far from the band-limited edges.
        const int32_t level = amplitude_of(pulse_reference(15, both ? 15 : 0));
        EXPECT_GT(std::count(out.begin() + 2000, out.end(), level), 1000);
        EXPECT_GT(std::count(out.begin() + 2000, out.end(), 0), 1000);
        EXPECT_LT(*high, level * 1.12);  // overshoot only
        EXPECT_GT(*low, -level * 0.12);
        EXPECT_NEAR(level / amplitude_per_level, both ? 0.2585 : 0.1494, 0.0002);
    }
}

TEST(ConsoleRender, DeltaModulationHeldHighNarrowsTheTrianglesSwing)
{
    // $4011 = 127 with the channel idle; the triangle at period 400, 139 Hz.
    for (const int dac : {0, 127}) {
        auto chip = plain_chip();
        const std::vector<short> out =
            render(*chip, chip->mix,
                   {{0x4011, dac}, {0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, 400 & 0xFF}, {0x400B, 0x08 | 400 >> 8}}, 6);
        const auto [low, high] = std::minmax_element(out.begin() + 1000, out.end());
        const double swing = (*high - *low) / amplitude_per_level;
        const double expected = tnd_reference(15, 0, dac) - tnd_reference(0, 0, dac);
        EXPECT_NEAR(swing, expected, 0.02 * expected) << dac;
    }
    EXPECT_LT(tnd_reference(15, 0, 127) - tnd_reference(0, 0, 127), 0.5 * tnd_reference(15, 0, 0));
}

// Registers the random sequences write, of both chips ($4015 twice as often).
const unsigned random_addresses[] = {0x4000, 0x4002, 0x4003, 0x4004, 0x4006, 0x4007, 0x4008, 0x400A, 0x400B,
                                     0x400C, 0x400E, 0x400F, 0x4010, 0x4011, 0x4013, 0x4015, 0x4015, 0x9000,
                                     0x9001, 0x9002, 0xA000, 0xA001, 0xA002, 0xB000, 0xB001, 0xB002,
                                     0x5000, 0x5002, 0x5003, 0x5004, 0x5006, 0x5007, 0x5015, 0xC000,
                                     0xC000, 0xE000, 0xE000, 0xE000};

// Every buffer's integrated level at a frame's end, the cells not yet read:
// exactly the formula of the oscillators' levels then, each term rounded to
// whole units, for the mix and for each group alone (silent while its
// channel is, whatever the others play).
TEST(ConsoleGroups, EveryBufferEndsEachFrameAtItsFormulaLevelUnderRandomRegisters)
{
    std::mt19937 random(11);
    auto chip = plain_chip();
    int64_t held[ConsoleChip::group_count] = {};
    for (int frame = 0; frame < 60; ++frame) {
        // Groups switched off hold still; switched on again they rejoin their channels.
        const bool groups = frame % 6 != 3;
        chip->set_groups_enabled(groups);
        for (int g = 0; g < ConsoleChip::group_count; ++g)
            held[g] = cell_sum(chip->groups[g]);
        for (int w = static_cast<int>(random() % 12); w > 0; --w) {
            const unsigned addr = random_addresses[random() % std::size(random_addresses)];
            chip->write_time += static_cast<int32_t>(random() % 2000);
            const int data = static_cast<int>(random() & 0xFF);
            chip->write_register(chip->write_time, addr, data);
        }
        chip->end_frame();
        const Chip_Apu& apu = chip->apu();
        const int p1 = apu.pulse(0).last_level, p2 = apu.pulse(1).last_level, t = apu.triangle().last_level;
        const int n = apu.noise().last_level, d = apu.dmc().dac;
        // Each term rounds to whole units on its own: a VRC6 channel's too.
        const Console_Mixer& mixer = chip->mixer();
        auto units = [](float level) { return amplitude_of(level); };
        int64_t vrc6 = 0;
        for (int level : {chip->vrc6().pulse(0).last_level, chip->vrc6().pulse(1).last_level,
                          chip->vrc6().saw().last_level})
            vrc6 += units(static_cast<float>(level) * mixer.vrc6_step());
        // The 5B's channels each through its DAC; the MMC5's pair as the 2A03's.
        int64_t s5b = 0;
        for (int osc = 0; osc < Chip_S5b::osc_count; ++osc)
            s5b += units(mixer.s5b(chip->s5b().level(osc)));
        const int64_t mmc5 = units(mixer.pulse(chip->mmc5().pulse(0).last_level + chip->mmc5().pulse(1).last_level));
        const int64_t amplitudes[] = {units(mixer.pulse(p1 + p2)) + units(mixer.tnd(t, n, d)) + vrc6 + s5b + mmc5,
                                      units(mixer.pulse(p1)),
                                      units(mixer.pulse(p2)),
                                      units(mixer.tnd(t, 0, 0)),
                                      units(mixer.tnd(0, n, 0)),
                                      units(mixer.tnd(0, 0, d)),
                                      vrc6,
                                      s5b,
                                      mmc5,
                                      0,  // the FDS, the 163 and the VRC7 step their own buffers; unwritten here
                                      0,
                                      0};
        static_assert(std::size(amplitudes) == ConsoleChip::buffer_count);
        const auto buffers = buffers_of(*chip);
        for (int g = 0; g < ConsoleChip::group_count && !groups; ++g)
            ASSERT_EQ(cell_sum(chip->groups[g]), held[g]);
        for (int b = 0; b < (groups ? ConsoleChip::buffer_count : 1); ++b) {
            const int64_t integrated =
                (buffers[b]->integrator() >> Band_Buffer::integrator_bits) + cell_sum(*buffers[b]);
            ASSERT_EQ(integrated, amplitudes[b]) << "frame " << frame << " buffer " << b;
        }
        if (frame % 8 == 7)
            read_all(*chip);
    }
}

// The mix follows the writes a slice at a time, not at each write: asking
// whether a sample plays after every write, which brings the mix up to it,
// changes no cell of any buffer.
TEST(ConsoleGroups, TheBuffersAreTheSameWhetherTheMixFollowsEveryWriteOrNot)
{
    std::mt19937 random(5);
    auto lazy = plain_chip();
    auto eager = plain_chip();
    for (int frame = 0; frame < 40; ++frame) {
        for (int w = static_cast<int>(random() % 16); w > 0; --w) {
            const unsigned addr = random_addresses[random() % std::size(random_addresses)];
            // Writes a few clocks apart, as a frame makes them, and some more
            // than a slice apart.
            const int32_t gap = random() % 4 == 0 ? static_cast<int32_t>(random() % 3000) : 4;
            const int data = static_cast<int>(random() & 0xFF);
            for (ConsoleChip* chip : {lazy.get(), eager.get()}) {
                chip->write_time += gap;
                chip->write_register(chip->write_time, addr, data);
            }
            eager->sample_playing();
        }
        lazy->end_frame();
        eager->end_frame();
        const auto lazy_buffers = buffers_of(*lazy);
        const auto eager_buffers = buffers_of(*eager);
        for (int b = 0; b < ConsoleChip::buffer_count; ++b)
            ASSERT_TRUE(filled_cells(*lazy_buffers[b]) == filled_cells(*eager_buffers[b]))
                << "frame " << frame << " buffer " << b;
        if (frame % 8 == 7) {
            read_all(*lazy);
            read_all(*eager);
        }
    }
}

// The groups off, the mix's changes are found a slice at a time, and from a
// log alone without merging; on, one change at a time: the same samples,
// whether a sample plays alone or every channel changes.
TEST(ConsoleGroups, TheMixIsTheSameWhetherTheGroupsFollowOrNot)
{
    const unsigned sample_addresses[] = {0x4010, 0x4011, 0x4012, 0x4013};
    const unsigned addresses[] = {0x4000, 0x4002, 0x4003, 0x4004, 0x4006, 0x4007, 0x4008, 0x400A,
                                  0x400B, 0x400C, 0x400E, 0x400F, 0x4010, 0x4011, 0x4013, 0x9000,
                                  0x9001, 0x9002, 0xA000, 0xA001, 0xA002, 0xB000, 0xB001, 0xB002};
    std::mt19937 random(17);
    uint8_t bytes[Sample_Memory::size];
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    std::unique_ptr<ConsoleChip> chips[] = {plain_chip(), plain_chip()};
    chips[1]->set_groups_enabled(false);
    for (auto& chip : chips) {
        chip->load_sample(bytes, Sample_Memory::size);
        write(*chip, {{0x4015, 0x10}, {0x4010, 0x4F}, {0x4013, 0xFF}, {0x4015, 0x10}});
    }
    for (int frame = 0; frame < 40; ++frame) {
        // The sample alone for a while, then every channel.
        const bool alone = frame < 15;
        if (frame == 15)
            for (auto& chip : chips)
                write(*chip, {{0x4015, 0x1F}});
        for (int w = static_cast<int>(random() % 8); w > 0; --w) {
            const unsigned addr = alone ? sample_addresses[random() % std::size(sample_addresses)]
                                        : addresses[random() % std::size(addresses)];
            const auto time = static_cast<int32_t>(random() % 1500);
            const auto data = static_cast<int>(random() & 0xFF);
            for (auto& chip : chips) {
                chip->write_time += time;
                chip->write_register(chip->write_time, addr, data);
            }
        }
        std::vector<short> mixes[2];
        for (int c = 0; c < 2; ++c) {
            chips[c]->end_frame();
            mixes[c] = read_all(*chips[c], &chips[c]->mix);
        }
        ASSERT_GT(mixes[0].size(), 700u);
        ASSERT_EQ(mixes[0], mixes[1]) << "frame " << frame;
    }
}

// Cells refused at construction: set-up answers "Out of memory" without
// allocating, the chips play on without buffers, and cells handed over one
// buffer at a time make it whole.
TEST(ConsoleSetup, WithoutCellsItPlaysSilentlyUntilEveryBufferHasAdoptedSome)
{
    chip_test_refuse_allocations = true;
    auto chip = std::make_unique<ConsoleChip>();
    chip_test_refuse_allocations = false;
    EXPECT_EQ(chip->buffers_without_cells(), ConsoleChip::buffer_count);
    const long allocations = chip_test_allocations;
    EXPECT_STREQ(chip->setup(ntsc_clock, 48000, 60), "Out of memory");
    write(*chip, {{0x4011, 100}});
    // The FDS and the 163 step buffers of their own making: none yet. A full
    // FDS step at gain 32, and a 163 channel at sample 0 and volume 15.
    for (const auto& [address, data] : std::vector<std::pair<unsigned, int>>{
             {0x4089, 0x80}, {0x4040, 63}, {0x4089, 0x00}, {0x4080, 0xA0}, {0x4083, 0x80}})
        chip->write_fds(8, address, data);
    chip->write_n163(12, 0xF800, 0x7F);
    chip->write_n163(12, 0x4800, 0x0F);
    chip->end_frame();
    chip->write_fds(4, 0x4080, 0x80);  // silent again before the cells come
    chip->write_n163(4, 0x4800, 0x00);
    chip->end_frame();
    EXPECT_EQ(chip_test_allocations, allocations);
    for (int b = ConsoleChip::buffer_count; b > 0; --b) {
        EXPECT_STREQ(chip->setup(ntsc_clock, 48000, 60), "Out of memory");
        chip->adopt_cells(Band_Buffer::new_cells());
        EXPECT_EQ(chip->buffers_without_cells(), b - 1);
    }
    chip->adopt_cells(Band_Buffer::new_cells());  // none wants them: freed
    ASSERT_EQ(chip->setup(ntsc_clock, 48000, 60), nullptr);
    chip->end_frame();
    EXPECT_EQ(chip->mix.samples_avail(), 800);
    // The level set before the cells came sounds in every buffer that holds it.
    EXPECT_EQ(cell_sum(chip->mix), amplitude_of(tnd_reference(0, 0, 100)));
    EXPECT_EQ(cell_sum(chip->groups[4]), amplitude_of(tnd_reference(0, 0, 100)));
}

TEST(ConsoleBadInput, AnyWritesTimesSamplesAndSetUpsStayInBounds)
{
    std::mt19937 random(3);
    auto chip = std::make_unique<ConsoleChip>();
    ASSERT_EQ(chip->setup(ntsc_clock, 48000, 60), nullptr);
    std::vector<uint8_t> bytes(5000);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    for (int frame = 0; frame < 300; ++frame) {
        for (int w = static_cast<int>(random() % 60); w > 0; --w) {
            // Times anywhere, backwards and past the frame too; any address and data.
            const auto time = static_cast<int32_t>(random() % 3 ? random() % 40000 : random());
            const auto r = static_cast<unsigned>(random());
            const unsigned addrs[] = {0x4000 + r % 0x18, 0x9000 + r % 3 * 0x1000 + r / 3 % 4, r};
            const unsigned addr = addrs[random() % 3];
            const auto data = static_cast<int>(random());
            chip->write_register(time, addr, data);
        }
        if (random() % 10 == 0)
            chip->load_sample(bytes.data(), static_cast<int32_t>(random() % 6000) - 500);
        if (random() % 50 == 0)
            chip->reset();
        if (random() % 20 == 0)
            chip->set_groups_enabled(random() % 2);
        if (random() % 40 == 0) {
            const long clock = random() % 2 ? ntsc_clock : pal_clock;
            ASSERT_EQ(chip->setup(clock, 8000 + static_cast<long>(random() % 184000), random() % 2 ? 60 : 50), nullptr);
        }
        chip->end_frame();
        read_all(*chip);
    }
    EXPECT_EQ(chip->mix.samples_avail(), 0);
}

}  // namespace
