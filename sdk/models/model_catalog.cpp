#include "models/model_catalog.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/text.h"

namespace tavix::sdk {
namespace {

namespace fs = std::filesystem;

constexpr const char* kModelSuffix = ".tavixmodel";
constexpr float kMinGainDb = -60.0f;
constexpr float kMaxGainDb = 20.0f;

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// A model file holds "key = value" lines ('#' starts a comment):
//   engine  = passthrough | denoise     (required)
//   gain_db = <number in -60..20>       (optional, default 0)
// Throws std::runtime_error with the reason when the file is not valid.
ModelInfo read_model_file(const fs::path& file, const std::string& name) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot be read");
    ModelInfo model;
    model.name = name;
    model.source = file.string();
    std::optional<ModelEngine> engine;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            throw std::runtime_error("line " + std::to_string(number) + " is not 'key = value'");
        std::string key = trim(line.substr(0, equals));
        std::string value = trim(line.substr(equals + 1));
        if (key == "engine") {
            if (value == "passthrough")
                engine = ModelEngine::kPassthrough;
            else if (value == "denoise")
                engine = ModelEngine::kDenoise;
            else
                throw std::runtime_error("engine '" + value + "' is not passthrough or denoise");
        } else if (key == "gain_db") {
            size_t used = 0;
            float db = 0.0f;
            try {
                db = std::stof(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != value.size() || !(db >= kMinGainDb && db <= kMaxGainDb))
                throw std::runtime_error("gain_db '" + value + "' is not a number in -60..20");
            model.gain = std::pow(10.0f, db / 20.0f);
        } else {
            throw std::runtime_error("unknown key '" + key + "'");
        }
    }
    if (!engine) throw std::runtime_error("it names no engine");
    model.engine = *engine;
    return model;
}

void add_model_files(const std::string& models_dir, Logger& log,
                     std::map<std::string, ModelInfo>& models) {
    std::error_code error;
    fs::directory_iterator entries(models_dir, error);
    if (error) {
        log.info("models_dir " + quote_field(models_dir) + " not readable (" + error.message() +
                 "); built-in models only");
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        const fs::path& file = entry.path();
        if (file.extension() != kModelSuffix) continue;
        std::error_code kind_error;
        if (!entry.is_regular_file(kind_error)) continue;  // a folder named like a model
        std::string name = file.stem().string();
        try {
            if (!is_plain_name(name))
                throw std::runtime_error("the name must consist of a-z, 0-9 and _");
            if (models.count(name)) throw std::runtime_error("a built-in model has that name");
            models[name] = read_model_file(file, name);
            log.info("model_loaded name=" + name + " file=" + quote_field(file.string()));
        } catch (const std::exception& refusal) {
            log.warn("model_refused file=" + quote_field(file.string()) + " reason=" +
                     quote_field(refusal.what()));
        }
    }
}

}  // namespace

ModelCatalog ModelCatalog::load(const std::string& models_dir, Logger& log) {
    ModelCatalog catalog;
    catalog.models_["passthrough"] = {"passthrough", ModelEngine::kPassthrough, 1.0f, "built-in"};
    catalog.models_["denoise"] = {"denoise", ModelEngine::kDenoise, 1.0f, "built-in"};
    catalog.models_[kTranslationModel] = {kTranslationModel, ModelEngine::kTranslation, 1.0f,
                                          "built-in"};
    add_model_files(models_dir, log, catalog.models_);
    return catalog;
}

const ModelInfo* ModelCatalog::find(const std::string& name) const {
    auto it = models_.find(name);
    return it == models_.end() ? nullptr : &it->second;
}

std::vector<std::string> ModelCatalog::names() const {
    std::vector<std::string> keys;
    for (const auto& entry : models_) keys.push_back(entry.first);
    return keys;
}

}  // namespace tavix::sdk
