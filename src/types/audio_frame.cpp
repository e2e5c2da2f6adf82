#include "module/registration.h"

// Not yet bound.
void register_audio_frame(nb::module_&) {}
