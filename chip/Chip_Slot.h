// Room for one chip of a set, built in place when it is first wanted: a
// voice holds the expansion chip it plays rather than one of every chip, so
// its size is the largest chip's, however many chips there are, and holding
// another never allocates.
#pragma once

#include "chip/Sound_Chip.h"

#include <cstddef>
#include <type_traits>
#include <variant>

template <Sound_Chip... Chips> class Chip_Slot {
public:
    Chip_Slot() = default;
    Chip_Slot(const Chip_Slot&) = delete;
    Chip_Slot& operator=(const Chip_Slot&) = delete;

    template <class Chip> bool holds() const { return std::holds_alternative<Chip>(held_); }
    bool empty() const { return held_.index() == 0; }
    template <class Chip> Chip* get() { return std::get_if<Chip>(&held_); }
    template <class Chip> const Chip* get() const { return std::get_if<Chip>(&held_); }
    // Destroys the chip held and builds `Chip` in its place, as at power-up.
    // Costs a chip's set-up (its synthesiser's tables), never an allocation.
    template <class Chip> Chip& emplace() { return held_.template emplace<Chip>(); }
    // Calls `visitor(chip)` with the chip held, if any.
    template <class Visitor> void visit(Visitor&& visitor)
    {
        std::visit(
            [&visitor](auto& held) {
                if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(held)>, std::monostate>)
                    visitor(held);
            },
            held_);
    }

    static constexpr std::size_t chip_count = sizeof...(Chips);

private:
    std::variant<std::monostate, Chips...> held_;
};
