// The root object of our substitute SDK: session, entitlements, processors.
#include <memory>
#include <optional>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/fork_epoch.h"
#include "common/host_callback.h"
#include "common/logger.h"
#include "common/text.h"
#include "engine/audio_processor.h"
#include "engine/processor_request.h"
#include "models/model_catalog.h"
#include "session/account_service.h"
#include "session/api_key.h"
#include "session/sdk_result.h"
#include "session/login_session.h"
#include "tavix/TavixSdk.h"

namespace tavix {
namespace {

using namespace tavix::sdk;

constexpr const char* kVersion = TAVIX_SDK_VERSION;  // from pyproject.toml, through CMake


std::string outcome(const SdkResult& result) {
    return result.success ? "success"
                          : "failure error_type=" +
                                std::to_string(static_cast<int32_t>(result.error_type));
}

// The first line of every SDK object's log names what it was created with.
std::shared_ptr<Logger> open_log(const InitParams& params, const ServiceEndpoint& endpoint) {
    // The file system would read only up to the NUL: a folder the caller
    // never named. Refused before anything is created (the Logger checks
    // storage_dir itself).
    if (params.models_dir.find('\0') != std::string::npos)
        throw std::invalid_argument("models_dir contains a NUL character");
    auto log = std::make_shared<Logger>(params.storage_dir);
    log->info("create_sdk version=" + std::string(kVersion) +
              " environment=" + endpoint.environment +
              " environment_code=" + std::to_string(static_cast<int32_t>(params.environment)) +
              " endpoint=" + (endpoint.host.empty() ? "none" : endpoint.host) +
              " reachable=" + (endpoint.reachable ? "yes" : "no") +
              " models_dir=" + quote_field(params.models_dir) +
              " storage_dir=" + quote_field(params.storage_dir));
    return log;
}

class SubstituteSdk final : public ITavixSdk {
public:
    explicit SubstituteSdk(const InitParams& params)
        : params_(params),
          service_(endpoint_for(params.environment)),
          log_(open_log(params, service_.endpoint())),
          catalog_(ModelCatalog::load(params.models_dir, *log_)) {
        log_->info("models available=" + join(catalog_.names(), ","));
    }

    // A destructor cannot pass on a forced unwind (it is noexcept, so the
    // process would abort): on_shutdown must not end its thread.
    ~SubstituteSdk() override {
        if (!epoch_.current()) return;  // abandoned in a forked child: see common/fork_epoch.h
        log_->info("destroy_sdk");
        call_host(params_.on_shutdown);
    }

    SdkResult ActivateApiKey(const std::string& api_key) override {
        SdkResult result = activate(api_key);
        log_->info("activate " + outcome(result) + " message=" + quote_field(result.message));
        if (result.success)
            call_host(params_.on_activated);
        else
            call_host(params_.on_error, result.error_type, result.message);
        return result;
    }

    std::string GetVersion() override { return kVersion; }

    std::unique_ptr<IAudioProcessor> CreateAudioProcessor(const ProcessorAttributes& attrs) override {
        ProcessorRequest request;
        try {
            request = read_request(attrs);
        } catch (const std::exception& refusal) {
            log_->warn("create_audio_processor refused reason=" + quote_field(refusal.what()));
            throw;
        }
        const std::string& model_key = request.model;
        auto no_processor = [&](const std::string& reason) {
            log_->warn("create_audio_processor model=" + quote_field(model_key) +
                       " result=none reason=" + quote_field(reason));
            return nullptr;
        };
        std::optional<Grant> grant = session_.current();
        if (!grant) return no_processor("the SDK is not activated");
        if (grant->expiry_day && grant->expiry_day < utc_today()) {
            if (session_.close_if(grant->key))
                call_host(params_.on_session_expired, SdkErrorType::kSessionExpired);
            return no_processor("the session expired with its API key");
        }
        const ModelInfo* model = catalog_.find(model_key);
        if (!model)
            return no_processor(model_key.empty() ? "no model was requested"
                                                  : "no model has this key");
        if (!contains(grant->models, model_key))
            return no_processor("user '" + grant->user + "' is not entitled to it");
        return std::make_unique<AudioProcessor>(attrs, request.format, *model, log_);
    }

    SdkResult Deactivate() override {
        SdkResult result = session_.close();
        log_->info("deactivate " + outcome(result) + " message=" + quote_field(result.message));
        if (result.success) call_host(params_.on_deactivated);
        return result;
    }

    bool IsActivated() override { return session_.current().has_value(); }

    std::vector<std::string> GetEntitledModels() override {
        std::optional<Grant> grant = session_.current();
        return grant ? grant->models : std::vector<std::string>{};
    }

    std::vector<std::string> GetAvailableModels() override { return catalog_.names(); }

private:
    static bool contains(const std::vector<std::string>& items, const std::string& item) {
        for (const std::string& candidate : items)
            if (candidate == item) return true;
        return false;
    }

    SdkResult activate(const std::string& api_key) {
        try {
            auto parsed = parse_api_key(api_key);
            if (auto* refusal = std::get_if<SdkResult>(&parsed)) return *refusal;
            auto authorized = service_.authorize(std::get<ApiKey>(parsed), catalog_);
            if (auto* refusal = std::get_if<SdkResult>(&authorized)) return *refusal;
            return session_.open(std::get<Grant>(authorized));
        } catch (const std::exception& failure) {
            return refused(SdkErrorType::kUnknownFailure,
                           std::string("activation failed: ") + failure.what());
        }
    }

    const ForkEpoch epoch_;
    const InitParams params_;
    AccountService service_;
    const std::shared_ptr<Logger> log_;
    const ModelCatalog catalog_;
    LoginSession session_;
};

}  // namespace

std::shared_ptr<ITavixSdk> CreateTavixSdk(const InitParams& params) {
    return std::make_shared<SubstituteSdk>(params);
}

}  // namespace tavix
