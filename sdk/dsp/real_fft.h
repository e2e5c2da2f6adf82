// One real-to-complex / complex-to-real transform pair of a fixed size, on
// its own buffers (pocketfft, third_party/pocketfft).
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

namespace tavix::dsp {

class RealFft {
public:
    // Plans and allocates everything up front: forward() and inverse()
    // never allocate, so the models that use them keep their no-throw
    // processing. Throws std::bad_alloc, or std::invalid_argument for size 0.
    explicit RealFft(size_t size);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    size_t size() const { return size_; }
    size_t bins() const { return size_ / 2 + 1; }
    float* time() { return time_.data(); }
    std::complex<float>* spectrum() { return spectrum_.data(); }

    // time() -> spectrum() (e^{-i...} convention, unscaled); time() is kept.
    void forward();
    // spectrum() -> time(), scaled by size(); spectrum() is kept. The
    // imaginary parts of bin 0 and (even sizes) of the last bin are ignored,
    // as a real signal has none.
    void inverse();

private:
    struct Plan;

    size_t size_;
    std::unique_ptr<Plan> plan_;
    std::vector<float> time_;
    std::vector<std::complex<float>> spectrum_;
};

}  // namespace tavix::dsp
