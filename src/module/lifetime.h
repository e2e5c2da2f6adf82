#pragma once

// What happens to an SDK object, and to the threads that enter the
// interpreter, from import to exit. The rest of the binding drops SDK objects,
// and releases the interpreter lock around native work, only through this.
//
// Tearing a processor down joins its output thread, which may be waiting for
// the interpreter lock to deliver a callback. So the last reference to an SDK
// object is dropped on a thread without the lock (drop_now), or by one that
// releases it for the teardown (close(), __exit__, a handle's destructor), or
// handed off to a helper thread.
//
// What happens when a callback closes its own processor? The handle is
// emptied at once (process_frame raises "closed"). The teardown would join
// the very thread running the callback, so drop_now hands it to a helper
// thread, which tears the processor down once the callback has returned
// (NOT_RUNNING is still delivered). The same holds when the callback drops the
// last reference, or a collection it starts frees the processor.
//
// What happens to my processor at interpreter exit? The module's atexit hook
// runs before finalisation, while SDK threads may still run Python code (hooks
// registered after the import run before it). It moves the one state on:
// 1. closing processors: create_audio_processor raises RuntimeError (a
//    callback that reopens its processor on NOT_RUNNING would keep exit busy
//    for ever). Every open processor is emptied and handed off (the SDK's
//    copies of its callbacks may tie it into a cycle the collector cannot
//    see); its callbacks run meanwhile. The hook waits for the teardowns.
// 2. gate closed: SDK threads skip their callbacks, and the last release of a
//    callable leaks its reference rather than take the lock. The hook waits
//    for callbacks still in Python and teardowns still running.
// 3. What still runs is abandoned, with one line on standard error, and
//    nanobind's leak report is off for this exit only (it would blame the
//    binding for what those threads hold). CPython ends a callback still in
//    Python when finalisation starts (nothing swallows that unwind).
// Each wait lasts 5 s at most: exit takes at most about 10 s more.
//
// And after os.fork()? The child has only the forking thread (a lock another
// thread held stays locked, the SDK may join threads it does not have), so
// every SDK object a handle held at the fork is abandoned there: never
// destroyed, a processor counts as closed (process_frame raises), the
// parent's callbacks and teardowns are forgotten. What the child creates works.

#include <memory>
#include <utility>

#include <Python.h>
#include <nanobind/nanobind.h>

namespace nb = nanobind;

// The one state; read with the interpreter lock held.
enum class Stage { open, closing_processors, gate_closed };
Stage stage() noexcept;

// Without the lock: drops `object` here, or on a helper inside a callback.
void drop_now(std::shared_ptr<void> object) noexcept;

// On an SDK thread: runs `call(context)` with the lock held, on a Python
// thread state kept for the thread's life; `call` lets nothing escape.
void run_callback(void (*call)(void*), void* context);
// From any thread: the deleter of a reference that a callback holds.
void release_reference(PyObject* object) noexcept;

// Releases the lock for a blocking native call; takes it back through the
// gate: a daemon thread back after it closed is parked for good, not unwound.
class InterpreterUnlocked {
public:
    InterpreterUnlocked() noexcept : saved_(PyEval_SaveThread()) {}
    ~InterpreterUnlocked();
    InterpreterUnlocked(const InterpreterUnlocked&) = delete;
    InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

private:
    PyThreadState* saved_;
};

// Owns one SDK object for a Python object; changed only with the lock held.
class SdkObjectHandle {
public:
    enum class AtExit { stays_open, closes };  // closes: listed for the exit hook
    SdkObjectHandle(std::shared_ptr<void> object, AtExit at_exit) noexcept;
    SdkObjectHandle(SdkObjectHandle&& other) noexcept;  // (so neither copied nor assigned)
    ~SdkObjectHandle();

    bool inherited() const noexcept;  // made before a fork: the parent's
    void close() noexcept;            // empties the handle, dropping off the lock

protected:
    std::shared_ptr<void> object_;

private:
    friend void close_listed_handles() noexcept;
    unsigned forks_;
    AtExit at_exit_;
    SdkObjectHandle* prev_ = nullptr;
    SdkObjectHandle* next_ = nullptr;
};

// The handle of a T (the SDK root, a processor) as Python holds it.
template <typename T>
class Handle : public SdkObjectHandle {
public:
    Handle(std::shared_ptr<T> object, AtExit at_exit) noexcept
        : SdkObjectHandle(std::move(object), at_exit) {}

    // A reference for the duration of one call; empty once closed.
    std::shared_ptr<T> share() const noexcept { return std::static_pointer_cast<T>(object_); }
};

// Runs `call(*object)` with the lock released and drops the call's reference
// before the lock is taken back: if the handle was closed meanwhile it is the
// last one, and the teardown must not run with the lock held.
template <typename T, typename Call>
auto call_without_gil(std::shared_ptr<T> object, Call&& call) {
    InterpreterUnlocked unlocked;
    struct DropFirst {
        std::shared_ptr<T>& object;
        ~DropFirst() { drop_now(std::move(object)); }
    } drop_first{object};
    return call(*object);
}

// Registers the exit and after-fork hooks (not module attributes).
void install_lifetime_hooks();
