// Discovery with the real DNS-SD stack: avahi's compatibility library,
// loaded at run time as the service loads it, a private avahi-daemon, and
// the phone simulator (a separate process) registering "mobile". Driven as
// the connection manager drives it: a non-blocking pass every 100 ms and a
// restart every 3 s. The registration is checked with avahi-browse.
#include "session/bonjour_manager.h"

#include "tests/support/avahi_env.h"
#include "tests/support/log_recorder.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/skip.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <uv.h>

using namespace std::chrono_literals;
using namespace talvik;

namespace {

struct Resolved : BonjourManagerObserver {
    void BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6) override
    {
        if (!isIPv6)
            ipv4.emplace_back(address, port);
    }
    std::vector<std::pair<std::string, int>> ipv4;
};

} // namespace

TEST(bonjour_avahi, the_registered_phone_is_resolved_to_its_address_and_port)
{
    std::string skipReason;
    std::unique_ptr<test::AvahiEnvironment> avahi = test::AvahiEnvironment::Start(skipReason);
    if (!avahi)
        TALVIK_SKIP_MISSING() << skipReason;
    setenv("AVAHI_COMPAT_NOWARN", "1", 1);

    auto phonesim = test::StartPhonesim({"listen", "--duration", "30"}, avahi->ChildEnvironment());
    const std::optional<int> port = test::WaitForListeningPort(*phonesim, 5s);
    ASSERT_TRUE(port) << phonesim->Output();

    test::LogRecorder log;
    std::unique_ptr<DnsSdLibrary> library = DnsSdLibrary::Load();
    ASSERT_NE(library, nullptr) << "libdns_sd.so.1 (libavahi-compat-libdnssd1) is needed";
    Resolved observer;
    {
        uv_loop_t loop;
        ASSERT_EQ(uv_loop_init(&loop), 0);
        BonjourManager bonjour(library->binding(), &observer, &loop, 5055);
        bonjour.StartResolve();
        auto lastRestart = std::chrono::steady_clock::now();
        test::WaitUntil(
            [&] {
                if (std::chrono::steady_clock::now() - lastRestart > 3s) {
                    lastRestart = std::chrono::steady_clock::now();
                    bonjour.RestartResolve();
                }
                bonjour.ProcessEvents();
                bonjour.ResolveNextHost();
                uv_run(&loop, UV_RUN_DEFAULT);
                return !observer.ipv4.empty();
            },
            20s, 100ms);
        if (!avahi->hostLookups())
            TALVIK_SKIP_MISSING() << "libnss-mdns does not resolve " << avahi->hostName() << " here";
        ASSERT_FALSE(observer.ipv4.empty()) << "nothing resolved; simulator:\n" << phonesim->Output();
        EXPECT_EQ(observer.ipv4.front(), std::make_pair(std::string("127.0.0.1"), *port));
        EXPECT_TRUE(log.Has("info: getaddrinfo IPv4 '127.0.0.1':'" + std::to_string(*port) + "'"));

        // The other direction: the PC's own service is findable on 5055.
        test::HelperProcess browse("/usr/bin/avahi-browse", {"--parsable", "--terminate", "--resolve",
                                                              "_vidreloserver._tcp"},
                                   avahi->ChildEnvironment());
        EXPECT_TRUE(browse.WaitForOutput(";5055;", 10s)) << browse.Output();
        bonjour.StopResolve();
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
    }
    EXPECT_TRUE(log.Has("trace: ~BonjourManager done"));
    for (const std::string& line : log.Lines())
        EXPECT_EQ(line.rfind("error:", 0), std::string::npos) << line;
}
