#include "dsp/tone_guard.h"

#include <algorithm>
#include <cmath>

namespace tavix::dsp {
namespace {

constexpr double kHalfWidth_hz = 250.0;
constexpr double kProtectFrom_hz = 300.0;
constexpr double kHumFrom_hz = 40.0;
// A line stands out of its neighbourhood by more than this power ratio (6 dB).
constexpr float kLineRatio = 4.0f;
constexpr double kMains_hz[] = {50.0, 60.0};
// A bin "lies on" a harmonic within this fraction of the bin spacing.
constexpr double kOnHarmonic = 0.6;
constexpr size_t kRefreshHops = 4;

}  // namespace

ToneGuard::ToneGuard(size_t bins, double bin_hz)
    : half_width_(std::max<size_t>(1, static_cast<size_t>(std::lround(kHalfWidth_hz / bin_hz)))),
      protect_from_(std::min(bins, static_cast<size_t>(std::ceil(kProtectFrom_hz / bin_hz)))),
      hum_from_(std::min(protect_from_, static_cast<size_t>(std::ceil(kHumFrom_hz / bin_hz)))),
      mains_(bins, 0),
      protected_(bins, 0),
      guarded_(bins, 0.0f),
      median_(bins, 0.0f),
      window_(std::min(bins, 2 * half_width_ + 1), 0.0f),
      scratch_(2 * half_width_ + 1, 0.0f) {
    for (size_t k = 1; k < bins; ++k) {
        const double f = static_cast<double>(k) * bin_hz;
        for (double mains : kMains_hz) {
            const double harmonic = std::round(f / mains) * mains;
            if (harmonic > 0.0 && std::fabs(f - harmonic) <= kOnHarmonic * bin_hz) mains_[k] = 1;
        }
    }
}

const float* ToneGuard::apply(const float* noise) {
    const size_t n = bins();
    std::copy(noise, noise + n, guarded_.begin());
    if (protect_from_ >= n) return guarded_.data();
    // Lines and their neighbourhoods change over hundreds of milliseconds:
    // the medians are taken every kRefreshHops hops and reused between.
    if (hops_since_refresh_ == 0) refresh(noise);
    hops_since_refresh_ = (hops_since_refresh_ + 1) % kRefreshHops;
    for (size_t k = protect_from_; k < n; ++k) {
        if (protected_[k]) guarded_[k] = std::min(noise[k], median_[k]);
    }
    return guarded_.data();
}

void ToneGuard::refresh(const float* noise) {
    const size_t n = bins();

    // Medians over symmetric neighbourhoods: full ones slide along sorted,
    // the shrinking ones at both edges are few and short.
    const size_t w = half_width_;
    const size_t width = 2 * w + 1;
    const bool slides = n >= width;
    if (slides) {
        std::copy(noise, noise + width, window_.begin());
        std::sort(window_.begin(), window_.end());
    }
    for (size_t k = 0; k < n; ++k) {
        const bool full = slides && k >= w && k + w < n;
        if (!full) {
            median_[k] = neighbourhood_median(noise, k);
            continue;
        }
        if (k > w) replace_sorted(noise[k - w - 1], noise[k + w]);
        median_[k] = window_[w];
    }

    bool hum = false;
    for (size_t k = hum_from_; k < protect_from_ && !hum; ++k) {
        hum = noise[k] > kLineRatio * median_[k];
    }
    for (size_t k = protect_from_; k < n; ++k) {
        protected_[k] = noise[k] > kLineRatio * median_[k] && !(hum && mains_[k]);
    }
}

float ToneGuard::neighbourhood_median(const float* noise, size_t k) {
    const size_t n = bins();
    const size_t m = std::min({half_width_, k, n - 1 - k});
    const size_t count = 2 * m + 1;
    std::copy(noise + (k - m), noise + (k + m + 1), scratch_.begin());
    std::nth_element(scratch_.begin(), scratch_.begin() + m, scratch_.begin() + count);
    return scratch_[m];
}

void ToneGuard::replace_sorted(float leaving, float entering) {
    const auto begin = window_.begin();
    const auto end = window_.end();
    auto slot = std::lower_bound(begin, end, leaving);
    if (slot == end || *slot != leaving) {
        return;  // not a number: leave the window as it is
    }
    *slot = entering;
    while (slot != begin && *(slot - 1) > *slot) {
        std::iter_swap(slot - 1, slot);
        --slot;
    }
    while (slot + 1 != end && *(slot + 1) < *slot) {
        std::iter_swap(slot + 1, slot);
        ++slot;
    }
}

}  // namespace tavix::dsp
