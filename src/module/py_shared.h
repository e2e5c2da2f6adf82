#pragma once

#include <memory>
#include <utility>

#include <nanobind/nanobind.h>

#include "module/deferred_release.h"

// Owns one SDK object on behalf of a Python object. Every mutation of the
// handle happens with the interpreter lock held, so Python threads never race
// on it; the lock is released only to drop the last reference, because
// tearing an SDK object down may wait for an SDK thread that is waiting for
// the lock to deliver a callback.
template <typename T>
class PyShared {
public:
    explicit PyShared(std::shared_ptr<T> ptr) noexcept : ptr_(std::move(ptr)) {}
    PyShared(const PyShared&) = default;
    PyShared(PyShared&&) noexcept = default;
    PyShared& operator=(const PyShared&) = delete;
    PyShared& operator=(PyShared&&) = delete;
    ~PyShared() { reset(); }

    // A reference for the duration of one call; empty once released.
    std::shared_ptr<T> share() const noexcept { return ptr_; }

    bool empty() const noexcept { return !ptr_; }

    // Empties the handle (with the lock held, so no other Python thread can
    // see it half-released) and drops the reference with the lock released.
    void reset() noexcept { release_without_gil(std::move(ptr_)); }

private:
    std::shared_ptr<T> ptr_;
};
