// The noise suppressor's real FFT (dsp/real_fft.cpp, on pocketfft) against
// a direct DFT in long double, for each size given:
//
//   tavix_sdk_fft_check <size>...
//
// - forward() matches the DFT's bins 0..size/2 to single precision;
// - inverse() of the result gives back size times the input;
// - inverse() ignores the imaginary parts of bin 0 and of the last bin of
//   an even size (a real signal has none), as FFTW's c2r did;
// - forward() keeps time() and inverse() keeps spectrum();
// - neither allocates (the denoiser's processing must not throw
//   std::bad_alloc halfway through a frame). Counted by interposing malloc,
//   which sanitizer runtimes own: unchecked in those builds.
//
// Exits 0 and prints "ok" when every size held; 1 with the reasons otherwise.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dsp/real_fft.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define TAVIX_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVIX_SANITIZED 1
#endif
#if defined(__GLIBC__) && !defined(TAVIX_SANITIZED)
#define TAVIX_COUNT_MALLOC 1
#endif

#ifdef TAVIX_COUNT_MALLOC
// operator new ends in malloc too; glibc's free takes what __libc_malloc gave.
extern "C" void* __libc_malloc(size_t size);
static std::atomic<long> mallocs{0};
extern "C" void* malloc(size_t size) {
    mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
#endif

namespace {

using tavix::dsp::RealFft;
constexpr long double kPi = 3.141592653589793238462643383279502884L;

int failures = 0;

void fail(size_t size, const std::string& what) {
    std::printf("size %zu: %s\n", size, what.c_str());
    ++failures;
}

std::vector<std::complex<long double>> direct_dft(const std::vector<float>& x) {
    const size_t n = x.size();
    std::vector<std::complex<long double>> roots(n);
    for (size_t m = 0; m < n; ++m)
        roots[m] = std::polar(1.0L, -2.0L * kPi * static_cast<long double>(m) / static_cast<long double>(n));
    std::vector<std::complex<long double>> bins(n / 2 + 1);
    for (size_t k = 0; k < bins.size(); ++k) {
        std::complex<long double> sum = 0;
        for (size_t m = 0; m < n; ++m) sum += static_cast<long double>(x[m]) * roots[(m * k) % n];
        bins[k] = sum;
    }
    return bins;
}

void check(size_t size) {
    RealFft fft(size);
    if (fft.size() != size || fft.bins() != size / 2 + 1) fail(size, "wrong size() or bins()");

    std::mt19937 random(static_cast<unsigned>(size));
    std::normal_distribution<float> normal;
    std::vector<float> x(size);
    for (float& v : x) v = normal(random);
    std::copy(x.begin(), x.end(), fft.time());

#ifdef TAVIX_COUNT_MALLOC
    const long before = mallocs.load();
#endif
    fft.forward();
#ifdef TAVIX_COUNT_MALLOC
    if (mallocs.load() != before) fail(size, "forward() allocated");
#endif
    if (!std::equal(x.begin(), x.end(), fft.time())) fail(size, "forward() changed time()");

    // Single precision: errors grow like log(size) times the epsilon.
    const auto expected = direct_dft(x);
    long double error = 0, scale = 0;
    for (size_t k = 0; k < expected.size(); ++k) {
        const std::complex<long double> got(fft.spectrum()[k].real(), fft.spectrum()[k].imag());
        error = std::max(error, std::abs(got - expected[k]));
        scale = std::max(scale, std::abs(expected[k]));
    }
    if (!(error <= 1e-5L * scale))
        fail(size, "forward() is off the DFT by " + std::to_string(static_cast<double>(error / scale)));

    std::complex<float>* spectrum = fft.spectrum();
    spectrum[0].imag(123.0f);
    if (size % 2 == 0) spectrum[size / 2].imag(-45.0f);
    const std::vector<std::complex<float>> given(spectrum, spectrum + fft.bins());
#ifdef TAVIX_COUNT_MALLOC
    const long before_inverse = mallocs.load();
#endif
    fft.inverse();
#ifdef TAVIX_COUNT_MALLOC
    if (mallocs.load() != before_inverse) fail(size, "inverse() allocated");
#endif
    if (!std::equal(given.begin(), given.end(), fft.spectrum())) fail(size, "inverse() changed spectrum()");
    float round_trip = 0, peak = 0;
    for (size_t m = 0; m < size; ++m) {
        round_trip = std::max(round_trip, std::fabs(fft.time()[m] / static_cast<float>(size) - x[m]));
        peak = std::max(peak, std::fabs(x[m]));
    }
    if (!(round_trip <= 1e-5f * peak))
        fail(size, "inverse(forward()) is off size * input by " + std::to_string(round_trip / peak));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <size>...\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) check(std::strtoul(argv[i], nullptr, 10));
    if (failures != 0) return 1;
    std::printf("ok\n");
    return 0;
}
