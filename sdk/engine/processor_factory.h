// Builds the processor that runs one entitled model.
#pragma once

#include <memory>

#include "common/logger.h"
#include "engine/processor_request.h"
#include "models/model_catalog.h"
#include "tavix/IAudioProcessor.h"
#include "tavix/ProcessorAttributes.h"

namespace tavix::sdk {

// `request` is what read_request() made of `attrs`; `model` is its model.
std::unique_ptr<IAudioProcessor> make_audio_processor(const ProcessorAttributes& attrs,
                                                      const ProcessorRequest& request,
                                                      const ModelInfo& model,
                                                      std::shared_ptr<Logger> log);

}  // namespace tavix::sdk
