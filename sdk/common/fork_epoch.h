// The SDK's contract on fork(): after fork, objects of the parent are
// abandoned in the child.
//
// A forked child has only the thread that called fork(). The output threads
// of the parent's processors are not there, and a lock one of them held at
// the fork stays locked for good. So an object made before the fork is not
// used in the child, and destroying it there neither joins nor wakes its
// threads nor takes their locks: their state is left to the end of the
// process. Objects the child makes itself work as usual.
#pragma once

#include <cstdint>

namespace tavix::sdk {

// The process an object was made in, told apart from children forked since.
class ForkEpoch {
public:
    ForkEpoch() noexcept;

    // False in a child forked after this epoch began.
    bool current() const noexcept;

private:
    uint64_t forks_;
};

}  // namespace tavix::sdk
