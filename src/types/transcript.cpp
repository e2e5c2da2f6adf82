#include "module/registration.h"

// Not yet bound.
void register_transcript_types(nb::module_&) {}
