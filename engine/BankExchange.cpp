#include "BankExchange.h"

#include <new>

void BankExchange::initialise(const ProgramBank& bank)
{
    // Without its snapshots an instrument cannot be made at all.
    for (BankSnapshot& slot : slots_)
        if (!slot.capture(bank))
            throw std::bad_alloc();
}

void BankExchange::publish()
{
    back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndexMask;
}

const BankSnapshot& BankExchange::acquire()
{
    if (middle_.load(std::memory_order_relaxed) & kFresh)
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndexMask;
    return slots_[front_];
}
