#include "module/exit_hook.h"

#include "callbacks/callback_gate.h"
#include "module/deferred_release.h"

namespace {

// Runs at interpreter exit, before finalisation starts: lets teardowns handed
// off from callbacks finish while callbacks can still reach Python, then
// closes the gate so SDK threads never enter a finalising interpreter.
void on_interpreter_exit() {
    wait_for_deferred_releases();
    close_callback_gate();
}

}  // namespace

void install_exit_hook() {
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&on_interpreter_exit));
}
