#include <functional>
#include <thread>
#include <utility>

#include "callbacks/record_callbacks.h"
#include "module/lifetime.h"
#include "module/registration.h"

namespace {

// Calls `fn(42)` from a native thread new to the interpreter, as the SDK
// does, while this thread waits without the lock: a fault in the callback
// bridge shows up as a deadlock or a crash.
void gil_selftest(PyCallable<int> fn) {
    // Skipped at exit anyway, when releasing the lock could cost our way back.
    if (stage() == Stage::gate_closed) return;
    std::function<void(int)> callback = CallableHolder(std::move(fn));
    std::thread worker([copy = callback] { copy(42); });
    InterpreterUnlocked unlocked;  // destroyed first: `callback`, the last share,
    worker.join();                 // is released with the lock held
}

}  // namespace

void register_gil_selftest(nb::module_& m) { m.def("_gil_selftest", &gil_selftest); }
