#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// Registers the module's atexit hook (not a module attribute).
void install_exit_hook();
