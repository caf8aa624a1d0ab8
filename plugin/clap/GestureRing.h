// The editor's parameter gestures on their way to the host: written on the
// user-interface thread, read where the plug-in emits output events (process
// on the audio thread, or flush). One writer and one reader at a time, fixed
// size, no locks.
//
// Every begin that gets in has a value and its end: a begin takes a slot
// only with two more free, for its first value and the end kept for it, and
// a value only while the ends of the gestures under way still fit (the
// reader only ever frees slots, so what was free stays free). What finds the ring full is dropped from the
// automation (the instrument has it already); a gesture whose begin was
// dropped starts with its next value that fits.
#pragma once

#include "instrument/Parameters.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

enum class GestureStep : uint8_t { Begin, Value, End };

struct ParameterGesture {
    GestureStep step;
    uint32_t id;
    double value;  // for a Value
};

class GestureRing {
public:
    static constexpr size_t kCapacity = 256;  // far more steps than a user makes between two blocks

    // ---- user-interface thread ----
    void begin(uint32_t id)
    {
        if (id >= kParameterCount || open_[id] || room() < reservedEnds_ + 3)
            return;
        push({GestureStep::Begin, id, 0.0});
        open_[id] = true;
        ++reservedEnds_;
    }
    void value(uint32_t id, double value)
    {
        if (id < kParameterCount && !open_[id])
            begin(id);
        if (id >= kParameterCount || !open_[id] || room() < reservedEnds_ + 1)
            return;
        push({GestureStep::Value, id, value});
    }
    void end(uint32_t id)
    {
        if (id >= kParameterCount || !open_[id])
            return;
        push({GestureStep::End, id, 0.0});  // its slot was kept
        open_[id] = false;
        --reservedEnds_;
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
    size_t room() const
    {
        return kCapacity - (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }
    void push(const ParameterGesture& gesture)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        slots_[head % kCapacity] = gesture;
        head_.store(head + 1, std::memory_order_release);
    }

    std::array<ParameterGesture, kCapacity> slots_{};
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
    // The writer's own: the gestures under way, each with a slot kept for its end.
    bool open_[kParameterCount] = {};
    size_t reservedEnds_ = 0;
};
