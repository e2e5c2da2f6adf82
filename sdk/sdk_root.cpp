// Placeholder root object; replaced by the real substitute SDK.
#include "tavix/TavixSdk.h"

#include <stdexcept>

namespace tavix {
namespace {

class PlaceholderSdk final : public ITavixSdk {
public:
    SdkResult ActivateApiKey(const std::string&) override { return {}; }
    std::string GetVersion() override { return "0.0.0-substitute"; }
    std::unique_ptr<IAudioProcessor> CreateAudioProcessor(const ProcessorAttributes&) override {
        return nullptr;
    }
    SdkResult Deactivate() override { return {}; }
    bool IsActivated() override { return false; }
    std::vector<std::string> GetEntitledModels() override { return {}; }
    std::vector<std::string> GetAvailableModels() override { return {}; }
};

}  // namespace

std::shared_ptr<ITavixSdk> CreateTavixSdk(const InitParams&) {
    return std::make_shared<PlaceholderSdk>();
}

}  // namespace tavix
