#include "types/output_buffers.h"

#include <cstddef>
#include <utility>

namespace {

// A loop keeps one frame alive while the next is made, two with a
// look-ahead; a few more cover threads taking turns.
constexpr std::size_t kKept = 4;
constexpr std::size_t kMaxKeptSamples = std::size_t{1} << 18;  // 1 MiB of float32

struct Store {
    std::vector<float> buffers[kKept];
    std::size_t count = 0;
};

// Never destroyed: a frame that Python frees late in finalisation must still
// find it.
Store& store() {
    static Store* kept = new Store();
    return *kept;
}

}  // namespace

std::vector<float> spare_output_buffer() noexcept {
    Store& kept = store();
    if (kept.count == 0) return {};
    return std::move(kept.buffers[--kept.count]);
}

void recycle_output_buffer(std::vector<float>&& buffer) noexcept {
    Store& kept = store();
    if (buffer.capacity() == 0 || buffer.capacity() > kMaxKeptSamples || kept.count == kKept) return;
    buffer.clear();
    kept.buffers[kept.count++] = std::move(buffer);
}
