// Handlers that catch everything a Python callback throws, except the
// forced unwind with which pthread_exit and pthread_cancel end a thread: that must go on to
// the thread's entry, or the process aborts ("exception not rethrown"). The
// two C++ runtimes present it differently, so the one try/catch is here.
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
#define HANDLES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))
#else
#define HANDLES_FORCED_UNWIND
#endif

#if defined(_LIBCPP_VERSION)
namespace __cxxabiv1 {
struct __cxa_eh_globals;
extern "C" __cxa_eh_globals* __cxa_get_globals();
}  // namespace __cxxabiv1
#endif

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

// Runs body(); if it throws, handler() runs inside the catch (...) handler,
// where it may rethrow to look at the exception. The forced unwind goes on.
template <typename Body, typename Handler>
HANDLES_FORCED_UNWIND void catch_all_but_thread_exit(Body&& body, Handler&& handler) {
    try {
        std::forward<Body>(body)();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
#if defined(_LIBCPP_VERSION)
        if (abi::__cxa_current_exception_type() == nullptr) end_thread_again();
#endif
        std::forward<Handler>(handler)();
    }
}
