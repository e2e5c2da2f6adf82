// The level range of a coded sample.
#pragma once

#include <algorithm>

namespace tavix::dsp {

// What a codec can carry of a float sample: NaN carries no level and becomes
// 0, anything else is clipped to [-1, 1].
inline float clip_to_unit(float sample) {
    if (!(sample == sample)) return 0.0f;
    return std::clamp(sample, -1.0f, 1.0f);
}

}  // namespace tavix::dsp
