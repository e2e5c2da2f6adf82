#pragma once

#include <Python.h>

// The interpreter gate: how native threads get into the interpreter, and how
// that stops at interpreter exit.
//
// SDK threads enter the interpreter to run a callback or to drop the last
// reference to a callable; Python threads re-enter it when a blocking native
// call returns. A thread that takes the interpreter lock while CPython
// finalises is ended by CPython (unwound through our native frames, which
// may abort the process) or hangs. So every such entry passes the gate. The
// module's exit hook closes it (close_interpreter_gate) before finalisation
// starts; from then on entries are refused, and the hook waits, for a bounded
// time, for the entries already admitted.
//
// The one way to release the interpreter lock around native work is
// InterpreterUnlocked: it takes the lock back through the gate.

// One entry into the interpreter from the current thread, held for as long as
// the thread may use the interpreter. While an admitted entry is alive, the
// exit hook waits for it (for a bounded time) before finalisation starts.
class InterpreterEntry {
public:
    // `runs_callback`: the entry runs a Tavix callback (see in_tavix_callback).
    explicit InterpreterEntry(bool runs_callback = false) noexcept;
    ~InterpreterEntry();
    InterpreterEntry(const InterpreterEntry&) = delete;
    InterpreterEntry& operator=(const InterpreterEntry&) = delete;

    // False once the gate has closed: the interpreter may be finalising.
    // Entries nested in an admitted one of the same thread stay admitted.
    bool admitted() const noexcept { return admitted_; }

    // Dropping a reference is still safe on the thread that closed the gate
    // (it finalises the interpreter itself) until the interpreter is gone.
    bool may_release_references() const noexcept;

private:
    bool admitted_;
    bool runs_callback_;
};

// True while the current thread runs a Tavix callback: tearing an SDK object
// down here could join this very thread.
bool in_tavix_callback() noexcept;

bool interpreter_gate_closed() noexcept;

// Called once, from the module's exit hook, with the interpreter lock held:
// refuses every later entry and waits, with the lock released, for admitted
// entries of other threads, for a few seconds at most, so that a stuck
// callback cannot hang exit. Returns how many were still admitted then (left
// running, abandoned).
int close_interpreter_gate();

// In a forked child, with the interpreter lock held: the entries of other
// threads were the parent's; the child has only this thread.
void forget_other_threads_entries() noexcept;

// Releases the interpreter lock for a blocking native call, like
// nb::gil_scoped_release, but takes it back through the gate: a daemon
// thread that returns from native code once the gate has closed is parked
// for good (its call never returns) instead of being unwound by a finalising
// interpreter. The thread that closed the gate always gets the lock back.
class InterpreterUnlocked {
public:
    InterpreterUnlocked() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterUnlocked();
    InterpreterUnlocked(const InterpreterUnlocked&) = delete;
    InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

private:
    PyThreadState* saved_;
};
