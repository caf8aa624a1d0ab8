#include "EventQueue.h"

#include <algorithm>
#include <utility>

namespace {

// A radix sort digit: a 512-frame block sorts in two passes, the largest
// possible delta in four.
constexpr int kDigitBits = 8;
constexpr uint32_t kDigitValues = 1u << kDigitBits;

}  // namespace

void EventQueue::sortBySample(int32_t frames)
{
    size_t count = 0;
    int32_t highest = 0;
    bool sorted = true;
    for (size_t i = 0; i < size_; ++i) {
        const EngineEvent& event = events_[i];
        if (event.deltaFrames < 0 || event.deltaFrames >= frames)
            continue;
        sorted = sorted && event.deltaFrames >= highest;
        highest = std::max(highest, event.deltaFrames);
        if (count != i)
            events_[count] = event;
        ++count;
    }
    size_ = count;
    // Hosts send their events sorted: then one pass was all it took.
    if (sorted)
        return;

    // A least-significant-digit radix sort: each pass is a stable counting
    // sort on one digit, so ties keep their arrival order.
    EngineEvent* from = events_.get();
    EngineEvent* to = scratch_.get();
    const auto top = static_cast<uint32_t>(highest);
    for (int shift = 0; shift < 32 && (top >> shift) != 0; shift += kDigitBits) {
        size_t start[kDigitValues] = {};
        for (size_t i = 0; i < count; ++i)
            ++start[(static_cast<uint32_t>(from[i].deltaFrames) >> shift) & (kDigitValues - 1)];
        size_t sum = 0;
        for (size_t& bucket : start)
            sum += std::exchange(bucket, sum);
        for (size_t i = 0; i < count; ++i)
            to[start[(static_cast<uint32_t>(from[i].deltaFrames) >> shift) & (kDigitValues - 1)]++] = from[i];
        std::swap(from, to);
    }
    if (from != events_.get())
        std::copy(from, from + count, events_.get());
}

void EventQueue::holdForNextBlock()
{
    size_t count = 0;
    for (size_t i = 0; i < size_; ++i) {
        if (events_[i].deltaFrames < 0)
            continue;
        events_[count] = events_[i];
        events_[count++].deltaFrames = 0;
    }
    size_ = count;
}
