// The models a processor can run: built into the SDK, plus one per
// <name>.tavixmodel file in models_dir.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/logger.h"

namespace tavix::sdk {

enum class ModelEngine {
    kPassthrough,  // delayed copy of the input
    kDenoise,      // spectral noise suppression
    kTranslation,  // the language-translation pipeline (DTMF keys to text)
};

struct ModelInfo {
    std::string name;
    ModelEngine engine = ModelEngine::kPassthrough;
    float gain = 1.0f;   // linear, applied to the engine's output
    std::string source;  // "built-in" or the model file
};

// The model key that selects the language-translation pipeline.
inline constexpr const char* kTranslationModel = "translation";

class ModelCatalog {
public:
    // Built-in models, then every valid model file in models_dir. A missing
    // models_dir leaves the built-in models; every file that is refused is
    // logged with the reason.
    static ModelCatalog load(const std::string& models_dir, Logger& log);

    // nullptr for an unknown key.
    const ModelInfo* find(const std::string& name) const;

    // All keys, sorted.
    std::vector<std::string> names() const;

private:
    std::map<std::string, ModelInfo> models_;
};

}  // namespace tavix::sdk
