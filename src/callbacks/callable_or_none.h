#pragma once

#include <functional>
#include <utility>

#include <nanobind/nanobind.h>

#include "callbacks/gil_safe_callable.h"

namespace nb = nanobind;

// A constructor argument that installs a callback: a Python callable, or None
// for "no callback". Anything else does not match, so the binding layer
// refuses it with its TypeError before the constructor runs.
struct CallableOrNone {
    nb::object callable;  // empty for None
};

// The callback that `wrap` (wrap_gil<T> or wrap_pipeline_state) makes from
// the callable, or an empty callback for None.
template <typename Wrap>
auto wrap_or_empty(CallableOrNone arg, Wrap wrap) -> decltype(wrap(std::declval<nb::callable>())) {
    if (!arg.callable.is_valid()) return {};
    return wrap(nb::steal<nb::callable>(arg.callable.release()));
}

namespace nanobind::detail {

template <>
struct type_caster<CallableOrNone> {
    NB_TYPE_CASTER(CallableOrNone, const_name("collections.abc.Callable"))

    bool from_python(handle src, uint32_t, cleanup_list*) noexcept {
        if (src.is_none()) {
            value.callable = object();
            return true;
        }
        if (!PyCallable_Check(src.ptr())) return false;
        value.callable = borrow(src);
        return true;
    }
};

}  // namespace nanobind::detail
