#include "module/sdk_release.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "module/interpreter_gate.h"

namespace {

std::mutex pending_mutex;
std::condition_variable pending_done;
int pending = 0;

void count_pending(int change) {
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending += change;
    if (pending == 0) pending_done.notify_all();
}

// Returns false, leaving *object untouched, when no thread could be started.
bool drop_on_helper_thread(std::shared_ptr<void>* object) noexcept {
    auto* box = new (std::nothrow) std::shared_ptr<void>(std::move(*object));
    if (!box) return false;
    count_pending(+1);
    try {
        std::thread([box] {
            delete box;
            count_pending(-1);
        }).detach();
        return true;
    } catch (...) {
        *object = std::move(*box);
        delete box;
        count_pending(-1);
        return false;
    }
}

}  // namespace

void drop_sdk_object(std::shared_ptr<void> object) noexcept {
    if (object && in_tavix_callback() && drop_on_helper_thread(&object)) return;
    object.reset();
}

void release_without_gil(std::shared_ptr<void> object) noexcept {
    if (!object) return;
    InterpreterUnlocked unlocked;
    drop_sdk_object(std::move(object));
}

void hand_off_sdk_object(std::shared_ptr<void> object) noexcept {
    if (!object || drop_on_helper_thread(&object)) return;
    release_without_gil(std::move(object));
}

bool wait_for_handed_off_drops(std::chrono::milliseconds limit) noexcept {
    InterpreterUnlocked unlocked;
    std::unique_lock<std::mutex> lock(pending_mutex);
    return pending_done.wait_for(lock, limit, [] { return pending == 0; });
}

void forget_handed_off_drops() noexcept {
    // A helper thread of the parent may have held the lock at the fork; the
    // child starts afresh (no thread can use the old ones).
    new (&pending_mutex) std::mutex();
    new (&pending_done) std::condition_variable();
    pending = 0;
}
