#pragma once

#include <memory>

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// What a child of os.fork() does with the parent's SDK objects: nothing.
//
// The child has only the thread that forked. The output threads of the
// parent's processors, the helper threads tearing processors down and the
// SDK's own threads are not there, and a lock one of them held at the fork
// stays locked for good; the vendor's SDK may join any of them. So every SDK
// object that a handle held at the fork is abandoned in the child: the handle
// counts as closed and lets its reference go without destroying the object
// (PyShared::inherited). Objects the child creates work as usual.

// Registers the module's after-fork hook with os.register_at_fork (not a
// module attribute).
void install_fork_hook();

// How many forks lie between this process and the one that imported the
// module. Read with the interpreter lock held.
unsigned forks_since_import() noexcept;

// Lets an inherited object go without destroying it, ever. It keeps the
// Python callables of its callbacks, and what they refer to, for good, so
// nanobind's leak report at exit is turned off: those are not leaks of the
// binding. Called with the interpreter lock held.
void abandon_inherited(std::shared_ptr<void> object) noexcept;
