#include "module/deferred_release.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <nanobind/nanobind.h>

#include "callbacks/callback_gate.h"

namespace nb = nanobind;

namespace {

std::mutex pending_mutex;
std::condition_variable pending_done;
int pending = 0;

// Returns false, leaving *ptr untouched, when no thread could be started.
bool release_on_helper_thread(std::shared_ptr<void>* ptr) noexcept {
    std::shared_ptr<void>* box = new (std::nothrow) std::shared_ptr<void>(std::move(*ptr));
    if (!box) return false;
    {
        std::lock_guard<std::mutex> lock(pending_mutex);
        ++pending;
    }
    try {
        std::thread([box] {
            delete box;
            std::lock_guard<std::mutex> lock(pending_mutex);
            if (--pending == 0) pending_done.notify_all();
        }).detach();
        return true;
    } catch (...) {
        *ptr = std::move(*box);
        delete box;
        std::lock_guard<std::mutex> lock(pending_mutex);
        if (--pending == 0) pending_done.notify_all();
        return false;
    }
}

}  // namespace

void drop_sdk_reference(std::shared_ptr<void> ptr) noexcept {
    if (ptr && in_tavix_callback() && release_on_helper_thread(&ptr)) return;
    ptr.reset();
}

void release_without_gil(std::shared_ptr<void> ptr) noexcept {
    if (!ptr) return;
    InterpreterUnlocked unlocked;
    drop_sdk_reference(std::move(ptr));
}

void release_in_background(std::shared_ptr<void> ptr) noexcept {
    if (ptr && !release_on_helper_thread(&ptr)) release_without_gil(std::move(ptr));
}

void wait_for_deferred_releases(std::chrono::milliseconds limit) noexcept {
    nb::gil_scoped_release unlocked;
    std::unique_lock<std::mutex> lock(pending_mutex);
    pending_done.wait_for(lock, limit, [] { return pending == 0; });
}
