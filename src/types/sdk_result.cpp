#include <nanobind/stl/string.h>

#include "module/registration.h"
#include "tavix/SdkResult.h"

using tavix::SdkResult;

void register_sdk_result(nb::module_& m) {
    nb::class_<SdkResult>(m, "SdkResult", "Result of an SDK operation.")
        .def(nb::init<>())
        .def_ro("success", &SdkResult::success, "Success/failure result of the operation.")
        .def_ro("error_type", &SdkResult::error_type, "Type of failure (SdkErrorType).")
        .def_ro("message", &SdkResult::message, "Error message.");
}
