#pragma once

#include <utility>
#include <vector>

#include <nanobind/ndarray.h>

#include "tavix/AudioFrame.h"
#include "types/output_buffers.h"

namespace nb = nanobind;

// The Python AudioFrame: the SDK's record together with whatever owns the
// memory its `samples` pointer shows, held for the frame's whole life.
//
// An input frame holds the caller's array: either its buffer export (most
// sources: numpy, array.array, memoryview, ctypes), or, for a DLPack producer
// without the buffer protocol and for an array that had to be converted,
// nanobind's import of it together with the producer itself (a producer need
// not tie its memory to the capsule it hands out). While a frame views a
// buffer, the source can be neither freed nor resized. A processed frame owns
// a copy of the SDK's output.
struct BoundAudioFrame : tavix::AudioFrame {
    using SampleArray = nb::ndarray<float, nb::ndim<1>, nb::c_contig>;

    BoundAudioFrame() = default;
    BoundAudioFrame(const BoundAudioFrame&) = delete;
    BoundAudioFrame& operator=(const BoundAudioFrame&) = delete;
    BoundAudioFrame& operator=(BoundAudioFrame&&) = delete;
    BoundAudioFrame(BoundAudioFrame&& other) noexcept
        : tavix::AudioFrame(other),
          buffer(std::exchange(other.buffer, {})),
          producer(std::move(other.producer)),
          array(std::move(other.array)),
          output(std::move(other.output)) {
        if (!output.empty()) samples = output.data();
    }
    ~BoundAudioFrame() {
        // Only Python frees frames that hold anything: the lock is held.
        if (buffer.obj) PyBuffer_Release(&buffer);
        recycle_output_buffer(std::move(output));
    }

    // A processed frame over `processed`, which it then owns.
    explicit BoundAudioFrame(std::vector<float> processed) noexcept { hold_output(std::move(processed)); }

    // A processed frame's samples: replaced, or taken out (leaving it empty).
    void hold_output(std::vector<float> processed) noexcept {
        output = std::move(processed);
        samples = output.empty() ? nullptr : output.data();
        frame_count = static_cast<uint32_t>(output.size());
    }
    std::vector<float> release_output() noexcept {
        samples = nullptr;
        frame_count = 0;
        return std::move(output);
    }

    Py_buffer buffer{};  // an export held, when buffer.obj is set
    nb::object producer;  // declared before `array`, so it outlives the import
    SampleArray array;
    std::vector<float> output;
};
