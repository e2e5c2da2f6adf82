// The SDK's log: one line per operation, appended to storage_dir/logs/tavix.log.
#pragma once

#include <fstream>
#include <mutex>
#include <string>

namespace tavix::sdk {

class Logger {
public:
    // Creates storage_dir and storage_dir/logs when missing and opens the log
    // for appending. Throws std::invalid_argument, before touching the file
    // system, for a storage_dir that is empty or holds a NUL character, and
    // std::runtime_error naming the path when it cannot be created or written.
    // The text of each line is written as given: callers pass caller-given
    // values through quote_field() (common/text.h).
    explicit Logger(const std::string& storage_dir);

    // Each call writes one line: UTC time with milliseconds, level, text.
    void info(const std::string& text) { write("INFO", text); }
    void warn(const std::string& text) { write("WARN", text); }

private:
    void write(const char* level, const std::string& text);

    std::mutex mutex_;
    std::ofstream out_;
};

}  // namespace tavix::sdk
