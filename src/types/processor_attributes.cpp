#include "module/registration.h"

// Not yet bound.
void register_processor_attributes(nb::module_&) {}
