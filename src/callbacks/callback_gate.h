#pragma once

#include <Python.h>

// Tracks Tavix callbacks running on the current thread and guards every entry
// into the interpreter from SDK threads against interpreter exit.

// True while the current thread runs a Tavix callback (the Python callable of
// a pipeline-state or transcript callback, or of _gil_selftest).
bool in_tavix_callback() noexcept;

// Called once from the module's atexit hook, with the interpreter lock held.
// After it returns, callbacks fired on SDK threads skip their Python call and
// the last release of a callable leaks its reference instead of taking the
// interpreter lock. Waits, with the lock released, for callbacks that are
// already entering or running, but for a few seconds at most, so that a
// stuck callback cannot hang exit.
void close_callback_gate();

// One attempt to enter the interpreter from any thread, held for as long as
// the thread may use it. While an admitted entry is alive, interpreter exit
// waits for it (for a bounded time) before finalisation starts.
class CallbackGateEntry {
public:
    CallbackGateEntry() noexcept;
    ~CallbackGateEntry();
    CallbackGateEntry(const CallbackGateEntry&) = delete;
    CallbackGateEntry& operator=(const CallbackGateEntry&) = delete;

    // False once the gate has closed: the interpreter may be finalising.
    bool admitted() const noexcept { return admitted_; }

    // Dropping a reference is still safe on the thread that closed the gate
    // (it finalises the interpreter itself) until the interpreter is gone.
    bool may_release_references() const noexcept;

private:
    bool admitted_;
};

// Takes the interpreter lock back on a Python thread that released it around
// a blocking native call (PyEval_SaveThread). Once the gate has closed the
// interpreter may be finalising, and CPython would end this thread by
// unwinding it through native frames that cannot take that; instead the
// thread is parked for good (only daemon threads can get here by then): the
// call then never returns. The thread that closed the gate always gets the
// lock back.
void restore_thread_or_park(PyThreadState* saved) noexcept;

// Releases the interpreter lock for a blocking native call, like
// nb::gil_scoped_release, but takes it back with restore_thread_or_park: a
// daemon thread that returns from native code while the interpreter exits
// stays parked instead of being unwound through native frames (which aborts
// the process when a destructor is among them).
class InterpreterUnlocked {
public:
    InterpreterUnlocked() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterUnlocked() { restore_thread_or_park(saved_); }
    InterpreterUnlocked(const InterpreterUnlocked&) = delete;
    InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

private:
    PyThreadState* saved_;
};

// True once the gate has closed.
bool callback_gate_closed() noexcept;

// Marks the current thread as running Python code for a Tavix callback.
class TavixCallbackScope {
public:
    TavixCallbackScope() noexcept;
    ~TavixCallbackScope();
    TavixCallbackScope(const TavixCallbackScope&) = delete;
    TavixCallbackScope& operator=(const TavixCallbackScope&) = delete;
};
