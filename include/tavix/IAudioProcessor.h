#pragma once

#include "tavix/AudioFrame.h"

namespace tavix {

// A running audio processor. Destroying it stops the processor and joins its
// output thread; afterwards none of its callbacks runs.
class IAudioProcessor {
public:
    virtual ~IAudioProcessor() = default;

    // Pushes one chunk of interleaved PCM and returns processed audio. The
    // returned samples belong to the processor and stay valid until the next
    // call. Output lags input; an empty frame comes back while priming.
    virtual AudioFrame ProcessFrame(const AudioFrame& frame) = 0;
};

}  // namespace tavix
