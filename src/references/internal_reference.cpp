#include "references/record_references.h"

#include <unordered_map>

namespace {

// Reference -> owner, one entry per live reference; guarded by the
// interpreter lock.
std::unordered_map<PyObject*, PyObject*>& owners() {
    static auto* map = new std::unordered_map<PyObject*, PyObject*>();  // outlives every reference
    return *map;
}

void forget(void* reference) noexcept { owners().erase(static_cast<PyObject*>(reference)); }

}  // namespace

void note_internal_reference(nb::handle reference, nb::handle owner) {
    if (owners().try_emplace(reference.ptr(), owner.ptr()).second)
        nb::keep_alive_cb(reference, reference.ptr(), &forget);
}

int visit_owner_of(PyObject* reference, visitproc visit, void* arg) {
    auto it = owners().find(reference);
    if (it != owners().end()) Py_VISIT(it->second);
    return 0;
}
