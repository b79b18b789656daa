#include "base/logging.h"

#include "base/config.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <mutex>

namespace talvik {

namespace {

#ifdef _WIN32
constexpr const char* kLineEnd = "\r\n";
#else
constexpr const char* kLineEnd = "\n";
#endif

spdlog::level::level_enum LoggerLevel(int logLevel)
{
    switch (logLevel) {
    case 1: return spdlog::level::warn;
    case 2: return spdlog::level::info;
    case 3: return spdlog::level::trace;
    default: return spdlog::level::off;
    }
}

std::unique_ptr<spdlog::formatter> MakeFormatter()
{
    return std::make_unique<spdlog::pattern_formatter>("[%H:%M:%S:%e] %v", spdlog::pattern_time_type::local,
                                                       kLineEnd);
}

} // namespace

int SetUpLogging(ConfigStore& store, spdlog::sink_ptr debuggerSink, const char* fileName)
{
    const int level = ReadLogLevel(store);
    const std::string logPath = InstallPath(store, fileName, InstallFile::kLog);

    spdlog::set_formatter(MakeFormatter());

    auto dist = std::make_shared<spdlog::sinks::dist_sink<std::mutex>>();
    spdlog::drop(kLoggerName);
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, dist);
    // The logger joins the registry (so that the level, the flusher and the
    // formatter reach it) and becomes the one everything logs through.
    spdlog::initialize_logger(logger);
    spdlog::set_default_logger(logger);
    spdlog::flush_every(std::chrono::seconds(1));

    if (level == 0) {
        spdlog::set_level(spdlog::level::off);
        dist->add_sink(std::make_shared<spdlog::sinks::null_sink<std::mutex>>());
        return level;
    }

    spdlog::set_level(LoggerLevel(level));
    // The distributing sink hands its formatter only to the sinks it already
    // holds, so each sink added from here on gets its own copy.
    debuggerSink->set_formatter(MakeFormatter());
    dist->add_sink(debuggerSink);
    try {
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink<std::mutex>>(logPath, kLogFileMaxBytes,
                                                                                    kLogFileRotations);
        file->set_formatter(MakeFormatter());
        dist->add_sink(file);
    } catch (const std::exception&) {
        spdlog::error("Adding file sink to logger failed");
    }
    return level;
}

int SetUpLogging(const char* fileName)
{
    return SetUpLogging(SystemConfigStore(), MakeDebuggerSink(), fileName);
}

void ShutDownLogging()
{
    if (auto logger = spdlog::default_logger())
        logger->flush();
    spdlog::shutdown();
    // A late line from another thread must find a logger, not a null one.
    auto silent = std::make_shared<spdlog::logger>(kLoggerName, std::make_shared<spdlog::sinks::null_sink_mt>());
    silent->set_level(spdlog::level::off);
    spdlog::set_default_logger(silent);
}

} // namespace talvik
