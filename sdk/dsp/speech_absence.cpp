#include "dsp/speech_absence.h"

#include <algorithm>

#include "dsp/fast_math.h"
#include "dsp/vector_clones.h"

namespace tavix::dsp {
namespace {

// Time smoothing of the a priori SNR (Cohen's 0.7).
constexpr float kSmoothing = 0.7f;
// The wide neighbourhood: 15 bins each side (31.25 Hz bins at every rate).
constexpr size_t kGlobalHalfWidth = 15;
// A smoothed SNR below -5 dB says "no speech here", above 0 dB "speech";
// in between, the evidence for speech grows with the logarithm, from 0 to 1.
constexpr float kQuiet = 0.31623f;  // -5 dB
constexpr float kLog2Span = 1.66096f;  // log2(1 / kQuiet): 5 dB
// The absence probability stays within [0.6, 0.9]: never so sure of speech
// that noise is kept whole, never so sure of silence that a weak onset
// drowns in the floor. (Measured on the benchmark in bench/denoise.)
constexpr float kMinAbsence = 0.6f;
constexpr float kMaxAbsence = 0.9f;

// Turns smoothed SNRs into the evidence for speech, in place. Written to
// vectorise, as the gain rule is: each pass ends in the one min or max GCC
// will if-convert.
TAVIX_VECTOR_CLONES
void to_evidence(float* snr, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        snr[k] = max_of(snr[k], kQuiet);
    }
    for (size_t k = 0; k < n; ++k) {
        snr[k] = min_of(fast_log2(snr[k] / kQuiet) / kLog2Span, 1.0f);
    }
}

}  // namespace

SpeechAbsence::SpeechAbsence(size_t bins)
    : smoothed_(bins, 0.0f), local_(bins, 0.0f), wide_(bins, 0.0f), odds_(bins, 0.0f) {}

const float* SpeechAbsence::update(const float* priori) {
    const size_t n = smoothed_.size();
    float* smoothed = smoothed_.data();
    float* local = local_.data();
    float* wide = wide_.data();
    float* odds = odds_.data();
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
        wide[k] = static_cast<float>(sum / static_cast<double>(count));
    }
    if (n < 3) {
        std::copy(smoothed, smoothed + n, local);
    } else {
        local[0] = 0.75f * smoothed[0] + 0.25f * smoothed[1];
        local[n - 1] = 0.25f * smoothed[n - 2] + 0.75f * smoothed[n - 1];
        for (size_t k = 1; k + 1 < n; ++k) {
            local[k] = 0.25f * smoothed[k - 1] + 0.5f * smoothed[k] + 0.25f * smoothed[k + 1];
        }
    }
    to_evidence(local, n);
    to_evidence(wide, n);
    for (size_t k = 0; k < n; ++k) {
        odds[k] = max_of(1.0f - local[k] * wide[k], kMinAbsence);
    }
    for (size_t k = 0; k < n; ++k) {
        odds[k] = min_of(odds[k], kMaxAbsence);
    }
    for (size_t k = 0; k < n; ++k) {
        odds[k] = odds[k] / (1.0f - odds[k]);
    }
    return odds;
}

}  // namespace tavix::dsp
