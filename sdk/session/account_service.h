// The simulated account service that answers activations offline. Which
// service is asked depends on the environment code of InitParams.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "models/model_catalog.h"
#include "session/api_key.h"
#include "tavix/InitParams.h"

namespace tavix::sdk {

struct ServiceEndpoint {
    std::string environment;  // dev, staging, uat, production, or unknown(<code>)
    std::string host;
    bool reachable = false;
};

// dev, uat and production answer; staging is down (every activation there
// ends in kServerUnreachable), and so is any code outside 0..3.
ServiceEndpoint endpoint_for(Environment environment);

// What an accepted key entitles its user to.
struct Grant {
    std::string key;
    std::string user;
    std::vector<std::string> models;  // sorted, installed models only
    uint32_t expiry_day = 0;          // YYYYMMDD; 0 means never
};

class AccountService {
public:
    // Consecutive refused checksums after which the service locks this SDK
    // object out.
    static constexpr int kMaxFailedAttempts = 5;

    explicit AccountService(ServiceEndpoint endpoint) : endpoint_(std::move(endpoint)) {}

    const ServiceEndpoint& endpoint() const { return endpoint_; }

    // Blocks for the simulated round trip. Refusals, in the order checked:
    // unreachable service, lock-out after kMaxFailedAttempts bad checksums
    // (kMaxRetriesExceeded), bad checksum (kUnauthorized), user "ghost..."
    // (kUserNotFound), user "disabled..." (kUserDisabled), expiry day before
    // today UTC (kTokenExpired), a grant naming no installed model
    // (kInvalidGrant).
    std::variant<Grant, SdkResult> authorize(const ApiKey& key, const ModelCatalog& catalog);

private:
    ServiceEndpoint endpoint_;
    std::atomic<int> failed_attempts_{0};
};

// Today's UTC date as YYYYMMDD.
uint32_t utc_today();

}  // namespace tavix::sdk
