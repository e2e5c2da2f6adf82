#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <nanobind/nanobind.h>

#include "callbacks/gil_safe_callable.h"
#include "types/internal_reference.h"

namespace nb = nanobind;

// Garbage-collector support for bound records that hold Tavix callbacks, or
// that can be read as references into such records. A callable stored in a
// record is often a bound method of an object that holds the record; without
// tp_traverse/tp_clear that cycle would never be freed.
//
// A record type opts in by specialising CallbackFields and passing
// nb::type_slots(gc_slots<Record>) to its class.
//
// Only the Python object that owns the record reports its callables (a
// reference into another object's record must not report them a second
// time), and only a holder that this record alone shares: while the SDK or
// any other record holds a copy, the callable is reachable from outside the
// garbage collector's view and must stay alive.
//
// A reference reports the owner it keeps alive (see internal_reference.h).
// It owns the record it refers to in one case: a record that only that
// reference can reach and that goes with it (CallbackFields::
// owned_by_reference), such as a detached lt_config.

template <typename Record>
struct CallbackFields;  // static int visit(const Record&, visitproc, void*);
                        // static void drop(Record&);
                        // static bool owned_by_reference(const Record&) noexcept;

// Reports the callable behind `callback` if this record holds the only share.
template <typename Signature>
int visit_callback(const std::function<Signature>& callback, visitproc visit, void* arg) {
    const std::shared_ptr<GilSafeCallable>* holder = holder_of(callback);
    if (holder && *holder && holder->use_count() == 1) Py_VISIT((*holder)->callable.ptr());
    return 0;
}

template <typename Record>
Record* owned_record(PyObject* self) noexcept {
    auto [ready, owns] = nb::inst_state(self);
    if (!ready) return nullptr;
    Record* record = nb::inst_ptr<Record>(self);
    return owns || CallbackFields<Record>::owned_by_reference(*record) ? record : nullptr;
}

template <typename Record>
int traverse_record(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
    if (int rc = visit_owner_of(self, visit, arg)) return rc;
    const Record* record = owned_record<Record>(self);
    return record ? CallbackFields<Record>::visit(*record, visit, arg) : 0;
}

template <typename Record>
int clear_record(PyObject* self) {
    if (Record* record = owned_record<Record>(self)) CallbackFields<Record>::drop(*record);
    return 0;
}

template <typename Record>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_record<Record>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_record<Record>)},
    {0, nullptr},
};
