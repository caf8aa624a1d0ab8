// A setting that crosses threads and counts each store in its owner's change
// count: a reader that saw the count unchanged since it last read the settings
// knows, from one load, that it would read the same values again.
#pragma once

#include <atomic>
#include <cstdint>

template <class T> class CountedSetting {
public:
    constexpr CountedSetting() = default;
    constexpr explicit CountedSetting(T initial) : value_(initial) {}
    CountedSetting(const CountedSetting&) = delete;
    CountedSetting& operator=(const CountedSetting&) = delete;

    // Before any other thread uses it: the count its stores add to.
    void countIn(std::atomic<uint32_t>& changes) { changes_ = &changes; }

    T load(std::memory_order order = std::memory_order_seq_cst) const { return value_.load(order); }
    operator T() const { return load(); }

    // The value first, then the count with release order: a reader that
    // takes the new count with acquire order reads this value or a later one.
    void store(T value, std::memory_order order = std::memory_order_seq_cst)
    {
        value_.store(value, order);
        changes_->fetch_add(1, std::memory_order_release);
    }
    T operator=(T value)
    {
        store(value);
        return value;
    }

private:
    std::atomic<T> value_{};
    std::atomic<uint32_t>* changes_ = nullptr;
};
