// The simulator's log: one line per event, prefixed with the seconds since
// the program started, written whole and flushed at once so that a test can
// read the file while the simulator runs. Safe to call from any thread.
#pragma once

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <utility>

namespace talvik::phonesim {

// Sends the log to `path` (appending), or to stderr when `path` is empty.
bool OpenLog(const std::string& path);

void LogLine(std::string_view line);

template <typename... Args>
void Log(fmt::format_string<Args...> format, Args&&... args)
{
    LogLine(fmt::format(format, std::forward<Args>(args)...));
}

} // namespace talvik::phonesim
