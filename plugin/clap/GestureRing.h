// The editor's parameter edits on their way to the host: written on the
// user-interface thread, read where the plug-in emits output events (process
// on the audio thread, or flush). One writer and one reader at a time, fixed
// size, no locks: an edit that finds the ring full is dropped from the
// automation (the instrument has it already).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

struct ParameterGesture {
    uint32_t id;
    double value;
};

class GestureRing {
public:
    static constexpr size_t kCapacity = 64;  // far more edits than a user makes between two blocks

    // ---- user-interface thread ----
    bool push(const ParameterGesture& gesture)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == kCapacity)
            return false;
        slots_[head % kCapacity] = gesture;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // ---- the reader: no locks, no allocation ----
    bool peek(ParameterGesture& gesture) const
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire))
            return false;
        gesture = slots_[tail % kCapacity];
        return true;
    }
    void pop() { tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    bool empty() const { return tail_.load(std::memory_order_relaxed) == head_.load(std::memory_order_acquire); }

private:
    std::array<ParameterGesture, kCapacity> slots_{};
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};
