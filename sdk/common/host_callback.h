// Calling the host's callbacks: nothing they throw may reach the SDK, except
// the unwind that ends their thread.
#pragma once

#include <utility>

#include "common/thread_exit.h"

namespace tavix::sdk {

// Calls `callback(args...)`, if there is one, and drops whatever it throws,
// except the forced unwind of pthread_exit or pthread_cancel. A host may end
// the thread it was called on that way (a runtime shutting down does), and an
// unwind that is swallowed ("exception not rethrown") or meets a noexcept
// frame aborts the process. So it goes on to the thread's entry, and every
// frame between must let it pass and leave its state sane on the way (locks
// released).
template <typename Callback, typename... Args>
void call_host(const Callback& callback, Args&&... args) {
    if (!callback) return;
    catch_all_but_thread_exit([&] { callback(std::forward<Args>(args)...); }, [] {});
}

}  // namespace tavix::sdk
