// Hands whole bank snapshots from the threads that edit the bank to the audio
// thread, without locks and without allocation: a triple buffer.
//
// Three snapshots rotate between three roles. The writer fills the back one
// and publishes it by swapping it with the middle one, marked fresh; the audio
// thread, at the start of each block, swaps a fresh middle one with the front
// one it reads. Each swap is one atomic exchange, so the audio thread never
// waits and never sees a snapshot being written, and the writer never
// overwrites the one being read. Writers serialise among themselves (the
// instrument's bank mutex); there is one reader, the audio thread.
#pragma once

#include "BankSnapshot.h"

#include <atomic>
#include <cstdint>

class BankExchange {
public:
    BankExchange() = default;
    BankExchange(const BankExchange&) = delete;
    BankExchange& operator=(const BankExchange&) = delete;

    // Before any reader exists: every snapshot holds the bank. Throws
    // std::bad_alloc when they cannot be made.
    void initialise(const ProgramBank& bank);

    // ---- writers (holding the bank mutex) ----
    BankSnapshot& back() { return slots_[back_]; }
    void publish();

    // ---- the audio thread: wait-free ----
    // The newest published snapshot; it stays valid until the next acquire.
    const BankSnapshot& acquire();

private:
    static constexpr uint32_t kIndexMask = 3;
    static constexpr uint32_t kFresh = 4;

    BankSnapshot slots_[3];
    std::atomic<uint32_t> middle_{1};
    uint32_t back_ = 2;   // the writers'
    uint32_t front_ = 0;  // the reader's
};
