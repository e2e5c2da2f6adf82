// Keeps steady tones out of a noise estimate, except mains hum.
#pragma once

#include <cstddef>
#include <vector>

namespace tavix::dsp {

// Any noise tracker takes a steady tone for noise in time: a whistle, a
// test tone, a held note would be suppressed. Broadband noise is smooth
// across frequency and a tone is not, so a bin whose noise estimate stands
// out of the median of its neighbourhood (+-250 Hz) by more than 6 dB above
// 300 Hz is capped at that median.
//
// Hum is the exception: mains hum is a steady tone that nobody wants. When
// the estimate has a line between 40 and 300 Hz, where speech has no steady
// tones, the lines at multiples of 50 and 60 Hz are left as noise at every
// frequency. A monotonic slope (brown noise) is no line: the neighbourhood is
// symmetric, shrinking at the band edges, so a slope never stands out.
class ToneGuard {
public:
    ToneGuard(size_t bins, double bin_hz);

    // The guarded copy of `noise` (bins() values), valid until the next call.
    const float* apply(const float* noise);

    size_t bins() const { return guarded_.size(); }

private:
    void refresh(const float* noise);
    void count_lower_neighbours(const float* noise);
    size_t neighbourhood_half(size_t k) const;
    bool is_line(size_t k) const;
    float neighbourhood_median(const float* noise, size_t k);

    size_t half_width_;
    size_t protect_from_;            // first bin that may hold a protected tone
    size_t hum_from_;                // bins [hum_from_, protect_from_) reveal hum
    std::vector<unsigned char> mains_;  // bin lies on a multiple of 50 or 60 Hz
    std::vector<unsigned char> protected_;  // bin holds a tone to keep
    size_t hops_since_refresh_ = 0;
    std::vector<float> guarded_;
    std::vector<float> median_;      // of the neighbourhood; kept for protected bins only
    std::vector<int> lower_;         // neighbours a line would stand out of, per bin
    std::vector<float> scratch_;
};

}  // namespace tavix::dsp
