#pragma once

#include <string>

#include "tavix/Enums.h"

namespace tavix {

// Outcome of an SDK operation.
struct SdkResult {
    bool success = false;
    SdkErrorType error_type = SdkErrorType::kUnknownFailure;
    std::string message;
};

}  // namespace tavix
