#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// Registers the module's atexit hook (not a module attribute).
void install_exit_hook();

// True once the exit hook has begun closing processors; no processor may be
// created from then on (a callback that reopens its processor would otherwise
// keep exit busy for ever). Read with the interpreter lock held.
bool interpreter_exiting() noexcept;
