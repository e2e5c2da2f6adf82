#include "engine/processor_request.h"

#include <stdexcept>

#include "common/text.h"
#include "dsp/number_words.h"
#include "models/model_catalog.h"

namespace tavix::sdk {
namespace {

// Caller text in a refusal is quoted and escaped: the message goes to the
// log, and what() would end at an embedded NUL.
void check_language(const char* field, const std::string& code) {
    if (!dsp::language_supported(code))
        throw std::invalid_argument(std::string("lt_config.") + field + " " + quote_field(code) +
                                    " is not a supported language (en, es, fr, de, with an "
                                    "optional region such as en-US)");
}

}  // namespace

ProcessorRequest read_request(const ProcessorAttributes& attrs) {
    const SessionFormat format = session_format(attrs.audio_attributes);
    const std::string& model = attrs.audio_attributes.model_name;
    if (attrs.asr_attributes)
        throw std::invalid_argument("the ASR path (asr_attributes) is not available in this SDK");
    if (!attrs.lt_config) {
        if (model == kTranslationModel)
            throw std::invalid_argument("the translation model needs lt_config");
        return {model, format};
    }
    if (!model.empty() && model != kTranslationModel)
        throw std::invalid_argument("lt_config selects the translation pipeline; leave "
                                    "model_name empty instead of " + quote_field(model));
    check_language("language_in", attrs.lt_config->language_in);
    check_language("language_out", attrs.lt_config->language_out);
    return {kTranslationModel, format};
}

}  // namespace tavix::sdk
