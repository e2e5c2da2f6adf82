// The per-sample work of a model, as the stream engine runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/session_format.h"
#include "models/model_catalog.h"

namespace tavix::sdk {

class FrameModel {
public:
    virtual ~FrameModel() = default;

    // Per-channel frames by which the output trails the input; the first
    // latency_frames() output frames of a stream carry no input yet.
    virtual uint32_t latency_frames() const = 0;

    // Interleaved in and out of `frames` frames each; they may coincide.
    virtual void process(const float* in, float* out, size_t frames) = 0;
};

// passthrough and translation copy, denoise suppresses noise; a model's gain
// scales the result.
std::unique_ptr<FrameModel> make_frame_model(const ModelInfo& model, SessionFormat format);

}  // namespace tavix::sdk
