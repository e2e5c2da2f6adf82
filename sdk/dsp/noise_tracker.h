// Noise power per frequency bin, for a speech suppressor.
#pragma once

#include <cstddef>
#include <vector>

namespace tavix::dsp {

// Follows the noise by its speech-presence probability (the unbiased MMSE
// estimator of Gerkmann and Hendriks): each bin moves towards its periodogram
// as far as that frame is unlikely to hold speech, so the estimate keeps up
// with noise that changes while nobody talks and holds while speech is there.
//
// That alone climbs slowly when the noise gets louder for good: louder noise
// looks like speech. So every 60 ms the tracker also asks whether most of the
// spectrum has sat steadily above its estimate for the last 240 ms, as a step
// in the noise level does and speech, which comes and goes, does not; if so,
// every bin is raised to its recent minimum. And an estimate learnt in
// near-silence, which every later frame would outshine as "speech", climbs
// out slowly: a bin that has looked like speech for a few hundred
// milliseconds counts partly as noise (Gerkmann and Hendriks' safeguard
// against stagnation), rising by at most 0.25 dB per frame.
class NoiseTracker {
public:
    // bins: of the power spectra to come. bin_hz: their spacing. Throws
    // std::bad_alloc only.
    NoiseTracker(size_t bins, double bin_hz);

    // Takes one frame's power spectrum and returns the noise estimate per bin
    // (valid until the next call). The first frames teach the starting level.
    const float* update(const float* power);

    size_t bins() const { return noise_.size(); }

private:
    // Moves each bin towards its periodogram as far as speech is unlikely.
    void follow_presence(const float* power);
    // The smoothed periodogram's minima and maxima of the open subwindow.
    void track_extremes(const float* power);
    void close_subwindow();
    // Raises the estimate when the last 240 ms show a step in the noise.
    void follow_step();

    size_t steady_from_;  // first and one past the last bin that vote on a step
    size_t steady_to_;
    size_t frames_seen_ = 0;
    size_t frames_in_subwindow_ = 0;
    size_t rows_filled_ = 0;
    size_t next_row_ = 0;
    std::vector<float> noise_;
    std::vector<float> mean_presence_;  // speech presence smoothed over time
    std::vector<float> scratch_;
    std::vector<float> smoothed_;      // across three bins, then over time
    std::vector<float> subwindow_min_;
    std::vector<float> subwindow_max_;
    std::vector<float> past_min_;      // kRows rows of bins()
    std::vector<float> past_max_;
};

}  // namespace tavix::dsp
