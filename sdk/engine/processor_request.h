// What a ProcessorAttributes asks for, checked before any session question.
#pragma once

#include <string>

#include "tavix/ProcessorAttributes.h"

namespace tavix::sdk {

// The model key the request resolves to: model_name, or "translation" when
// lt_config is set (model_name then empty or "translation"). Throws
// std::invalid_argument for a request no processor can serve: an unsupported
// session format, lt_config with another model, "translation" without
// lt_config, an unsupported language, or the ASR path.
std::string requested_model(const ProcessorAttributes& attrs);

}  // namespace tavix::sdk
