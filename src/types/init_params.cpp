#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <nanobind/stl/string.h>

#include "module/registration.h"
#include "tavix/InitParams.h"

using tavix::Environment;
using tavix::InitParams;

namespace {

// TAVIX_MODELS_DIR verbatim when set and non-empty, else <cwd>/models.
std::string models_dir_from_env() {
    const char* value = std::getenv("TAVIX_MODELS_DIR");
    if (value && *value) return value;
    return (std::filesystem::current_path() / "models").string();
}

// TAVIX_ENVIRONMENT matched whole and case-insensitively; anything else is
// production.
Environment environment_from_env() {
    const char* value = std::getenv("TAVIX_ENVIRONMENT");
    if (!value || !*value) return Environment::kProduction;
    std::string name(value);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "dev") return Environment::kDev;
    if (name == "staging") return Environment::kStaging;
    if (name == "uat") return Environment::kUat;
    return Environment::kProduction;
}

// Python's own path functions refuse such strings: the SDK would otherwise
// create a directory cut at the NUL, one the caller never named.
std::string checked_storage_dir(std::string path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
    return path;
}

}  // namespace

void register_init_params(nb::module_& m) {
    static constexpr const char* storage_dir_doc =
        "SDK storage directory (SDK data + logs). Logs are written to storage_dir/logs.";

    nb::class_<InitParams>(m, "InitParams", "Initialization parameters for the core SDK.")
        .def(
            "__init__",
            [](InitParams* self, std::string storage_dir) {
                // Read the environment before constructing, so a failure
                // leaves no half-built record behind.
                storage_dir = checked_storage_dir(std::move(storage_dir));
                std::string models_dir = models_dir_from_env();
                Environment environment = environment_from_env();
                InitParams* params = new (self) InitParams();
                params->storage_dir = std::move(storage_dir);
                params->models_dir = std::move(models_dir);
                params->environment = environment;
            },
            nb::arg("storage_dir") = "./storage")
        .def_prop_rw(
            "storage_dir", [](const InitParams& self) { return self.storage_dir; },
            [](InitParams& self, std::string path) { self.storage_dir = checked_storage_dir(std::move(path)); },
            storage_dir_doc);
}
