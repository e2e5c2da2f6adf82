#include "module/registration.h"

// Not yet bound.
void register_audio_config(nb::module_&) {}
