#include "dsp/real_fft.h"

#include <fftw3.h>

#include <mutex>
#include <new>

namespace tavix::dsp {
namespace {

// FFTW's planner keeps global state: planning and destroying plans must be
// serialised across every thread; executing a plan needs no lock.
std::mutex& planner_mutex() {
    static std::mutex mutex;
    return mutex;
}

fftwf_complex* as_fftw(std::complex<float>* values) {
    return reinterpret_cast<fftwf_complex*>(values);
}

}  // namespace

RealFft::RealFft(size_t size)
    : size_(size),
      time_(fftwf_alloc_real(size)),
      spectrum_(reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(size / 2 + 1))),
      forward_plan_(nullptr),
      inverse_plan_(nullptr) {
    if (time_ != nullptr && spectrum_ != nullptr) {
        std::lock_guard<std::mutex> lock(planner_mutex());
        const int n = static_cast<int>(size);
        // FFTW_ESTIMATE leaves the buffers alone and plans without timing trials.
        forward_plan_ = fftwf_plan_dft_r2c_1d(n, time_, as_fftw(spectrum_), FFTW_ESTIMATE);
        inverse_plan_ = fftwf_plan_dft_c2r_1d(n, as_fftw(spectrum_), time_, FFTW_ESTIMATE);
    }
    if (forward_plan_ == nullptr || inverse_plan_ == nullptr) {
        release();
        throw std::bad_alloc();
    }
    for (size_t i = 0; i < size_; ++i) {
        time_[i] = 0.0f;
    }
}

RealFft::~RealFft() {
    release();
}

void RealFft::release() {
    {
        std::lock_guard<std::mutex> lock(planner_mutex());
        if (forward_plan_ != nullptr) {
            fftwf_destroy_plan(forward_plan_);
        }
        if (inverse_plan_ != nullptr) {
            fftwf_destroy_plan(inverse_plan_);
        }
    }
    forward_plan_ = nullptr;
    inverse_plan_ = nullptr;
    fftwf_free(time_);
    fftwf_free(spectrum_);
    time_ = nullptr;
    spectrum_ = nullptr;
}

void RealFft::forward() {
    fftwf_execute(forward_plan_);
}

void RealFft::inverse() {
    fftwf_execute(inverse_plan_);
}

}  // namespace tavix::dsp
