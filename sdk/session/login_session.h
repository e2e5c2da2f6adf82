// The login session of one SDK object: at most one user at a time.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "session/account_service.h"
#include "tavix/SdkResult.h"

namespace tavix::sdk {

class LoginSession {
public:
    // Opens the session for an accepted grant. The same user activating again
    // (same or another key) refreshes the session with the new grant; another
    // user is refused with kSessionExists until Deactivate.
    SdkResult open(const Grant& grant);

    // Fails with kNoCredentials when no session is open.
    SdkResult close();

    // Closes the session only while it still holds the grant of `key`, in one
    // locked step, so a session another thread opened meanwhile stays open.
    // True when it closed.
    bool close_if(const std::string& key);

    std::optional<Grant> current() const;

private:
    mutable std::mutex mutex_;
    std::optional<Grant> grant_;
};

}  // namespace tavix::sdk
