// Single-microphone noise suppressor for interleaved float PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tavix::dsp {

class ChannelSuppressor;

// Short-time spectral suppression per channel (channel_suppressor.h): 32 ms
// analysis windows every 10 ms with low-delay synthesis, a noise estimate
// from the speech-presence probability that also follows steps in the noise
// level (noise_tracker.h), steady tones kept and mains hum not
// (tone_guard.h), and a decision-directed gain weighted by speech presence.
// All memory is taken in the constructor, so process() never allocates.
class Denoiser {
public:
    // sample_rate in [8000, 192000], channels 1 or 2; otherwise
    // std::invalid_argument.
    Denoiser(uint32_t sample_rate, uint16_t channels);
    ~Denoiser();
    Denoiser(Denoiser&&) noexcept;
    Denoiser& operator=(Denoiser&&) noexcept;
    Denoiser(const Denoiser&) = delete;
    Denoiser& operator=(const Denoiser&) = delete;

    // Per-channel frames of algorithmic delay (two 10 ms hops).
    static uint32_t latency_frames(uint32_t sample_rate);

    // `in` and `out` are interleaved and hold `frames` frames each; they may
    // be the same buffer. out is in delayed by exactly latency_frames().
    // Non-finite samples count as silence.
    void process(const float* in, float* out, size_t frames);

private:
    uint16_t channels_;
    size_t hop_;
    size_t filled_ = 0;  // frames of the current hop already taken in
    std::vector<std::unique_ptr<ChannelSuppressor>> suppressors_;
};

}  // namespace tavix::dsp
