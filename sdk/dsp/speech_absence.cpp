#include "dsp/speech_absence.h"

#include <algorithm>

#include "dsp/fast_math.h"

namespace tavix::dsp {
namespace {

// Time smoothing of the a priori SNR (Cohen's 0.7).
constexpr float kSmoothing = 0.7f;
// The wide neighbourhood: 15 bins each side (31.25 Hz bins at every rate).
constexpr size_t kGlobalHalfWidth = 15;
// A smoothed SNR below -5 dB says "no speech here", above 0 dB "speech";
// in between, the evidence grows with the logarithm.
constexpr float kQuiet = 0.31623f;  // -5 dB
constexpr float kLog2Span = 1.66096f;  // log2(1 / kQuiet): 5 dB
// The absence probability stays within [0.6, 0.9]: never so sure of speech
// that noise is kept whole, never so sure of silence that a weak onset
// drowns in the floor. (Measured on the benchmark in bench/denoise.)
constexpr float kMinAbsence = 0.6f;
constexpr float kMaxAbsence = 0.9f;

// How strongly a smoothed SNR speaks for speech: 0 at -5 dB, 1 at 0 dB.
inline float evidence(float snr) {
    return min_of(max_of(fast_log2(max_of(snr, kQuiet) / kQuiet) / kLog2Span, 0.0f), 1.0f);
}

}  // namespace

SpeechAbsence::SpeechAbsence(size_t bins) : smoothed_(bins, 0.0f), odds_(bins, 0.0f) {}

const float* SpeechAbsence::update(const float* priori) {
    const size_t n = smoothed_.size();
    float* smoothed = smoothed_.data();
    for (size_t k = 0; k < n; ++k) {
        smoothed[k] = kSmoothing * smoothed[k] + (1.0f - kSmoothing) * priori[k];
    }
    // The wide mean slides along as a running sum; the neighbourhood
    // shrinks at the band edges.
    double sum = 0.0;
    size_t count = 0;
    for (size_t k = 0; k < std::min(kGlobalHalfWidth, n); ++k) {
        sum += smoothed[k];
        ++count;
    }
    for (size_t k = 0; k < n; ++k) {
        if (k + kGlobalHalfWidth < n) {
            sum += smoothed[k + kGlobalHalfWidth];
            ++count;
        }
        if (k > kGlobalHalfWidth) {
            sum -= smoothed[k - kGlobalHalfWidth - 1];
            --count;
        }
        const float local = 0.25f * smoothed[k > 0 ? k - 1 : k] + 0.5f * smoothed[k] +
                            0.25f * smoothed[k + 1 < n ? k + 1 : k];
        const float wide = static_cast<float>(sum / static_cast<double>(count));
        const float absence = std::clamp(1.0f - evidence(local) * evidence(wide), kMinAbsence, kMaxAbsence);
        odds_[k] = absence / (1.0f - absence);
    }
    return odds_.data();
}

}  // namespace tavix::dsp
