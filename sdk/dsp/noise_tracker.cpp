#include "dsp/noise_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dsp/fast_math.h"
#include "dsp/vector_clones.h"

namespace tavix::dsp {
namespace {

// Frames (10 ms hops) whose mean periodogram is the starting estimate.
constexpr size_t kLearningFrames = 10;
// The speech model of the presence probability: speech, when present, is
// 7 dB above the noise (Gerkmann & Hendriks fix 15 dB; a lower figure lets
// the estimate follow noise whose periodogram swings widely, and measured
// better on speech here), and as likely present as absent.
constexpr float kSpeechSnr = 5.0f;  // 7 dB
constexpr float kPosteriorScale = kSpeechSnr / (1.0f + kSpeechSnr);
constexpr float kPriorOdds = 1.0f + kSpeechSnr;
// Recursive smoothing of the estimate (time constant ~95 ms at 10 ms hops).
constexpr float kNoiseSmoothing = 0.9f;
// Stagnation (Gerkmann & Hendriks' safety net): a bin whose presence,
// smoothed over ~200 ms, stays above 0.99 counts partly as noise and climbs,
// by at most 0.25 dB per frame: enough to leave an estimate learnt in
// near-silence within seconds, little enough to cost a held vowel nothing.
constexpr float kPresenceSmoothing = 0.95f;
constexpr float kStuckPresence = 0.99f;
constexpr float kStuckRise = 1.06f;

// The step detector: smoothing of the periodogram (three bins, then ~30 ms),
// kept as minima and maxima over kRows subwindows of kSubwindowFrames.
constexpr float kStepSmoothing = 0.7f;
constexpr size_t kSubwindowFrames = 6;
constexpr size_t kRows = 4;  // 240 ms of history
// A bin is steady when its smoothed power stayed within 6 dB...
constexpr float kSteadyRange = 3.98f;
// ...and behind when its recent minimum is over 3 dB above the estimate;
constexpr float kBehind = 2.0f;
// a step is when at least half the voting bins are both. Every bin then
// rises to 1.5 times its recent minimum, about the mean of steady noise.
constexpr float kStepVote = 0.5f;
constexpr float kStepLevel = 1.5f;
// The band that votes: speech-free rumble below and the band edge above
// only add chance.
constexpr double kVoteFrom_hz = 100.0;
constexpr double kVoteToNyquist = 0.9;

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kTiny = 1.0e-20f;

}  // namespace

NoiseTracker::NoiseTracker(size_t bins, double bin_hz)
    : noise_(bins, kTiny),
      mean_presence_(bins, 0.0f),
      scratch_(bins, 0.0f),
      smoothed_(bins, 0.0f),
      subwindow_min_(bins, kInfinity),
      subwindow_max_(bins, 0.0f),
      past_min_(kRows * bins, kInfinity),
      past_max_(kRows * bins, 0.0f) {
    steady_from_ = std::min(bins, static_cast<size_t>(std::ceil(kVoteFrom_hz / bin_hz)));
    steady_to_ = std::max(steady_from_, static_cast<size_t>(kVoteToNyquist * (bins - 1)));
}

TAVIX_VECTOR_CLONES
void NoiseTracker::follow_step() {
    const size_t n = bins();
    // The recent minimum and maximum go into the subwindow buffers, which
    // are free until close_subwindow refills them with their start values.
    float* low = subwindow_min_.data();
    float* high = subwindow_max_.data();
    size_t votes = 0;
    for (size_t k = 0; k < n; ++k) {
        float lo = kInfinity;
        float hi = 0.0f;
        for (size_t row = 0; row < kRows; ++row) {
            lo = std::min(lo, past_min_[row * n + k]);
            hi = std::max(hi, past_max_[row * n + k]);
        }
        low[k] = lo;
        high[k] = hi;
        if (k >= steady_from_ && k < steady_to_ && hi < kSteadyRange * lo && lo > kBehind * noise_[k]) {
            ++votes;
        }
    }
    if (static_cast<float>(votes) >= kStepVote * static_cast<float>(steady_to_ - steady_from_)) {
        // Every bin rises to its recent floor: the minimum over the window
        // is what even a bin with speech in it had of noise at least.
        for (size_t k = 0; k < n; ++k) {
            noise_[k] = std::max(noise_[k], kStepLevel * low[k]);
        }
    }
}

TAVIX_VECTOR_CLONES
void NoiseTracker::follow_presence(const float* power) {
    const size_t n = bins();
    // This runs over every bin every hop, so it is written to vectorise:
    // GCC if-converts a min or max only when nothing but a store follows
    // it, so each pass ends in one.
    float* noise = noise_.data();
    float* mean_presence = mean_presence_.data();
    float* presence = scratch_.data();
    for (size_t k = 0; k < n; ++k) {
        presence[k] = min_of(power[k] / noise[k] * kPosteriorScale, kMaxExponent);
    }
    for (size_t k = 0; k < n; ++k) {
        presence[k] = 1.0f / (1.0f + kPriorOdds * fast_exp(-presence[k]));
        mean_presence[k] = kPresenceSmoothing * mean_presence[k] +
                           (1.0f - kPresenceSmoothing) * presence[k];
    }
    // A bin that has looked like speech for a while is more likely noise
    // the estimate lost (it started too low): it counts partly as noise
    // and climbs, at a bounded rate so a held note costs little.
    for (size_t k = 0; k < n; ++k) {
        presence[k] = mean_presence[k] > kStuckPresence ? min_of(presence[k], kStuckPresence)
                                                       : presence[k];
    }
    for (size_t k = 0; k < n; ++k) {
        const float expected = (1.0f - presence[k]) * power[k] + presence[k] * noise[k];
        const float next = kNoiseSmoothing * noise[k] + (1.0f - kNoiseSmoothing) * expected;
        const float limit = mean_presence[k] > kStuckPresence ? kStuckRise * noise[k] : next;
        noise[k] = max_of(min_of(next, limit), kTiny);
    }
}

TAVIX_VECTOR_CLONES
void NoiseTracker::track_extremes(const float* power) {
    const size_t n = bins();
    for (size_t k = 0; k < n; ++k) {
        const float across = (power[k > 0 ? k - 1 : k] + power[k] + power[k + 1 < n ? k + 1 : k]) / 3.0f;
        smoothed_[k] = frames_seen_ == 1
                           ? across
                           : kStepSmoothing * smoothed_[k] + (1.0f - kStepSmoothing) * across;
        subwindow_min_[k] = std::min(subwindow_min_[k], smoothed_[k]);
        subwindow_max_[k] = std::max(subwindow_max_[k], smoothed_[k]);
    }
}

const float* NoiseTracker::update(const float* power) {
    const size_t n = bins();
    if (frames_seen_ < kLearningFrames) {
        const float weight = 1.0f / static_cast<float>(frames_seen_ + 1);
        for (size_t k = 0; k < n; ++k) {
            noise_[k] = std::max(noise_[k] + weight * (power[k] - noise_[k]), kTiny);
        }
    } else {
        follow_presence(power);
    }
    ++frames_seen_;
    track_extremes(power);
    if (++frames_in_subwindow_ == kSubwindowFrames) {
        close_subwindow();
    }
    return noise_.data();
}

void NoiseTracker::close_subwindow() {
    const size_t n = bins();
    std::copy(subwindow_min_.begin(), subwindow_min_.end(), past_min_.begin() + next_row_ * n);
    std::copy(subwindow_max_.begin(), subwindow_max_.end(), past_max_.begin() + next_row_ * n);
    next_row_ = (next_row_ + 1) % kRows;
    rows_filled_ = std::min(rows_filled_ + 1, kRows);
    frames_in_subwindow_ = 0;
    if (rows_filled_ == kRows && frames_seen_ > kLearningFrames) {
        follow_step();
    }
    std::fill(subwindow_min_.begin(), subwindow_min_.end(), kInfinity);
    std::fill(subwindow_max_.begin(), subwindow_max_.end(), 0.0f);
}

}  // namespace tavix::dsp
