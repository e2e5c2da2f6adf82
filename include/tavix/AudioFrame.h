#pragma once

#include <cstdint>

namespace tavix {

// A chunk of interleaved float32 PCM. The frame does not own its samples.
// frame_count counts float values (all channels, interleaved).
struct AudioFrame {
    float* samples = nullptr;
    uint32_t frame_count = 0;
};

}  // namespace tavix
