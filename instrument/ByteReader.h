// A cursor over bytes from a file that never passes their end: every read
// says whether it fitted. Numbers are little-endian, as the tracker files
// store them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

class ByteReader {
public:
    ByteReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    bool byte(uint8_t& value)
    {
        if (left() < 1)
            return false;
        value = data_[at_++];
        return true;
    }
    bool int32(int32_t& value)
    {
        if (left() < 4)
            return false;
        uint32_t bits = 0;
        for (int i = 3; i >= 0; --i)
            bits = bits << 8 | data_[at_ + static_cast<size_t>(i)];
        value = static_cast<int32_t>(bits);
        at_ += 4;
        return true;
    }
    bool skip(size_t count)
    {
        if (left() < count)
            return false;
        at_ += count;
        return true;
    }
    const unsigned char* here() const { return data_ + at_; }
    size_t left() const { return size_ - at_; }
    size_t at() const { return at_; }
    void seek(size_t at) { at_ = std::min(at, size_); }

private:
    const unsigned char* data_;
    size_t size_;
    size_t at_ = 0;
};
