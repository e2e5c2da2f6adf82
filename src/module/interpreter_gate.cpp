#include "module/interpreter_gate.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

// A callback that is stuck in Python must not hang interpreter exit forever;
// after this long finalisation goes ahead and CPython deals with the thread.
constexpr std::chrono::seconds drain_limit{3};

// Sequentially consistent on purpose: an entry increments `admitted_entries`
// and then reads `closed`, the closing thread stores `closed` and then reads
// `admitted_entries`; at least one of the two sees the other, so no entry
// slips past the wait into a finalising interpreter.
std::atomic<bool> closed{false};
std::atomic<int> admitted_entries{0};

thread_local int admitted_here = 0;  // admitted entries alive on this thread
thread_local int callbacks_here = 0;  // of which run a callback
thread_local bool closed_the_gate = false;

}  // namespace

InterpreterEntry::InterpreterEntry(bool runs_callback) noexcept : runs_callback_(runs_callback) {
    admitted_entries.fetch_add(1, std::memory_order_seq_cst);
    // Nested in an admitted entry of this thread, the closing thread is
    // already waiting for us.
    admitted_ = admitted_here > 0 || !closed.load(std::memory_order_seq_cst);
    if (!admitted_) {
        admitted_entries.fetch_sub(1, std::memory_order_seq_cst);
        return;
    }
    ++admitted_here;
    if (runs_callback_) ++callbacks_here;
}

InterpreterEntry::~InterpreterEntry() {
    if (!admitted_) return;
    if (runs_callback_) --callbacks_here;
    --admitted_here;
    admitted_entries.fetch_sub(1, std::memory_order_seq_cst);
}

bool InterpreterEntry::may_release_references() const noexcept {
    return admitted_ || (closed_the_gate && nb::is_alive());
}

bool in_tavix_callback() noexcept { return callbacks_here > 0; }

bool interpreter_gate_closed() noexcept { return closed.load(std::memory_order_seq_cst); }

int close_interpreter_gate() {
    closed_the_gate = true;
    closed.store(true, std::memory_order_seq_cst);
    // Entries of this very thread (if the hook runs inside a callback) can
    // only end after we return.
    const int own = admitted_here;
    if (admitted_entries.load(std::memory_order_seq_cst) <= own) return 0;

    {
        InterpreterUnlocked unlocked;
        const auto deadline = std::chrono::steady_clock::now() + drain_limit;
        while (admitted_entries.load(std::memory_order_seq_cst) > own &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int left = admitted_entries.load(std::memory_order_seq_cst) - own;
    return left > 0 ? left : 0;
}

void forget_other_threads_entries() noexcept {
    admitted_entries.store(admitted_here, std::memory_order_seq_cst);
}

InterpreterUnlocked::~InterpreterUnlocked() {
    {
        // Held until the lock is ours, so the closing thread waits for us
        // rather than finalising underneath.
        InterpreterEntry entry;
        if (entry.admitted() || closed_the_gate) {
            PyEval_RestoreThread(saved_);
            return;
        }
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
