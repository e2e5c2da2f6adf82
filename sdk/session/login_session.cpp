#include "session/login_session.h"

#include "common/text.h"
#include "session/sdk_result.h"

namespace tavix::sdk {

SdkResult LoginSession::open(const Grant& grant) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (grant_ && grant_->user != grant.user)
        return refused(SdkErrorType::kSessionExists,
                       "user '" + grant_->user +
                           "' is already activated; deactivate before activating '" + grant.user +
                           "'");
    const char* verb = !grant_ ? "activated" : grant_->key == grant.key ? "already activated"
                                                                       : "session refreshed";
    SdkResult result = succeeded(std::string(verb) + ": user '" + grant.user +
                                 "', models: " + join(grant.models, ", ") + ", expires " +
                                 (grant.expiry_day ? std::to_string(grant.expiry_day) : "never"));
    grant_ = grant;
    return result;
}

SdkResult LoginSession::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!grant_) return refused(SdkErrorType::kNoCredentials, "no user is activated");
    SdkResult result = succeeded("deactivated user '" + grant_->user + "'");
    grant_.reset();
    return result;
}

bool LoginSession::close_if(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!grant_ || grant_->key != key) return false;
    grant_.reset();
    return true;
}

std::optional<Grant> LoginSession::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return grant_;
}

}  // namespace tavix::sdk
