#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tavix/Enums.h"

namespace tavix {

// Parameters that apply only to cloud (remote) inference sessions.
struct CloudInferencingParams {
    bool use_pcm16 = false;  // L16 on the link instead of the rate-default codec
};

// Session format, model and pipeline-state callback of an audio processor.
struct AudioAttributes {
    uint32_t sampling_rate = 16000;
    uint16_t channels = 1;
    std::string model_name;
    bool cloud_inferencing = true;
    CloudInferencingParams cloud_inferencing_params;
    std::function<void(PipelineState)> audio_pipeline_state_notify;
};

}  // namespace tavix
