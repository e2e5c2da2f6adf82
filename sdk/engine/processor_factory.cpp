#include "engine/processor_factory.h"

#include "engine/audio_processor.h"

namespace tavix::sdk {

std::unique_ptr<IAudioProcessor> make_audio_processor(const ProcessorAttributes& attrs,
                                                      const ProcessorRequest& request,
                                                      const ModelInfo& model,
                                                      std::shared_ptr<Logger> log) {
    return std::make_unique<AudioProcessor>(attrs, request.format, model, std::move(log));
}

}  // namespace tavix::sdk
