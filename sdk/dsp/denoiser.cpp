#include "dsp/denoiser.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "dsp/channel_suppressor.h"
#include "dsp/sample_rate_range.h"

namespace tavix::dsp {
namespace {

// 10 ms hops keep every time constant of the suppressor independent of the
// sample rate. Analysis windows of 32 ms resolve the harmonics of low voices
// and hum lines (31 Hz bins); the output still lags by two hops (20 ms).
constexpr double kHop_s = 0.010;
constexpr double kWindow_s = 0.032;

size_t hop_frames(uint32_t sample_rate) {
    return static_cast<size_t>(std::lround(kHop_s * sample_rate));
}

size_t window_frames(uint32_t sample_rate) {
    return 2 * static_cast<size_t>(std::lround(kWindow_s / 2 * sample_rate));
}

}  // namespace

Denoiser::Denoiser(uint32_t sample_rate, uint16_t channels)
    : channels_(channels), hop_(0) {
    require_supported_sample_rate(sample_rate, "denoiser sample rate");
    if (channels != 1 && channels != 2) {
        throw std::invalid_argument("denoiser supports 1 or 2 channels, got " +
                                    std::to_string(channels));
    }
    hop_ = hop_frames(sample_rate);
    suppressors_.reserve(channels);
    for (uint16_t c = 0; c < channels; ++c) {
        suppressors_.push_back(std::make_unique<ChannelSuppressor>(
            window_frames(sample_rate), hop_, static_cast<double>(sample_rate)));
    }
}

Denoiser::~Denoiser() = default;
Denoiser::Denoiser(Denoiser&&) noexcept = default;
Denoiser& Denoiser::operator=(Denoiser&&) noexcept = default;

uint32_t Denoiser::latency_frames(uint32_t sample_rate) {
    require_supported_sample_rate(sample_rate, "denoiser sample rate");
    return static_cast<uint32_t>(2 * hop_frames(sample_rate));
}

void Denoiser::process(const float* in, float* out, size_t frames) {
    while (frames > 0) {
        const size_t count = std::min(hop_ - filled_, frames);
        for (uint16_t c = 0; c < channels_; ++c) {
            suppressors_[c]->exchange(in + c, out + c, channels_, filled_, count);
        }
        filled_ += count;
        if (filled_ == hop_) {
            for (auto& suppressor : suppressors_) {
                suppressor->process_hop();
            }
            filled_ = 0;
        }
        in += count * channels_;
        out += count * channels_;
        frames -= count;
    }
}

}  // namespace tavix::dsp
