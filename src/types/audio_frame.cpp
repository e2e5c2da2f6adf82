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

// The `samples` argument of AudioFrame(...): the frame to be, holding a
// buffer export of float32 samples or nanobind's import of the array; or the
// name of the integer or boolean dtype it was refused for.
struct FrameSamples {
    BoundAudioFrame frame;
    const char* refused_dtype = nullptr;
};

// The name of an integer or boolean element type, from a buffer format
// character and item size; null for anything else.
const char* integer_dtype_name(char kind, size_t bits) {
    static const char* const signed_names[] = {"int8", "int16", "int32", "int64"};
    static const char* const unsigned_names[] = {"uint8", "uint16", "uint32", "uint64"};
    const size_t index = bits <= 8 ? 0 : bits <= 16 ? 1 : bits <= 32 ? 2 : 3;
    switch (kind) {
        case '?': return "bool";
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return signed_names[index];
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return unsigned_names[index];
        default: return nullptr;
    }
}

}  // namespace

namespace nanobind::detail {

// Imports through the buffer protocol itself wherever the source offers it:
// one export, held by the frame, and nothing else. nanobind's import (which
// would first ask for DLPack, then for a buffer) serves the rest: DLPack-only
// producers, and arrays that have to be converted (float64 to float32).
// Integer PCM is refused rather than converted, since conversion would keep
// its scale (32767 for full scale); the message says what to do.
template <>
struct type_caster<FrameSamples> {
    NB_TYPE_CASTER(FrameSamples, make_caster<SampleArray>::Name)

    bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
        const bool convert = flags & (uint32_t) cast_flags::convert;
        if (PyObject_CheckBuffer(src.ptr())) {
            switch (take_float_buffer(src, convert)) {
                case Taken::yes: return true;
                case Taken::no: return false;
                case Taken::not_float: break;
            }
        } else if (convert && (value.refused_dtype = dlpack_integer_dtype(src))) {
            return true;
        }
        make_caster<SampleArray> array;
        if (!array.from_python(src, flags, cleanup)) return false;
        value.frame.array = std::move(array.value);
        value.frame.producer = borrow(src);
        return true;
    }

private:
    enum class Taken { yes, no, not_float };

    Taken take_float_buffer(handle src, bool convert) noexcept {
        Py_buffer& view = value.frame.buffer;
        // Writable, as the SDK's record takes a non-const pointer; a
        // read-only source goes on to nanobind, which refuses it too.
        if (PyObject_GetBuffer(src.ptr(), &view, PyBUF_RECORDS) != 0) {
            PyErr_Clear();
            view = {};
            return Taken::not_float;
        }
        const char* format = view.format ? view.format : "B";
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        const bool one_char = format[0] != '\0' && format[1] == '\0';
        const char kind = one_char ? format[0] : '\0';
        const bool contiguous =
            view.ndim == 1 && (!view.strides || view.strides[0] == view.itemsize);
        if (kind == 'f' && view.itemsize == 4 && contiguous) return Taken::yes;
        const char* refused = one_char ? integer_dtype_name(kind, 8 * view.itemsize) : nullptr;
        PyBuffer_Release(&view);
        view = {};
        if (!refused) return Taken::not_float;
        if (!convert) return Taken::no;
        value.refused_dtype = refused;
        return Taken::yes;
    }

    static const char* dlpack_integer_dtype(handle src) noexcept {
        make_caster<ndarray<>> any;
        if (!any.from_python(src, 0, nullptr)) return nullptr;
        const dlpack::dtype dtype = any.value.dtype();
        switch ((dlpack::dtype_code) dtype.code) {
            case dlpack::dtype_code::Bool: return "bool";
            case dlpack::dtype_code::Int: return integer_dtype_name('q', dtype.bits);
            case dlpack::dtype_code::UInt: return integer_dtype_name('Q', dtype.bits);
            default: return nullptr;
        }
    }
};

}  // namespace nanobind::detail

namespace {

constexpr size_t max_frame_count = std::numeric_limits<uint32_t>::max();

// The record is a bare pointer the SDK dereferences, so the array must live in
// host memory and its length must fit the 32-bit count without truncation.
void check_describable(const FrameSamples& samples, size_t count) {
    if (samples.refused_dtype)
        throw nb::type_error(
            (std::string("AudioFrame samples must be floating-point PCM in [-1, 1], not a ") +
             samples.refused_dtype +
             " array: scale integer PCM to [-1, 1] first (int16: samples / 32768)")
                .c_str());
    const BoundAudioFrame& frame = samples.frame;
    if (!frame.buffer.obj && frame.array.device_type() != nb::device::cpu::value)
        throw std::invalid_argument(
            "AudioFrame samples must be in host (CPU) memory; the array is on DLPack device type " +
            std::to_string(frame.array.device_type()));
    if (count > max_frame_count)
        throw std::length_error("AudioFrame holds at most 4294967295 samples; the array has " +
                                std::to_string(count));
}

void construct_over_array(BoundAudioFrame* self, FrameSamples samples) {
    BoundAudioFrame& frame = samples.frame;
    const bool buffered = frame.buffer.obj != nullptr;
    const size_t count = buffered ? static_cast<size_t>(frame.buffer.shape[0]) : frame.array.size();
    check_describable(samples, count);
    frame.samples = static_cast<float*>(buffered ? frame.buffer.buf : frame.array.data());
    frame.frame_count = static_cast<uint32_t>(count);
    new (self) BoundAudioFrame(std::move(frame));
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
        .def("__init__", &construct_over_array, nb::arg("samples"))
        .def_ro("frame_count", &BoundAudioFrame::frame_count,
                "Number of frames (samples per channel) available at samples.")
        .def_prop_ro("samples", &view_samples,
                     "Interleaved IEEE float32 PCM (input and processed output), at the session's "
                     "configured sample rate and channel count. Exposed as a zero-copy float32 "
                     "memoryview valid only while the frame is alive; copy to retain.");
}
