#include "module/processor_handle.h"

#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "callbacks/record_callbacks.h"
#include "module/registration.h"
#include "types/audio_frame.h"
#include "types/output_buffers.h"

namespace {

constexpr const char* closed_message = "process_frame called on a closed AudioProcessor";
constexpr const char* exiting_message =
    "create_audio_processor refused: the interpreter is exiting and has closed every processor.";
constexpr const char* no_processor_message =
    "create_audio_processor failed: the SDK returned no processor. Ensure the SDK is activated "
    "and the requested model is entitled to the activated user.";

// The processed frame, built in its Python object's own memory rather than
// built, returned and moved there (nanobind's way for a returned value). The
// type is looked up once: nanobind's lookup by type_info is a hash search
// each time (about 55 of the binding's 2,000 or so instructions per call).
// Bound types live as long as the process's nanobind internals, so the
// handle stays valid.
nb::object processed_frame(std::vector<float> samples) {
    static const nb::handle frame_type = nb::type<BoundAudioFrame>();
    nb::object frame = nb::inst_alloc(frame_type);
    new (nb::inst_ptr<BoundAudioFrame>(frame)) BoundAudioFrame(std::move(samples));
    nb::inst_mark_ready(frame);
    return frame;
}

// close() and __exit__: the frames kept for refilling go with the processor.
void close_processor(ProcessorHandle& self) {
    self.returned = {};
    self.close();
}

}  // namespace

ProcessorHandle create_audio_processor(const Handle<tavix::ITavixSdk>& sdk,
                                       const BoundProcessorAttributes& attrs) {
    if (stage() != Stage::open) throw std::runtime_error(exiting_message);
    // The SDK reads the attributes while the lock is released, when another
    // Python thread may change the Python-owned record: it gets a snapshot,
    // whose callbacks have holders of their own.
    tavix::ProcessorAttributes snapshot = with_own_callbacks(attrs.for_sdk());
    return ProcessorHandle(call_without_gil(sdk.share(), [&](tavix::ITavixSdk& root) {
        std::unique_ptr<tavix::IAudioProcessor> created = root.CreateAudioProcessor(snapshot);
        if (!created) throw std::runtime_error(no_processor_message);
        return std::make_shared<SerializedProcessor>(std::move(created));
    }), ProcessorHandle::AtExit::closes);
}

void register_audio_processor(nb::module_& m) {
    nb::class_<ProcessorHandle>(
        m, "AudioProcessor",
        "Buffer/stream audio processor. Accepts AudioFrame PCM pushed by the host and returns "
        "processed audio; obtain via create_audio_processor. Use as a context manager or call "
        "process_frame directly.")
        .def(
            "process_frame",
            [](ProcessorHandle& self, const BoundAudioFrame& frame) {
                std::shared_ptr<SerializedProcessor> processor = self.share();
                if (!processor || self.inherited()) throw std::runtime_error(closed_message);
                // The output is copied into the returned frame before the
                // lock is taken back, so it stays valid however long Python
                // keeps it, whatever other threads do with the processor.
                // Into a frame an earlier call returned and its caller let
                // go, when there is one, else into a recycled buffer.
                nb::object result = self.returned.take_released();
                BoundAudioFrame* refilled = result.is_valid() ? nb::inst_ptr<BoundAudioFrame>(result) : nullptr;
                std::vector<float> into = refilled ? refilled->release_output() : spare_output_buffer();
                std::vector<float> processed =
                    call_without_gil(std::move(processor), [&](SerializedProcessor& serial) {
                        return serial.process(frame, std::move(into));
                    });
                if (refilled) refilled->hold_output(std::move(processed));
                else result = processed_frame(std::move(processed));
                self.returned.keep(result);
                return nb::steal<nb::typed<nb::object, BoundAudioFrame>>(result.release());
            },
            nb::arg("frame"),
            "Push one chunk of raw PCM (>= 20 ms per call; shorter buffers are dropped) and return "
            "the processed AudioFrame. Output lags input, so early calls return an empty frame "
            "(frame_count == 0) while the engine primes; after the last real input, push silence "
            "frames until an empty frame is returned to drain the buffered tail. The returned "
            "samples are valid only until the next process_frame call.")
        .def("close", &close_processor,
             "Stop and tear down the processor (joins the SDK output thread with the GIL "
             "released). Idempotent; called automatically on context exit.")
        .def("__enter__",
             [](nb::handle self) { return nb::borrow<nb::typed<nb::object, ProcessorHandle>>(self); })
        .def(
            "__exit__",
            [](ProcessorHandle& self, nb::args) {
                close_processor(self);
                return false;
            },
            // Never swallows the exception: typed so that checkers know.
            nb::sig("def __exit__(self, *args: object) -> typing.Literal[False]"));
}
