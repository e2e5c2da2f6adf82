#include "engine/session_format.h"

#include <stdexcept>
#include <string>

#include "dsp/sample_rate_range.h"

namespace tavix::sdk {

SessionFormat session_format(const AudioAttributes& attrs) {
    dsp::require_supported_sample_rate(attrs.sampling_rate, "sampling_rate");
    if (attrs.channels != 1 && attrs.channels != 2)
        throw std::invalid_argument("channels " + std::to_string(attrs.channels) +
                                    " is not supported; use 1 (mono) or 2 (stereo)");
    return {attrs.sampling_rate, attrs.channels};
}

}  // namespace tavix::sdk
