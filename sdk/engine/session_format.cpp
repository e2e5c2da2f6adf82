#include "engine/session_format.h"

#include <stdexcept>
#include <string>

namespace tavix::sdk {

SessionFormat session_format(const AudioAttributes& attrs) {
    if (attrs.sampling_rate < kMinSampleRate || attrs.sampling_rate > kMaxSampleRate)
        throw std::invalid_argument("sampling_rate " + std::to_string(attrs.sampling_rate) +
                                    " Hz is not supported; use 8000 to 192000 Hz");
    if (attrs.channels != 1 && attrs.channels != 2)
        throw std::invalid_argument("channels " + std::to_string(attrs.channels) +
                                    " is not supported; use 1 (mono) or 2 (stereo)");
    return {attrs.sampling_rate, attrs.channels};
}

}  // namespace tavix::sdk
