#pragma once

// What happens to an SDK object, and to the threads that enter the
// interpreter, from import to exit. The rest of the binding drops SDK objects
// only through the verbs below and releases the interpreter lock only through
// InterpreterUnlocked.
//
// Dropping the last reference to an SDK object tears it down, and tearing a
// processor down joins its output thread, which may be waiting for the
// interpreter lock to deliver a callback. So an object is dropped either
// - now, on a thread without the lock (drop_now), or
// - off the lock: from a thread that holds it, which releases it for the
//   teardown (drop_off_the_lock; what close(), __exit__ and a handle's
//   destructor do), or
// - handed off at exit, to a helper thread, without waiting for it.
//
// What happens when a callback closes its own processor? The handle is
// emptied at once (process_frame raises "closed"), and since the teardown
// would join the very thread running the callback, drop_now sees that it is
// inside a callback and hands the drop to a helper thread, which tears the
// processor down once the callback has returned (NOT_RUNNING is still
// delivered). The same holds when the callback drops the last reference, or a
// collection it starts frees the processor.
//
// What happens to my processor at interpreter exit? The module's atexit hook
// runs before finalisation, while SDK threads may still run Python code (hooks
// registered after the import run before it), and moves through one state:
// 1. open -> closing processors: create_audio_processor raises RuntimeError
//    from now on (a callback that reopens its processor on NOT_RUNNING would
//    keep exit busy for ever). Every processor still open is emptied and
//    handed off: its SDK copies of Python callbacks may tie it into a cycle
//    the collector cannot see, so nothing else would tear it down. Its
//    callbacks run as usual meanwhile. The hook waits for the teardowns,
//    5 s at most.
// 2. closing processors -> gate closed: SDK threads skip their callbacks from
//    now on, and the last release of a callable leaks its reference rather
//    than take the lock. The hook waits, 5 s at most, for the callbacks still
//    in Python and the teardowns still under way.
// 3. What is still running then is abandoned: one line on standard error says
//    so, and nanobind's leak report is turned off for this exit only (it
//    would blame the binding for what those threads hold). A callback still
//    in Python when finalisation starts is ended by CPython (nothing swallows
//    that unwind); a teardown still stuck is abandoned with the process.
// So exit takes at most about 10 s more, whatever the callbacks do.
//
// And after os.fork()? The child has only the forking thread: the parent's
// output threads, helper threads and SDK threads are gone, and a lock one of
// them held stays locked. The vendor's SDK may join any of them, so every SDK
// object a handle held at the fork is abandoned in the child (never called
// into nor destroyed; process_frame raises "closed"), and the child forgets
// the parent's callbacks and teardowns. What the child creates works as usual.

#include <memory>
#include <utility>

#include <Python.h>
#include <nanobind/nanobind.h>

namespace nb = nanobind;

enum class Stage { open, closing_processors, gate_closed };

// The one state. Read with the interpreter lock held or, for gate_closed,
// through InterpreterEntry.
Stage stage() noexcept;

// Drops `object` on this thread, or on a helper thread when this thread runs
// a Tavix callback. Called without the interpreter lock.
void drop_now(std::shared_ptr<void> object) noexcept;

// drop_now with the interpreter lock released around it. Called with the lock
// held; an empty pointer costs nothing.
void drop_off_the_lock(std::shared_ptr<void> object) noexcept;

// One entry into the interpreter from a native thread (a callback, the
// release of a callable, a return from a blocking call), held for as long as
// the thread may use the interpreter. Refused once the gate has closed; the
// exit hook waits for the admitted ones.
class InterpreterEntry {
public:
    explicit InterpreterEntry(bool runs_callback = false) noexcept;
    ~InterpreterEntry();
    InterpreterEntry(const InterpreterEntry&) = delete;
    InterpreterEntry& operator=(const InterpreterEntry&) = delete;

    // Entries nested in an admitted one of the same thread stay admitted.
    bool admitted() const noexcept { return admitted_; }

    // Dropping a reference stays safe on the thread that closed the gate (it
    // finalises the interpreter itself) until the interpreter is gone.
    bool may_release_references() const noexcept;

private:
    bool admitted_;
    bool runs_callback_;
};

// Releases the interpreter lock for a blocking native call and takes it back
// through the gate: a daemon thread that returns once the gate has closed is
// parked for good instead of being unwound by a finalising interpreter.
class InterpreterUnlocked {
public:
    InterpreterUnlocked() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterUnlocked();
    InterpreterUnlocked(const InterpreterUnlocked&) = delete;
    InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

private:
    PyThreadState* saved_;
};

// Owns one SDK object on behalf of a Python object; changed only with the
// interpreter lock held. Handles that close at exit are listed for the hook.
class SdkObjectHandle {
public:
    enum class AtExit { stays_open, closes };

    SdkObjectHandle(std::shared_ptr<void> object, AtExit at_exit) noexcept;
    SdkObjectHandle(SdkObjectHandle&& other) noexcept;
    SdkObjectHandle(const SdkObjectHandle&) = delete;
    SdkObjectHandle& operator=(const SdkObjectHandle&) = delete;
    SdkObjectHandle& operator=(SdkObjectHandle&&) = delete;
    ~SdkObjectHandle();

    // True in a child forked since the object was made: the parent's.
    bool inherited() const noexcept;

    // Empties the handle: drops the object off the lock (abandons it if
    // inherited).
    void close() noexcept;

protected:
    std::shared_ptr<void> object_;

private:
    friend void close_listed_handles() noexcept;
    void link() noexcept;
    unsigned forks_;
    bool listed_;
    SdkObjectHandle* prev_ = nullptr;
    SdkObjectHandle* next_ = nullptr;
};

template <typename T>
class Handle : public SdkObjectHandle {
public:
    Handle(std::shared_ptr<T> object, AtExit at_exit) noexcept
        : SdkObjectHandle(std::move(object), at_exit) {}

    // A reference for the duration of one call; empty once closed.
    std::shared_ptr<T> share() const noexcept { return std::static_pointer_cast<T>(object_); }
};

// Runs `call(*object)` with the interpreter lock released and drops the call's
// reference before the lock is taken back: if the handle was closed meanwhile
// it is the last one, and the teardown must not run with the lock held.
template <typename T, typename Call>
auto call_without_gil(std::shared_ptr<T> object, Call&& call) {
    InterpreterUnlocked unlocked;
    try {
        auto result = call(*object);
        drop_now(std::move(object));
        return result;
    } catch (...) {
        drop_now(std::move(object));
        throw;
    }
}

// Registers the exit and after-fork hooks (not module attributes).
void install_lifetime_hooks();
