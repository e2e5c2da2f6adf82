#include "callbacks/record_callbacks.h"

#include <exception>
#include <utility>

#include "module/lifetime.h"

namespace {

// `target(convert())`, with the lock held, which converting needs. References
// are raw, not RAII: if CPython ends this thread inside the call (at exit),
// the unwinding must not touch reference counts without the lock. Errors are
// caught by type, with no catch (...): that unwind must pass on to the
// thread's entry, and libc++abi, unlike libstdc++, would hand it to a
// catch (...) that cannot pass it on. Everything this code throws (nanobind's
// errors, std::bad_alloc) is a std::exception.
// Left out of AddressSanitizer's instrumentation: that unwind leaves this
// frame without running its epilogue, so its red zones would stay poisoned,
// and the sanitizer's own no-return hook, run where the unwind next stops (in
// run_callback), writes into that stack and reports itself.
template <typename Convert>
__attribute__((no_sanitize_address)) void call_with_lock_held(void* job) {
    auto [target, convert] = *static_cast<std::pair<PyObject*, Convert*>*>(job);
    // A thread that already held the lock may have an exception pending; the
    // callback must neither see nor clear it.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* callable = Py_NewRef(target);
    PyObject* argument = nullptr;
    try {
        argument = (*convert)().release().ptr();
        PyObject* result = PyObject_Vectorcall(callable, &argument, 1, nullptr);
        if (!result) throw nb::python_error();
        Py_DECREF(result);
    } catch (nb::python_error& error) {
        error.restore();
        nb::chain_error(PyExc_RuntimeError, "error in Tavix callback");  // as cause and context
        PyErr_WriteUnraisable(callable);
    } catch (std::exception&) {
        PyErr_SetString(PyExc_RuntimeError, "non-Python exception in Tavix callback");
        PyErr_WriteUnraisable(callable);
    }
    Py_XDECREF(argument);
    Py_DECREF(callable);
    PyErr_SetRaisedException(pending);
}

// Runs `target(convert())` on this SDK thread, through the gate.
template <typename Convert>
void call(PyObject* target, Convert&& convert) {
    std::pair<PyObject*, Convert*> job{target, &convert};
    run_callback(&call_with_lock_held<Convert>, &job);
}

}  // namespace

// Should the allocation fail, shared_ptr hands the reference to the deleter.
CallableHolder::CallableHolder(nb::callable callable)
    : callable_(callable.release().ptr(), &release_reference) {}

void CallableHolder::operator()(int value) const { call(callable_.get(), [&] { return nb::int_(value); }); }
void CallableHolder::operator()(tavix::PipelineState state) const {
    call(callable_.get(), [&] { return nb::cast(state); });
}
void CallableHolder::operator()(tavix::TextFrame&& frame) const {
    call(callable_.get(), [&] { return nb::cast(std::move(frame), nb::rv_policy::move); });
}
