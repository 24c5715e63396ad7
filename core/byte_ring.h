#pragma once
// A bounded first-in first-out byte buffer of fixed capacity, for a port's waiting data.
// Not thread-safe: its owner guards it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qx {

class ByteRing {
public:
    explicit ByteRing(size_t capacity) : bytes_(capacity) {}

    size_t Size() const { return size_; }
    size_t Free() const { return bytes_.size() - size_; }
    bool Empty() const { return size_ == 0; }
    void Clear() { head_ = size_ = 0; }

    // Appends as many of the bytes as fit; returns how many.
    size_t Push(const uint8_t* data, size_t count) {
        const size_t taken = std::min(count, Free());
        for (size_t done = 0; done < taken;) {
            const size_t tail = (head_ + size_) % bytes_.size();
            const size_t run = std::min(taken - done, bytes_.size() - tail);
            std::copy_n(data + done, run, bytes_.begin() + tail);
            size_ += run;
            done += run;
        }
        return taken;
    }

    // Moves up to count bytes from the front into out; returns how many.
    size_t Pop(uint8_t* out, size_t count) {
        const size_t taken = std::min(count, size_);
        for (size_t done = 0; done < taken;) {
            const size_t run = std::min(taken - done, FrontRun());
            std::copy_n(bytes_.begin() + head_, run, out + done);
            Drop(run);
            done += run;
        }
        return taken;
    }

    // The first bytes that lie together in memory, for handing to write(2) without a copy.
    const uint8_t* Front() const { return bytes_.data() + head_; }
    size_t FrontRun() const { return std::min(size_, bytes_.size() - head_); }

    void Drop(size_t count) {
        count = std::min(count, size_);
        head_ = (head_ + count) % bytes_.size();
        size_ -= count;
        if (size_ == 0) head_ = 0;
    }

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0;
    size_t size_ = 0;
};

}  // namespace qx
