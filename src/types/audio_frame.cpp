#include "types/audio_frame.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "module/registration.h"

namespace {

using SampleArray = BoundAudioFrame::SampleArray;

// A read-only float32 memoryview that keeps its owner alive.
using SampleView = nb::ndarray<nb::memview, const float, nb::ndim<1>, nb::c_contig>;

// The `samples` argument of AudioFrame(...): the imported array, or the name
// of the integer or boolean dtype it was refused for.
struct FrameSamples {
    SampleArray array;
    const char* refused_dtype = nullptr;
};

}  // namespace

namespace nanobind::detail {

template <>
struct type_caster<FrameSamples> {
    NB_TYPE_CASTER(FrameSamples, make_caster<SampleArray>::Name)

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        object source = with_strides(src);
        // Converting integer PCM to float would keep its scale (32767 for
        // full scale), so it is refused with a message that says what to do
        // rather than converted.
        if ((flags & (uint32_t) cast_flags::convert) && (value.refused_dtype = integer_dtype(source)))
            return true;
        make_caster<SampleArray> array;
        if (!array.from_python(source, flags, cleanup)) return false;
        value.array = std::move(array.value);
        value.refused_dtype = nullptr;
        return true;
    }

private:
    // nanobind's buffer-protocol import reads the exporter's strides without
    // checking for null, which ctypes arrays leave null for contiguous memory
    // (nanobind 3.1.0). A memoryview over the object always carries strides,
    // and holds the object's export for as long as it lives itself.
    static object with_strides(handle src) noexcept {
        if (!PyObject_CheckBuffer(src.ptr()) || hasattr(src, "__dlpack__")) return borrow(src);
        PyObject* view = PyMemoryView_FromObject(src.ptr());
        if (!view) {
            PyErr_Clear();
            return borrow(src);
        }
        return steal(view);
    }

    static const char* integer_dtype(handle source) noexcept {
        make_caster<ndarray<>> any;
        if (!any.from_python(source, 0, nullptr)) return nullptr;
        const dlpack::dtype dtype = any.value.dtype();
        switch ((dlpack::dtype_code) dtype.code) {
            case dlpack::dtype_code::Bool: return "bool";
            case dlpack::dtype_code::Int:
                switch (dtype.bits) {
                    case 8: return "int8";
                    case 16: return "int16";
                    case 32: return "int32";
                    default: return "int64";
                }
            case dlpack::dtype_code::UInt:
                switch (dtype.bits) {
                    case 8: return "uint8";
                    case 16: return "uint16";
                    case 32: return "uint32";
                    default: return "uint64";
                }
            default: return nullptr;
        }
    }
};

}  // namespace nanobind::detail

namespace {

constexpr size_t max_frame_count = std::numeric_limits<uint32_t>::max();

// The record is a bare pointer the SDK dereferences, so the array must live in
// host memory and its length must fit the 32-bit count without truncation.
void check_describable(const FrameSamples& samples) {
    if (samples.refused_dtype)
        throw nb::type_error(
            (std::string("AudioFrame samples must be floating-point PCM in [-1, 1], not a ") +
             samples.refused_dtype +
             " array: scale integer PCM to [-1, 1] first (int16: samples / 32768)")
                .c_str());
    if (samples.array.device_type() != nb::device::cpu::value)
        throw std::invalid_argument(
            "AudioFrame samples must be in host (CPU) memory; the array is on DLPack device type " +
            std::to_string(samples.array.device_type()));
    if (samples.array.size() > max_frame_count)
        throw std::length_error("AudioFrame holds at most 4294967295 samples; the array has " +
                                std::to_string(samples.array.size()));
}

void construct_over_array(BoundAudioFrame* self, FrameSamples samples) {
    check_describable(samples);
    BoundAudioFrame* frame = new (self) BoundAudioFrame();
    frame->source = std::move(samples.array);
    frame->samples = frame->source.data();
    frame->frame_count = static_cast<uint32_t>(frame->source.size());
}

// Stands in for the memory of an empty frame, whose pointer may be null:
// buffer consumers are entitled to a valid address even for zero bytes.
float no_samples = 0.0f;

// A new view per read, over the frame's own memory; the view keeps the frame
// (and through it that memory) alive however long it lives.
nb::memoryview view_samples(nb::pointer_and_handle<BoundAudioFrame> self) {
    const BoundAudioFrame& frame = *self.p;
    const bool empty = frame.frame_count == 0 || frame.samples == nullptr;
    const size_t shape[1] = {empty ? 0 : static_cast<size_t>(frame.frame_count)};
    SampleView view(empty ? &no_samples : frame.samples, 1, shape, self.h);
    return nb::steal<nb::memoryview>(nb::cast(view).release());
}

}  // namespace

void register_audio_frame(nb::module_& m) {
    nb::class_<BoundAudioFrame>(
        m, "AudioFrame",
        "A chunk of interleaved PCM audio, used for both processor input and processed output.\n"
        "\n"
        "The sample rate and channel count are fixed for the whole session by the AudioAttributes "
        "passed to create_audio_processor. samples is a non-owning view; the data must remain "
        "valid for the duration of the call.")
        // The frame also keeps the source object itself: a DLPack producer
        // need not tie its memory to the capsule it hands out.
        .def("__init__", &construct_over_array, nb::arg("samples"), nb::keep_alive<1, 2>())
        .def_ro("frame_count", &BoundAudioFrame::frame_count,
                "Number of frames (samples per channel) available at samples.")
        .def_prop_ro("samples", &view_samples,
                     "Interleaved IEEE float32 PCM (input and processed output), at the session's "
                     "configured sample rate and channel count. Exposed as a zero-copy float32 "
                     "memoryview valid only while the frame is alive; copy to retain.");
}
