#include "module/exit_hook.h"

#include <chrono>

#include "callbacks/callback_gate.h"
#include "module/audio_processor.h"
#include "module/deferred_release.h"

namespace {

using std::chrono::milliseconds;

// Exit is bounded whatever the callbacks do: at most this long for the
// processors' teardowns, then (closing the gate) at most 3 s for callbacks
// still running, then at most this long again for teardowns those callbacks
// handed off. What is still stuck after that finds the gate closed.
constexpr milliseconds teardown_limit{5000};
constexpr milliseconds late_teardown_limit{2000};

bool exiting = false;  // guarded by the interpreter lock

// Runs at interpreter exit, before finalisation starts, while callbacks can
// still reach Python: stops every processor still open (their SDK copies of
// Python callbacks may tie them into cycles nothing else would break), lets
// the teardowns finish, then closes the gate so SDK threads never enter a
// finalising interpreter. Teardowns run on helper threads, so that one stuck
// in a callback that never returns costs a bounded wait, not a hang.
void on_interpreter_exit() {
    exiting = true;
    ProcessorHandle::reset_all_in_background();
    wait_for_deferred_releases(teardown_limit);
    close_callback_gate();
    wait_for_deferred_releases(late_teardown_limit);
}

}  // namespace

bool interpreter_exiting() noexcept { return exiting; }

void install_exit_hook() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
}
