// The sample rates the SDK's signal processing supports.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tavix::dsp {

inline constexpr uint32_t kMinSampleRate = 8000;
inline constexpr uint32_t kMaxSampleRate = 192000;

// Throws std::invalid_argument naming `what` unless `sample_rate` is supported.
inline void require_supported_sample_rate(uint32_t sample_rate, const char* what) {
    if (sample_rate < kMinSampleRate || sample_rate > kMaxSampleRate)
        throw std::invalid_argument(std::string(what) + " " + std::to_string(sample_rate) +
                                    " Hz is not supported; use " + std::to_string(kMinSampleRate) +
                                    " to " + std::to_string(kMaxSampleRate) + " Hz");
}

}  // namespace tavix::dsp
