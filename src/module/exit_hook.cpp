#include "module/exit_hook.h"

#include "callbacks/callback_gate.h"
#include "module/audio_processor.h"
#include "module/deferred_release.h"

namespace {

// Runs at interpreter exit, before finalisation starts, while callbacks can
// still reach Python: stops every processor still open (their SDK copies of
// Python callbacks may tie them into cycles nothing else would break), lets
// teardowns handed off from callbacks finish, then closes the gate so SDK
// threads never enter a finalising interpreter. A callback admitted before
// the gate closed may still hand off a teardown, hence the second wait.
void on_interpreter_exit() {
    ProcessorHandle::reset_all();
    wait_for_deferred_releases();
    close_callback_gate();
    wait_for_deferred_releases();
}

}  // namespace

void install_exit_hook() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
}
