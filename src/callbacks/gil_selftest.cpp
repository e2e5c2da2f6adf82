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

    try {
        InterpreterUnlocked unlocked;
        worker.join();
    } catch (...) {
        // The worker still holds its own share; let it finish on its own.
        if (worker.joinable()) worker.detach();
        throw;
    }
    // `callback` is the last share now: the holder is released here, with
    // the lock held.
}

}  // namespace

void register_gil_selftest(nb::module_& m) { m.def("_gil_selftest", &gil_selftest); }
