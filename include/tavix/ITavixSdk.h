#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tavix/IAudioProcessor.h"
#include "tavix/ProcessorAttributes.h"
#include "tavix/SdkResult.h"

namespace tavix {

// Root object of the SDK: user session, entitlements and processor factory.
class ITavixSdk {
public:
    virtual ~ITavixSdk() = default;

    // Blocks until activation completes; the outcome is in the result.
    virtual SdkResult ActivateApiKey(const std::string& api_key) = 0;

    virtual std::string GetVersion() = 0;

    // Blocks until the processor is ready. Empty when not activated or when
    // the requested model is not entitled to the activated user.
    virtual std::unique_ptr<IAudioProcessor> CreateAudioProcessor(
        const ProcessorAttributes& attrs) = 0;

    // Ends the user session opened by ActivateApiKey.
    virtual SdkResult Deactivate() = 0;

    virtual bool IsActivated() = 0;

    // Model keys the activated user is entitled to; empty when not activated.
    virtual std::vector<std::string> GetEntitledModels() = 0;

    // Model keys installed in models_dir or built into the SDK.
    virtual std::vector<std::string> GetAvailableModels() = 0;
};

}  // namespace tavix
