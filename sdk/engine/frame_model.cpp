#include "engine/frame_model.h"

#include <algorithm>

#include "dsp/denoiser.h"

namespace tavix::sdk {
namespace {

// `out` = `in` times `gain`, for `count` samples; in and out may coincide.
void apply_gain(const float* in, float* out, size_t count, float gain) {
    if (gain != 1.0f)
        std::transform(in, in + count, out, [gain](float s) { return s * gain; });
    else if (in != out)
        std::copy(in, in + count, out);
}

class CopyModel final : public FrameModel {
public:
    CopyModel(uint16_t channels, float gain) : channels_(channels), gain_(gain) {}
    uint32_t latency_frames() const override { return 0; }
    void process(const float* in, float* out, size_t frames) override {
        apply_gain(in, out, frames * channels_, gain_);
    }

private:
    uint16_t channels_;
    float gain_;
};

class DenoiseModel final : public FrameModel {
public:
    DenoiseModel(SessionFormat format, float gain)
        : denoiser_(format.sample_rate, format.channels),
          latency_(dsp::Denoiser::latency_frames(format.sample_rate)),
          channels_(format.channels),
          gain_(gain) {}
    uint32_t latency_frames() const override { return latency_; }
    void process(const float* in, float* out, size_t frames) override {
        denoiser_.process(in, out, frames);
        apply_gain(out, out, frames * channels_, gain_);
    }

private:
    dsp::Denoiser denoiser_;
    uint32_t latency_;
    uint16_t channels_;
    float gain_;
};

}  // namespace

std::unique_ptr<FrameModel> make_frame_model(const ModelInfo& model, SessionFormat format) {
    if (model.engine == ModelEngine::kDenoise)
        return std::make_unique<DenoiseModel>(format, model.gain);
    return std::make_unique<CopyModel>(format.channels, model.gain);
}

}  // namespace tavix::sdk
