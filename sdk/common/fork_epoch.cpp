#include "common/fork_epoch.h"

#include <pthread.h>

#include <atomic>

namespace tavix::sdk {
namespace {

// Forks in this process's line since the library was loaded; only the child
// counts one, in the fork itself, before any object of the parent is touched.
std::atomic<uint64_t> forks{0};

void count_fork_in_child() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

uint64_t forks_so_far() noexcept {
    static const bool watching = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    (void) watching;
    return forks.load(std::memory_order_relaxed);
}

}  // namespace

ForkEpoch::ForkEpoch() noexcept : forks_(forks_so_far()) {}

bool ForkEpoch::current() const noexcept { return forks_so_far() == forks_; }

}  // namespace tavix::sdk
