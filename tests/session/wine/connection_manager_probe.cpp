// connection_manager_probe: the connection manager alone in a process, as
// the service runs it (its own loop thread, the real USB and DNS-SD library
// loading, default options but the port), with a stand-in engine that asks
// for the phone's first format. Built for Windows, it lets a test run the
// manager under Wine with the native phone simulator connecting to it.
//
//   connection_manager_probe --port N [--timeout SECONDS] [--sessions N] [--usbmuxd-library PATH]
//
// --usbmuxd-library binds that libusbmuxd instead of the install
// directory's; the probe ends after --sessions announced sessions have
// ended (default 1).
// Logs to standard output with the service's line pattern. After its first
// Tick it logs "probe: looking for the phone on port N". Exit codes:
//   0  the announced sessions brought video and audio and then ended
//   1  they ended without both, or not all ended within --timeout
//      (default 60 s)
//   2  bad command line
#include "base/logging.h"
#include "session/connection_manager.h"
#include "tests/session/wine/probe_observer.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTickInterval = std::chrono::milliseconds(16);

struct ProbeOptions {
    std::uint16_t port = 0;
    unsigned timeoutSeconds = 60;
    std::string usbmuxdLibrary;
    int sessions = 1;
};

template <typename Number>
bool ParseNumber(const char* text, Number low, Number high, Number& value)
{
    const char* end = text + std::strlen(text);
    Number parsed{};
    const auto [stop, error] = std::from_chars(text, end, parsed);
    if (error != std::errc() || stop != end || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

std::optional<ProbeOptions> ParseCommandLine(int argc, char** argv)
{
    ProbeOptions options;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 == argc)
            return std::nullopt;
        const char* name = argv[i];
        const char* value = argv[i + 1];
        bool valid = false;
        if (std::strcmp(name, "--port") == 0)
            valid = ParseNumber<std::uint16_t>(value, 1, 65535, options.port);
        else if (std::strcmp(name, "--timeout") == 0)
            valid = ParseNumber<unsigned>(value, 1, 3600, options.timeoutSeconds);
        else if (std::strcmp(name, "--sessions") == 0)
            valid = ParseNumber<int>(value, 1, 100, options.sessions);
        else if (std::strcmp(name, "--usbmuxd-library") == 0)
            valid = (options.usbmuxdLibrary = value, true);
        if (!valid)
            return std::nullopt;
    }
    if (options.port == 0)
        return std::nullopt;
    return options;
}

// The default logger, on standard output, flushed at every line so that a
// test can follow the log while the probe runs.
void LogToStandardOutput()
{
    auto logger = std::make_shared<spdlog::logger>(talvik::kLoggerName,
                                                   std::make_shared<spdlog::sinks::stdout_sink_mt>());
    logger->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("[%H:%M:%S:%e] %v", spdlog::pattern_time_type::local, "\n"));
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);
}

// The engine's clock: milliseconds that wrap at 32 bits.
std::uint32_t EngineNow()
{
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

} // namespace

int main(int argc, char** argv)
{
    const std::optional<ProbeOptions> options = ParseCommandLine(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: connection_manager_probe --port N [--timeout SECONDS] [--sessions N] "
                     "[--usbmuxd-library PATH]\n");
        return 2;
    }
    LogToStandardOutput();

    talvik::test::ProbeObserver observer;
    bool timedOut = false;
    {
        talvik::ConnectionManager::Options managerOptions;
        managerOptions.port = options->port;
        std::unique_ptr<talvik::UsbmuxdLibrary> usbmuxd;
        if (!options->usbmuxdLibrary.empty()) {
            usbmuxd = talvik::UsbmuxdLibrary::Load(options->usbmuxdLibrary);
            managerOptions.usbmuxd = usbmuxd ? &usbmuxd->binding() : nullptr;
        }
        talvik::ConnectionManager manager(&observer, managerOptions);
        observer.Attach(&manager);
        manager.Tick(EngineNow());
        spdlog::info("probe: looking for the phone on port {}", options->port);

        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options->timeoutSeconds);
        while (observer.sessionsEnded() < options->sessions) {
            if (Clock::now() >= deadline) {
                timedOut = true;
                break;
            }
            std::this_thread::sleep_for(kTickInterval);
            manager.Tick(EngineNow());
        }
    }

    const talvik::test::ReceivedTally& video = observer.video();
    const talvik::test::ReceivedTally& audio = observer.audio();
    spdlog::info("probe: received {} video pictures ({}..{} bytes), {} audio blocks ({}..{} bytes)", video.count,
                 video.smallest, video.largest, audio.count, audio.smallest, audio.largest);
    int code = 0;
    if (timedOut) {
        spdlog::error("probe: {} of {} sessions ended within {} s", observer.sessionsEnded(), options->sessions,
                      options->timeoutSeconds);
        code = 1;
    } else if (video.count == 0 || audio.count == 0) {
        spdlog::error("probe: the session ended without both video and audio");
        code = 1;
    }
    talvik::ShutDownLogging();
    return code;
}
