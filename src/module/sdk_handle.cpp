#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "module/processor_handle.h"
#include "module/registration.h"
#include "tavix/TavixSdk.h"

using tavix::ITavixSdk;

namespace {

// Never empty: create_sdk refuses an empty factory result, and an Sdk has no
// close.
using SdkHandle = Handle<ITavixSdk>;

SdkHandle create_sdk(const tavix::InitParams& init_params) {
    // A snapshot, as the factory reads it with the lock released.
    const tavix::InitParams snapshot = init_params;
    std::shared_ptr<ITavixSdk> sdk;
    {
        InterpreterUnlocked unlocked;
        sdk = tavix::CreateTavixSdk(snapshot);
    }
    if (!sdk) throw std::runtime_error("create_sdk failed: the SDK factory returned no SDK object.");
    return SdkHandle(std::move(sdk), SdkHandle::AtExit::stays_open);
}

}  // namespace

void register_sdk(nb::module_& m) {
    nb::class_<SdkHandle>(m, "Sdk",
                          "Core Tavix SDK handle providing audio processing and user session "
                          "management. Obtain via create_sdk.")
        .def_prop_ro(
            "version",
            [](const SdkHandle& self) { return self.share()->GetVersion(); },
            "The SDK version string.")
        .def(
            "activate_api_key",
            [](const SdkHandle& self, const std::string& api_key) {
                return call_without_gil(self.share(),
                                        [&](ITavixSdk& sdk) { return sdk.ActivateApiKey(api_key); });
            },
            nb::arg("api_key"),
            "Activate the agent synchronously using an API key. Blocks until activation completes "
            "and returns an SdkResult.")
        .def(
            "create_audio_processor",
            [](const SdkHandle& self, const BoundProcessorAttributes& attrs) {
                return create_audio_processor(self, attrs);
            },
            nb::arg("attrs"),
            "Create a buffer/stream audio processor for raw PCM processing. Requires the SDK to "
            "have been activated and the requested model to be entitled; blocks until ready.");

    m.def("create_sdk", &create_sdk, nb::arg("init_params"),
          "Create a Tavix SDK object from InitParams (blocking; initialises the engine).");
}
