// Noise power per frequency bin, by minimum statistics.
#pragma once

#include <cstddef>
#include <vector>

namespace tavix::dsp {

// Tracks the minimum of the smoothed power spectrum over a sliding window of
// about 1.5 s (kept as kSubwindows minima of kSubwindowFrames frames each),
// so speech pauses reveal the floor and a rising floor is followed within the
// window. A steady narrowband tone would look like floor to that minimum, so
// each bin is also capped by the median floor of its neighbourhood: broadband
// noise is smooth across frequency, a tone is not.
class NoiseFloorTracker {
public:
    static constexpr size_t kSubwindows = 8;
    static constexpr size_t kSubwindowFrames = 19;  // with 10 ms hops: 1.52 s window

    explicit NoiseFloorTracker(size_t bins);

    // Takes one frame's power spectrum (bins() values) and returns the
    // current noise power estimate per bin; the pointer stays valid.
    const float* update(const float* power);

    size_t bins() const { return smoothed_.size(); }

private:
    void close_subwindow();
    void cap_by_neighbourhood_median();
    void replace_sorted(float leaving, float entering);

    std::vector<float> smoothed_;
    std::vector<float> subwindow_min_;
    std::vector<float> past_minima_;  // kSubwindows rows of bins()
    std::vector<float> past_min_;     // minimum over past_minima_ rows
    std::vector<float> floor_;        // bias-corrected minimum
    std::vector<float> noise_;
    std::vector<float> neighbourhood_;  // sorted while capping
    size_t frames_in_subwindow_ = 0;
    size_t next_row_ = 0;
    bool started_ = false;
};

}  // namespace tavix::dsp
