// The SdkResult records the session operations answer with.
#pragma once

#include <string>
#include <utility>

#include "tavix/SdkResult.h"

namespace tavix::sdk {

inline SdkResult refused(SdkErrorType type, std::string message) {
    SdkResult result;
    result.error_type = type;
    result.message = std::move(message);
    return result;
}

// error_type keeps the record's default: it has no meaning on success.
inline SdkResult succeeded(std::string message) {
    SdkResult result;
    result.success = true;
    result.message = std::move(message);
    return result;
}

}  // namespace tavix::sdk
