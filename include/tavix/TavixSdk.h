#pragma once

// Umbrella header of the Tavix SDK.

#include <memory>

#include "tavix/AudioAttributes.h"
#include "tavix/AudioFrame.h"
#include "tavix/Enums.h"
#include "tavix/Export.h"
#include "tavix/IAudioProcessor.h"
#include "tavix/ITavixSdk.h"
#include "tavix/InitParams.h"
#include "tavix/ProcessorAttributes.h"
#include "tavix/SdkResult.h"
#include "tavix/Transcript.h"

namespace tavix {

// Creates the SDK root object. Throws on failure; never returns empty.
TAVIX_API std::shared_ptr<ITavixSdk> CreateTavixSdk(const InitParams& params);

}  // namespace tavix
