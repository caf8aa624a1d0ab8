// The events of one block in arrival order. Its storage is allocated once, at
// construction: the audio thread appends and empties it but never allocates.
// A block with more events than that drops the excess.
#pragma once

#include "EngineEvent.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class EventQueue {
public:
    static constexpr size_t kCapacity = 8192;

    EventQueue() : events_(new EngineEvent[kCapacity]), scratch_(new EngineEvent[kCapacity]) {}

    // Appends an event; answers false (and drops it) when the queue is full.
    bool push(const EngineEvent& event)
    {
        if (size_ >= kCapacity)
            return false;
        events_[size_++] = event;
        return true;
    }
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    EngineEvent* begin() { return events_.get(); }
    EngineEvent* end() { return events_.get() + size_; }
    EngineEvent& operator[](size_t index) { return events_[index]; }

    // Audio thread. Drops the events that never act in a block of `frames`
    // samples (negative deltaFrames, or at or past its end) and puts the rest
    // in sample order, those of one sample in arrival order. Linear in the
    // number of events whatever their order; never allocates.
    void sortBySample(int32_t frames);
    // Audio thread. A block of no samples: the events wait for the next
    // block and act at its first sample, in arrival order; those that never
    // act (negative deltaFrames) are dropped.
    void holdForNextBlock();

private:
    std::unique_ptr<EngineEvent[]> events_;
    std::unique_ptr<EngineEvent[]> scratch_;  // the sort's other half
    size_t size_ = 0;
};
