#pragma once

#include <memory>
#include <stdexcept>
#include <utility>

#include "callbacks/callback_gate.h"
#include "module/py_shared.h"

// Runs `call(object)` on the SDK object of `handle` with the interpreter lock
// released. The reference for the call is taken with the lock held (so it
// never races a close on another Python thread) and is dropped before the
// lock is taken back, on every path: if a close happened meanwhile, this drop
// is the one that tears the object down, and that must not hold the lock.
template <typename T, typename Call>
auto call_without_gil(const PyShared<T>& handle, const char* closed_message, Call&& call) {
    std::shared_ptr<T> shared = handle.share();
    if (!shared) throw std::runtime_error(closed_message);
    InterpreterUnlocked unlocked;
    std::shared_ptr<T> held = std::move(shared);
    return call(*held);
}
