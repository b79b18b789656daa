// Records what is logged through the default logger while it lives, at
// every level, one "level: message" entry per line:
//   "error: USB write failed"
// Unlike a stream sink it may be read while other threads log (libusbmuxd's
// device-watch thread does). The previous default logger comes back
// afterwards.
#pragma once

#include <spdlog/logger.h>

#include <memory>
#include <string>
#include <vector>

namespace talvik::test {

class RecordingSink;

class LogRecorder {
public:
    LogRecorder();
    ~LogRecorder();
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;

    std::vector<std::string> Lines() const;
    // How many entries are exactly `line`.
    int Count(const std::string& line) const;
    bool Has(const std::string& line) const { return Count(line) > 0; }
    void Clear();

private:
    std::shared_ptr<RecordingSink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

} // namespace talvik::test
