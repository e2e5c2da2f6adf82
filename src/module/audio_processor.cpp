#include "module/audio_processor.h"

#include <memory>
#include <stdexcept>

#include "module/exit_hook.h"
#include "module/registration.h"
#include "module/without_gil.h"
#include "types/audio_frame.h"
#include "types/record_callbacks.h"

using tavix::IAudioProcessor;

namespace {

constexpr const char* closed_message = "process_frame called on a closed AudioProcessor";
constexpr const char* exiting_message =
    "create_audio_processor refused: the interpreter is exiting and has closed every processor.";
constexpr const char* no_processor_message =
    "create_audio_processor failed: the SDK returned no processor. Ensure the SDK is activated "
    "and the requested model is entitled to the activated user.";

}  // namespace

ProcessorHandle create_audio_processor(const PyShared<tavix::ITavixSdk>& sdk,
                                       const tavix::ProcessorAttributes& attrs) {
    // The SDK reads the attributes while the lock is released, when another
    // Python thread may change the Python-owned record: hand it a snapshot.
    if (interpreter_exiting()) throw std::runtime_error(exiting_message);
    tavix::ProcessorAttributes snapshot = attrs;
    // The SDK's copies of the callbacks share a holder of their own, apart
    // from the record's, so that the collector can tell them apart.
    give_own_callbacks(snapshot);
    std::shared_ptr<SerializedProcessor> processor =
        call_without_gil(sdk, "the Sdk holds no SDK object", [&](tavix::ITavixSdk& root) {
            std::unique_ptr<IAudioProcessor> created = root.CreateAudioProcessor(snapshot);
            if (!created) throw std::runtime_error(no_processor_message);
            return std::make_shared<SerializedProcessor>(std::move(created));
        });
    return ProcessorHandle(std::move(processor));
}

void register_audio_processor(nb::module_& m) {
    nb::class_<ProcessorHandle>(
        m, "AudioProcessor",
        "Buffer/stream audio processor. Accepts AudioFrame PCM pushed by the host and returns "
        "processed audio; obtain via create_audio_processor. Use as a context manager or call "
        "process_frame directly.")
        .def(
            "process_frame",
            [](const ProcessorHandle& self, const BoundAudioFrame& frame) {
                // The output is copied into the returned frame before the
                // lock is taken back, so it stays valid however long Python
                // keeps it, whatever other threads do with the processor.
                return call_without_gil(self, closed_message, [&](SerializedProcessor& processor) {
                    return BoundAudioFrame(processor.process(frame));
                });
            },
            nb::arg("frame"),
            "Push one chunk of raw PCM (>= 20 ms per call; shorter buffers are dropped) and return "
            "the processed AudioFrame. Output lags input, so early calls return an empty frame "
            "(frame_count == 0) while the engine primes; after the last real input, push silence "
            "frames until an empty frame is returned to drain the buffered tail. The returned "
            "samples are valid only until the next process_frame call.")
        .def("close", &ProcessorHandle::reset,
             "Stop and tear down the processor (joins the SDK output thread with the GIL "
             "released). Idempotent; called automatically on context exit.")
        .def("__enter__", [](nb::object self) { return self; })
        .def("__exit__", [](ProcessorHandle& self, nb::args) {
            self.reset();
            return false;
        });
}
