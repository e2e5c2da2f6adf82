#include "callbacks/callback_gate.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

namespace {

// A callback that is stuck in Python must not hang interpreter exit forever;
// after this long finalisation goes ahead and CPython deals with the thread.
constexpr std::chrono::seconds drain_limit{3};

// Sequentially consistent on purpose: an entry increments `entered` and then
// reads `closed`, the closing thread stores `closed` and then reads
// `entered`; at least one of the two sees the other, so no entry slips past
// the wait into a finalising interpreter.
std::atomic<bool> closed{false};
std::atomic<int> entered{0};

thread_local int entries_on_this_thread = 0;
thread_local int admitted_on_this_thread = 0;
thread_local int callback_depth = 0;
thread_local bool closed_the_gate = false;

}  // namespace

bool in_tavix_callback() noexcept { return callback_depth > 0; }

CallbackGateEntry::CallbackGateEntry() noexcept {
    entered.fetch_add(1, std::memory_order_seq_cst);
    ++entries_on_this_thread;
    // Nested in an admitted entry of this thread, the closing thread is
    // already waiting for us.
    admitted_ = admitted_on_this_thread > 0 || !closed.load(std::memory_order_seq_cst);
    if (admitted_) ++admitted_on_this_thread;
}

CallbackGateEntry::~CallbackGateEntry() {
    if (admitted_) --admitted_on_this_thread;
    --entries_on_this_thread;
    entered.fetch_sub(1, std::memory_order_seq_cst);
}

bool CallbackGateEntry::may_release_references() const noexcept {
    return admitted_ || (closed_the_gate && nb::is_alive());
}

bool callback_gate_closed() noexcept { return closed.load(std::memory_order_seq_cst); }

void restore_thread_or_park(PyThreadState* saved) noexcept {
    {
        // Held until the lock is ours, so the closing thread waits for us
        // rather than finalising underneath. That thread itself finalises
        // the interpreter and may always take the lock back.
        CallbackGateEntry entry;
        if (entry.admitted() || closed_the_gate) {
            PyEval_RestoreThread(saved);
            return;
        }
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

TavixCallbackScope::TavixCallbackScope() noexcept { ++callback_depth; }
TavixCallbackScope::~TavixCallbackScope() { --callback_depth; }

void close_callback_gate() {
    closed_the_gate = true;
    closed.store(true, std::memory_order_seq_cst);
    // Entries of this very thread (if the hook runs inside a callback) can
    // only end after we return.
    const int own = entries_on_this_thread;
    if (entered.load(std::memory_order_seq_cst) <= own) return;

    nb::gil_scoped_release unlocked;
    const auto deadline = std::chrono::steady_clock::now() + drain_limit;
    while (entered.load(std::memory_order_seq_cst) > own &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
