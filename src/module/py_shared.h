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
//
// The handles of each kind are linked into a list (also changed only with the
// lock held), so that interpreter exit can release them all: an SDK object
// whose callbacks refer back to Python objects that hold it forms a cycle the
// garbage collector cannot see, and would otherwise never be torn down.
template <typename T>
class PyShared {
public:
    explicit PyShared(std::shared_ptr<T> ptr) noexcept : ptr_(std::move(ptr)) { link(); }
    PyShared(const PyShared& other) noexcept : ptr_(other.ptr_) { link(); }
    PyShared(PyShared&& other) noexcept : ptr_(std::move(other.ptr_)) { link(); }
    PyShared& operator=(const PyShared&) = delete;
    PyShared& operator=(PyShared&&) = delete;
    ~PyShared() {
        reset();
        unlink();
    }

    // A reference for the duration of one call; empty once released.
    std::shared_ptr<T> share() const noexcept { return ptr_; }

    // Empties the handle (with the lock held, so no other Python thread can
    // see it half-released) and drops the reference with the lock released.
    void reset() noexcept { release_without_gil(std::move(ptr_)); }

    // Empties every handle of this kind and hands the drops to helper
    // threads (see release_in_background), so that no teardown can hold the
    // caller up. Called with the lock held; a fallback drop releases it, when
    // the list may change, so the walk starts over after each handle.
    static void reset_all_in_background() noexcept {
        for (PyShared* handle = first_held(); handle; handle = first_held())
            release_in_background(std::move(handle->ptr_));
    }

private:
    void link() noexcept {
        next_ = head();
        if (next_) next_->prev_ = this;
        head() = this;
    }

    void unlink() noexcept {
        (prev_ ? prev_->next_ : head()) = next_;
        if (next_) next_->prev_ = prev_;
    }

    static PyShared*& head() noexcept {
        static PyShared* first = nullptr;
        return first;
    }

    static PyShared* first_held() noexcept {
        PyShared* handle = head();
        while (handle && !handle->ptr_) handle = handle->next_;
        return handle;
    }

    std::shared_ptr<T> ptr_;
    PyShared* prev_ = nullptr;
    PyShared* next_ = nullptr;
};
