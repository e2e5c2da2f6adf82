#pragma once

#include <cstddef>

#include <Python.h>
#include <nanobind/nanobind.h>

namespace nb = nanobind;

// The processed frames a processor returned last, to be refilled by a later
// call once their callers have let them go. Making a frame object and freeing
// it again was the largest part of process_frame's own cost, and a loop lets
// each frame go within a call or two (two are kept, so that a loop holding
// the previous result while it makes the next one is served too). A frame is
// refilled only while this holds its one reference: nothing else can see it
// change. Used with the interpreter lock held.
class ReturnedFrames {
public:
    // A kept frame nothing else refers to, now the caller's; else null.
    nb::object take_released() noexcept {
        for (nb::object& kept : kept_)
            if (kept.is_valid() && Py_REFCNT(kept.ptr()) == 1) return std::move(kept);
        return {};
    }

    // Keeps `frame` in a free place, else in place of a kept one, in turn
    // (one its caller still holds: it only loses this reference).
    void keep(nb::handle frame) noexcept {
        for (nb::object& kept : kept_)
            if (!kept.is_valid()) {
                kept = nb::borrow(frame);
                return;
            }
        kept_[oldest_] = nb::borrow(frame);
        oldest_ = (oldest_ + 1) % kept_count;
    }

private:
    static constexpr std::size_t kept_count = 2;
    nb::object kept_[kept_count];
    std::size_t oldest_ = 0;
};
