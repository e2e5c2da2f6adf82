#include "module/registration.h"

// Not yet bound.
void register_gil_selftest(nb::module_&) {}
