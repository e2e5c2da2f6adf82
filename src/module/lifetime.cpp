#include "module/lifetime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>

void close_listed_handles() noexcept;  // a friend of SdkObjectHandle, defined below

namespace {

constexpr std::chrono::seconds stage_limit{5};

// The gate: the count of admitted entries, times two, with the low bit set
// once the gate has closed. One word, so that an entry counts itself and
// learns whether the gate was open in one atomic step, and the hook closes
// the gate and learns how many got in before in another: in the word's one
// order of changes, each sees the other, so no entry slips past the hook's
// wait into a finalising interpreter. That step, and the one undoing it, is
// all a thread coming back from native work pays (no thread-local lookup).
constexpr unsigned gate_closed_bit = 1;
constexpr unsigned one_entry = 2;
std::atomic<unsigned> gate{0};
std::atomic<Stage> state{Stage::open};
std::atomic<int> handed_off{0};  // drops under way on helper threads

int admitted_entries() noexcept { return static_cast<int>(gate.load() / one_entry); }

// Counts one entry; true if the gate was open.
bool enter_gate() noexcept { return !(gate.fetch_add(one_entry, std::memory_order_acquire) & gate_closed_bit); }
void leave_gate() noexcept { gate.fetch_sub(one_entry, std::memory_order_release); }

unsigned forks = 0;                       // guarded by the interpreter lock
SdkObjectHandle* first_listed = nullptr;  // guarded by the interpreter lock

thread_local int admitted_here = 0;   // admitted entries alive on this thread
thread_local int callbacks_here = 0;  // callbacks running on this thread
thread_local bool closed_the_gate = false;

// A native thread's entry into the interpreter, held while it may use it.
// Refused once the gate has closed, unless nested in an admitted entry of the
// same thread; the exit hook waits for the admitted ones.
class InterpreterEntry {
public:
    InterpreterEntry() noexcept {
        admitted_ = enter_gate() || admitted_here > 0;
        if (admitted_) ++admitted_here;
        else leave_gate();
    }
    ~InterpreterEntry() {
        if (!admitted_) return;
        --admitted_here;
        leave_gate();
    }
    InterpreterEntry(const InterpreterEntry&) = delete;
    InterpreterEntry& operator=(const InterpreterEntry&) = delete;
    bool admitted() const noexcept { return admitted_; }

private:
    bool admitted_;
};

// Kept for the life of an SDK thread that runs callbacks: else each call's
// PyGILState_Ensure/Release would make and destroy a thread state, which
// costs more than the call. Left behind if the gate closed before the end.
struct PinnedThreadState {
    PyThreadState* saved = nullptr;
    PyGILState_STATE outer{};
    ~PinnedThreadState() {
        InterpreterEntry entry;
        if (!saved || !entry.admitted()) return;
        PyEval_RestoreThread(saved);
        PyGILState_Release(outer);
    }
};

thread_local PinnedThreadState pinned_thread_state;

// Hands `object` to a helper thread that drops it. Returns false, leaving
// `object` untouched (the box gives it back), when no thread could start.
bool hand_off(std::shared_ptr<void>& object) noexcept {
    auto* box = new (std::nothrow) std::shared_ptr<void>(std::move(object));
    if (!box) return false;
    handed_off.fetch_add(1);
    try {
        std::thread([box] { delete box; handed_off.fetch_sub(1); }).detach();
        return true;
    } catch (...) {
        object = std::move(*box);
        delete box;
        handed_off.fetch_sub(1);
        return false;
    }
}

// Waits with the lock released until `done()`, `stage_limit` at most.
template <typename Done>
void wait_until(Done done) {
    InterpreterUnlocked unlocked;
    const auto deadline = std::chrono::steady_clock::now() + stage_limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void on_interpreter_exit() {
    state.store(Stage::closing_processors);
    close_listed_handles();
    wait_until([] { return handed_off.load() == 0; });

    closed_the_gate = true;
    state.store(Stage::gate_closed);
    gate.fetch_or(gate_closed_bit);
    // The hook may run inside a callback: entries of this thread end later.
    const auto others = [own = admitted_here] { return std::max(admitted_entries() - own, 0); };
    wait_until([&] { return others() == 0 && handed_off.load() == 0; });
    const int callbacks = others();
    const bool teardowns = handed_off.load() > 0;
    if (callbacks == 0 && !teardowns) return;
    std::string running = callbacks > 0 ? std::to_string(callbacks) + " callback" : "";
    if (callbacks > 1) running += "s";
    if (teardowns) running += std::string(running.empty() ? "" : " and ") + "processor teardowns";
    PySys_WriteStderr("_tavix_module: at exit, %s still running on SDK threads did not return in "
                      "time and were abandoned with what they hold\n", running.c_str());
    nb::set_leak_warnings(false);
}

// In the child, before any Python code: forgets the parent's threads.
void after_fork_in_child() {
    ++forks;
    handed_off.store(0);
    gate.store((gate.load() & gate_closed_bit) | static_cast<unsigned>(admitted_here) * one_entry);
}

}  // namespace

Stage stage() noexcept { return state.load(); }

void drop_now(std::shared_ptr<void> object) noexcept {
    if (object && callbacks_here > 0 && hand_off(object)) return;
    object.reset();
}

void run_callback(void (*call)(void*), void* context) {
    InterpreterEntry entry;
    if (!entry.admitted()) return;
    PinnedThreadState& pinned = pinned_thread_state;
    if (!pinned.saved && !PyGILState_GetThisThreadState()) {  // neither Python's own nor pinned
        pinned.outer = PyGILState_Ensure();
        pinned.saved = PyEval_SaveThread();
    }
    // Not scope guards: if CPython ends this thread inside Ensure or the
    // call, the thread no longer holds the lock and must not release it.
    PyGILState_STATE held = PyGILState_Ensure();
    ++callbacks_here;
    call(context);
    --callbacks_here;
    PyGILState_Release(held);
}

void release_reference(PyObject* object) noexcept {
    InterpreterEntry entry;
    // Leaked if the interpreter may be finalising (taking its lock could end
    // or hang this thread), except on the thread that closed the gate.
    if (!entry.admitted() && !(closed_the_gate && nb::is_alive())) return;
    PyGILState_STATE held = PyGILState_Ensure();
    Py_DECREF(object);
    PyGILState_Release(held);
}

InterpreterUnlocked::~InterpreterUnlocked() {
    // The entry is held until the lock is ours: the exit hook waits, not
    // finalises. Nothing nests in it, so while the gate is open (every call
    // but those at exit) it is the gate's word alone.
    if (enter_gate()) {
        PyEval_RestoreThread(saved_);
        leave_gate();
        return;
    }
    leave_gate();
    {
        InterpreterEntry entry;
        if (entry.admitted() || closed_the_gate) {
            PyEval_RestoreThread(saved_);
            return;
        }
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

SdkObjectHandle::SdkObjectHandle(std::shared_ptr<void> object, AtExit at_exit) noexcept
    : object_(std::move(object)), forks_(forks), at_exit_(at_exit) {
    if (at_exit_ == AtExit::stays_open) return;
    next_ = first_listed;
    if (next_) next_->prev_ = this;
    first_listed = this;
}

SdkObjectHandle::SdkObjectHandle(SdkObjectHandle&& other) noexcept
    : SdkObjectHandle(std::move(other.object_), other.at_exit_) {
    forks_ = other.forks_;
}

SdkObjectHandle::~SdkObjectHandle() {
    close();
    if (at_exit_ == AtExit::stays_open) return;
    (prev_ ? prev_->next_ : first_listed) = next_;
    if (next_) next_->prev_ = prev_;
}

bool SdkObjectHandle::inherited() const noexcept { return forks_ != forks; }

void SdkObjectHandle::close() noexcept {
    std::shared_ptr<void> object = std::move(object_);
    if (!object) return;
    if (inherited()) {
        // Kept for good, with the Python callables it holds (no leak report).
        (void) new std::shared_ptr<void>(std::move(object));  // out of memory ends the process
        nb::set_leak_warnings(false);
        return;
    }
    InterpreterUnlocked unlocked;
    drop_now(std::move(object));
}

void close_listed_handles() noexcept {
    // Handed off, so that teardowns run side by side. A drop without a helper
    // releases the lock, and the list may change: the walk starts over.
    for (SdkObjectHandle* handle = first_listed; handle;) {
        if (!handle->object_) {
            handle = handle->next_;
            continue;
        }
        if (handle->inherited() || !hand_off(handle->object_)) handle->close();
        handle = first_listed;
    }
}

void install_lifetime_hooks() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") = nb::cpp_function(&after_fork_in_child));
}
