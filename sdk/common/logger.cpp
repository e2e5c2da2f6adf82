#include "common/logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/text.h"

namespace tavix::sdk {
namespace {

std::string utc_timestamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace

Logger::Logger(const std::string& storage_dir) {
    if (storage_dir.empty()) throw std::invalid_argument("storage_dir is empty");
    // The file system would read the path only up to the NUL and create a
    // directory the caller never named.
    if (storage_dir.find('\0') != std::string::npos)
        throw std::invalid_argument("storage_dir contains a NUL character");
    std::filesystem::path logs = std::filesystem::path(storage_dir) / "logs";
    std::error_code error;
    std::filesystem::create_directories(logs, error);
    if (error)
        throw std::runtime_error("cannot create the SDK storage directory " +
                                 quote_field(logs.string()) + ": " + error.message());
    const std::filesystem::path file = logs / "tavix.log";
    out_.open(file, std::ios::app);
    if (!out_) throw std::runtime_error("cannot write the SDK log " + quote_field(file.string()));
}

void Logger::write(const char* level, const std::string& text) {
    std::string line = utc_timestamp() + " " + level + " " + escape_controls(text) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << line;
    out_.flush();
}

}  // namespace tavix::sdk
