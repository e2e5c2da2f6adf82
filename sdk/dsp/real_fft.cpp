#include "dsp/real_fft.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

// The SDK's threads are its own: pocketfft's thread pool stays out.
#define POCKETFFT_NO_MULTITHREADING
#include "pocketfft_hdronly.h"

namespace tavix::dsp {
namespace {

using pocketfft::detail::BACKWARD;
using pocketfft::detail::cmplx;
using pocketfft::detail::FORWARD;
using pocketfft::detail::pocketfft_c;
using pocketfft::detail::pocketfft_r;

constexpr double kPi = 3.14159265358979323846;

size_t largest_prime_factor(size_t n) {
    size_t largest = 1;
    for (size_t p = 2; p * p <= n; ++p)
        while (n % p == 0) {
            largest = p;
            n /= p;
        }
    return n > 1 ? n : largest;
}

// Three ways to one real transform, picked by size (Plan below): Quartered
// for multiples of 8 (the denoiser's windows at 8, 16, 32, 48, 96 kHz),
// Halved for other even sizes whose half has no prime factor above 11
// (44.1 kHz), Whole for the rest. Each runs as fast as FFTW did at the sizes
// it takes, where pocketfft's plain real transform is up to twice as slow.
//
// Quartered: a single transform in pocketfft runs on scalars; on vectors it
// runs one transform per lane at about the cost of one. So the size is split
// into its four interleaved quarters x[4m + j], transformed side by side
// (lane j), and joined by one radix-4 step.
typedef float Lanes __attribute__((vector_size(4 * sizeof(float))));
constexpr size_t kLanes = 4;

// "Halfcomplex" is pocketfft's layout of a real transform of even length L:
// r0, r1, i1, r2, i2, ..., r(L/2).

class Whole {
public:
    explicit Whole(size_t size) : size_(size), fft_(size), packed_(size), scratch_(fft_.scratch_size()) {}

    void forward(const float* time, std::complex<float>* spectrum) {
        float* packed = packed_.data();
        std::memcpy(packed, time, size_ * sizeof(float));
        fft_.exec(packed, 1.0f, FORWARD, scratch_.data());
        spectrum[0] = {packed[0], 0.0f};
        size_t k = 1;
        for (; 2 * k < size_; ++k) spectrum[k] = {packed[2 * k - 1], packed[2 * k]};
        if (2 * k == size_) spectrum[k] = {packed[size_ - 1], 0.0f};
    }

    void inverse(const std::complex<float>* spectrum, float* time) {
        time[0] = spectrum[0].real();
        size_t k = 1;
        for (; 2 * k < size_; ++k) {
            time[2 * k - 1] = spectrum[k].real();
            time[2 * k] = spectrum[k].imag();
        }
        if (2 * k == size_) time[size_ - 1] = spectrum[k].real();
        fft_.exec(time, 1.0f, BACKWARD, scratch_.data());
    }

private:
    size_t size_;
    pocketfft_r<float> fft_;
    std::vector<float> packed_;
    std::vector<float> scratch_;
};

// Size n = 4M with M even. Lane j of quarter[q] holds X_j[q], the
// transform of x[4m + j]; with W = e^{-2 pi i / n} and Y_j = W^{jq} X_j[q],
//   X[q]      = (Y0 + Y2) + (Y1 + Y3)      X[q + 2M] = (Y0 + Y2) - (Y1 + Y3)
//   X[q + M]  = (Y0 - Y2) - i(Y1 - Y3)     X[q + 3M] = (Y0 - Y2) + i(Y1 - Y3)
// and X[n - k] = conj X[k] folds the last two onto bins 0..2M, so q runs
// over 0..M/2 only, where the quarters' halfcomplex layout has each X_j[q].
class Quartered {
public:
    explicit Quartered(size_t size)
        : quarter_(size / kLanes),
          fft_(quarter_),
          lanes_(quarter_),
          scratch_(fft_.scratch_size()),
          twiddle_re_(quarter_ / 2 + 1),
          twiddle_im_(quarter_ / 2 + 1) {
        const double step = -2.0 * kPi / static_cast<double>(size);
        for (size_t q = 0; q <= quarter_ / 2; ++q) {
            for (size_t j = 0; j < kLanes; ++j) {
                const double angle = step * static_cast<double>(j * q);
                twiddle_re_[q][j] = static_cast<float>(std::cos(angle));
                twiddle_im_[q][j] = static_cast<float>(std::sin(angle));
            }
        }
    }

    static bool fits(size_t size) { return size % (2 * kLanes) == 0 && size >= 16 * kLanes; }

    void forward(const float* time, std::complex<float>* spectrum) {
        const size_t M = quarter_;
        Lanes* h = lanes_.data();
        std::memcpy(h, time, M * sizeof(Lanes));
        fft_.exec(h, 1.0f, FORWARD, scratch_.data());
        const Lanes zero = {};
        for (size_t q = 0; q <= M / 2; ++q) {
            const Lanes re = q == 0 ? h[0] : q == M / 2 ? h[M - 1] : h[2 * q - 1];
            const Lanes im = q == 0 || q == M / 2 ? zero : h[2 * q];
            const Lanes yr = re * twiddle_re_[q] - im * twiddle_im_[q];
            const Lanes yi = re * twiddle_im_[q] + im * twiddle_re_[q];
            const float ar = yr[0] + yr[2], ai = yi[0] + yi[2];
            const float br = yr[0] - yr[2], bi = yi[0] - yi[2];
            const float cr = yr[1] + yr[3], ci = yi[1] + yi[3];
            const float dr = yr[1] - yr[3], di = yi[1] - yi[3];
            spectrum[q] = {ar + cr, ai + ci};
            spectrum[q + M] = {br + di, bi - dr};
            spectrum[M - q] = {br - di, -(bi + dr)};
            spectrum[2 * M - q] = {ar - cr, -(ai - ci)};
        }
    }

    // The same step backwards, unscaled: 4 X_j[q], whose inverse quarter
    // transforms give n x[4m + j].
    void inverse(const std::complex<float>* spectrum, float* time) {
        const size_t M = quarter_;
        Lanes* h = lanes_.data();
        for (size_t q = 0; q <= M / 2; ++q) {
            const std::complex<float> x0 = spectrum[q];
            const std::complex<float> x1 = spectrum[q + M];
            const std::complex<float> x2 = std::conj(spectrum[2 * M - q]);
            const std::complex<float> x3 = std::conj(spectrum[M - q]);
            const float ar = x0.real() + x2.real(), ai = x0.imag() + x2.imag();
            const float cr = x0.real() - x2.real(), ci = x0.imag() - x2.imag();
            const float br = x1.real() + x3.real(), bi = x1.imag() + x3.imag();
            // D = -i (X3 - X1)
            const float dr = x3.imag() - x1.imag(), di = x1.real() - x3.real();
            const Lanes yr = {ar + br, cr + dr, ar - br, cr - dr};
            const Lanes yi = {ai + bi, ci + di, ai - bi, ci - di};
            // times conj(W^{jq})
            const Lanes re = yr * twiddle_re_[q] + yi * twiddle_im_[q];
            const Lanes im = yi * twiddle_re_[q] - yr * twiddle_im_[q];
            if (q == 0) {
                h[0] = re;
            } else if (q == M / 2) {
                h[M - 1] = re;
            } else {
                h[2 * q - 1] = re;
                h[2 * q] = im;
            }
        }
        fft_.exec(h, 1.0f, BACKWARD, scratch_.data());
        std::memcpy(time, h, M * sizeof(Lanes));
    }

private:
    size_t quarter_;
    pocketfft_r<float> fft_;
    std::vector<Lanes> lanes_;
    std::vector<Lanes> scratch_;
    std::vector<Lanes> twiddle_re_;
    std::vector<Lanes> twiddle_im_;
};

// Even sizes that are not multiples of 8 (882 samples at 44.1 kHz): the
// pairs (x[2m], x[2m + 1]) as one complex signal z of length N = n / 2,
// whose complex transform pocketfft does with more codelets (7, 11) than
// the real one. With Z = E + iO (E, O: the transforms of the even and odd
// samples) and W = e^{-2 pi i / n}, X[k] = E[k] + W^k O[k] for k = 0..N.
// Only for N whose prime factors are at most 11: pocketfft's generic pass
// for larger ones allocates.
class Halved {
public:
    explicit Halved(size_t size)
        : half_(size / 2),
          fft_(half_),
          pairs_(half_),
          scratch_(fft_.scratch_size()),
          twiddle_re_(half_ + 1),
          twiddle_im_(half_ + 1) {
        for (size_t k = 0; k <= half_; ++k) {
            const double angle = -2.0 * kPi * static_cast<double>(k) / static_cast<double>(size);
            twiddle_re_[k] = static_cast<float>(std::cos(angle));
            twiddle_im_[k] = static_cast<float>(std::sin(angle));
        }
    }

    static bool fits(size_t size) { return size % 2 == 0 && size >= 4 && largest_prime_factor(size / 2) <= 11; }

    void forward(const float* time, std::complex<float>* spectrum) {
        const size_t N = half_;
        cmplx<float>* z = pairs_.data();
        std::memcpy(z, time, N * sizeof(cmplx<float>));
        fft_.exec(z, 1.0f, FORWARD, scratch_.data());
        // Bins 0 and N: E and O are the real and imaginary parts of Z[0].
        spectrum[0] = {z[0].r + z[0].i, 0.0f};
        spectrum[N] = {z[0].r - z[0].i, 0.0f};
        const float* wre = twiddle_re_.data();
        const float* wim = twiddle_im_.data();
        for (size_t k = 1; k < N; ++k) {
            const cmplx<float> a = z[k];
            const cmplx<float> b = z[N - k];  // conjugated below
            // E = (a + conj b) / 2, O = -i (a - conj b) / 2
            const float er = 0.5f * (a.r + b.r), ei = 0.5f * (a.i - b.i);
            const float orr = 0.5f * (a.i + b.i), oi = -0.5f * (a.r - b.r);
            spectrum[k] = {er + wre[k] * orr - wim[k] * oi, ei + wre[k] * oi + wim[k] * orr};
        }
    }

    // Unscaled: Z[k] = (X[k] + conj X[N-k]) + i W^-k (X[k] - conj X[N-k]),
    // whose inverse transform is n (x[2m] + i x[2m + 1]).
    void inverse(const std::complex<float>* spectrum, float* time) {
        const size_t N = half_;
        cmplx<float>* z = pairs_.data();
        // k = 0 reads only the real parts of bins 0 and N.
        const float x0 = spectrum[0].real(), xn = spectrum[N].real();
        z[0] = cmplx<float>(x0 + xn, x0 - xn);
        const float* wre = twiddle_re_.data();
        const float* wim = twiddle_im_.data();
        for (size_t k = 1; k < N; ++k) {
            const float xr = spectrum[k].real(), xi = spectrum[k].imag();
            const float cr = spectrum[N - k].real(), ci = -spectrum[N - k].imag();
            const float sr = xr + cr, si = xi + ci;
            const float dr = xr - cr, di = xi - ci;
            // i conj(W^k) D
            const float tr = wre[k] * dr + wim[k] * di, ti = wre[k] * di - wim[k] * dr;
            z[k] = cmplx<float>(sr - ti, si + tr);
        }
        fft_.exec(z, 1.0f, BACKWARD, scratch_.data());
        std::memcpy(time, z, N * sizeof(cmplx<float>));
    }

private:
    size_t half_;
    pocketfft_c<float> fft_;
    std::vector<cmplx<float>> pairs_;
    std::vector<cmplx<float>> scratch_;
    std::vector<float> twiddle_re_;
    std::vector<float> twiddle_im_;
};

}  // namespace

struct RealFft::Plan {
    explicit Plan(size_t size) {
        if (Quartered::fits(size))
            quartered = std::make_unique<Quartered>(size);
        else if (Halved::fits(size))
            halved = std::make_unique<Halved>(size);
        else
            whole = std::make_unique<Whole>(size);
    }
    std::unique_ptr<Quartered> quartered;
    std::unique_ptr<Halved> halved;
    std::unique_ptr<Whole> whole;
};

RealFft::RealFft(size_t size) : size_(size) {
    if (size == 0) throw std::invalid_argument("RealFft size must be positive");
    plan_ = std::make_unique<Plan>(size);
    time_.assign(size, 0.0f);
    spectrum_.assign(bins(), std::complex<float>());
}

RealFft::~RealFft() = default;

void RealFft::forward() {
    if (plan_->quartered)
        plan_->quartered->forward(time_.data(), spectrum_.data());
    else if (plan_->halved)
        plan_->halved->forward(time_.data(), spectrum_.data());
    else
        plan_->whole->forward(time_.data(), spectrum_.data());
}

void RealFft::inverse() {
    if (plan_->quartered)
        plan_->quartered->inverse(spectrum_.data(), time_.data());
    else if (plan_->halved)
        plan_->halved->inverse(spectrum_.data(), time_.data());
    else
        plan_->whole->inverse(spectrum_.data(), time_.data());
}

}  // namespace tavix::dsp
