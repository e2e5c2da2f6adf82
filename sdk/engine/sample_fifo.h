// A first-in first-out queue of interleaved samples that reuses its memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tavix::sdk {

class SampleFifo {
public:
    size_t size() const { return data_.size() - head_; }

    // Makes room for `count` more samples, so the next push of at most
    // that many cannot throw. Throws std::bad_alloc with the queue unchanged.
    void reserve(size_t count) {
        if (head_ > 0 && head_ >= data_.size() / 2) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        const size_t needed = data_.size() + count;
        if (needed > data_.capacity()) data_.reserve(std::max(needed, 2 * data_.capacity()));
    }

    void push(const float* samples, size_t count) {
        reserve(count);
        data_.insert(data_.end(), samples, samples + count);
    }

    // Moves the oldest `count` samples (at most size()) to the end of `out`.
    void pop_into(size_t count, std::vector<float>& out) {
        const float* first = data_.data() + head_;
        out.insert(out.end(), first, first + count);
        head_ += count;
    }

private:
    std::vector<float> data_;
    size_t head_ = 0;
};

}  // namespace tavix::sdk
