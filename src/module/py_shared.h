#pragma once

#include <memory>
#include <utility>

#include "module/fork_hook.h"
#include "module/interpreter_gate.h"
#include "module/sdk_release.h"

// Owns one SDK object (the SDK root or a processor) on behalf of a Python
// object. Every change to the handle happens with the interpreter lock held,
// so Python threads never race on it; references leave it only through
// drop_sdk_object, with the lock released, or, in a forked child, through
// abandon_inherited.
template <typename T>
class PyShared {
public:
    explicit PyShared(std::shared_ptr<T> object) noexcept
        : object_(std::move(object)), forks_(forks_since_import()) {}
    PyShared(PyShared&&) noexcept = default;
    PyShared(const PyShared&) = delete;
    PyShared& operator=(const PyShared&) = delete;
    PyShared& operator=(PyShared&&) = delete;
    ~PyShared() { reset(); }

    // A reference for the duration of one call; empty once released.
    std::shared_ptr<T> share() const noexcept { return object_; }

    // True in a child forked since the object was made: it is the parent's,
    // and is never called into nor destroyed here (module/fork_hook.h).
    bool inherited() const noexcept { return forks_ != forks_since_import(); }

    // Empties the handle and drops its reference with the lock released.
    void reset() noexcept {
        if (inherited()) return abandon_inherited(std::move(object_));
        release_without_gil(std::move(object_));
    }

    // Empties the handle without waiting for the teardown (see
    // hand_off_sdk_object).
    void reset_in_background() noexcept {
        if (inherited()) return abandon_inherited(std::move(object_));
        hand_off_sdk_object(std::move(object_));
    }

private:
    std::shared_ptr<T> object_;
    unsigned forks_;
};

// Runs `call(*object)` with the interpreter lock released and drops the call's
// reference before the lock is taken back: if the handle was closed meanwhile
// it is the last one, and the teardown must not run with the lock held.
template <typename T, typename Call>
auto call_without_gil(std::shared_ptr<T> object, Call&& call) {
    InterpreterUnlocked unlocked;
    try {
        auto result = call(*object);
        drop_sdk_object(std::move(object));
        return result;
    } catch (...) {
        drop_sdk_object(std::move(object));
        throw;
    }
}
