// The a priori probability that a bin holds no speech, for the gain rule.
#pragma once

#include <cstddef>
#include <vector>

namespace tavix::dsp {

// Cohen's estimate (OM-LSA): speech is likely absent from a bin whose a
// priori SNR, smoothed over time, is low both in its own neighbourhood
// (3 bins) and over a wide one (about +-470 Hz). A fixed prior either leaves
// noise between words or takes weak speech with it; this one lets the gain
// fall to its floor where the whole region is quiet and keeps it up where
// speech has raised the region.
class SpeechAbsence {
public:
    // Throws std::bad_alloc only.
    explicit SpeechAbsence(size_t bins);

    // Takes this frame's a priori SNR per bin and returns, per bin, the
    // odds q / (1 - q) of speech absence (valid until the next call).
    const float* update(const float* priori);

private:
    std::vector<float> smoothed_;  // a priori SNR, smoothed over time
    std::vector<float> local_;     // its mean over 3 bins
    std::vector<float> wide_;      // and over the wide neighbourhood
    std::vector<float> odds_;
};

}  // namespace tavix::dsp
