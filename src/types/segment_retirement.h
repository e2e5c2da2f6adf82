#pragma once

#include <vector>

#include <nanobind/nanobind.h>

#include "tavix/Transcript.h"

namespace nb = nanobind;

// A TranscriptSegment read from a list property refers to a slot of the
// record's vector, so replacing or reassigning that vector would leave the
// Python object pointing at freed or reused storage. Before such a vector is
// overwritten, its storage is retired: if any Python object still refers to
// one of its slots, the vector's buffer is handed, unmoved, to a capsule that
// each of those objects keeps alive; otherwise nothing is kept and the
// overwrite frees the storage at once. The retired segments keep the values
// they had, detached from the record.
//
// Retirement is split so that a record's fields can be replaced all or nothing:
// the constructor does everything that can fail and leaves the vector as it
// was, commit() cannot fail. Run with the interpreter lock held.
class SegmentRetirement {
public:
    explicit SegmentRetirement(std::vector<tavix::TranscriptSegment>& segments);
    SegmentRetirement(const SegmentRetirement&) = delete;
    SegmentRetirement& operator=(const SegmentRetirement&) = delete;

    // Leaves `segments` empty when its storage was taken over; the caller then
    // assigns the replacement.
    void commit() noexcept;

private:
    std::vector<tavix::TranscriptSegment>& segments_;
    std::vector<tavix::TranscriptSegment>* storage_ = nullptr;  // owned by holder_
    nb::object holder_;  // held here too, so storage_ outlives every reader until commit()
};

// Replaces a record's list without ever leaving a live Python segment
// referring to released storage.
void replace_segments(std::vector<tavix::TranscriptSegment>& field,
                      std::vector<tavix::TranscriptSegment> replacement);
