#include <utility>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "module/registration.h"
#include "tavix/Transcript.h"
#include "references/record_references.h"

using tavix::TextFrame;
using tavix::TranscriptData;
using tavix::TranscriptSegment;

namespace {

using Segments = std::vector<TranscriptSegment>;

// A list property reads as references into the stored vector and is replaced
// only as a whole, through replace_segments.
template <Segments TranscriptData::*Field>
Segments& segments_of(TranscriptData& data) {
    return data.*Field;
}

template <Segments TranscriptData::*Field>
void assign_segments(TranscriptData& data, Segments replacement) {
    replace_segments(data.*Field, std::move(replacement));
}

// The payload is copied before anything changes, so assigning a frame its own
// payload is harmless; both lists are retired before either is overwritten.
void assign_payload(TextFrame& frame, const TranscriptData& source) {
    TranscriptData copy = source;
    TranscriptData& payload = frame.transcript_data_;
    SegmentRetirement complete(payload.complete);
    SegmentRetirement partial(payload.partial);
    complete.commit();
    partial.commit();
    payload = std::move(copy);
}

void register_segment(nb::module_& m) {
    nb::class_<TranscriptSegment>(m, "TranscriptSegment",
                                  "A single transcript segment: a span of recognised (or "
                                  "translated) text with its timing and confidence.")
        .def(nb::init<>())
        .def_rw("start", &TranscriptSegment::start, "Segment start time.")
        .def_rw("end", &TranscriptSegment::end, "Segment end time.")
        .def_rw("probability", &TranscriptSegment::probability,
                "Confidence of the segment, in the range [0.0, 1.0].")
        .def_rw("text", &TranscriptSegment::text, "Segment text. Always populated (unredacted).")
        .def_rw("redacted_text", &TranscriptSegment::redacted_text,
                "PII-redacted variant of text. Populated for ASR only when redaction is enabled "
                "via ASRAttributes.redaction; empty for the language-translation use case.");
}

void register_data(nb::module_& m) {
    nb::class_<TranscriptData>(
        m, "TranscriptData", "Transcript payload for a single kind (transcription or translation).")
        .def(nb::init<>())
        .def_prop_rw("complete", &segments_of<&TranscriptData::complete>,
                     &assign_segments<&TranscriptData::complete>,
                     "Finalised segments; text will not change.")
        .def_prop_rw("partial", &segments_of<&TranscriptData::partial>,
                     &assign_segments<&TranscriptData::partial>,
                     "Partial (in-progress) segments that may be revised by a later frame. Empty "
                     "for the SSI/ASR use case.")
        .def_rw("utterance_idx", &TranscriptData::utterance_idx,
                "Zero-based utterance index, correlated with the server, used to group frames "
                "belonging to the same utterance.")
        .def_rw("language_code_", &TranscriptData::language_code_,
                "Language code of this transcript payload (e.g. 'en-US').");
}

void register_text_frame(nb::module_& m) {
    nb::class_<TextFrame>(m, "TextFrame",
                          "A transcript message delivered to the transcript callback. Carries the "
                          "transcript payload for one update; type_ indicates whether it is a "
                          "transcription (ASR) or a translation.")
        .def(nb::init<>())
        .def_rw("type_", &TextFrame::type_, "Kind of transcript carried by transcript_data_.")
        .def_prop_rw(
            "transcript_data_", [](TextFrame& frame) -> TranscriptData& { return frame.transcript_data_; },
            &assign_payload,
            "Transcript payload for this message. Interpreted as a transcription or a translation "
            "according to type_.");
}

}  // namespace

void register_transcript_types(nb::module_& m) {
    register_segment(m);
    register_data(m);
    register_text_frame(m);
}
