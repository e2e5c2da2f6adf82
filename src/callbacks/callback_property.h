#pragma once

#include <functional>
#include <utility>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// Getter of a callback property: callback properties are write-only, the
// installed callable cannot be read back.
inline nb::object read_callback_as_none(nb::handle) { return nb::none(); }

// Replaces the callback in `field` (by none, by default). The previous one is
// released only after the field holds the new one, so Python code run by that
// release sees a complete record.
template <typename Signature>
void replace_callback(std::function<Signature>& field, std::function<Signature> callback = {}) {
    auto previous = std::exchange(field, std::move(callback));
}
