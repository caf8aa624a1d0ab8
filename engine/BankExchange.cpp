#include "BankExchange.h"

void BankExchange::initialise(const ProgramBank& bank)
{
    for (BankSnapshot& slot : slots_)
        slot.capture(bank);
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
