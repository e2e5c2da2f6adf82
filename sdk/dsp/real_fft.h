// One real-to-complex / complex-to-real FFTW plan pair on its own buffers.
#pragma once

#include <complex>
#include <cstddef>

struct fftwf_plan_s;

namespace tavix::dsp {

class RealFft {
public:
    explicit RealFft(size_t size);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    size_t size() const { return size_; }
    size_t bins() const { return size_ / 2 + 1; }
    float* time() { return time_; }
    std::complex<float>* spectrum() { return spectrum_; }

    // time() -> spectrum().
    void forward();
    // spectrum() -> time(), scaled by size(); overwrites spectrum().
    void inverse();

private:
    void release();

    size_t size_;
    float* time_;
    std::complex<float>* spectrum_;
    fftwf_plan_s* forward_plan_;
    fftwf_plan_s* inverse_plan_;
};

}  // namespace tavix::dsp
