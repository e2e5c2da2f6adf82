#include "dsp/channel_suppressor.h"

#include <algorithm>
#include <cmath>

namespace tavix::dsp {
namespace {

// Decision-directed a priori SNR (Ephraim-Malah): weight of the last
// frame's clean estimate; high values keep residual noise free of
// "musical" flutter.
constexpr float kDecisionDirectedWeight = 0.98f;
constexpr float kMinPrioriSnr = 0.003f;  // -25 dB
constexpr float kMaxPosterioriSnr = 1.0e4f;
// Never attenuate by more than 20 dB: deeper gains make the residual noise
// pump and colour speech.
constexpr float kGainFloor = 0.1f;
// Keeps SNR ratios finite on digital silence.
constexpr float kMinNoisePower = 1.0e-20f;
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

}  // namespace

ChannelSuppressor::ChannelSuppressor(size_t window)
    : window_(window),
      hop_(window / 2),
      fft_(window),
      noise_floor_(fft_.bins()),
      sqrt_hann_(window),
      input_(window, 0.0f),
      output_(window / 2, 0.0f),
      overlap_(window / 2, 0.0f),
      power_(fft_.bins(), 0.0f),
      gains_(fft_.bins(), 1.0f),
      previous_clean_power_(fft_.bins(), 0.0f) {
    // Periodic Hann halves at 50% overlap sum to one, so the square roots
    // used for analysis and synthesis reconstruct the input exactly.
    for (size_t n = 0; n < window_; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(n) /
                                                 static_cast<double>(window_));
        sqrt_hann_[n] = static_cast<float>(std::sqrt(hann));
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

void ChannelSuppressor::process_hop() {
    float* time = fft_.time();
    for (size_t n = 0; n < window_; ++n) {
        time[n] = input_[n] * sqrt_hann_[n];
    }
    fft_.forward();

    std::complex<float>* spectrum = fft_.spectrum();
    const size_t bins = fft_.bins();
    for (size_t k = 0; k < bins; ++k) {
        power_[k] = std::norm(spectrum[k]);
    }
    update_gains(power_.data(), noise_floor_.update(power_.data()));
    for (size_t k = 0; k < bins; ++k) {
        spectrum[k] *= gains_[k];
    }
    fft_.inverse();

    const float scale = 1.0f / static_cast<float>(window_);
    for (size_t n = 0; n < hop_; ++n) {
        output_[n] = overlap_[n] + time[n] * sqrt_hann_[n] * scale;
        overlap_[n] = time[hop_ + n] * sqrt_hann_[hop_ + n] * scale;
    }
    std::copy(input_.begin() + hop_, input_.end(), input_.begin());
}

void ChannelSuppressor::update_gains(const float* power, const float* noise) {
    const size_t bins = fft_.bins();
    for (size_t k = 0; k < bins; ++k) {
        const float noise_power = std::max(noise[k], kMinNoisePower);
        const float posteriori = std::min(power[k] / noise_power, kMaxPosterioriSnr);
        const float priori = std::max(
            kDecisionDirectedWeight * previous_clean_power_[k] / noise_power +
                (1.0f - kDecisionDirectedWeight) * std::max(posteriori - 1.0f, 0.0f),
            kMinPrioriSnr);
        const float gain = std::max(priori / (1.0f + priori), kGainFloor);
        gains_[k] = gain;
        previous_clean_power_[k] = gain * gain * power[k];
    }
}

}  // namespace tavix::dsp
