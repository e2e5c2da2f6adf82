#include <functional>
#include <thread>
#include <utility>

#include "callbacks/record_callbacks.h"
#include "module/lifetime.h"
#include "module/registration.h"

namespace {

// Calls `fn(42)` once from a native thread the interpreter has never seen,
// the way the SDK fires a callback, while this thread waits without the
// interpreter lock. A fault in the callback bridge shows up as a deadlock or
// a crash here.
void gil_selftest(PyCallable<int> fn) {
    // At interpreter exit the call would be skipped anyway, and releasing
    // the lock then could cost this thread its way back.
    if (stage() == Stage::gate_closed) return;
    std::function<void(int)> callback = CallableHolder(std::move(fn));
    std::thread worker([copy = callback] { copy(42); });

    // If this thread unwinds instead (CPython ends it as it takes the lock
    // back at exit), the worker still holds its own share: let it finish on
    // its own. A guard, not a handler that rethrows: under libc++abi a
    // rethrow cannot carry on the unwind that ends a thread.
    struct DetachIfRunning {
        std::thread& worker;
        ~DetachIfRunning() {
            if (worker.joinable()) worker.detach();
        }
    } detach_if_running{worker};
    {
        InterpreterUnlocked unlocked;
        worker.join();
    }
    // `callback` is the last share now: the holder is released here, with
    // the lock held.
}

}  // namespace

void register_gil_selftest(nb::module_& m) { m.def("_gil_selftest", &gil_selftest); }
