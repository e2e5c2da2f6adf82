#include "callbacks/record_callbacks.h"

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/lifetime.h"

using tavix::PipelineState;
using tavix::TextFrame;

namespace {

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
HANDLES_FORCED_UNWIND void call_with_lock_held(PyObject* target, Convert&& convert) {
    // A thread that already held the lock may have an exception pending; the
    // callback must neither see nor clear it.
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* callable = Py_NewRef(target);
    PyObject* argument = nullptr;
    try {
        argument = convert().release().ptr();
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

// The deleter of a holder's reference: runs on whatever thread drops the last
// copy of a callback.
void release(PyObject* callable) noexcept {
    InterpreterEntry entry;
    // The interpreter may be finalising: taking its lock could end or hang
    // this thread, so the reference is leaked instead.
    if (!entry.may_release_references()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(callable);
    PyGILState_Release(state);
}

}  // namespace

// Should the allocation fail, shared_ptr hands the reference to the deleter.
CallableHolder::CallableHolder(nb::callable callable) : callable_(callable.release().ptr(), &release) {}

template <typename Convert>
void CallableHolder::call(Convert&& convert) const {
    InterpreterEntry entry(/*runs_callback=*/true);
    if (!entry.admitted()) return;
    pinned_thread_state.pin();
    // Not a scope guard: if CPython ends this thread inside Ensure or the
    // call, the thread no longer holds the lock and must not release it.
    PyGILState_STATE state = PyGILState_Ensure();
    call_with_lock_held(callable_.get(), convert);
    PyGILState_Release(state);
}

void CallableHolder::operator()(int value) const { call([&] { return nb::int_(value); }); }

void CallableHolder::operator()(PipelineState state) const { call([&] { return nb::cast(state); }); }

void CallableHolder::operator()(TextFrame&& frame) const {
    call([&] { return nb::cast(std::move(frame), nb::rv_policy::move); });
}
