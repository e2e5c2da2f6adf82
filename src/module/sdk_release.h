#pragma once

#include <chrono>
#include <memory>

// Dropping a reference to an SDK object.
//
// Dropping the last reference tears the object down, and tearing a processor
// down joins its output thread. That thread may be waiting for the
// interpreter lock to deliver a callback, so a reference is only ever dropped
// with the lock released; and it may be the very thread we are on (a callback
// that closes its own processor), so on a thread inside a Tavix callback the
// drop is handed to a helper thread, which tears the object down once the
// callback has returned.

// Drops `object` here, or hands it off inside a callback. Called without the
// interpreter lock.
void drop_sdk_object(std::shared_ptr<void> object) noexcept;

// Drops `object` (as drop_sdk_object does) with the interpreter lock
// released for the teardown. Called with the lock held; an empty pointer
// costs nothing.
void release_without_gil(std::shared_ptr<void> object) noexcept;

// Hands the drop to a helper thread in any case, so that the caller never
// waits for the teardown; dropped here, with the lock released, only when no
// thread can be started. Called with the interpreter lock held.
void hand_off_sdk_object(std::shared_ptr<void> object) noexcept;

// Waits, with the interpreter lock released, until every handed-off drop has
// finished, for `limit` at most: a teardown stuck in a callback that never
// returns must not hang the caller. Returns whether they all finished. Called
// with the interpreter lock held.
bool wait_for_handed_off_drops(std::chrono::milliseconds limit) noexcept;

// In a forked child: the handed-off drops were the parent's, on threads the
// child does not have.
void forget_handed_off_drops() noexcept;
