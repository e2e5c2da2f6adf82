#pragma once

// References into records.
//
// Reading a nested record from its owner (pa.audio_attributes,
// pa.lt_config, data.complete[0], frame.transcript_data_) gives a Python
// object that points into the owner's memory, with no copy: writes through it
// change the owner, and it keeps the owner alive. The Python objects that own
// records are the ones constructors return; every other record object is such
// a reference. The binding keeps three promises about them:
//
// 1. A reference never points at freed memory.
//    - Replacing a list (data.complete = [...], or a whole transcript_data_)
//      retires the old vector first: if any Python object still refers to
//      one of its elements, the vector's storage goes, unmoved, to a holder
//      that those objects keep alive; they keep the values they had, detached
//      from the record (SegmentRetirement).
//    - pa.lt_config = X keeps the config's place: values are assigned into
//      the existing storage, so a reference read earlier shows the new config.
//    - pa.lt_config = None while a reference to the config is alive leaves
//      the storage where it is, with default values and no callback, and
//      marks it detached: pa.lt_config then reads None and the SDK sees no
//      config, while the reference stays usable (writes through it reach only
//      the detached config). Storing a config again attaches the same place,
//      so that reference then shows the stored config. When the reference goes
//      while the config is detached, the storage goes too (and with it any
//      callback installed through the reference).
// 2. The collector sees through references: a reference reports the owner it
//    keeps alive (visit_owner_of), and a record reports the callables of its
//    callbacks (callbacks/record_callbacks.h), so a cycle through a callback,
//    a record and a reference to it is collected.
// 3. A reference is found again: reading the same field while a reference to
//    it is alive returns that same object.
//
// Everything here runs with the interpreter lock held.

#include <vector>

#include <nanobind/nanobind.h>

#include "tavix/Transcript.h"

namespace nb = nanobind;

// Notes that `reference` keeps `owner` alive, for the collector. Idempotent;
// the note goes with the reference.
void note_internal_reference(nb::handle reference, nb::handle owner);

// Visits the owner that `reference` keeps alive, if it is a noted reference.
int visit_owner_of(PyObject* reference, visitproc visit, void* arg);

// `field` (a member of the record that `owner` holds) as a reference into it.
template <typename Field>
nb::typed<nb::object, Field> internal_reference(Field& field, nb::handle owner) {
    nb::object reference = nb::cast(&field, nb::rv_policy::reference_internal, owner);
    note_internal_reference(reference, owner);
    return nb::borrow<nb::typed<nb::object, Field>>(reference);
}

// Retires a list's storage before it is overwritten (promise 1). Split so
// that a record's fields can be replaced all or nothing: the constructor does
// everything that can fail and leaves the vector as it was; commit() cannot
// fail and leaves the vector empty when its storage was taken over.
class SegmentRetirement {
public:
    explicit SegmentRetirement(std::vector<tavix::TranscriptSegment>& segments);
    SegmentRetirement(const SegmentRetirement&) = delete;
    SegmentRetirement& operator=(const SegmentRetirement&) = delete;

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
