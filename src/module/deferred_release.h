#pragma once

#include <chrono>
#include <memory>

// Drops a reference to an SDK object, called without the interpreter lock.
// On a thread that is inside a Tavix callback the drop is handed to a helper
// thread instead: tearing the object down may join the very thread the
// callback runs on, so it has to wait until the callback has returned.
void drop_sdk_reference(std::shared_ptr<void> ptr) noexcept;

// The same, called with the interpreter lock held: releases it for the drop.
void release_without_gil(std::shared_ptr<void> ptr) noexcept;

// Hands the drop to a helper thread in any case, so that the caller never
// waits for the teardown (dropped here, with the lock released, only when no
// thread can be started). Called with the interpreter lock held.
void release_in_background(std::shared_ptr<void> ptr) noexcept;

// Waits, with the interpreter lock released, until every handed-off release
// has finished, for `limit` at most: a teardown stuck in the SDK (a callback
// that never returns) must not hang the caller. Called from the module's exit
// hook with the lock held.
void wait_for_deferred_releases(std::chrono::milliseconds limit) noexcept;
