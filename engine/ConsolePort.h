// One channel of the shared console chip, as a voice's frame sees it. In
// console mode a voice plays the console channel (ConsoleSlot) its note took,
// and its frame is written by the same code as a voice chip's: the port moves
// the writes of the voice's channel type onto its channel's registers (pulse
// 1's onto pulse 2's, the VRC6 pulse 1's onto pulse 2's, the 5B's channel A
// onto B or C, the MMC5's pulse 1 onto pulse 2) and keeps only its channel's
// bits of every write of a register the channels share ($4015, $5015, the
// 5B's mixer), the others as the chip has them, so that voices never switch
// each other's channels off or on. The 5B's noise period and envelope are
// the chip's one each: the last channel to write them wins.
#pragma once

#include "ChannelKinds.h"
#include "ConsoleSlot.h"
#include "FdsFrame.h"
#include "Mmc5Frame.h"
#include "N163Frame.h"
#include "N163Memory.h"
#include "Program.h"
#include "S5bFrame.h"
#include "Vrc6Frame.h"
#include "Vrc7Frame.h"

#include <cstdint>
#include <type_traits>

// Where a slot's writes go. The voice writes as its channel type does on a
// voice chip: a pulse at $4000-$4003 with $4015 bit 0, a VRC6 pulse at
// $9000-$9002, the 5B's channel A, the MMC5's pulse 1.
struct SlotRoute {
    SoundChip chip;
    int32_t channel;    // of the chip's channels: the 5B's A, B or C, the MMC5's pulse 1 or 2
    unsigned apuFrom;   // first register the voice writes (0: none of the 2A03's)
    unsigned apuTo;     // where it lands
    int32_t bitFrom;    // its $4015 bit as the voice writes it
    int32_t bitTo;      // the channel's own
    unsigned vrc6From;  // page the voice writes (0: none of the VRC6's)
    unsigned vrc6To;
};

// clang-format off
inline constexpr SlotRoute kSlotRoutes[kConsoleSlotCount] = {
    {SoundChip::Apu,  0, 0x4000, 0x4000, 0x01, 0x01, 0, 0},      {SoundChip::Apu,  1, 0x4000, 0x4004, 0x01, 0x02, 0, 0},
    {SoundChip::Apu,  2, 0x4008, 0x4008, 0x04, 0x04, 0, 0},      {SoundChip::Apu,  3, 0x400C, 0x400C, 0x08, 0x08, 0, 0},
    {SoundChip::Apu,  4, 0x4010, 0x4010, 0x10, 0x10, 0, 0},      {SoundChip::Vrc6, 0, 0, 0, 0, 0, 0x9000, 0x9000},
    {SoundChip::Vrc6, 1, 0, 0, 0, 0, 0x9000, 0xA000},            {SoundChip::Vrc6, 2, 0, 0, 0, 0, 0xB000, 0xB000},
    {SoundChip::S5b,  0, 0, 0, 0, 0, 0, 0},                      {SoundChip::S5b,  1, 0, 0, 0, 0, 0, 0},
    {SoundChip::S5b,  2, 0, 0, 0, 0, 0, 0},                      {SoundChip::Mmc5, 0, 0, 0, 0, 0, 0, 0},
    {SoundChip::Mmc5, 1, 0, 0, 0, 0, 0, 0},                      {SoundChip::Fds,  0, 0, 0, 0, 0, 0, 0},
    {SoundChip::N163, 0, 0, 0, 0, 0, 0, 0},                      {SoundChip::N163, 1, 0, 0, 0, 0, 0, 0},
    {SoundChip::N163, 2, 0, 0, 0, 0, 0, 0},                      {SoundChip::N163, 3, 0, 0, 0, 0, 0, 0},
    {SoundChip::N163, 4, 0, 0, 0, 0, 0, 0},                      {SoundChip::N163, 5, 0, 0, 0, 0, 0, 0},
    {SoundChip::N163, 6, 0, 0, 0, 0, 0, 0},                      {SoundChip::N163, 7, 0, 0, 0, 0, 0, 0},
    {SoundChip::Vrc7, 0, 0, 0, 0, 0, 0, 0},                      {SoundChip::Vrc7, 1, 0, 0, 0, 0, 0, 0},
    {SoundChip::Vrc7, 2, 0, 0, 0, 0, 0, 0},                      {SoundChip::Vrc7, 3, 0, 0, 0, 0, 0, 0},
    {SoundChip::Vrc7, 4, 0, 0, 0, 0, 0, 0},                      {SoundChip::Vrc7, 5, 0, 0, 0, 0, 0, 0},
};
// clang-format on

constexpr bool routesMatchTheTable()
{
    for (const ChannelKind& kind : kChannelKinds)
        for (int32_t slot = kind.firstSlot; slot <= kind.lastSlot; ++slot)
            if (kSlotRoutes[slot].chip != kind.chip)
                return false;
    return true;
}
static_assert(routesMatchTheTable(), "each slot routes to the chip of the types that take it");

// The console chip as the ports need it: anything with write_apu(),
// write_apu_enables(), write_vrc6(), write_s5b(), write_s5b_mixer(),
// write_mmc5(), write_mmc5_enables(), write_fds(), write_n163(), write_vrc7(),
// fds(), n163(), vrc7(), load_sample(), sample_playing() and write_time.
template <class Console> class ConsolePort {
public:
    struct Apu {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data)
        {
            if (route.bitFrom == 0)
                return;  // an expansion chip's slot: its voice only ever silences the 2A03
            if (address == 0x4015) {
                console->write_apu_enables(time, route.bitTo, (data & route.bitFrom) ? route.bitTo : 0);
            } else if (address - route.apuFrom < 4u) {
                console->write_apu(time, address - route.apuFrom + route.apuTo, data);
            }
        }
    };
    struct Vrc6 {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data)
        {
            if (route.vrc6From != 0 && address - route.vrc6From < 0x1000u)
                console->write_vrc6(time, address - route.vrc6From + route.vrc6To, data);
        }
    };
    // The voice selects and writes channel A's registers ($00/$01 period,
    // $08 volume, its bits of $07) and the shared ones.
    struct S5b {
        Console* console;
        SlotRoute route;
        int selected = 0;

        void write_register(int32_t time, unsigned address, int data)
        {
            if (address - 0xC000u < 0x2000u) {
                selected = data;
                return;
            }
            if (address - 0xE000u >= 0x2000u || (selected & 0xF0) != 0)
                return;
            const int channel = route.channel;
            switch (const int reg = selected & 15) {
            case 0x00:
            case 0x01:
                console->write_s5b(time, reg + 2 * channel, data);
                return;
            case 0x07: {
                const int mask = (0x01 | 0x08) << channel;  // tone off, noise off
                console->write_s5b_mixer(time, mask, (data & (0x01 | 0x08)) << channel);
                return;
            }
            case 0x08:
                console->write_s5b(time, reg + channel, data);
                return;
            default:
                if (reg == 0x06 || (reg >= 0x0B && reg <= 0x0D))
                    console->write_s5b(time, reg, data);  // the noise and the envelope, shared
                return;
            }
        }
    };
    struct Mmc5 {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data)
        {
            const int bit = 1 << route.channel;
            if (address == 0x5015)
                console->write_mmc5_enables(time, bit, (data & 1) ? bit : 0);
            else if (address - 0x5000u < 4u)
                console->write_mmc5(time, address + 4 * route.channel, data);
        }
    };

    // The FDS and the 163 are the console's own, written as a voice chip's
    // are; the 163's channel and the place of its wave come from the port.
    struct Fds {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data) { console->write_fds(time, address, data); }
        int wave(int i) const { return console->fds().wave(i); }
        int table_position() const { return console->fds().table_position(); }
        int reg(int i) const { return console->fds().reg(i); }
    };
    struct N163 {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data) { console->write_n163(time, address, data); }
        int ram(int i) const { return console->n163().ram(i); }
    };

    // The VRC7's channel of the slot: the voice writes channel 1's registers
    // ($1x, $2x, $3x with x = 0), which land on the slot's; the custom
    // patch ($00-$07) is the chip's one.
    struct Vrc7 {
        Console* console;
        SlotRoute route;
        int selected = 0;

        void write_register(int32_t time, unsigned address, int data)
        {
            if (address == 0x9010) {
                selected = data;
                return;
            }
            if (address != 0x9030)
                return;
            const int reg = selected >= 0x10 && selected < 0x40 ? selected + route.channel : selected;
            console->write_vrc7(time, 0x9010, reg);
            console->write_vrc7(time, 0x9030, data);
        }
        int reg(int index) const { return console->vrc7().reg(index); }
        const Vrc7_Envelope& envelope(int channel, bool carrier) const
        {
            return console->vrc7().envelope(channel, carrier);
        }
    };

    // `expansionEnables`: the slot's own expansion channels left on (bits as
    // VoiceChip::expansion_enables). `memory`: where the 163's waves go (null:
    // its slots find no room).
    ConsolePort(Console& console, int32_t& expansionEnables, int32_t slot, N163Memory* memory = nullptr)
        : chip{&console, kSlotRoutes[slot]}, write_time(console.write_time), expansion_enables(expansionEnables),
          vrc6_{&console, kSlotRoutes[slot]}, s5b_{&console, kSlotRoutes[slot]}, mmc5_{&console, kSlotRoutes[slot]},
          fds_{&console, kSlotRoutes[slot]}, n163_{&console, kSlotRoutes[slot]}, vrc7_{&console, kSlotRoutes[slot]},
          memory_(memory), console_(console)
    {
    }

    // The VRC7's channel of the slot, which the voice reads its envelope of.
    int32_t vrc7_channel() const { return chip.route.channel; }
    // The 163's channel of the slot (0: channel 8), the channels on, and a
    // place for a wave (N163Frame.h).
    int32_t n163_channel() const { return chip.route.channel; }
    int32_t n163_count() const { return memory_ ? memory_->channels() : 1; }
    int32_t n163_place(const uint8_t* wave, int32_t length)
    {
        if (!memory_)
            return -1;
        return memory_->place(chip.route.channel, wave, length, [this](int32_t b) { return n163_.ram(b); });
    }
    // A note whose wave found no room.
    void n163_miss(int32_t program)
    {
        if (memory_)
            memory_->miss(program);
    }

    // The slot's channel of an expansion chip, as VoiceChip::expansion; a
    // slot of another chip ignores the writes.
    template <class Chip> auto& expansion()
    {
        if constexpr (std::is_same_v<Chip, Chip_Vrc6>)
            return vrc6_;
        else if constexpr (std::is_same_v<Chip, Chip_S5b>)
            return s5b_;
        else if constexpr (std::is_same_v<Chip, Chip_Fds>)
            return fds_;
        else if constexpr (std::is_same_v<Chip, Chip_N163>)
            return n163_;
        else if constexpr (std::is_same_v<Chip, Chip_Vrc7>)
            return vrc7_;
        else
            return mmc5_;
    }
    template <class Chip> bool holds() const
    {
        if constexpr (std::is_same_v<Chip, Chip_Vrc6>)
            return chip.route.chip == SoundChip::Vrc6;
        else if constexpr (std::is_same_v<Chip, Chip_S5b>)
            return chip.route.chip == SoundChip::S5b;
        else if constexpr (std::is_same_v<Chip, Chip_Fds>)
            return chip.route.chip == SoundChip::Fds;
        else if constexpr (std::is_same_v<Chip, Chip_N163>)
            return chip.route.chip == SoundChip::N163;
        else if constexpr (std::is_same_v<Chip, Chip_Vrc7>)
            return chip.route.chip == SoundChip::Vrc7;
        else
            return chip.route.chip == SoundChip::Mmc5;
    }

    void load_sample(const uint8_t* bytes, int32_t length) { console_.load_sample(bytes, length); }
    bool sample_playing() const { return console_.sample_playing(); }
    // The console ends its frame once, after every slot has written.
    void end_frame() {}
    // Switches the channel off: a voice that was cut has no frame of its own
    // left to do it.
    void silence()
    {
        write_time += 4;
        chip.write_register(write_time, 0x4015, 0);
        for (const SoundChip other : kExpansionChips)
            silenceExpansion(other, *this);
    }

    Apu chip;
    int32_t& write_time;
    int32_t& expansion_enables;

private:
    Vrc6 vrc6_;
    S5b s5b_;
    Mmc5 mmc5_;
    Fds fds_;
    N163 n163_;
    Vrc7 vrc7_;
    N163Memory* memory_;
    Console& console_;
};
