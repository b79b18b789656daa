// The connection manager as the service runs it (its own loop thread, an
// engine thread ticking every 16 ms) with the phone simulator as a separate
// process on every path: connecting in over TCP, found through DNS-SD and
// connected to, and through usbmuxd with the real libusbmuxd. Every video
// frame the simulator logs as sent must reach the observer whole, in order.
#include "session/connection_manager.h"
#include "session/messages.h"

#include "tests/support/avahi_env.h"
#include "tests/support/log_recorder.h"
#include "tests/support/null_connection_observer.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/usbmuxd_socket.h"
#include "tests/support/uv_peer.h"
#include "tests/support/wait_until.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace talvik;
using Clock = std::chrono::steady_clock;

namespace {

constexpr ClientFormat kRequested{640, 480, 30, 1};

// What reached the engine; written by the loop thread, read by the test.
class Tally final : public test::NullConnectionObserver {
public:
    ConnectionManager* manager = nullptr;

    void OnConnectionReceived(ConnectionType type, const ClientFormat*, uint32_t count) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            connections_.push_back(type == ConnectionType::kUsb ? "usb" : "wifi");
            formatCount_ = count;
        }
        manager->StartStreaming(kRequested);
    }
    void ConnectionDisconnected() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++disconnects_;
    }
    void OnVideoData(const uint8_t*, uint32_t size, uint32_t) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        videoSizes_.push_back(size);
    }
    void OnAudioData(const uint8_t*, uint32_t size) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        audioBytes_ += size;
    }

    std::vector<std::string> connections() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return connections_;
    }
    std::vector<std::size_t> videoSizes() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return videoSizes_;
    }
    std::uint32_t formatCount() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return formatCount_;
    }
    std::size_t audioBytes() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return audioBytes_;
    }
    int disconnects() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return disconnects_;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> connections_;
    std::uint32_t formatCount_ = 0;
    std::vector<std::size_t> videoSizes_;
    std::size_t audioBytes_ = 0;
    int disconnects_ = 0;
};

// The manager, ticked from a thread of its own as the engine ticks it.
class RunningManager {
public:
    RunningManager(Tally& tally, const ConnectionManager::Options& options) : manager_(&tally, options)
    {
        tally.manager = &manager_;
        engine_ = std::thread([this] {
            const auto start = Clock::now();
            while (!stop_.load()) {
                manager_.Tick(std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
                std::this_thread::sleep_for(16ms);
            }
        });
    }
    ~RunningManager()
    {
        stop_.store(true);
        engine_.join();
    }

    ConnectionManager& operator*() { return manager_; }
    ConnectionManager* operator->() { return &manager_; }

    // Waits for `state`; how long that took, or nothing after `timeout`.
    std::optional<std::chrono::milliseconds> WaitFor(ConnectionState state, std::chrono::milliseconds timeout = 10s)
    {
        const auto start = Clock::now();
        if (!test::WaitUntil([&] { return manager_.state() == state; }, timeout, 1ms))
            return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }

private:
    ConnectionManager manager_;
    std::atomic<bool> stop_{false};
    std::thread engine_;
};

ConnectionManager::Options WifiOnly(std::uint16_t port)
{
    ConnectionManager::Options options;
    options.port = port;
    options.usbmuxd = nullptr;
    options.dnsSdLibrary = "talvik-no-such-dns-sd-library";
    return options;
}

// Every frame the simulator sent, in order, with its size (the simulator
// logs whole messages: the header and the video fields come off).
void ExpectFramesDelivered(const Tally& tally, const test::HelperProcess& phone, std::size_t frames)
{
    constexpr std::size_t kVideoMessageOverhead = kMessageHeaderSize + 12;
    std::vector<std::size_t> sent;
    for (const test::SentFrame& frame : test::SentFrames(phone.Output()))
        sent.push_back(frame.bytes - kVideoMessageOverhead);
    EXPECT_EQ(sent.size(), frames) << phone.Output();
    EXPECT_EQ(tally.videoSizes(), sent);
    EXPECT_GT(tally.audioBytes(), 0u);
}

// A usbmuxd that takes connections and never answers: libusbmuxd then waits
// seconds for each reply.
class SilentUsbmuxd {
public:
    explicit SilentUsbmuxd(const std::string& path)
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 16) == 0;
    }
    ~SilentUsbmuxd() { close(fd_); }
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

} // namespace

TEST(connection_manager_phonesim, a_phone_connecting_in_streams_every_frame_to_the_observer)
{
    test::LogRecorder log;
    Tally tally;
    const std::uint16_t port = test::UvPeer::FreePort();
    RunningManager manager(tally, WifiOnly(port));
    auto phone = test::StartPhonesim({"connect", "--port", std::to_string(port), "--frames", "20", "--duration", "30"});

    ASSERT_TRUE(manager.WaitFor(ConnectionState::kWifiConnected)) << phone->Output();
    EXPECT_EQ(phone->Wait(20s), 0) << phone->Output();
    ASSERT_TRUE(manager.WaitFor(ConnectionState::kIdle));
    EXPECT_EQ(tally.connections(), std::vector<std::string>{"wifi"});
    EXPECT_EQ(tally.formatCount(), 5u);
    EXPECT_EQ(tally.disconnects(), 1);
    ExpectFramesDelivered(tally, *phone, 20);
    EXPECT_TRUE(phone->Output().find("received MESSAGE_STARTSTREAM: format index 0") != std::string::npos);
    EXPECT_TRUE(log.Has("info: ConnectionManager state change: IDLE -> WIFI CONNECTING"));
    EXPECT_TRUE(log.Has("info: ConnectionManager state change: WIFI CONNECTING -> WIFI CONNECTED"));
    EXPECT_TRUE(log.Has("info: ConnectionManager state change: WIFI CONNECTED -> IDLE"));
}

TEST(connection_manager_phonesim, the_service_connects_out_to_the_phone_found_through_dns_sd)
{
    std::string skipReason;
    std::unique_ptr<test::AvahiEnvironment> avahi = test::AvahiEnvironment::Start(skipReason);
    if (!avahi)
        TALVIK_SKIP_MISSING() << skipReason;
    if (!avahi->hostLookups())
        TALVIK_SKIP_MISSING() << "libnss-mdns does not resolve " << avahi->hostName() << " here";
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);

    test::LogRecorder log;
    Tally tally;
    auto phone = test::StartPhonesim({"listen", "--frames", "10", "--duration", "30"}, avahi->ChildEnvironment());
    ASSERT_TRUE(test::WaitForListeningPort(*phone, 5s)) << phone->Output();
    ConnectionManager::Options options = WifiOnly(test::UvPeer::FreePort());
    options.dnsSdLibrary = kDnsSdLibraryName;
    {
        RunningManager manager(tally, options);
        ASSERT_TRUE(manager.WaitFor(ConnectionState::kWifiConnected, 20s)) << phone->Output();
        EXPECT_EQ(phone->Wait(20s), 0) << phone->Output();
    }
    EXPECT_TRUE(log.Has("info: Connecting socket to client at IPv4 address 127.0.0.1 found using Bonjour.."));
    EXPECT_TRUE(log.Has("info: We have connected socket to client"));
    EXPECT_FALSE(log.Has("info: Accepted socket connection from client"));
    EXPECT_EQ(tally.connections(), std::vector<std::string>{"wifi"});
    ExpectFramesDelivered(tally, *phone, 10);
}

TEST(connection_manager_phonesim, a_usb_phone_streams_through_the_real_library)
{
    test::UsbmuxdSocket usbmuxd;
    auto phone = test::StartPhonesim({"usb", "--usbmuxd", usbmuxd.address(), "--frames", "20", "--duration", "30"});
    ASSERT_TRUE(phone->WaitForOutput("usbmuxd: listening on", 5s)) << phone->Output();

    test::LogRecorder log;
    Tally tally;
    ConnectionManager::Options options = WifiOnly(test::UvPeer::FreePort());
    options.usbmuxd = Usbmuxd();
    {
        RunningManager manager(tally, options);
        ASSERT_TRUE(manager.WaitFor(ConnectionState::kUsbConnected)) << phone->Output();
        EXPECT_TRUE(phone->WaitForOutput("ended", 20s)) << phone->Output();
        ASSERT_TRUE(manager.WaitFor(ConnectionState::kIdle));
    }
    EXPECT_EQ(phone->Wait(10s), 0) << phone->Output();
    EXPECT_EQ(tally.connections(), std::vector<std::string>{"usb"});
    EXPECT_EQ(tally.disconnects(), 1);
    ExpectFramesDelivered(tally, *phone, 20);
    EXPECT_TRUE(log.Has("info: ConnectionManager state change: IDLE -> USB CONNECTING"));
    EXPECT_TRUE(log.Has("info: ConnectionManager state change: USB CONNECTING -> USB CONNECTED"));
}

// A usbmuxd that accepts and never answers holds each library call for
// seconds; the loop thread must still take a WiFi phone at once.
TEST(connection_manager_phonesim, a_silent_usbmuxd_does_not_hold_up_a_wifi_phone)
{
    test::UsbmuxdSocket address;
    SilentUsbmuxd usbmuxd(address.path());
    ASSERT_TRUE(usbmuxd.ok());

    test::LogRecorder log;
    Tally tally;
    ConnectionManager::Options options = WifiOnly(test::UvPeer::FreePort());
    options.usbmuxd = Usbmuxd();
    RunningManager manager(tally, options);
    ASSERT_TRUE(
        test::WaitUntil([&] { return log.Has("trace: USB: usbmuxd is slow to answer the device listing"); }, 5s))
        << "the device listing never began";
    test::UvPeer phone;
    ASSERT_TRUE(phone.Connect(options.port));
    const auto delay = manager.WaitFor(ConnectionState::kWifiConnecting);
    ASSERT_TRUE(delay) << "never taken";
    std::printf("TCP connect to WIFI CONNECTING with a silent usbmuxd: %lld ms\n", static_cast<long long>(delay->count()));
    EXPECT_LT(delay->count(), 1000) << "the loop thread waited on usbmuxd";
}
