#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "tavix/Enums.h"
#include "tavix/Transcript.h"

namespace nb = nanobind;

// The one strong reference to a Python callable behind a Tavix callback.
// Copies of the callback share this holder through a std::shared_ptr, so
// copying, moving and destroying them never touches Python; only the
// destructor does, and it takes the interpreter lock itself.
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

// The instantiations that exist: int (_gil_selftest), and the argument types
// of the SDK's two callbacks.
extern template struct GilCallback<int>;
extern template struct GilCallback<tavix::PipelineState>;
extern template struct GilCallback<tavix::TextFrame&&>;

// A Python callable as a callback argument: a plain callable to the binding,
// typed for the stubs as Callable[[T], object] (its result is ignored).
template <typename T>
using PyCallback = nb::typed<nb::callable, nb::object(std::decay_t<T>)>;

// Turns a Python callable into a callback that any thread may call, copy and
// destroy. Called with the interpreter lock held; the reference in `fn` moves
// into the holder.
template <typename T>
std::function<void(T)> wrap_gil(nb::callable fn) {
    return GilCallback<T>{std::make_shared<GilSafeCallable>(std::move(fn))};
}

// The same for a constructor argument, where None means "no callback".
template <typename T>
std::function<void(T)> wrap_gil(std::optional<PyCallback<T>> fn) {
    if (!fn) return {};
    return wrap_gil<T>(std::move(*fn));
}

// The holder behind a callback made by wrap_gil; null for an empty callback
// or one made elsewhere.
template <typename T>
const std::shared_ptr<GilSafeCallable>* holder_of(const std::function<void(T)>& callback) noexcept {
    const auto* target = callback.template target<GilCallback<T>>();
    return target ? &target->holder : nullptr;
}

// Gives `callback`, a copy just made of another owner's callback, a holder of
// its own for the same callable. Called with the interpreter lock held. With
// one holder per owner (each Python record, each SDK copy of the records),
// every holder's reference is one the collector can account for: a record
// reports its own, and a holder the SDK keeps stays an outside reference.
template <typename T>
void give_own_holder(std::function<void(T)>& callback) {
    const std::shared_ptr<GilSafeCallable>* holder = holder_of(callback);
    if (holder && *holder) callback = wrap_gil<T>(nb::borrow<nb::callable>((*holder)->callable));
}

// Getter of a callback property: callback properties are write-only, the
// installed callable cannot be read back.
inline nb::object read_callback_as_none(nb::handle) { return nb::none(); }

// Replaces the callback in `field` (by none, by default). The previous one is
// released only after the field holds the new one, so Python code run by that
// release sees a complete record.
template <typename T>
void replace_callback(std::function<void(T)>& field, std::function<void(T)> callback = {}) {
    auto previous = std::exchange(field, std::move(callback));
}
