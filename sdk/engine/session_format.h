// The PCM format of one processor session, fixed at creation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavix/AudioAttributes.h"

namespace tavix::sdk {

struct SessionFormat {
    uint32_t sample_rate = 0;
    uint16_t channels = 0;

    // Frames (per channel) in `ms` milliseconds, rounded up.
    size_t frames_in_ms(uint32_t ms) const {
        return (static_cast<uint64_t>(sample_rate) * ms + 999) / 1000;
    }
};

// Throws std::invalid_argument unless the rate is supported and there
// are 1 or 2 channels.
SessionFormat session_format(const AudioAttributes& attrs);

}  // namespace tavix::sdk
