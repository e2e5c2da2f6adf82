// Calling the host's callbacks: nothing they throw may reach the SDK, except
// the unwind that ends their thread.
#pragma once

#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// A forced unwind carries no exception object, so a handler for
// abi::__forced_unwind binds its reference to null: that is how the ABI
// works, but UndefinedBehaviorSanitizer's null check reports it (and aborts
// a -fno-sanitize-recover build). The few small functions with such a
// handler go without UBSan ("null" alone is not honoured on templates by
// GCC 12).
#if defined(__GNUC__) || defined(__clang__)
#define TAVIX_HANDLES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define TAVIX_HANDLES_FORCED_UNWIND
#endif

namespace tavix::sdk {

// Calls `callback(args...)`, if there is one, and drops whatever it throws, except the forced
// unwind (abi::__forced_unwind) of pthread_exit or pthread_cancel. A host may
// end the thread it was called on that way (a runtime shutting down does), and
// an unwind that is swallowed ("exception not rethrown") or meets a noexcept
// frame aborts the process. So it goes on to the
// thread's entry, and every frame between must let it pass and leave its
// state sane on the way (locks released).
template <typename Callback, typename... Args>
TAVIX_HANDLES_FORCED_UNWIND void call_host(const Callback& callback, Args&&... args) {
    if (!callback) return;
    try {
        callback(std::forward<Args>(args)...);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
    }
}

}  // namespace tavix::sdk
