#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>

#include "tavix/Enums.h"
#include "tavix/Transcript.h"

namespace nb = nanobind;

// The one strong reference to a Python callable that every copy of a Tavix
// callback shares. Copies of the callback share this holder through a
// std::shared_ptr, so copying, moving and destroying them never touches
// Python; only the destructor does, and it takes the interpreter lock itself.
struct GilSafeCallable {
    explicit GilSafeCallable(nb::callable fn) noexcept : callable(std::move(fn)) {}
    GilSafeCallable(const GilSafeCallable&) = delete;
    GilSafeCallable& operator=(const GilSafeCallable&) = delete;
    ~GilSafeCallable();

    nb::object callable;
};

// The target of every std::function that wrap_gil makes. A named type, so
// that the holder can be found again (see holder_of).
template <typename T>
struct GilCallback {
    std::shared_ptr<GilSafeCallable> holder;

    // Takes the interpreter lock, converts `arg`, calls the Python callable
    // and reports any failure to sys.unraisablehook. Never throws into the
    // caller (only a thread cancellation that CPython starts passes through).
    void operator()(T arg) const;
};

extern template struct GilCallback<int>;
extern template struct GilCallback<tavix::PipelineState&&>;
extern template struct GilCallback<tavix::TextFrame&&>;

// The instantiations that exist: int (_gil_selftest), PipelineState&& and
// TextFrame&& (the SDK's callbacks).
template <typename T>
inline constexpr bool is_gil_callback_argument =
    std::is_same_v<T, int> || std::is_same_v<T, tavix::PipelineState&&> ||
    std::is_same_v<T, tavix::TextFrame&&>;

// Turns a Python callable into a callback that any thread may call, copy and
// destroy. Called with the interpreter lock held; the reference in `fn` moves
// into the holder (one allocation for holder and share count).
template <typename T>
std::function<void(T)> wrap_gil(nb::callable fn) {
    static_assert(is_gil_callback_argument<T>, "wrap_gil: unsupported argument type");
    return GilCallback<T>{std::make_shared<GilSafeCallable>(std::move(fn))};
}

// AudioAttributes::audio_pipeline_state_notify takes the state by value; it
// holds this forwarder around the wrap_gil<PipelineState&&> callback.
struct PipelineStateForwarder {
    std::function<void(tavix::PipelineState&&)> deliver;

    void operator()(tavix::PipelineState state) const { deliver(std::move(state)); }
};

std::function<void(tavix::PipelineState)> wrap_pipeline_state(nb::callable fn);

// The holder behind a callback made by the functions above; null for an
// empty callback or one made elsewhere.
const std::shared_ptr<GilSafeCallable>* holder_of(
    const std::function<void(tavix::PipelineState)>& callback) noexcept;
const std::shared_ptr<GilSafeCallable>* holder_of(
    const std::function<void(tavix::TextFrame&&)>& callback) noexcept;

// Gives `callback`, a copy just made of another owner's callback, a holder of
// its own for the same callable. Called with the interpreter lock held. With
// one holder per owner (each Python record, each SDK copy of the records),
// every holder's reference is one the collector can account for: a record
// reports its own, and a holder the SDK keeps stays an outside reference.
void give_own_holder(std::function<void(tavix::PipelineState)>& callback);
void give_own_holder(std::function<void(tavix::TextFrame&&)>& callback);
