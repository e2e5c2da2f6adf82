#include "dsp/tone_guard.h"

#include <algorithm>
#include <cmath>

#include "dsp/vector_clones.h"

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
      lower_(bins, 0),
      scratch_(2 * half_width_ + 1, 0.0f) {
    for (size_t k = 1; k < bins; ++k) {
        const double f = static_cast<double>(k) * bin_hz;
        for (double mains : kMains_hz) {
            const double harmonic = std::round(f / mains) * mains;
            if (harmonic > 0.0 && std::fabs(f - harmonic) <= kOnHarmonic * bin_hz) mains_[k] = 1;
        }
    }
}

TAVIX_VECTOR_CLONES
void ToneGuard::count_lower_neighbours(const float* noise) {
    const size_t n = bins();
    const size_t w = half_width_;
    int* lower = lower_.data();
    std::fill(lower_.begin(), lower_.end(), 0);
    // Full neighbourhoods, one offset at a time over all of them: a pass per
    // offset vectorises, a pass per bin over its 2w + 1 neighbours does not.
    if (n > 2 * w) {
        for (size_t d = 0; d <= 2 * w; ++d) {
            const float* neighbour = noise + d;
            for (size_t k = w; k + w < n; ++k) {
                lower[k] += noise[k] > kLineRatio * neighbour[k - w] ? 1 : 0;
            }
        }
    }
    // The neighbourhoods that shrink at both band edges.
    for (size_t k = 0; k < n; ++k) {
        if (k >= w && k + w < n) continue;
        const size_t m = neighbourhood_half(k);
        for (size_t j = k - m; j <= k + m; ++j) lower[k] += noise[k] > kLineRatio * noise[j] ? 1 : 0;
    }
}

const float* ToneGuard::apply(const float* noise) {
    const size_t n = bins();
    std::copy(noise, noise + n, guarded_.begin());
    if (protect_from_ >= n) return guarded_.data();
    // Lines and their neighbourhoods change over hundreds of milliseconds:
    // they are found every kRefreshHops hops and kept between.
    if (hops_since_refresh_ == 0) refresh(noise);
    hops_since_refresh_ = (hops_since_refresh_ + 1) % kRefreshHops;
    for (size_t k = protect_from_; k < n; ++k) {
        if (protected_[k]) guarded_[k] = std::min(noise[k], median_[k]);
    }
    return guarded_.data();
}

void ToneGuard::refresh(const float* noise) {
    const size_t n = bins();
    // "Stands out of the median by the line ratio" is "stands out of more
    // than half of its neighbourhood by it": the same test, without sorting
    // anything. Only the few bins that hold a line need the median itself.
    count_lower_neighbours(noise);
    bool hum = false;
    for (size_t k = hum_from_; k < protect_from_ && !hum; ++k) {
        hum = is_line(k);
    }
    for (size_t k = protect_from_; k < n; ++k) {
        protected_[k] = is_line(k) && !(hum && mains_[k]);
        if (protected_[k]) median_[k] = neighbourhood_median(noise, k);
    }
}

size_t ToneGuard::neighbourhood_half(size_t k) const {
    return std::min({half_width_, k, bins() - 1 - k});
}

bool ToneGuard::is_line(size_t k) const {
    // More than half of the 2m + 1 neighbours lie below noise / kLineRatio
    // exactly when the median (the (m + 1)-th smallest) does.
    return static_cast<size_t>(lower_[k]) > neighbourhood_half(k);
}

float ToneGuard::neighbourhood_median(const float* noise, size_t k) {
    const size_t m = neighbourhood_half(k);
    const size_t count = 2 * m + 1;
    std::copy(noise + (k - m), noise + (k + m + 1), scratch_.begin());
    std::nth_element(scratch_.begin(), scratch_.begin() + m, scratch_.begin() + count);
    return scratch_[m];
}

}  // namespace tavix::dsp
