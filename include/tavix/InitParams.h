#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tavix/Enums.h"

namespace tavix {

// Service environment codes carried by InitParams::environment.
enum class Environment : int32_t {
    kDev = 0,
    kStaging = 1,
    kUat = 2,
    kProduction = 3,
};

// Start-up parameters of the SDK, handed to CreateTavixSdk.
struct InitParams {
    Environment environment = Environment::kProduction;
    std::string storage_dir = "./";  // SDK data; logs go to storage_dir/logs
    std::string models_dir = "./";   // where the SDK finds its models
    std::string app_name;
    std::string app_version;
    std::string device_id;

    // Session and account events, each optional.
    std::function<void()> on_activated;
    std::function<void()> on_deactivated;
    std::function<void(SdkErrorType)> on_session_expired;
    std::function<void(SdkErrorType)> on_token_refresh_failed;
    std::function<void()> on_token_refreshed;
    std::function<void(const std::string&)> on_entitlements_changed;
    std::function<void(const std::string&)> on_model_downloaded;
    std::function<void(const std::string&, float)> on_model_download_progress;
    std::function<void(const std::string&, SdkErrorType)> on_model_download_failed;
    std::function<void(bool)> on_network_changed;
    std::function<void(const std::string&)> on_log_message;
    std::function<void(const std::string&)> on_warning;
    std::function<void(SdkErrorType, const std::string&)> on_error;
    std::function<void(const std::string&)> on_update_available;
    std::function<void()> on_shutdown;
};

}  // namespace tavix
