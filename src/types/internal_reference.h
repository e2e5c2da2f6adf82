#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// A nested record read from its owner is nanobind's reference-to-internal:
// the reference keeps its owner alive through a keep-alive link, which the
// garbage collector cannot see. A cycle through such a reference (an object
// holding both a record and a reference read from it, with a callback bound
// to that object) would then look reachable forever. Getters made with
// internal_reference() record the link, and the references' tp_traverse
// reports it (visit_owner_of).

// Notes that `reference` keeps `owner` alive. Idempotent; the note goes with
// the reference.
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
