// Discovery as the connection manager drives it, against the fake DNS-SD
// library: the resolve restarts every 3 s while looking (not at exactly
// 3000 ms), a resolved phone is connected to, and the resolve stops for the
// session and stays stopped while it lasts; a host name that nobody answers
// holds up nothing else.
#include "session/connection_manager.h"

#include "base/dynamic_library.h"
#include "tests/session/recording_session.h"
#include "tests/session/stream_builder.h"
#include "tests/support/log_recorder.h"
#include "tests/support/uv_peer.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#ifndef _WIN32
#include <dlfcn.h>
#include <netdb.h>
#endif

using namespace talvik;
using talvik::test::LogRecorder;
using talvik::test::RecordingSession;
using talvik::test::UvPeer;

namespace {

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A manager on a free port with the fake DNS-SD library and no USB, driven
// pass by pass by the test.
ConnectionManager::Options FakeDnsSdOptions()
{
    ConnectionManager::Options options;
    options.port = UvPeer::FreePort();
    options.usbmuxd = nullptr;
    options.dnsSdLibrary = FAKE_DNSSD_PATH;
    options.startLoopThread = false;
    options.idlePause = false;
    return options;
}

#ifndef _WIN32
// The name "unanswered" is looked up like an mDNS name whose owner is gone:
// no answer until the test lets it fail.
std::mutex g_lookupGate;
std::condition_variable g_lookupGateOpened;
bool g_lookupAnswered = false;
#endif

} // namespace

#ifndef _WIN32
// Stands in for the C library's, for the whole test program.
extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node, const char* service,
                                                                  const addrinfo* hints, addrinfo** result) noexcept
{
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, "unanswered") == 0) {
        std::unique_lock<std::mutex> lock(g_lookupGate);
        g_lookupGateOpened.wait_for(lock, std::chrono::seconds(10), [] { return g_lookupAnswered; });
        return EAI_AGAIN;
    }
    return real(node, service, hints, result);
}

TEST(connection_manager_discovery, an_unanswered_host_name_holds_up_no_path)
{
    std::unique_ptr<DynamicLibrary> control = DynamicLibrary::Open(FAKE_DNSSD_PATH);
    void (*reset)() = nullptr;
    void (*reply)(int, const char*, std::uint16_t) = nullptr;
    ASSERT_TRUE(control->Bind("fake_dnssd_reset", reset) && control->Bind("fake_dnssd_reply", reply));
    reset();

    LogRecorder log;
    RecordingSession observer{ConnectionState::kIdle};
    const ConnectionManager::Options options = FakeDnsSdOptions();
    ConnectionManager manager(&observer, options);
    manager.Tick(1000);
    reply(0, "unanswered.local.", 5055);
    for (int i = 0; i < 3; ++i)
        manager.RunLoopPass();

    const auto start = std::chrono::steady_clock::now();
    UvPeer phone;
    ASSERT_TRUE(phone.Connect(options.port));
    test::WaitUntil(
        [&] {
            manager.RunLoopPass();
            return manager.state() != ConnectionState::kIdle;
        },
        std::chrono::seconds(3), std::chrono::milliseconds(0));
    EXPECT_EQ(manager.state(), ConnectionState::kWifiConnecting);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    std::lock_guard<std::mutex> lock(g_lookupGate);
    g_lookupAnswered = true;
    g_lookupGateOpened.notify_all();
}
#endif

TEST(connection_manager_discovery, the_resolve_restarts_every_3_s_while_idle_and_stops_for_a_session)
{
    std::unique_ptr<DynamicLibrary> control = DynamicLibrary::Open(FAKE_DNSSD_PATH);
    void (*reset)() = nullptr;
    const char* (*calls)() = nullptr;
    void (*reply)(int, const char*, std::uint16_t) = nullptr;
    ASSERT_TRUE(control->Bind("fake_dnssd_reset", reset) && control->Bind("fake_dnssd_calls", calls) &&
                control->Bind("fake_dnssd_reply", reply));
    reset();

    LogRecorder log;
    RecordingSession observer{ConnectionState::kIdle};
    const ConnectionManager::Options options = FakeDnsSdOptions();
    ConnectionManager manager(&observer, options);
    std::uint32_t now = 5000;
    manager.Tick(now);
    const std::string started = calls();
    EXPECT_EQ(Count(started, "Register(0,0,-,_vidreloserver._tcp.,-,-," + std::to_string(options.port) + ",0)"), 1)
        << "the port listened on is the one registered";
    EXPECT_EQ(Count(started, "Resolve("), 1);

    auto passUntil = [&](std::uint32_t until) {
        std::string made;
        for (; now <= until; now += 250) {
            manager.Tick(now);
            manager.RunLoopPass();
            made += std::string(" ") + calls();
        }
        now -= 250;
        return made;
    };
    // The clock was 0 when looking began: the first pass restarts at once.
    manager.RunLoopPass();
    EXPECT_EQ(Count(calls(), "Deallocate(resolve) Resolve("), 1);
    now += 250;

    std::string made = passUntil(8000);
    EXPECT_EQ(Count(made, "Resolve("), 0) << "exactly 3000 ms is not yet a restart";
    EXPECT_GT(Count(made, "SockFD"), 0) << "polled on every pass";
    now = 8001;
    made = passUntil(8001);
    EXPECT_EQ(Count(made, "Deallocate(resolve) Resolve("), 1);

    // The phone is resolved to a listening peer and connected to.
    UvPeer phone;
    ASSERT_TRUE(phone.Listen());
    reply(0, "127.0.0.1", phone.port());
    test::WaitUntil(
        [&] {
            manager.RunLoopPass();
            return manager.state() != ConnectionState::kIdle;
        },
        std::chrono::seconds(3), std::chrono::milliseconds(1));
    ASSERT_EQ(manager.state(), ConnectionState::kWifiConnecting);
    EXPECT_EQ(Count(calls(), "Deallocate(resolve)"), 1) << "the resolve stops for the session";
    EXPECT_TRUE(log.Has("trace: Bonjour stopped"));

    // The phone keeps the session up with bare keep-alives past a restart
    // time: nothing is resolved meanwhile.
    ASSERT_TRUE(phone.Accept(500));
    made.clear();
    for (int i = 0; i < 20; ++i) {
        now += 250;
        ASSERT_TRUE(phone.Send(talvik::test::Header(MESSAGE_KEEPALIVE, 0)));
        // Pacing, not a wait: a moment for the keep-alive to reach the
        // socket; one that comes late is read by the next pass, far inside
        // the 2000 ms time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        manager.RunLoopPass();
        manager.Tick(now);
        made += calls();
    }
    EXPECT_EQ(manager.state(), ConnectionState::kWifiConnecting);
    EXPECT_EQ(Count(made, "Resolve("), 0);
}
