#include "callbacks/gil_safe_callable.h"

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/lifetime.h"

using tavix::PipelineState;
using tavix::TextFrame;

namespace {

nb::object to_python(int value) { return nb::int_(value); }

nb::object to_python(PipelineState state) { return nb::cast(state); }

nb::object to_python(TextFrame&& frame) { return nb::cast(std::move(frame), nb::rv_policy::move); }

// Leaves RuntimeError("error in Tavix callback"), chained to the Python
// exception that `error` carries, as the current exception.
void raise_chained_callback_error(nb::python_error& error) noexcept {
    error.restore();
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "error in Tavix callback");
    PyObject* wrapper = PyErr_GetRaisedException();
    if (wrapper && cause) {
        Py_INCREF(cause);
        PyException_SetCause(wrapper, cause);    // steals
        PyException_SetContext(wrapper, cause);  // steals
    } else {
        Py_XDECREF(cause);
    }
    PyErr_SetRaisedException(wrapper);
}

void drop(PyObject*& object) noexcept {
    Py_XDECREF(object);
    object = nullptr;
}

// A forced unwind carries no exception object, so a handler for it binds its
// reference to null, as the ABI intends; UndefinedBehaviorSanitizer would
// report (and in a sanitizer build abort) on that.
#if defined(__GNUC__) || defined(__clang__)
#define HANDLES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define HANDLES_FORCED_UNWIND
#endif

// Runs with the interpreter lock held. The argument is converted only here,
// under the lock, because converting creates Python objects. References are
// held raw rather than in RAII handles: if CPython ends this thread inside the
// call (interpreter exit), the unwinding must not touch reference counts
// without the lock, so they are left behind.
template <typename Convert>
HANDLES_FORCED_UNWIND void call_with_lock_held(const GilSafeCallable& target, Convert&& convert) {
    // A thread that already held the lock may have an exception pending; the
    // callback must neither see nor clear it.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* argument = nullptr;
    PyObject* callable = nullptr;
    try {
        argument = convert().release().ptr();
        callable = Py_NewRef(target.callable.ptr());
        PyObject* result = PyObject_Vectorcall(callable, &argument, 1, nullptr);
        drop(callable);
        drop(argument);
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
        drop(callable);
        drop(argument);
        raise_chained_callback_error(error);
        PyErr_WriteUnraisable(target.callable.ptr());
    } catch (...) {
        drop(callable);
        drop(argument);
        PyErr_SetString(PyExc_RuntimeError, "non-Python exception in Tavix callback");
        PyErr_WriteUnraisable(target.callable.ptr());
    }
    PyErr_SetRaisedException(pending);
}

// A Python thread state kept for the whole life of an SDK thread that runs
// callbacks. Without one, every callback's PyGILState_Ensure would create a
// thread state and its Release destroy it again, which costs more than the
// call itself. Made by the thread's first callback; given back exactly once,
// when the thread ends, through the interpreter gate: once the gate has
// closed the interpreter may be finalising, and the state is left behind.
class PinnedThreadState {
public:
    // Called on a thread that does not hold the interpreter lock.
    void pin() noexcept {
        if (saved_ || PyGILState_GetThisThreadState()) return;  // Python's own, or pinned
        outer_ = PyGILState_Ensure();
        saved_ = PyEval_SaveThread();
    }

    ~PinnedThreadState() {
        if (!saved_) return;
        InterpreterEntry entry;
        if (!entry.admitted()) return;
        PyEval_RestoreThread(saved_);
        PyGILState_Release(outer_);
    }

private:
    PyThreadState* saved_ = nullptr;
    PyGILState_STATE outer_{};
};

thread_local PinnedThreadState pinned_thread_state;

}  // namespace

GilSafeCallable::~GilSafeCallable() {
    InterpreterEntry entry;
    if (!entry.may_release_references()) {
        // The interpreter may be finalising: taking its lock could kill or
        // hang this thread, so the reference is leaked instead.
        (void) callable.release();
        return;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    {
        nb::object dropped = std::move(callable);
    }
    PyGILState_Release(state);
}

template <typename T>
void GilCallback<T>::operator()(T arg) const {
    InterpreterEntry entry(/*runs_callback=*/true);
    if (!entry.admitted()) return;
    pinned_thread_state.pin();
    // Not a scope guard: if CPython ends this thread inside Ensure or the
    // call, the thread no longer holds the lock and must not release it.
    PyGILState_STATE state = PyGILState_Ensure();
    call_with_lock_held(*holder, [&] { return to_python(std::forward<T>(arg)); });
    PyGILState_Release(state);
}

template struct GilCallback<int>;
template struct GilCallback<PipelineState>;
template struct GilCallback<TextFrame&&>;
