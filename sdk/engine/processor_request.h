// What a ProcessorAttributes asks for, checked before any session question.
#pragma once

#include <string>

#include "engine/session_format.h"
#include "tavix/ProcessorAttributes.h"

namespace tavix::sdk {

struct ProcessorRequest {
    // model_name, or "translation" when lt_config is set (model_name then
    // empty or "translation").
    std::string model;
    SessionFormat format;
};

// Throws std::invalid_argument for a request no processor can serve: an
// unsupported session format, lt_config with another model, "translation"
// without lt_config, an unsupported language, or the ASR path.
ProcessorRequest read_request(const ProcessorAttributes& attrs);

}  // namespace tavix::sdk
