#pragma once

#include <memory>

// Drops a reference to an SDK object, called without the interpreter lock.
// On a thread that is inside a Tavix callback the drop is handed to a helper
// thread instead: tearing the object down may join the very thread the
// callback runs on, so it has to wait until the callback has returned.
void drop_sdk_reference(std::shared_ptr<void> ptr) noexcept;

// The same, called with the interpreter lock held: releases it for the drop.
void release_without_gil(std::shared_ptr<void> ptr) noexcept;

// Waits, with the interpreter lock released, until every handed-off release
// has finished (for a few seconds at most). Called from the module's exit
// hook with the lock held.
void wait_for_deferred_releases() noexcept;
