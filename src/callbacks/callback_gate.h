#pragma once

// Tracks Tavix callbacks running on the current thread and guards every entry
// into the interpreter from SDK threads against interpreter exit.

// True while the current thread runs a Tavix callback (the Python callable of
// a pipeline-state or transcript callback, or of _gil_selftest).
bool in_tavix_callback() noexcept;

// Called once from the module's atexit hook, with the interpreter lock held.
// After it returns, callbacks fired on SDK threads skip their Python call and
// the last release of a callable leaks its reference instead of taking the
// interpreter lock. Waits, with the lock released, for callbacks that are
// already entering or running.
void close_callback_gate();
