// Builds the processor that runs one entitled model.
#pragma once

#include <memory>

#include "common/logger.h"
#include "models/model_catalog.h"
#include "tavix/IAudioProcessor.h"
#include "tavix/ProcessorAttributes.h"

namespace tavix::sdk {

// `attrs` has passed requested_model(); `model` is what it resolved to.
std::unique_ptr<IAudioProcessor> make_audio_processor(const ProcessorAttributes& attrs,
                                                      const ModelInfo& model,
                                                      std::shared_ptr<Logger> log);

}  // namespace tavix::sdk
