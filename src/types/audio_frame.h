#pragma once

#include <utility>
#include <vector>

#include <nanobind/ndarray.h>

#include "tavix/AudioFrame.h"

namespace nb = nanobind;

// The Python AudioFrame: the SDK's record together with whatever owns the
// memory its `samples` pointer shows, held for the frame's whole life.
//
// An input frame holds the caller's array as nanobind imported it: that
// handle keeps the array's buffer export (or DLPack capsule) alive, so the
// source can neither be freed nor resized while the frame views it. A
// processed frame owns a copy of the SDK's output.
struct BoundAudioFrame : tavix::AudioFrame {
    using SampleArray = nb::ndarray<float, nb::ndim<1>, nb::c_contig>;

    BoundAudioFrame() = default;
    BoundAudioFrame(const BoundAudioFrame&) = delete;
    BoundAudioFrame& operator=(const BoundAudioFrame&) = delete;
    BoundAudioFrame& operator=(BoundAudioFrame&&) = delete;
    BoundAudioFrame(BoundAudioFrame&& other) noexcept
        : tavix::AudioFrame(other), source(std::move(other.source)), output(std::move(other.output)) {
        if (!output.empty()) samples = output.data();
    }

    // A processed frame over `processed`, which it then owns.
    explicit BoundAudioFrame(std::vector<float> processed) noexcept : output(std::move(processed)) {
        if (output.empty()) return;
        samples = output.data();
        frame_count = static_cast<uint32_t>(output.size());
    }

    SampleArray source;
    std::vector<float> output;
};
