#include "callbacks/record_callbacks.h"

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/lifetime.h"

namespace {

// A handler for a forced unwind binds its reference to null, as the ABI
// intends; UndefinedBehaviorSanitizer would report (and abort) on that.
#if defined(__GNUC__) || defined(__clang__)
#define HANDLES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define HANDLES_FORCED_UNWIND
#endif

// `target(convert())`, with the lock held, which converting needs. References
// are raw, not RAII: if CPython ends this thread inside the call (at exit),
// the unwinding must not touch reference counts without the lock.
template <typename Convert>
HANDLES_FORCED_UNWIND void call_with_lock_held(void* job) {
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
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        // Swallowing the unwinding that ends the thread would abort the
        // process; the thread holds no lock any more, so nothing is released.
        throw;
    }
#endif
    catch (nb::python_error& error) {
        error.restore();
        nb::chain_error(PyExc_RuntimeError, "error in Tavix callback");  // as cause and context
        PyErr_WriteUnraisable(callable);
    } catch (...) {
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
