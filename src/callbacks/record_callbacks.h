#pragma once

// Python callables in the SDK's records.
//
// What happens to my callable when `pa.lt_config = None` runs? A callable
// installed in a record (AudioAttributes(audio_pipeline_state_notify=f),
// config.callback = f) is held by a CallableHolder, the target of the record's
// std::function: one strong reference, shared by every copy of that
// std::function, so that the SDK's threads copy and destroy callbacks without
// the interpreter lock. Each owner of a record has a holder of its own: each
// Python record (ProcessorAttributes copies the configs it is given), and the
// copy that each create_audio_processor hands to the SDK.
//
// So `pa.lt_config = None` releases pa's holder at once, with the lock held;
// f lives on while another owner holds it: the config you built, another
// ProcessorAttributes, or a processor created from pa earlier, which goes on
// calling f until it is closed. A reference read earlier from pa.lt_config
// keeps the config's storage (references/record_references.h), not its
// callback: one installed through the reference lives until the reference goes.
//
// The SDK's thread takes the lock for a call, and the last release takes it
// wherever it happens (at exit: module/lifetime.h). A call reports whatever
// fails to sys.unraisablehook: no exception reaches the SDK.
//
// The collector: a record bound with record_gc_slots reports the callable of
// each holder it owns (one reference each, so the count adds up), or, as a
// reference into another record, that record; clearing it empties its
// callbacks. So a cycle through a bound method of an object that holds the
// record is collected, while the SDK's holders, outside references, keep an
// open processor's callable. A new callback field is one line in
// for_each_callback below, and its property (read_as_none, callback_setter).

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include "references/record_references.h"
#include "tavix/ProcessorAttributes.h"

namespace nb = nanobind;

// A callable from Python, typed for the stubs as Callable[[T], object].
template <typename T>
using PyCallable = nb::typed<nb::callable, nb::object(std::decay_t<T>)>;

class CallableHolder {
public:
    explicit CallableHolder(nb::callable callable);  // with the lock held

    // Never throw (only a thread cancellation that CPython starts passes).
    void operator()(int value) const;
    void operator()(tavix::PipelineState state) const;
    void operator()(tavix::TextFrame&& frame) const;

    // The callable `field` holds, or null if it holds none from Python.
    template <typename Field>
    static PyObject* callable_in(const Field& field) noexcept {
        const CallableHolder* holder = field.template target<CallableHolder>();
        return holder ? holder->callable_.get() : nullptr;
    }

private:
    std::shared_ptr<PyObject> callable_;  // released through module/lifetime.h
};

// A constructor's callback argument, where None means no callback.
template <typename T>
std::function<void(T)> callback_of(std::optional<PyCallable<T>> callable) {
    if (!callable) return {};
    return CallableHolder(std::move(*callable));
}

// A callback property is written like a field and read as None.
inline nb::object read_as_none(nb::handle) { return nb::none(); }

template <typename Record, typename T>
auto callback_setter(std::function<void(T)> Record::*field) {
    return [field](Record& record, PyCallable<T> callable) {
        // The previous callback goes only once the field holds the new one,
        // so Python code run by its release sees a whole record.
        auto previous = std::exchange(record.*field, CallableHolder(std::move(callable)));
    };
}

// Every callback field that Python can set, in one place. A detached
// lt_config still belongs to its record (references only point into it).
template <typename Visit>
void for_each_callback(tavix::CloudInferencingParams&, Visit&&) {}  // none; read as a reference
template <typename Visit>
void for_each_callback(tavix::AudioAttributes& r, Visit&& visit) { visit(r.audio_pipeline_state_notify); }
template <typename Visit>
void for_each_callback(tavix::LanguageTranslationConfig& r, Visit&& visit) { visit(r.callback); }
template <typename Visit>
void for_each_callback(tavix::ProcessorAttributes& record, Visit&& visit) {
    for_each_callback(record.audio_attributes, visit);
    if (record.lt_config) for_each_callback(*record.lt_config, visit);
}

// A copy of `record` for a new owner: its callbacks get holders of their own.
template <typename Record>
Record with_own_callbacks(Record record) {
    for_each_callback(record, [](auto& field) {
        if (PyObject* callable = CallableHolder::callable_in(field))
            field = CallableHolder(nb::borrow<nb::callable>(callable));
    });
    return record;
}

namespace record_gc {

// The record of `self`, unless `self` is a reference into another's.
template <typename Record>
Record* owned(PyObject* self) noexcept {
    auto [ready, owns] = nb::inst_state(self);
    return ready && owns ? nb::inst_ptr<Record>(self) : nullptr;
}

template <typename Record>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
    int rc = visit_owner_of(self, visit, arg);
    if (Record* record = owned<Record>(self))
        for_each_callback(*record, [&](auto& field) {
            PyObject* callable = CallableHolder::callable_in(field);
            if (!rc && callable) rc = visit(callable, arg);
        });
    return rc;
}

template <typename Record>
int clear(PyObject* self) {
    if (Record* record = owned<Record>(self))
        for_each_callback(*record, [](auto& field) { auto previous = std::exchange(field, {}); });
    return 0;
}

}  // namespace record_gc

// The collector's hooks of a record type: nb::type_slots(record_gc_slots<Record>).
template <typename Record>
inline PyType_Slot record_gc_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(&record_gc::traverse<Record>)},
    {Py_tp_clear, reinterpret_cast<void*>(&record_gc::clear<Record>)},
    {0, nullptr},
};
