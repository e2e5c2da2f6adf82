#include "dsp/noise_floor_tracker.h"

#include <algorithm>
#include <limits>

namespace tavix::dsp {
namespace {

// Recursive smoothing of the periodogram (time constant ~60 ms at 10 ms hops).
constexpr float kSmoothing = 0.85f;
// The minimum of a smoothed periodogram under-reads the mean noise power.
// Measured on white noise with these window, smoothing and median settings,
// this factor makes the final estimate read the mean power (ratio 1.01).
constexpr float kMinimumBias = 2.25f;
// Bins on each side that form a bin's neighbourhood (50 Hz bins: +-400 Hz).
constexpr size_t kNeighbourhoodHalfWidth = 8;

constexpr float kInfinity = std::numeric_limits<float>::infinity();

}  // namespace

NoiseFloorTracker::NoiseFloorTracker(size_t bins)
    : smoothed_(bins, 0.0f),
      subwindow_min_(bins, kInfinity),
      past_minima_(kSubwindows * bins, kInfinity),
      past_min_(bins, kInfinity),
      floor_(bins, 0.0f),
      noise_(bins, 0.0f),
      neighbourhood_(std::min(bins, 2 * kNeighbourhoodHalfWidth + 1), 0.0f) {}

const float* NoiseFloorTracker::update(const float* power) {
    const size_t n = bins();
    if (!started_) {
        std::copy(power, power + n, smoothed_.begin());
        started_ = true;
    }
    for (size_t k = 0; k < n; ++k) {
        smoothed_[k] = kSmoothing * smoothed_[k] + (1.0f - kSmoothing) * power[k];
        subwindow_min_[k] = std::min(subwindow_min_[k], smoothed_[k]);
        floor_[k] = kMinimumBias * std::min(subwindow_min_[k], past_min_[k]);
    }
    if (++frames_in_subwindow_ == kSubwindowFrames) {
        close_subwindow();
    }
    cap_by_neighbourhood_median();
    return noise_.data();
}

void NoiseFloorTracker::close_subwindow() {
    const size_t n = bins();
    std::copy(subwindow_min_.begin(), subwindow_min_.end(), past_minima_.begin() + next_row_ * n);
    next_row_ = (next_row_ + 1) % kSubwindows;
    std::fill(subwindow_min_.begin(), subwindow_min_.end(), kInfinity);
    frames_in_subwindow_ = 0;
    std::fill(past_min_.begin(), past_min_.end(), kInfinity);
    for (size_t row = 0; row < kSubwindows; ++row) {
        const float* minima = past_minima_.data() + row * n;
        for (size_t k = 0; k < n; ++k) {
            past_min_[k] = std::min(past_min_[k], minima[k]);
        }
    }
}

void NoiseFloorTracker::cap_by_neighbourhood_median() {
    // The neighbourhood slides up one bin at a time, so it is kept sorted by
    // swapping the bin that leaves for the one that enters.
    const size_t n = bins();
    const size_t width = neighbourhood_.size();
    const size_t middle = width / 2;
    auto sorted = neighbourhood_.begin();
    std::copy(floor_.begin(), floor_.begin() + width, sorted);
    std::sort(sorted, sorted + width);
    size_t first = 0;
    for (size_t k = 0; k < n; ++k) {
        const size_t wanted = std::min(k > middle ? k - middle : 0, n - width);
        if (wanted != first) {
            replace_sorted(floor_[first], floor_[first + width]);
            first = wanted;
        }
        noise_[k] = std::min(floor_[k], sorted[middle]);
    }
}

void NoiseFloorTracker::replace_sorted(float leaving, float entering) {
    const auto begin = neighbourhood_.begin();
    const auto end = neighbourhood_.end();
    auto slot = std::find(begin, end, leaving);
    if (slot == end) {
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
