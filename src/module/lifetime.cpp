#include "module/lifetime.h"

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>

void close_listed_handles() noexcept;  // a friend of SdkObjectHandle, defined below

namespace {

constexpr std::chrono::seconds stage_limit{5};

// Sequentially consistent on purpose: an entry counts itself in
// `admitted_entries` and then reads `state`, the exit hook stores `state` and
// then reads `admitted_entries`; at least one of the two sees the other, so no
// entry slips past the hook's wait into a finalising interpreter.
std::atomic<Stage> state{Stage::open};
std::atomic<int> admitted_entries{0};
std::atomic<int> handed_off{0};  // drops running on helper threads

unsigned forks = 0;                         // guarded by the interpreter lock
SdkObjectHandle* first_listed = nullptr;    // guarded by the interpreter lock

thread_local int admitted_here = 0;  // admitted entries alive on this thread
thread_local int callbacks_here = 0;  // of which run a callback
thread_local bool closed_the_gate = false;

// Returns false, leaving `object` untouched, when no thread could be started.
bool drop_on_helper_thread(std::shared_ptr<void>& object) noexcept {
    // Boxed, so that a thread that fails to start gives the object back
    // instead of dropping it here.
    auto* box = new (std::nothrow) std::shared_ptr<void>(std::move(object));
    if (!box) return false;
    handed_off.fetch_add(1);
    try {
        std::thread([box] {
            delete box;
            handed_off.fetch_sub(1);
        }).detach();
        return true;
    } catch (...) {
        object = std::move(*box);
        delete box;
        handed_off.fetch_sub(1);
        return false;
    }
}

void hand_off_at_exit(std::shared_ptr<void> object) noexcept {
    if (object && !drop_on_helper_thread(object)) drop_off_the_lock(std::move(object));
}

// Keeps `object` for good: neither called into nor destroyed. What it holds
// (Python callables among them) is kept too, so nanobind's leak report, which
// would blame the binding, is turned off.
void abandon(std::shared_ptr<void> object) noexcept {
    if (!object) return;
    (void) new std::shared_ptr<void>(std::move(object));  // out of memory ends the process
    nb::set_leak_warnings(false);
}

// Waits with the lock released until `done()`, `stage_limit` at most.
template <typename Done>
void wait_until(Done done) {
    InterpreterUnlocked unlocked;
    const auto deadline = std::chrono::steady_clock::now() + stage_limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string counted(int count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

void report_abandoned(int callbacks, bool teardowns) {
    std::string running = callbacks > 0 ? counted(callbacks, "callback") : "";
    if (teardowns) running += std::string(running.empty() ? "" : " and ") + "processor teardowns";
    const std::string line = "_tavix_module: at exit, " + running +
                             " still running on SDK threads did not return in time and were "
                             "abandoned with what they hold\n";
    PySys_WriteStderr("%s", line.c_str());
    nb::set_leak_warnings(false);
}

void on_interpreter_exit() {
    state.store(Stage::closing_processors);
    close_listed_handles();
    wait_until([] { return handed_off.load() == 0; });

    closed_the_gate = true;
    state.store(Stage::gate_closed);
    // Entries of this very thread (the hook may run inside a callback) can
    // only end after it returns.
    const int own = admitted_here;
    const auto others = [own] { return admitted_entries.load() - own; };
    wait_until([&] { return others() <= 0 && handed_off.load() == 0; });
    const int callbacks = others() > 0 ? others() : 0;
    if (callbacks > 0 || handed_off.load() > 0) report_abandoned(callbacks, handed_off.load() > 0);
}

// Runs in the child, with the interpreter lock, before any Python code: the
// other threads' entries and drops were the parent's.
void after_fork_in_child() {
    ++forks;
    handed_off.store(0);
    admitted_entries.store(admitted_here);
}

}  // namespace

Stage stage() noexcept { return state.load(); }

void drop_now(std::shared_ptr<void> object) noexcept {
    if (object && callbacks_here > 0 && drop_on_helper_thread(object)) return;
    object.reset();
}

void drop_off_the_lock(std::shared_ptr<void> object) noexcept {
    if (!object) return;
    InterpreterUnlocked unlocked;
    drop_now(std::move(object));
}

InterpreterEntry::InterpreterEntry(bool runs_callback) noexcept : runs_callback_(runs_callback) {
    admitted_entries.fetch_add(1);
    admitted_ = admitted_here > 0 || state.load() != Stage::gate_closed;
    if (!admitted_) {
        admitted_entries.fetch_sub(1);
        return;
    }
    ++admitted_here;
    if (runs_callback_) ++callbacks_here;
}

InterpreterEntry::~InterpreterEntry() {
    if (!admitted_) return;
    if (runs_callback_) --callbacks_here;
    --admitted_here;
    admitted_entries.fetch_sub(1);
}

bool InterpreterEntry::may_release_references() const noexcept {
    return admitted_ || (closed_the_gate && nb::is_alive());
}

InterpreterUnlocked::~InterpreterUnlocked() {
    {
        // Held until the lock is ours, so the exit hook waits for us rather
        // than finalising underneath.
        InterpreterEntry entry;
        if (entry.admitted() || closed_the_gate) {
            PyEval_RestoreThread(saved_);
            return;
        }
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

SdkObjectHandle::SdkObjectHandle(std::shared_ptr<void> object, AtExit at_exit) noexcept
    : object_(std::move(object)), forks_(forks), listed_(at_exit == AtExit::closes) {
    link();
}

SdkObjectHandle::SdkObjectHandle(SdkObjectHandle&& other) noexcept
    : object_(std::move(other.object_)), forks_(other.forks_), listed_(other.listed_) {
    link();
}

SdkObjectHandle::~SdkObjectHandle() {
    close();
    if (!listed_) return;
    (prev_ ? prev_->next_ : first_listed) = next_;
    if (next_) next_->prev_ = prev_;
}

void SdkObjectHandle::link() noexcept {
    if (!listed_) return;
    next_ = first_listed;
    if (next_) next_->prev_ = this;
    first_listed = this;
}

bool SdkObjectHandle::inherited() const noexcept { return forks_ != forks; }

void SdkObjectHandle::close() noexcept {
    if (inherited()) return abandon(std::move(object_));
    drop_off_the_lock(std::move(object_));
}

void close_listed_handles() noexcept {
    // A drop that finds no helper thread releases the lock, when the list may
    // change, so the walk starts over after each open handle.
    for (SdkObjectHandle* handle = first_listed; handle;) {
        if (!handle->object_) {
            handle = handle->next_;
            continue;
        }
        if (handle->inherited())
            abandon(std::move(handle->object_));
        else
            hand_off_at_exit(std::move(handle->object_));
        handle = first_listed;
    }
}

void install_lifetime_hooks() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") = nb::cpp_function(&after_fork_in_child));
}
