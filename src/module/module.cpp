// Entry of the _tavix_module extension. NB_MODULE provides multi-phase
// initialisation, declares sub-interpreters unsupported and turns failures of
// the registration body into ImportError.
#include "module/lifetime.h"
#include "module/registration.h"

NB_MODULE(_tavix_module, m) {
    m.doc() = "Tavix SDK Python bindings";
    m.attr("__version__") = TAVIX_VERSION;  // pyproject.toml's, through CMake

    register_enums(m);
    register_gil_selftest(m);
    register_audio_frame(m);
    register_audio_config(m);
    register_transcript_types(m);
    register_processor_attributes(m);
    register_sdk_result(m);
    register_init_params(m);
    register_sdk(m);
    register_audio_processor(m);

    install_lifetime_hooks();
}
