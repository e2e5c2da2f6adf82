#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <nanobind/ndarray.h>

#include "module/registration.h"
#include "tavix/AudioFrame.h"

using tavix::AudioFrame;

namespace {

// The device requirement is checked by hand: naming nb::device::cpu in the type
// would change the parameter's rendered signature.
using SampleArray = nb::ndarray<float, nb::ndim<1>, nb::c_contig>;

constexpr size_t max_frame_count = std::numeric_limits<uint32_t>::max();

// The record is a bare pointer the SDK dereferences, so the array must live in
// host memory and its length must fit the 32-bit count without truncation.
void check_describable(const SampleArray& samples) {
    if (samples.device_type() != nb::device::cpu::value)
        throw std::invalid_argument(
            "AudioFrame samples must be in host (CPU) memory; the array is on DLPack device type " +
            std::to_string(samples.device_type()));
    if (samples.size() > max_frame_count)
        throw std::length_error("AudioFrame holds at most 4294967295 samples; the array has " +
                                std::to_string(samples.size()));
}

void construct_over_array(AudioFrame* self, const SampleArray& samples) {
    check_describable(samples);
    AudioFrame* frame = new (self) AudioFrame();
    frame->samples = samples.data();
    frame->frame_count = static_cast<uint32_t>(samples.size());
}

// Stands in for the memory of an empty frame, whose pointer may be null:
// buffer consumers are entitled to a valid address even for zero bytes.
float no_samples = 0.0f;

nb::memoryview view_samples(const AudioFrame& frame) {
    bool empty = frame.frame_count == 0 || frame.samples == nullptr;
    char* start = reinterpret_cast<char*>(empty ? &no_samples : frame.samples);
    Py_ssize_t byte_count = empty ? 0 : static_cast<Py_ssize_t>(frame.frame_count) *
                                            static_cast<Py_ssize_t>(sizeof(float));
    nb::object bytes_view = nb::steal(PyMemoryView_FromMemory(start, byte_count, PyBUF_READ));
    if (!bytes_view.is_valid()) throw nb::python_error();
    return nb::steal<nb::memoryview>(bytes_view.attr("cast")("f").release());
}

}  // namespace

void register_audio_frame(nb::module_& m) {
    nb::class_<AudioFrame>(
        m, "AudioFrame",
        "A chunk of interleaved PCM audio, used for both processor input and processed output.\n"
        "\n"
        "The sample rate and channel count are fixed for the whole session by the AudioAttributes "
        "passed to create_audio_processor. samples is a non-owning view; the data must remain "
        "valid for the duration of the call.")
        .def("__init__", &construct_over_array, nb::arg("samples"), nb::keep_alive<1, 2>())
        .def_ro("frame_count", &AudioFrame::frame_count,
                "Number of frames (samples per channel) available at samples.")
        .def_prop_ro("samples", &view_samples,
                     "Interleaved IEEE float32 PCM (input and processed output), at the session's "
                     "configured sample rate and channel count. Exposed as a zero-copy float32 "
                     "memoryview valid only while the frame is alive; copy to retain.");
}
