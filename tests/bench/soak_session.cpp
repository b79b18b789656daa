// The phone session soak: one ConnectionManager, with its loop thread and
// the real libusbmuxd, through many sessions in a row, alternating WiFi and
// USB, each one connect → announce → stream request → 1 s of pictures →
// disconnect. The phone simulator plays the phone: a fresh `phonesim
// connect` per WiFi session, stopped to end it; one `phonesim usb` as the
// usbmuxd for the whole run, whose phone is attached for each USB session
// and detached to end it.
//
// Reported: the process's resident memory and open descriptors after the
// first two sessions (the warm-up: buffers, library threads) and every 100
// sessions after, and the growth from the warm-up to the end. The goals are
// under 1 MiB of growth and a flat descriptor count; the figures are
// reported, never enforced.
//
// Usage: soak_session [SESSIONS] (default 1000; about 1.5 s each).
#include "session/connection_manager.h"
#include "base/logging.h"
#include "tests/bench/engine_ticks.h"
#include "tests/support/null_connection_observer.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/uv_peer.h"

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>
#include <usbmuxd.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using namespace talvik;
using namespace talvik::bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::seconds kStreamed{1};
constexpr std::chrono::seconds kStepTimeout{15};
// Raw pictures: the simulator does not encode, so the run costs little CPU.
const std::vector<std::string> kPhoneOptions = {"--formats", "320x240@30:nv12", "--tone", "0"};

class SoakEngine final : public test::NullConnectionObserver {
public:
    explicit SoakEngine(ConnectionManager*& manager) : manager_(manager) {}

    void OnConnectionReceived(ConnectionType, const ClientFormat* formats, uint32_t count) override
    {
        if (count > 0)
            manager_->StartStreaming(formats[0]);
        announcements.fetch_add(1);
    }
    void ConnectionDisconnected() override { disconnections.fetch_add(1); }
    void OnRawVideoFrame(const uint8_t*, uint32_t) override { pictures.fetch_add(1); }

    std::atomic<int> announcements{0};
    std::atomic<int> disconnections{0};
    std::atomic<std::uint64_t> pictures{0};

private:
    ConnectionManager*& manager_;
};

std::size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

int OpenDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n - 1; // the directory iterator's own
}

std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> g_serviceLog;

int Fail(const std::string& what, int session)
{
    std::fprintf(stderr, "session %d: %s\nservice log:\n", session, what.c_str());
    for (const std::string& line : g_serviceLog->last_formatted(30))
        std::fprintf(stderr, "%s", line.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 1000;
    g_serviceLog = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(100);
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, g_serviceLog);
    logger->set_level(spdlog::level::info);
    spdlog::set_default_logger(logger);
    libusbmuxd_set_use_inotify(0);

    test::TempDir dir;
    const std::string address = "UNIX:" + dir.File("usbmuxd.sock");
    setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    std::vector<std::string> usbArguments = {"usb", "--usbmuxd", address, "--usb-detached", "--sessions", "0",
                                             "--duration", "1000000"};
    usbArguments.insert(usbArguments.end(), kPhoneOptions.begin(), kPhoneOptions.end());
    auto usbPhone = test::StartPhonesim(usbArguments);
    if (!usbPhone->WaitForOutput("usbmuxd: listening on", std::chrono::seconds(5)))
        return Fail("the simulator's usbmuxd did not come up", 0);

    ConnectionManager* managerRef = nullptr;
    SoakEngine engine(managerRef);
    ConnectionManager::Options options;
    options.port = test::UvPeer::FreePort();
    options.dnsSdLibrary = "talvik-soak-without-dns-sd";
    ConnectionManager manager(&engine, options);
    managerRef = &manager;

    std::size_t warmResident = 0;
    int warmDescriptors = 0, fewestDescriptors = 1 << 30, mostDescriptors = 0;
    const Clock::time_point start = Clock::now();
    for (int session = 0; session < sessions; ++session) {
        const bool usb = session % 2 == 1;
        std::unique_ptr<test::HelperProcess> wifiPhone;
        const int disconnected = engine.disconnections.load();
        const std::uint64_t before = engine.pictures.load();
        if (usb) {
            usbPhone->Write("attach\n");
        } else {
            std::vector<std::string> arguments = {"connect", "--port", std::to_string(options.port), "--duration",
                                                  "60"};
            arguments.insert(arguments.end(), kPhoneOptions.begin(), kPhoneOptions.end());
            wifiPhone = test::StartPhonesim(arguments);
        }
        if (!TickUntil(manager, [&] { return engine.pictures.load() > before; }, Clock::now() + kStepTimeout))
            return Fail(usb ? "no picture over USB" : "no picture over WiFi", session);
        const ConnectionState carried = manager.state();
        if (carried != (usb ? ConnectionState::kUsbConnected : ConnectionState::kWifiConnected))
            return Fail(std::string("the session runs in state ") + ConnectionStateName(carried), session);
        TickUntil(manager, [] { return false; }, Clock::now() + kStreamed);

        if (usb)
            usbPhone->Write("detach\n");
        else
            wifiPhone->Stop();
        if (!TickUntil(manager, [&] { return engine.disconnections.load() > disconnected; },
                       Clock::now() + kStepTimeout))
            return Fail("the session did not end", session);
        wifiPhone.reset();

        const int descriptors = OpenDescriptors();
        if (session == 1) {
            warmResident = ResidentBytes();
            warmDescriptors = descriptors;
        }
        if (session >= 1) {
            fewestDescriptors = std::min(fewestDescriptors, descriptors);
            mostDescriptors = std::max(mostDescriptors, descriptors);
        }
        if (session == 1 || (session + 1) % 100 == 0)
            std::printf("after %4d sessions (%4.0f s): resident %7.1f KiB, %d open descriptors\n", session + 1,
                        std::chrono::duration<double>(Clock::now() - start).count(), ResidentBytes() / 1024.0,
                        descriptors);
        std::fflush(stdout);
    }
    if (sessions < 2)
        return 0;
    const double growth = (static_cast<double>(ResidentBytes()) - static_cast<double>(warmResident)) / 1024.0;
    std::printf("\n%d sessions (WiFi and USB alternating), %llu pictures\n", sessions,
                static_cast<unsigned long long>(engine.pictures.load()));
    std::printf("resident memory growth after the warm-up: %.1f KiB (goal below 1024 KiB)\n", growth);
    std::printf("open descriptors: %d after the warm-up, %d to %d since\n", warmDescriptors, fewestDescriptors,
                mostDescriptors);
    return 0;
}
