// Calling the host's callbacks: nothing they throw may reach the SDK, except
// the unwind that ends their thread.
#pragma once

#include <pthread.h>

#include <utility>

#if defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)
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

#if defined(_LIBCPP_VERSION)
namespace __cxxabiv1 {
struct __cxa_eh_globals;
extern "C" __cxa_eh_globals* __cxa_get_globals();
}  // namespace __cxxabiv1
#endif

namespace tavix::sdk {

#if defined(_LIBCPP_VERSION)
// libc++abi has no type for the forced unwind: it reaches catch (...) as a
// foreign exception, the one kind whose C++ type is unknown. Rethrowing it
// from there starts an ordinary search that no frame answers, and ends in
// std::terminate; ending the handler deletes it, which glibc answers with
// its abort. So the handler forgets it (the caught-exception stack is the
// first member of the Itanium C++ ABI's __cxa_eh_globals) and ends the
// thread again from here, with the value of a cancellation: the frames
// above still unwind.
[[noreturn]] inline void end_thread_again() {
    *static_cast<void**>(static_cast<void*>(abi::__cxa_get_globals())) = nullptr;
    pthread_exit(PTHREAD_CANCELED);
}
#endif

// Calls `callback(args...)`, if there is one, and drops whatever it throws,
// except the forced unwind of pthread_exit or pthread_cancel. A host may end
// the thread it was called on that way (a runtime shutting down does), and an
// unwind that is swallowed ("exception not rethrown") or meets a noexcept
// frame aborts the process. So it goes on to the thread's entry, and every
// frame between must let it pass and leave its state sane on the way (locks
// released, by destructors: a handler that rethrows cannot pass it on under
// libc++abi).
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
#if defined(_LIBCPP_VERSION)
        if (abi::__cxa_current_exception_type() == nullptr) end_thread_again();
#endif
    }
}

}  // namespace tavix::sdk
