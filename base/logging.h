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
// "log.txt" lies in the install directory (bare name without one), holds at
// most 1 MiB and keeps two rotated files. If it cannot be opened, the error
// goes to the debugger sink and logging goes on there alone.
#pragma once

#include "base/config_store.h"

#include <spdlog/sinks/sink.h>

#include <memory>

namespace talvik {

inline constexpr const char* kLoggerName = "Vidrelo";
inline constexpr std::size_t kLogFileMaxBytes = 1048576;
inline constexpr std::size_t kLogFileRotations = 2;

// The platform's debugger-output sink: OutputDebugString on Windows,
// standard error elsewhere.
spdlog::sink_ptr MakeDebuggerSink();

// Reads the level and paths from `store` and installs the default logger.
// `debuggerSink` replaces the platform's debugger output (tests capture it).
// Returns the clamped log level.
int SetUpLogging(ConfigStore& store, spdlog::sink_ptr debuggerSink);
int SetUpLogging();

// Flushes and releases every logger; stops the periodic flusher.
void ShutDownLogging();

} // namespace talvik
