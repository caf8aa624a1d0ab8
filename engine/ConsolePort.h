// One channel of the shared console chip, as a voice's frame sees it. In
// console mode voice i plays console channel i (ConsoleSlot), and its frame
// is written by the same code as a voice chip's: the port moves the writes of
// the voice's channel type onto its channel's registers (pulse 1's onto pulse
// 2's, the VRC6 pulse 1's onto pulse 2's) and keeps only its channel's bit of
// every $4015 write, the others as the chip has them, so that voices never
// switch each other's channels off or on.
#pragma once

#include "ChannelKinds.h"
#include "ConsoleSlot.h"
#include "Program.h"
#include "Vrc6Frame.h"

#include <cstdint>
#include <type_traits>

// Where a slot's writes go. The voice writes as its channel type does on a
// voice chip: a pulse at $4000-$4003 with $4015 bit 0, a VRC6 pulse at
// $9000-$9002.
struct SlotRoute {
    unsigned apuFrom;  // first register the voice writes (0: none of the 2A03's)
    unsigned apuTo;    // where it lands
    int32_t bitFrom;   // its $4015 bit as the voice writes it
    int32_t bitTo;     // the channel's own
    unsigned vrc6From; // page the voice writes (0: none of the VRC6's)
    unsigned vrc6To;
};

inline constexpr SlotRoute kSlotRoutes[kConsoleSlotCount] = {
    {0x4000, 0x4000, 0x01, 0x01, 0, 0},   {0x4000, 0x4004, 0x01, 0x02, 0, 0},
    {0x4008, 0x4008, 0x04, 0x04, 0, 0},   {0x400C, 0x400C, 0x08, 0x08, 0, 0},
    {0x4010, 0x4010, 0x10, 0x10, 0, 0},   {0, 0, 0, 0, 0x9000, 0x9000},
    {0, 0, 0, 0, 0x9000, 0xA000},         {0, 0, 0, 0, 0xB000, 0xB000},
};

// The console chip as the ports need it: anything with write_apu(),
// write_apu_enables(), write_vrc6(), load_sample(), sample_playing() and
// write_time.
template <class Console> class ConsolePort {
public:
    struct Apu {
        Console* console;
        SlotRoute route;

        void write_register(int32_t time, unsigned address, int data)
        {
            if (route.bitFrom == 0)
                return;  // a VRC6 slot: its voice only ever silences the 2A03
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

    // `expansionEnables`: the slot's own expansion channels left on (bits as
    // VoiceChip::expansion_enables).
    ConsolePort(Console& console, int32_t& expansionEnables, int32_t slot)
        : chip{&console, kSlotRoutes[slot]}, write_time(console.write_time), expansion_enables(expansionEnables),
          vrc6_{&console, kSlotRoutes[slot]}, console_(console)
    {
    }

    // The slot's channel of the expansion chip, as VoiceChip::expansion; a
    // slot of another chip ignores the writes.
    template <class Chip> Vrc6& expansion()
    {
        static_assert(std::is_same_v<Chip, Chip_Vrc6>);
        return vrc6_;
    }
    template <class Chip> bool holds() const
    {
        static_assert(std::is_same_v<Chip, Chip_Vrc6>);
        return vrc6_.route.vrc6From != 0;
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
        silenceVrc6(*this);
    }

    Apu chip;
    int32_t& write_time;
    int32_t& expansion_enables;

private:
    Vrc6 vrc6_;
    Console& console_;
};
