#pragma once

#include <vector>

// The sample buffers of processed frames, recycled. A processed frame owns a
// copy of the SDK's output; allocating that copy (over a kilobyte for 20 ms,
// past the allocator's per-thread cache) and freeing it with the frame was a
// fifth of process_frame's own cost. A frame hands its buffer back here when
// Python frees it, and the next process_frame copies into it. Both run with
// the interpreter lock held, which guards the store. A few buffers of at most
// 1 MiB are kept, so memory stays flat however many frames go through.
std::vector<float> spare_output_buffer() noexcept;
void recycle_output_buffer(std::vector<float>&& buffer) noexcept;
