// Process-wide logger set-up.
//
// Everything in the system logs through spdlog's default logger, named
// "Vidrelo", with fmt brace syntax:
//     spdlog::error("VideoDriver CreateFile failed: {0}", code);
// Messages below the configured level are not formatted.
//
// SetUpLogging() runs once, first thing in the engine's construction, before
// anything logs:
//   loglevel 0   logger off, a discarding sink
//   loglevel 1   warnings and errors  -> debugger sink + rotating "log.txt"
//   loglevel 2   info and up          -> debugger sink + rotating "log.txt"
//   loglevel 3   everything           -> debugger sink + rotating "log.txt"
// "log.txt" lies in the install directory (without one: bare name on
// Windows, $XDG_STATE_HOME/talvik/ on Linux, see config.h), holds at
// most 1 MiB and keeps two rotated files. If it cannot be opened, the error
// goes to the debugger sink and logging goes on there alone.
//
// The tray logs the same way into "talviktray.log" beside it: two processes
// rotating one file would lose each other's lines (and on Windows a rename
// fails while the other process holds the file).
#pragma once

#include "base/config.h"
#include "base/config_store.h"

#include <spdlog/sinks/sink.h>

#include <memory>

namespace talvik {

inline constexpr const char* kLoggerName = "Vidrelo";
inline constexpr std::size_t kLogFileMaxBytes = 1048576;
inline constexpr std::size_t kLogFileRotations = 2;
inline constexpr const char* kTrayLogFileName = "talviktray.log";

// The platform's debugger-output sink: OutputDebugString on Windows,
// standard error elsewhere.
spdlog::sink_ptr MakeDebuggerSink();

// Reads the level and paths from `store` and installs the default logger.
// `debuggerSink` replaces the platform's debugger output (tests capture it).
// `fileName` is the log file's name in the log directory. Returns the
// clamped log level.
int SetUpLogging(ConfigStore& store, spdlog::sink_ptr debuggerSink, const char* fileName = kLogFileName);
int SetUpLogging(const char* fileName = kLogFileName);

// Flushes and releases every logger; stops the periodic flusher.
void ShutDownLogging();

} // namespace talvik
