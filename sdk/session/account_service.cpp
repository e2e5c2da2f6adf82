#include "session/account_service.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

#include "session/sdk_result.h"

namespace tavix::sdk {
namespace {

using namespace std::chrono_literals;

// What a request costs: an answer from a running service, or the wait until
// the connection attempt gives up.
constexpr auto kRoundTrip = 20ms;
constexpr auto kConnectTimeout = 100ms;

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::vector<std::string> granted_installed_models(const ApiKey& key, const ModelCatalog& catalog) {
    if (key.grants_all) return catalog.names();
    std::vector<std::string> models;
    for (const std::string& model : key.granted_models)
        if (catalog.find(model)) models.push_back(model);
    std::sort(models.begin(), models.end());
    models.erase(std::unique(models.begin(), models.end()), models.end());
    return models;
}

}  // namespace

ServiceEndpoint endpoint_for(Environment environment) {
    switch (environment) {
        case Environment::kDev: return {"dev", "dev.service.tavix.invalid", true};
        case Environment::kStaging: return {"staging", "staging.service.tavix.invalid", false};
        case Environment::kUat: return {"uat", "uat.service.tavix.invalid", true};
        case Environment::kProduction: return {"production", "service.tavix.invalid", true};
    }
    return {"unknown(" + std::to_string(static_cast<int32_t>(environment)) + ")", "", false};
}

uint32_t utc_today() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    return static_cast<uint32_t>((utc.tm_year + 1900) * 10000 + (utc.tm_mon + 1) * 100 +
                                 utc.tm_mday);
}

std::variant<Grant, SdkResult> AccountService::authorize(const ApiKey& key,
                                                         const ModelCatalog& catalog) {
    if (!endpoint_.reachable) {
        std::this_thread::sleep_for(kConnectTimeout);
        return refused(SdkErrorType::kServerUnreachable,
                       "the account service of environment '" + endpoint_.environment +
                           "' (" + (endpoint_.host.empty() ? "no host" : endpoint_.host) +
                           ") cannot be reached");
    }
    std::this_thread::sleep_for(kRoundTrip);

    if (failed_attempts_.load() >= kMaxFailedAttempts)
        return refused(SdkErrorType::kMaxRetriesExceeded,
                       "too many refused keys; create a new SDK object to try again");
    if (!key.checksum_ok) {
        ++failed_attempts_;
        return refused(SdkErrorType::kUnauthorized,
                       "unknown API key (its checksum does not match; check for a typo)");
    }
    failed_attempts_ = 0;

    if (starts_with(key.user, "ghost"))
        return refused(SdkErrorType::kUserNotFound, "user '" + key.user + "' does not exist");
    if (starts_with(key.user, "disabled"))
        return refused(SdkErrorType::kUserDisabled, "user '" + key.user + "' is disabled");
    if (key.expiry_day != 0 && key.expiry_day < utc_today())
        return refused(SdkErrorType::kTokenExpired,
                       "the API key expired after " + std::to_string(key.expiry_day));

    Grant grant;
    grant.key = key.text;
    grant.user = key.user;
    grant.models = granted_installed_models(key, catalog);
    grant.expiry_day = key.expiry_day;
    if (grant.models.empty())
        return refused(SdkErrorType::kInvalidGrant,
                       "the API key grants no model installed in this SDK");
    return grant;
}

}  // namespace tavix::sdk
