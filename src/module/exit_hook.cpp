// What happens to an open processor at interpreter exit.
//
// The module registers an atexit hook. atexit handlers run before CPython
// starts finalising, while SDK threads can still run Python code; handlers
// registered after the module was imported run before this one.
//
// 1. From the moment the hook starts, create_audio_processor is refused with
//    RuntimeError, so that a callback that reopens its processor when it
//    stops (NOT_RUNNING) cannot keep exit busy for ever.
// 2. Every processor still open is closed: its handle is emptied, so Python
//    sees it closed, and its teardown runs on a helper thread. A processor's
//    SDK copies of Python callbacks may tie it into a cycle the collector
//    cannot see; nothing else would ever tear it down. Its callbacks still run
//    normally during the teardown (NOT_RUNNING is delivered).
// 3. The hook waits for those teardowns, 5 s at most: a callback that never
//    returns must not hang exit.
// 4. It closes the interpreter gate (module/interpreter_gate.h): from now on
//    SDK threads skip their callbacks, and the last release of a callable
//    leaks its reference instead of taking the interpreter lock. Closing waits
//    3 s at most for callbacks still running.
// 5. It waits once more, 2 s at most, for teardowns that those callbacks
//    handed off.
//
// 6. What is still running then is abandoned: the hook says so in one line
//    on standard error (how many callbacks, how many teardowns), and turns
//    off nanobind's leak report, which would otherwise blame the binding for
//    the objects those threads still hold. Only then: a leak at any other
//    exit is still reported.
//
// So exit takes at most about 10 s on top of what other atexit handlers do,
// whatever the callbacks do. A callback still running Python code when
// finalisation starts is ended by CPython (its thread unwinds; nothing in the
// module or the SDK swallows that unwind); a teardown still stuck then is
// abandoned with the process.
#include "module/exit_hook.h"

#include <chrono>
#include <string>

#include "module/processor_handle.h"
#include "module/interpreter_gate.h"
#include "module/sdk_release.h"

namespace {

using std::chrono::milliseconds;

constexpr milliseconds teardown_limit{5000};
constexpr milliseconds late_teardown_limit{2000};

bool exiting = false;  // guarded by the interpreter lock

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
    exiting = true;
    ProcessorHandle::close_all_in_background();
    wait_for_handed_off_drops(teardown_limit);
    const int callbacks = close_interpreter_gate();
    const bool torn_down = wait_for_handed_off_drops(late_teardown_limit);
    if (callbacks > 0 || !torn_down) report_abandoned(callbacks, !torn_down);
}

}  // namespace

bool interpreter_exiting() noexcept { return exiting; }

void install_exit_hook() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
}
