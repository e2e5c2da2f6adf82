#include "engine/processor_factory.h"

namespace tavix::sdk {

std::unique_ptr<IAudioProcessor> make_audio_processor(const ProcessorAttributes&,
                                                      const ModelInfo& model,
                                                      std::shared_ptr<Logger> log) {
    log->warn("create_audio_processor model=" + model.name + " result=none reason=no_engine");
    return nullptr;
}

}  // namespace tavix::sdk
