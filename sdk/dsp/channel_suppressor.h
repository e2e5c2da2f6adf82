// The noise suppressor of one channel: STFT analysis, spectral gain,
// overlap-add synthesis.
#pragma once

#include <cstddef>
#include <vector>

#include "dsp/noise_floor_tracker.h"
#include "dsp/real_fft.h"

namespace tavix::dsp {

class ChannelSuppressor {
public:
    // window: analysis length in samples (even); the hop is half of it.
    explicit ChannelSuppressor(size_t window);

    // Takes `count` samples (stride apart) into the current hop from
    // position `at`, and hands back the output samples for the same
    // positions. Reads each input sample before writing its output, so in
    // and out may alias.
    void exchange(const float* in, float* out, size_t stride, size_t at, size_t count);

    // Called when the hop is full: analyses the newest window and makes the
    // next hop of output ready.
    void process_hop();

private:
    void update_gains(const float* power, const float* noise);

    size_t window_;
    size_t hop_;
    RealFft fft_;
    NoiseFloorTracker noise_floor_;
    std::vector<float> sqrt_hann_;
    std::vector<float> input_;    // the newest window of input
    std::vector<float> output_;   // finished output of the current hop
    std::vector<float> overlap_;  // second half of the last synthesis frame
    std::vector<float> power_;
    std::vector<float> gains_;
    std::vector<float> previous_clean_power_;  // per bin, of the last frame
};

}  // namespace tavix::dsp
