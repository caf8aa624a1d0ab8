// Band_Synth: the kernel check values, the scaled table's exact row sums and
// layout, what an added change does to the cells, changes of any amplitude,
// its requirement, and the triangles' shared rows.
#include "ChipTestSupport.h"
#include "chip/Band_Synth.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/apu/Triangle_Rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace {

template <int Width> std::vector<int> kernelRowLessZero(const Band_Synth<Width>& synth, int row)
{
    std::vector<int> values;
    for (int k = 0; k < Width; ++k)
        values.push_back(synth.base_kernel()[row * Width + k] - 16384);
    return values;
}

template <int Width> void expectRowsSumToUnit(const Band_Synth<Width>& synth)
{
    const int unit = static_cast<int>(synth.pair_bias() & 0xFFFF);
    for (int row = 0; row < 64; ++row) {
        int sum = 0;
        for (int k = 0; k < Width; ++k)
            sum += synth.phase_table()[row * Width + k] - unit;
        ASSERT_EQ(sum, unit) << "width " << Width << " row " << row;
    }
}

Band_Buffer& freshBuffer(Band_Buffer& buffer)
{
    buffer.set_clock_rate(static_cast<int32_t>(ntsc_clock));
    EXPECT_EQ(buffer.set_sample_rate(44100), nullptr);
    return buffer;
}

std::vector<int> cellsLessZero(const Band_Buffer& buffer, size_t count)
{
    std::vector<int> cells;
    for (size_t i = 0; i < count; ++i)
        cells.push_back(buffer.cells()[i] - Band_Buffer::zero_level);
    return cells;
}

TEST(BandSynthKernel, DefaultEqualisationGivesTheCheckRows)
{
    Band_Synth<12> wide(15);
    Band_Synth<8> narrow(15);
    wide.set_volume(1.0);
    narrow.set_volume(1.0);
    EXPECT_EQ(kernelRowLessZero(wide, 0),
              (std::vector<int>{693, -860, 63, -707, 17196, 17196, -707, 63, -860, 693, 0, 0}));
    EXPECT_EQ(kernelRowLessZero(wide, 16),
              (std::vector<int>{388, -84, -323, -1150, 6181, 22746, 6181, -1150, -323, -84, 388, 0}));
    EXPECT_EQ(kernelRowLessZero(narrow, 0), (std::vector<int>{62, -700, 17022, 17022, -700, 62, 0, 0}));
    EXPECT_EQ(kernelRowLessZero(narrow, 16), (std::vector<int>{147, -1139, 6118, 22516, 6118, -1139, 147, 0}));
    for (int row = 0; row <= 16; ++row) {
        EXPECT_EQ(wide.base_kernel()[row * 12 + 11], 16384) << row;
        EXPECT_EQ(narrow.base_kernel()[row * 8 + 7], 16384) << row;
    }
}

TEST(BandSynthUnits, ChipVolumesGiveTheUnits)
{
    const Chip_Apu apu;
    EXPECT_EQ(apu.pulse_synth().pair_bias(), 493u * 0x10001);
    EXPECT_EQ(apu.triangle().synth.pair_bias(), 558u * 0x10001);
    EXPECT_EQ(apu.noise().synth.pair_bias(), 324u * 0x10001);
    EXPECT_EQ(apu.dmc().synth.pair_bias(), 220u * 0x10001);
}

TEST(BandSynthPhaseTable, EveryRowLessTheUnitSumsToExactlyTheUnit)
{
    for (double unit : {1.0 / 65536, 0.0034, 0.0049, 0.0075, 0.0085, 0.05, 0.4}) {
        Band_Synth<12> wide(15);
        Band_Synth<8> narrow(15);
        wide.set_unit(unit);
        narrow.set_unit(unit);
        expectRowsSumToUnit(wide);
        expectRowsSumToUnit(narrow);
    }
}

TEST(BandSynthPhaseTable, UpperRowsMirrorAndOddRowsAreOneCellLater)
{
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    const uint16_t* t = synth.phase_table();
    for (int m = 0; m <= 14; ++m) {
        for (int k = 0; k <= 10; ++k)
            EXPECT_EQ(t[(17 + m) * 12 + k], t[(15 - m) * 12 + 10 - k]) << m << "," << k;
        EXPECT_EQ(t[(17 + m) * 12 + 11], m < 14 ? t[(14 - m) * 12 + 11] : 493) << m;
    }
    EXPECT_EQ(t[32 * 12], 493);
    for (int i = 1; i < 32 * 12; ++i)
        ASSERT_EQ(t[32 * 12 + i], t[i - 1]) << i;
}

TEST(BandSynthSetters, RepeatedUnitOrEqualisationDoesNothing)
{
    Band_Synth<12> synth(15);
    synth.set_unit(0.0075);
    EXPECT_EQ(synth.table_builds(), 1);
    const std::vector<uint16_t> table(synth.phase_table(), synth.phase_table() + 81 * 12);

    synth.set_unit(0.0075);
    synth.set_eq(Treble_Eq{-8.87, 8800, 44100});
    EXPECT_EQ(synth.table_builds(), 1);

    // Another equalisation regenerates and rescales; the default restores every value.
    synth.set_eq(Treble_Eq{-24.0, 4000, 44100});
    EXPECT_EQ(synth.table_builds(), 2);
    EXPECT_NE(std::vector<uint16_t>(synth.phase_table(), synth.phase_table() + 81 * 12), table);
    expectRowsSumToUnit(synth);
    synth.set_eq(Treble_Eq{-8.87, 8800, 44100});
    EXPECT_EQ(std::vector<uint16_t>(synth.phase_table(), synth.phase_table() + 81 * 12), table);
    EXPECT_DOUBLE_EQ(synth.unit(), 0.0075);
}

TEST(BandSynthDeltas, AnOddSampleTakesTheSameShapeOneCellLater)
{
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    for (uint32_t fraction = 0; fraction < 0x10000; fraction += 0x0800) {
        Band_Buffer even, odd;
        synth.add_delta_at((40u << 16) | fraction, 9, freshBuffer(even));
        synth.add_delta_at((41u << 16) | fraction, 9, freshBuffer(odd));
        const std::vector<int> a = cellsLessZero(even, 80);
        const std::vector<int> b = cellsLessZero(odd, 80);
        EXPECT_EQ(b[0], 0);
        for (size_t i = 0; i + 1 < a.size(); ++i)
            ASSERT_EQ(b[i + 1], a[i]) << fraction << "," << i;
    }
}

TEST(BandSynthDeltas, PlusThenMinusRestoresTheBuffer)
{
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    Band_Buffer buffer;
    freshBuffer(buffer);
    std::mt19937 random(77);
    std::uniform_int_distribution<uint32_t> position(0, 2000u << 16);
    std::uniform_int_distribution<int> amount(-15, 15);
    for (int i = 0; i < 300; ++i)
        synth.add_delta_at(position(random), amount(random), buffer);
    const std::vector<uint16_t> before(buffer.cells(), buffer.cells() + Band_Buffer::allocation);

    // At the same place the cells come back exactly.
    for (int i = 0; i < 200; ++i) {
        const uint32_t pos = position(random);
        const int delta = amount(random);
        synth.add_delta_at(pos, delta, buffer);
        synth.add_delta_at(pos, -delta, buffer);
    }
    ASSERT_EQ(std::vector<uint16_t>(buffer.cells(), buffer.cells() + Band_Buffer::allocation), before);

    // At different places the integrated level comes back once both kernels are in.
    const int64_t level = cell_sum(buffer);
    for (int i = 0; i < 200; ++i) {
        const int delta = amount(random);
        synth.add_delta_at(position(random), delta, buffer);
        synth.add_delta_at(position(random), -delta, buffer);
    }
    EXPECT_EQ(cell_sum(buffer), level);
}

TEST(BandSynthAmplitudes, ARowAloneEqualsThePhaseTableOfThatUnit)
{
    Band_Synth<12> synth(15);
    Band_Synth<12> reference(15);
    synth.set_volume(1.0);
    for (int32_t unit : {1, 2, 493, 4096, 12345, 30001, Band_Synth<12>::max_row_amplitude}) {
        reference.set_unit(unit / 65536.0);
        for (uint32_t phase = 0; phase < 64; ++phase) {
            uint16_t row[12];
            synth.amplitude_row(phase, unit, row);
            int32_t sum = 0;
            for (int k = 0; k < 12; ++k) {
                ASSERT_EQ(row[k], reference.phase_table()[phase * 12 + k]) << unit << " " << phase << " " << k;
                sum += row[k] - unit;
            }
            ASSERT_EQ(sum, unit) << "a value left uint16: " << unit << " " << phase;
        }
    }
}

TEST(BandSynthAmplitudes, ChangesOfAnySizeSumExactlyAndMatchTheRowsOfTheirUnit)
{
    Band_Synth<12> synth(15);
    synth.set_volume(1.0);
    Band_Buffer buffer;
    freshBuffer(buffer);
    std::mt19937 random(5);
    std::uniform_int_distribution<uint32_t> position(0, 2000u << 16);
    // Up to two pieces; 16 samples apart, no cell takes more than one change.
    std::uniform_int_distribution<int32_t> amount(-40000, 40000);
    int64_t total = 0;
    for (uint32_t i = 0; i < 120; ++i) {
        const int32_t amplitude = amount(random);
        synth.add_amplitude((16 * i << 16) + (position(random) & 0xFFFF), amplitude, buffer);
        total += amplitude;
    }
    EXPECT_EQ(cell_sum(buffer), total);

    // A unit change of a synth whose unit is the amplitude adds the same
    // cells, at every phase (the positions step 0.9 phase rows at a time).
    Band_Synth<12> unit(15);
    Band_Buffer a, b;
    for (int32_t amplitude : {1, -777, 5000, -Band_Synth<12>::max_row_amplitude}) {
        unit.set_unit(std::abs(amplitude) / 65536.0);
        for (uint32_t pos = 100u << 16; pos < (104u << 16); pos += 0x0731) {
            synth.add_amplitude(pos, amplitude, freshBuffer(a));
            unit.add_delta_at(pos, amplitude < 0 ? -1 : 1, freshBuffer(b));
            ASSERT_EQ(cellsLessZero(a, 130), cellsLessZero(b, 130)) << amplitude << " " << pos;
        }
    }
}

// Either side of the largest change taken in 16-bit lanes, and where a
// window of blocks would reach past the cells, a change adds the same cells
// as a unit change of a synth whose unit is its amplitude.
TEST(BandSynthAmplitudes, ChangesAtTheLimitsAndTheBuffersEndMatchTheRowsOfTheirUnit)
{
    Band_Synth<12> synth(15);
    synth.set_volume(1.0);
    Band_Synth<12> unit(15);
    Band_Buffer a, b;
    auto same_cells = [&] { return std::equal(a.cells(), a.cells() + Band_Buffer::allocation, b.cells()); };
    const uint32_t last_sample = Band_Buffer::buffer_length - 2;
    for (int32_t amplitude : {16383, -16383, 16384, -16384, 9999}) {
        unit.set_unit(std::abs(amplitude) / 65536.0);
        for (uint32_t first : {100u, last_sample - 8}) {
            for (uint32_t pos = first << 16; pos < ((first + 10) << 16); pos += 0x0B31) {
                synth.add_amplitude(pos, amplitude, freshBuffer(a));
                unit.add_delta_at(pos, amplitude < 0 ? -1 : 1, freshBuffer(b));
                ASSERT_TRUE(same_cells()) << amplitude << " " << (pos >> 16);
            }
        }
    }
}

TEST(BandSynthRequirements, PositionPastTheBufferEndFires)
{
    Band_Synth<12> synth(15);
    synth.set_volume(0.1128);
    Band_Buffer buffer;
    freshBuffer(buffer);
    synth.add_delta_at((65447u << 16) | 0xFFFF, 1, buffer);  // sample 65446 once bit 0 is cleared
    EXPECT_REQUIREMENT(synth.add_delta_at(65448u << 16, 1, buffer), "Band_Synth/Band_Wave: Went past end of buffer",
                       "sample_index < band_buf->buffer_size_");
    Band_Synth<8> narrow(15);
    narrow.set_volume(0.0741);
    EXPECT_REQUIREMENT(narrow.add_delta_at(0xFFFFFFFF, 1, buffer), "Band_Synth/Band_Wave: Went past end of buffer",
                       "sample_index < band_buf->buffer_size_");
}

}  // namespace

// Triangles whose synthesisers agree in unit and treble read one set of rows,
// which lives while one of them holds it; any difference makes a set of its
// own. The rows down are the rows up negated, and every copy starts on a
// cache line.
TEST(TriangleRows, SynthesisersThatAgreeShareOneSet)
{
    Band_Synth<12> first(15), second(15), louder(15), darker(15);
    for (Band_Synth<12>* synth : {&first, &second, &darker})
        synth->set_volume(0.5);
    louder.set_volume(0.75);
    darker.set_eq(Treble_Eq{-24.0, 4000, 44100});

    const auto rows = Triangle_Rows::shared_for(first);
    EXPECT_EQ(Triangle_Rows::shared_for(second), rows);
    auto other = Triangle_Rows::shared_for(louder);
    EXPECT_NE(other, rows);
    EXPECT_NE(Triangle_Rows::shared_for(darker), rows);

    for (const uint32_t* table : {rows->up(), rows->down()})
        EXPECT_EQ(reinterpret_cast<uintptr_t>(table) % 64, 0u);
    int32_t nonzero = 0;
    for (uint32_t i = 0; i < Band_Synth<12>::aligned_table_words; ++i) {
        ASSERT_EQ(rows->down()[i], 0u - rows->up()[i]) << i;
        nonzero += rows->up()[i] != 0;
    }
    // Every copy holds every phase row's six pairs; some pairs of a row may be zero.
    EXPECT_GT(nonzero, 4 * 64 * 4);
    EXPECT_LE(nonzero, 4 * 64 * 6);

    const std::weak_ptr<const Triangle_Rows> released = other;
    other.reset();
    EXPECT_TRUE(released.expired());
}
