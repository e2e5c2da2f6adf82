#pragma once

#include <memory>
#include <stdexcept>
#include <utility>

#include "callbacks/callback_gate.h"
#include "module/deferred_release.h"
#include "module/py_shared.h"

// The reference an SDK call holds for its duration. If a close happened
// meanwhile it is the last one, and dropping it tears the object down, so it
// is dropped the way the handle itself would drop it.
template <typename T>
struct CallReference {
    std::shared_ptr<T> ptr;
    ~CallReference() { drop_sdk_reference(std::move(ptr)); }
};

// Runs `call(object)` on the SDK object of `handle` with the interpreter lock
// released. The reference for the call is taken with the lock held (so it
// never races a close on another Python thread) and is dropped before the
// lock is taken back, on every path.
template <typename T, typename Call>
auto call_without_gil(const PyShared<T>& handle, const char* closed_message, Call&& call) {
    std::shared_ptr<T> shared = handle.share();
    if (!shared) throw std::runtime_error(closed_message);
    InterpreterUnlocked unlocked;
    CallReference<T> held{std::move(shared)};
    return call(*held.ptr);
}
