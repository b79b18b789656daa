// Discovery against the fake DNS-SD library: binding, the exact sequence of
// library calls, the failed and stopped states, and the turning of resolved
// hosts into addresses (with the real system resolver, on numeric and
// unresolvable names only, so no network is needed).
#include "session/bonjour_manager.h"

#include "base/dynamic_library.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>
#include <uv.h>

#include <string>
#include <vector>

using talvik::BonjourManager;
using talvik::DnsSdLibrary;
using talvik::DynamicLibrary;
using talvik::test::LogRecorder;

namespace {

struct Recorder : talvik::BonjourManagerObserver {
    void BonjourAddressResolved(const char* address, std::uint16_t port, bool isIPv6) override
    {
        resolved.push_back(std::string(address) + " " + std::to_string(port) + (isIPv6 ? " v6" : " v4"));
    }
    std::vector<std::string> resolved;
};

class BonjourTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        library_ = DnsSdLibrary::Load(FAKE_DNSSD_PATH);
        ASSERT_NE(library_, nullptr);
        control_ = DynamicLibrary::Open(FAKE_DNSSD_PATH);
        ASSERT_TRUE(control_->Bind("fake_dnssd_reset", reset_) && control_->Bind("fake_dnssd_calls", calls_) &&
                    control_->Bind("fake_dnssd_fail", fail_) && control_->Bind("fake_dnssd_reply", reply_) &&
                    control_->Bind("fake_dnssd_live_refs", liveRefs_));
        reset_();
        ASSERT_EQ(uv_loop_init(&loop_), 0);
        bonjour_ = std::make_unique<BonjourManager>(library_->binding(), &observer_, &loop_, 5055);
        construction_ = Calls();
    }

    void TearDown() override
    {
        bonjour_.reset();
        EXPECT_EQ(liveRefs_(), 0) << "every reference is released by the destructor";
        EXPECT_EQ(uv_loop_close(&loop_), 0);
    }

    // Takes one host and waits for its lookup, as the owner's loop would.
    void LookUpNextHost()
    {
        bonjour_->ResolveNextHost();
        uv_run(&loop_, UV_RUN_DEFAULT);
    }

    // The calls made since the last look.
    std::string Calls() { return calls_(); }

    // Starts the resolve and delivers one reply to the queue.
    void Deliver(const char* host, std::uint16_t port = 5055)
    {
        bonjour_->StartResolve();
        reply_(0, host, port);
        bonjour_->ProcessEvents();
        Calls();
    }

    std::string construction_;
    Recorder observer_;
    LogRecorder log_;
    std::unique_ptr<DnsSdLibrary> library_;
    std::unique_ptr<DynamicLibrary> control_;
    uv_loop_t loop_;
    std::unique_ptr<BonjourManager> bonjour_;
    void (*reset_)() = nullptr;
    const char* (*calls_)() = nullptr;
    void (*fail_)(const char*, int) = nullptr;
    void (*reply_)(int, const char*, std::uint16_t) = nullptr;
    int (*liveRefs_)() = nullptr;
};

const std::string kResolve = "Resolve(0,0,mobile,_vidrelo._tcp.,local)";

} // namespace

TEST(bonjour_library, missing_library_or_entry_point_is_not_available)
{
    LogRecorder log;
    EXPECT_EQ(DnsSdLibrary::Load("talvik-no-such-dnssd-library"), nullptr);
    EXPECT_EQ(DnsSdLibrary::Load(FAKE_DNSSD_INCOMPLETE_PATH), nullptr);
    EXPECT_EQ(log.Count("error: Bonjour not available"), 2) << "once per attempt";
}

TEST_F(BonjourTest, registers_the_server_once_and_withdraws_it_at_destruction)
{
    EXPECT_EQ(construction_, "Register(0,0,-,_vidreloserver._tcp.,-,-,5055,0)");
    bonjour_->StartResolve();
    Calls();
    bonjour_.reset();
    EXPECT_EQ(Calls(), "Deallocate(resolve) Deallocate(register)");
    const auto lines = log_.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "trace: ~BonjourManager");
    EXPECT_EQ(lines.back(), "trace: ~BonjourManager done");
}

TEST_F(BonjourTest, process_events_polls_and_only_processes_a_readable_socket)
{
    bonjour_->StartResolve();
    EXPECT_EQ(Calls(), kResolve);
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "SockFD") << "nothing to read: no processing, no waiting";

    reply_(0, "127.0.0.1", 5055);
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "SockFD ProcessResult");
    LookUpNextHost();
    EXPECT_EQ(observer_.resolved, std::vector<std::string>{"127.0.0.1 5055 v4"});
    EXPECT_TRUE(log_.Has("info: getaddrinfo IPv4 '127.0.0.1':'5055'"));
}

TEST_F(BonjourTest, one_host_is_looked_up_per_pass)
{
    bonjour_->StartResolve();
    reply_(0, "127.0.0.2", 5055);
    reply_(0, "127.0.0.3", 6000);
    bonjour_->ProcessEvents();
    LookUpNextHost();
    EXPECT_EQ(observer_.resolved, std::vector<std::string>{"127.0.0.2 5055 v4"});
    LookUpNextHost();
    LookUpNextHost();
    EXPECT_EQ(observer_.resolved, (std::vector<std::string>{"127.0.0.2 5055 v4", "127.0.0.3 6000 v4"}));
}

TEST_F(BonjourTest, stop_releases_the_resolve_drops_queued_hosts_and_silences_processing)
{
    Deliver("127.0.0.1");
    bonjour_->StopResolve();
    EXPECT_EQ(Calls(), "Deallocate(resolve)");
    bonjour_->ProcessEvents();
    LookUpNextHost();
    EXPECT_EQ(Calls(), "");
    EXPECT_TRUE(observer_.resolved.empty());

    bonjour_->RestartResolve();
    EXPECT_EQ(Calls(), kResolve) << "a stopped resolve has nothing left to release";
    bonjour_->RestartResolve();
    EXPECT_EQ(Calls(), "Deallocate(resolve) " + kResolve);
}

TEST_F(BonjourTest, a_failed_resolve_waits_for_the_next_restart)
{
    fail_("Resolve", -65537);
    bonjour_->StartResolve();
    EXPECT_TRUE(log_.Has("error: DNSServiceResolve returned -65537"));
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), kResolve) << "failed: no polling";

    fail_("Resolve", 0);
    bonjour_->RestartResolve();
    EXPECT_EQ(Calls(), kResolve) << "what the failed call left is never released";
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "SockFD");
}

TEST_F(BonjourTest, a_processing_error_stops_processing_until_the_next_restart)
{
    bonjour_->StartResolve();
    fail_("ProcessResult", -65540);
    reply_(0, "127.0.0.1", 5055);
    bonjour_->ProcessEvents();
    EXPECT_TRUE(log_.Has("error: DNSServiceProcessResult failed: -65540"));
    Calls();
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "");

    bonjour_->RestartResolve();
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "Deallocate(resolve) " + kResolve + " SockFD");
}

TEST_F(BonjourTest, socket_and_reply_errors_are_logged_and_looking_goes_on)
{
    bonjour_->StartResolve();
    fail_("SockFD", -1);
    bonjour_->ProcessEvents();
    EXPECT_TRUE(log_.Has("error: DNSServiceRefSockFD failed"));
    fail_("SockFD", 0);
    reply_(-65549, "", 0);
    Calls();
    bonjour_->ProcessEvents();
    EXPECT_EQ(Calls(), "SockFD ProcessResult") << "the failed poll did not stop processing";
    EXPECT_TRUE(log_.Has("error: Error in resolve_reply: '-65549'"));
    LookUpNextHost();
    EXPECT_TRUE(observer_.resolved.empty()) << "an error reply queues nothing";
}

TEST_F(BonjourTest, the_local_suffix_is_dropped_before_the_lookup)
{
    // The whole text is not a numeric address; only the cut one resolves.
    Deliver("127.0.0.1.local.");
    LookUpNextHost();
    Deliver("::1", 48000);
    LookUpNextHost();
    EXPECT_EQ(observer_.resolved, (std::vector<std::string>{"127.0.0.1 5055 v4", "::1 48000 v6"}));
    EXPECT_TRUE(log_.Has("info: getaddrinfo IPv6 '::1':'48000'"));
}

TEST_F(BonjourTest, unresolvable_hosts_are_dropped_with_the_lookup_name_logged)
{
    // Labels longer than 63 characters fail at once, without asking any
    // resolver (an mDNS lookup of a name that nobody answers takes seconds).
    const std::string label(70, 'h');
    Deliver((label + ".local.").c_str());
    LookUpNextHost();
    Deliver(std::string(300, 'h').c_str());
    LookUpNextHost();
    EXPECT_TRUE(observer_.resolved.empty());

    std::vector<std::string> failures;
    for (const std::string& line : log_.Lines()) {
        if (line.rfind("error: getaddrinfo '", 0) == 0)
            failures.push_back(line.substr(0, line.find("' failed with error:'") + 1));
    }
    EXPECT_EQ(failures, (std::vector<std::string>{"error: getaddrinfo '" + label + "'",
                                                  "error: getaddrinfo '" + std::string(255, 'h') + "'"}))
        << "the cut name is logged; a long host keeps 255 characters";
}
