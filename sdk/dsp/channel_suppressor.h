// The noise suppressor of one channel: STFT analysis, spectral gain,
// overlap-add synthesis.
#pragma once

#include <cstddef>
#include <vector>

#include "dsp/noise_tracker.h"
#include "dsp/real_fft.h"
#include "dsp/speech_absence.h"
#include "dsp/tone_guard.h"

namespace tavix::dsp {

class ChannelSuppressor {
public:
    // window: analysis length in samples (even, at least 2 * hop); hop: the
    // samples between analyses. The output lags the input by 2 * hop
    // whatever the window: the analysis window is long for frequency
    // resolution, the synthesis window covers only its last 2 * hop.
    ChannelSuppressor(size_t window, size_t hop, double sample_rate);

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
    size_t hops_until_full_;  // hops before the first window holds no start-up zeros
    size_t low_cut_;          // bins below this carry no speech
    RealFft fft_;
    NoiseTracker noise_;
    ToneGuard tone_guard_;
    std::vector<float> analysis_window_;
    std::vector<float> synthesis_window_;  // its last 2 * hop values; the rest are 0
    std::vector<float> input_;    // the newest window of input
    std::vector<float> output_;   // finished output of the current hop
    std::vector<float> overlap_;  // second half of the last synthesis frame
    std::vector<float> power_;
    std::vector<float> gains_;
    std::vector<float> previous_clean_power_;  // per bin, of the last frame
    std::vector<float> priori_;                // a priori SNR, scratch of update_gains
    std::vector<float> scratch_;
    std::vector<float> log_floors_;  // log2 of the gain floor, per bin
    SpeechAbsence absence_;
};

}  // namespace tavix::dsp
