#include "session/session.h"

#include "common/text.h"

namespace tavix::sdk {

SdkResult Session::open(const Grant& grant) {
    SdkResult result;
    std::lock_guard<std::mutex> lock(mutex_);
    if (grant_ && grant_->user != grant.user) {
        result.error_type = SdkErrorType::kSessionExists;
        result.message = "user '" + grant_->user +
                         "' is already activated; deactivate before activating '" + grant.user +
                         "'";
        return result;
    }
    const char* verb = !grant_ ? "activated" : grant_->key == grant.key ? "already activated"
                                                                       : "session refreshed";
    grant_ = grant;
    result.success = true;
    result.message = std::string(verb) + ": user '" + grant.user +
                     "', models: " + join(grant.models, ", ") + ", expires " +
                     (grant.expiry_day ? std::to_string(grant.expiry_day) : "never");
    return result;
}

SdkResult Session::close() {
    SdkResult result;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!grant_) {
        result.error_type = SdkErrorType::kNoCredentials;
        result.message = "no user is activated";
        return result;
    }
    result.success = true;
    result.message = "deactivated user '" + grant_->user + "'";
    grant_.reset();
    return result;
}

std::optional<Grant> Session::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return grant_;
}

}  // namespace tavix::sdk
