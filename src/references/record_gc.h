#pragma once

#include <functional>
#include <memory>

#include <nanobind/nanobind.h>

#include "callbacks/gil_safe_callable.h"
#include "references/record_references.h"
#include "tavix/AudioAttributes.h"
#include "tavix/ProcessorAttributes.h"

namespace nb = nanobind;

// Garbage-collector support for the records that hold Tavix callbacks, or
// that can be read as references into such records. A callable stored in a
// record is often a bound method of an object that holds the record; without
// tp_traverse/tp_clear that cycle would never be freed.
//
// Each Python object that owns a record reports the callables of that
// record's callbacks; a reference into another object's record reports that
// owner instead (record_references.h). Every owner of a callback, each Python
// record and each copy handed to the SDK, has a holder of its own
// (give_own_holder), so each reported callable stands for exactly one strong
// reference, and one the SDK keeps stays an outside reference.
//
// A record type opts in by passing nb::type_slots(gc_slots<Record>) to its
// class; these overloads say where its callbacks are.

inline int visit_callbacks(const tavix::CloudInferencingParams&, visitproc, void*) { return 0; }
inline void drop_callbacks(tavix::CloudInferencingParams&) {}

int visit_callbacks(const tavix::AudioAttributes& record, visitproc visit, void* arg);
void drop_callbacks(tavix::AudioAttributes& record);
void give_own_callbacks(tavix::AudioAttributes& record);

int visit_callbacks(const tavix::LanguageTranslationConfig& record, visitproc visit, void* arg);
void drop_callbacks(tavix::LanguageTranslationConfig& record);
void give_own_callbacks(tavix::LanguageTranslationConfig& record);

int visit_callbacks(const tavix::ProcessorAttributes& record, visitproc visit, void* arg);
void drop_callbacks(tavix::ProcessorAttributes& record);
void give_own_callbacks(tavix::ProcessorAttributes& record);

// A copy of `record` whose callbacks have holders of their own: how every
// copy that gets an owner of its own is made.
template <typename Record>
Record own_copy(Record record) {
    give_own_callbacks(record);
    return record;
}

// Reports the callable behind `callback`, if any.
template <typename T>
int visit_callback(const std::function<void(T)>& callback, visitproc visit, void* arg) {
    const std::shared_ptr<GilSafeCallable>* holder = holder_of(callback);
    if (holder && *holder) Py_VISIT((*holder)->callable.ptr());
    return 0;
}

// The record of `self`, if `self` owns it (rather than referring into another
// object's record).
template <typename Record>
Record* owned_record(PyObject* self) noexcept {
    auto [ready, owns] = nb::inst_state(self);
    return ready && owns ? nb::inst_ptr<Record>(self) : nullptr;
}

template <typename Record>
int traverse_record(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
    if (int rc = visit_owner_of(self, visit, arg)) return rc;
    const Record* record = owned_record<Record>(self);
    return record ? visit_callbacks(*record, visit, arg) : 0;
}

template <typename Record>
int clear_record(PyObject* self) {
    if (Record* record = owned_record<Record>(self)) drop_callbacks(*record);
    return 0;
}

template <typename Record>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_record<Record>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_record<Record>)},
    {0, nullptr},
};
