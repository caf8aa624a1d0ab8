// Sound_Chip: the contract holds each chip to every operation it names, and
// the 2A03's answer to the idle test.
#include "ChipTestSupport.h"
#include "chip/Sound_Chip.h"
#include "chip/apu/Chip_Apu.h"
#include "chip/vrc6/Chip_Vrc6.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

// The operations of the contract, each of which a fake chip may leave out.
enum class Member { none, osc_count, set_volume, set_output, osc_output, osc_log, reset, write, run, end_frame, idle };
constexpr int member_count = static_cast<int>(Member::idle) + 1;

template <bool Has> struct Osc_Count {
};
template <> struct Osc_Count<true> {
    static constexpr int osc_count = 1;
};

// A chip with every operation but `Missing`.
template <Member Missing> struct Fake_Chip : Osc_Count<Missing != Member::osc_count> {
    void set_volume(double) requires(Missing != Member::set_volume) {}
    void set_output(Band_Buffer*) requires(Missing != Member::set_output) {}
    void osc_output(int, Band_Buffer*) requires(Missing != Member::osc_output) {}
    void osc_log(int, Level_Log*) requires(Missing != Member::osc_log) {}
    void reset() requires(Missing != Member::reset) {}
    void write_register(int32_t, unsigned, int) requires(Missing != Member::write) {}
    void run_until(int32_t) requires(Missing != Member::run) {}
    void end_frame(int32_t) requires(Missing != Member::end_frame) {}
    bool idle() const requires(Missing != Member::idle) { return true; }
};

template <int... M> constexpr bool each_left_out_fails(std::integer_sequence<int, M...>)
{
    return (!Sound_Chip<Fake_Chip<static_cast<Member>(M + 1)>> && ...);
}

// Dispatch through a table of virtual functions is what the contract rules out.
struct Virtual_Chip : Fake_Chip<Member::none> {
    virtual ~Virtual_Chip() = default;
};

static_assert(Sound_Chip<Fake_Chip<Member::none>>);
static_assert(each_left_out_fails(std::make_integer_sequence<int, member_count - 1>{}));
static_assert(!Sound_Chip<Virtual_Chip>);
static_assert(Sound_Chip<Chip_Apu> && Sound_Chip<Chip_Vrc6>);

}  // namespace

// Skipping a silent 2A03's frame would leave its frame sequencer where it
// was, so the next notes' envelopes and lengths would clock at other times.
TEST(SoundChipIdle, TheApuWithEveryChannelOffStillMovesOnEachFrame)
{
    Chip_Apu apu;
    apu.reset();
    apu.write_register(0, 0x4015, 0x00);
    constexpr int32_t frame_length = 29781;
    const int32_t countdown = apu.frame_countdown();
    const int32_t step = apu.frame_step();
    EXPECT_FALSE(apu.idle());
    apu.end_frame(frame_length);
    EXPECT_FALSE(apu.idle());
    EXPECT_NE(std::pair(apu.frame_countdown(), apu.frame_step()), std::pair(countdown, step));
}
