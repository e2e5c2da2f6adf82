#include "references/record_references.h"

#include <memory>
#include <utility>

using tavix::TranscriptSegment;
using Segments = std::vector<TranscriptSegment>;

SegmentRetirement::SegmentRetirement(Segments& segments) : segments_(segments) {
    std::vector<nb::object> readers;
    for (const TranscriptSegment& segment : segments) {
        nb::object reader = nb::find(segment);
        if (reader.is_valid()) readers.push_back(std::move(reader));
    }
    if (readers.empty()) return;

    // The capsule starts out empty, so if anything below fails the readers
    // merely keep an empty holder alive and the vector is untouched.
    auto storage = std::make_unique<Segments>();
    holder_ = nb::capsule(storage.get(), [](void* retired) noexcept {
        delete static_cast<Segments*>(retired);
    });
    storage_ = storage.release();
    for (nb::object& reader : readers) nb::keep_alive_obj(reader, holder_);
}

void SegmentRetirement::commit() noexcept {
    if (storage_) storage_->swap(segments_);
    storage_ = nullptr;
}

void replace_segments(Segments& field, Segments replacement) {
    SegmentRetirement retirement(field);
    retirement.commit();
    field = std::move(replacement);
}
