#include "dsp/channel_suppressor.h"

#include <algorithm>
#include <cmath>

#include "dsp/fast_math.h"
#include "dsp/vector_clones.h"

namespace tavix::dsp {
namespace {

// Decision-directed a priori SNR (Ephraim-Malah): weight of the last
// frame's clean estimate. Lower reacts faster to speech onsets, higher keeps
// the residual noise free of "musical" flutter.
constexpr float kDecisionDirectedWeight = 0.95f;
constexpr float kMinPrioriSnr = 0.0032f;  // -25 dB
constexpr float kMaxPosterioriSnr = 1.0e4f;
// Where speech is absent the gain falls to a floor (-18.4 dB); where it is
// present, to a parametric Wiener gain (the Wiener gain to the power 0.8,
// which keeps more of weak speech). The presence probability weighs the two
// in the log domain (Cohen's OM-LSA rule), so noise between words is taken
// down to the floor without the flutter of a Wiener gain alone, and speech
// keeps its gain. Up to 110 Hz the floor is -30 dB: engines, fans and
// rumble put most of their power there, and voices little. (Floors and
// exponent measured on the benchmark in bench/denoise.)
constexpr float kGainFloor = 0.12f;
constexpr float kLowGainFloor = 0.0316f;
constexpr double kLowFloor_hz = 110.0;
constexpr float kWienerExponent = 0.8f;
// Below 80 Hz there is no speech worth its noise, only rumble and hum (and
// the lowest fundamentals of deep voices, which the harmonics above imply):
// always -40 dB.
constexpr double kLowCut_hz = 80.0;
constexpr float kLowCutGain = 0.01f;
// Far beyond any PCM level, yet small enough that no power sum can overflow:
// one absurd sample must not poison the recursive estimates for good.
constexpr float kMaxMagnitude = 1.0e4f;

float sanitised(float sample) {
    if (!std::isfinite(sample)) {
        return 0.0f;
    }
    return std::fmin(kMaxMagnitude, std::fmax(-kMaxMagnitude, sample));
}

constexpr double kPi = 3.14159265358979323846;

// Periodic Hann window of length `length`, value at n.
double hann(size_t n, size_t length) {
    return 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(n) / static_cast<double>(length));
}

}  // namespace

ChannelSuppressor::ChannelSuppressor(size_t window, size_t hop, double sample_rate)
    : window_(window),
      hop_(hop),
      hops_until_full_((window + hop - 1) / hop),
      fft_(window),
      noise_(fft_.bins(), sample_rate / static_cast<double>(window)),
      tone_guard_(fft_.bins(), sample_rate / static_cast<double>(window)),
      analysis_window_(window),
      synthesis_window_(window, 0.0f),
      input_(window, 0.0f),
      output_(hop, 0.0f),
      overlap_(hop, 0.0f),
      power_(fft_.bins(), 0.0f),
      gains_(fft_.bins(), 1.0f),
      previous_clean_power_(fft_.bins(), 0.0f),
      priori_(fft_.bins(), 0.0f),
      scratch_(fft_.bins(), 0.0f),
      log_floors_(fft_.bins(), 0.0f),
      absence_(fft_.bins()) {
    low_cut_ = static_cast<size_t>(std::ceil(kLowCut_hz * static_cast<double>(window) / sample_rate));
    const size_t low_floor =
        static_cast<size_t>(std::ceil(kLowFloor_hz * static_cast<double>(window) / sample_rate));
    for (size_t k = 0; k < log_floors_.size(); ++k) {
        log_floors_[k] = fast_log2(k < low_floor ? kLowGainFloor : kGainFloor);
    }
    // Asymmetric windows of low delay (Mauler & Martin): the analysis window
    // rises over window - hop samples and falls over the last hop; the
    // synthesis window is zero but for the last 2 * hop samples, where
    // analysis times synthesis is a Hann window of 2 * hop. Those overlap-add
    // to one at a hop of `hop`, so an all-pass gain gives the input back
    // exactly, delayed by 2 * hop.
    const size_t rise = window_ - hop_;
    for (size_t n = 0; n < rise; ++n) {
        analysis_window_[n] = static_cast<float>(std::sqrt(hann(n, 2 * rise)));
    }
    for (size_t n = 0; n < hop_; ++n) {
        const float fall = static_cast<float>(std::sqrt(hann(hop_ + n, 2 * hop_)));
        analysis_window_[rise + n] = fall;
        synthesis_window_[rise + n] = fall;
        const size_t at = window_ - 2 * hop_ + n;
        synthesis_window_[at] =
            static_cast<float>(hann(n, 2 * hop_) / std::sqrt(hann(at, 2 * rise)));
    }
}

void ChannelSuppressor::exchange(const float* in, float* out, size_t stride, size_t at,
                                 size_t count) {
    float* newest = input_.data() + (window_ - hop_) + at;
    const float* ready = output_.data() + at;
    for (size_t i = 0; i < count; ++i) {
        const float sample = in[i * stride];
        out[i * stride] = ready[i];
        newest[i] = sanitised(sample);
    }
}

TAVIX_VECTOR_CLONES
void ChannelSuppressor::update_gains(const float* power, const float* noise) {
    const size_t bins = fft_.bins();
    float* gains = gains_.data();
    float* previous = previous_clean_power_.data();
    float* priori = priori_.data();
    float* scratch = scratch_.data();
    const float* log_floors = log_floors_.data();
    // This runs over every bin every hop, so it is written to vectorise: GCC
    // if-converts a min or max only when nothing but a store follows it, so
    // each pass ends in one. The noise estimate is positive (at least 1e-20);
    // the exponents stay within the range of fast_exp.
    for (size_t k = 0; k < bins; ++k) {  // a posteriori SNR
        gains[k] = min_of(power[k] / noise[k], kMaxPosterioriSnr);
    }
    for (size_t k = 0; k < bins; ++k) {
        scratch[k] = max_of(gains[k] - 1.0f, 0.0f);
    }
    for (size_t k = 0; k < bins; ++k) {  // a priori SNR, decision-directed
        priori[k] = max_of(kDecisionDirectedWeight * previous[k] / noise[k] +
                               (1.0f - kDecisionDirectedWeight) * scratch[k],
                           kMinPrioriSnr);
    }
    const float* absence_odds = absence_.update(priori);
    for (size_t k = 0; k < bins; ++k) {
        scratch[k] = min_of(priori[k] / (1.0f + priori[k]) * gains[k], kMaxExponent);
    }
    for (size_t k = 0; k < bins; ++k) {
        const float wiener = priori[k] / (1.0f + priori[k]);
        const float presence =
            1.0f / (1.0f + absence_odds[k] * (1.0f + priori[k]) * fast_exp(-scratch[k]));
        gains[k] = fast_exp2(presence * kWienerExponent * fast_log2(wiener) +
                             (1.0f - presence) * log_floors[k]);
    }
    for (size_t k = 0; k < std::min(low_cut_, bins); ++k) {
        gains[k] = kLowCutGain;
    }
    for (size_t k = 0; k < bins; ++k) {
        previous[k] = gains[k] * gains[k] * power[k];
    }
}

void ChannelSuppressor::process_hop() {
    float* time = fft_.time();
    for (size_t n = 0; n < window_; ++n) {
        time[n] = input_[n] * analysis_window_[n];
    }
    fft_.forward();

    std::complex<float>* spectrum = fft_.spectrum();
    const size_t bins = fft_.bins();
    for (size_t k = 0; k < bins; ++k) {
        power_[k] = std::norm(spectrum[k]);
    }
    if (hops_until_full_ > 0) {
        // The window still holds the zeros it started with: nothing to learn
        // from, and nothing to suppress yet.
        --hops_until_full_;
        std::fill(gains_.begin(), gains_.end(), 1.0f);
        std::copy(power_.begin(), power_.end(), previous_clean_power_.begin());
    } else {
        update_gains(power_.data(), tone_guard_.apply(noise_.update(power_.data())));
    }
    for (size_t k = 0; k < bins; ++k) {
        spectrum[k] *= gains_[k];
    }
    fft_.inverse();

    const float scale = 1.0f / static_cast<float>(window_);
    const size_t first = window_ - 2 * hop_;
    for (size_t n = 0; n < hop_; ++n) {
        output_[n] = overlap_[n] + time[first + n] * synthesis_window_[first + n] * scale;
        overlap_[n] = time[first + hop_ + n] * synthesis_window_[first + hop_ + n] * scale;
    }
    std::copy(input_.begin() + hop_, input_.end(), input_.begin());
}

}  // namespace tavix::dsp
