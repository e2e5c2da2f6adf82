#include "module/fork_hook.h"

#include <utility>

#include "module/interpreter_gate.h"
#include "module/sdk_release.h"

namespace {

unsigned forks = 0;  // guarded by the interpreter lock

// Runs in the child, with the interpreter lock, before any Python code.
void after_fork_in_child() {
    ++forks;
    // Counts of threads that only the parent has: exit would wait for them.
    forget_handed_off_drops();
    forget_other_threads_entries();
}

}  // namespace

unsigned forks_since_import() noexcept { return forks; }

void abandon_inherited(std::shared_ptr<void> object) noexcept {
    if (!object) return;
    // Out of memory here, the process ends (noexcept): better than a hang.
    (void) new std::shared_ptr<void>(std::move(object));
    nb::set_leak_warnings(false);
}

void install_fork_hook() {
    nb::module_::import_("os").attr("register_at_fork")(
        nb::arg("after_in_child") = nb::cpp_function(&after_fork_in_child));
}
