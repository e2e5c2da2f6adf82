#pragma once

#include <nanobind/nanobind.h>

namespace nb = nanobind;

// One registration routine per group of bindings. The module entry calls them
// in the order Python sees the names; each registers its items completely,
// members included, before it returns.
void register_enums(nb::module_& m);
void register_gil_selftest(nb::module_& m);
void register_audio_frame(nb::module_& m);
void register_audio_config(nb::module_& m);
void register_transcript_types(nb::module_& m);
void register_processor_attributes(nb::module_& m);
void register_sdk_result(nb::module_& m);
void register_init_params(nb::module_& m);
void register_sdk(nb::module_& m);
void register_audio_processor(nb::module_& m);
