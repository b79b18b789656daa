// The connection manager over real loopback TCP: sessions in and out,
// time-outs at their boundary, stream requests, and the ways back to IDLE.
// The test drives the loop passes itself, with the clock in its hand.
#include "session/connection_manager.h"
#include "session/messages.h"
#include "tests/session/recording_session.h"
#include "tests/session/stream_builder.h"
#include "tests/support/log_recorder.h"
#include "tests/support/uv_peer.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace talvik;
using talvik::test::AnnouncementMessage;
using talvik::test::AnnouncementFields;
using talvik::test::Bytes;
using talvik::test::LogRecorder;
using talvik::test::RecordingSession;
using talvik::test::UvPeer;

namespace {

const AnnouncementFields kCamera{201, 0, {{640, 480, 1, 30.0f}, {1280, 720, 1, 30.0f}}, {}, {0, 2}, {}};

class WifiTest : public ::testing::Test {
protected:
    void Make(bool dynamicFormatChange = false)
    {
        announcement_ = kCamera;
        announcement_.capabilities = dynamicFormatChange ? 0x10 : 0;
        ConnectionManager::Options options;
        options.port = port_;
        options.usbmuxd = nullptr;
        options.dnsSdLibrary = "talvik-no-such-dns-sd-library";
        options.startLoopThread = false;
        options.idlePause = false;
        manager_ = std::make_unique<ConnectionManager>(&observer_, options);
        manager_->Tick(now_);
    }

    // One engine tick and one loop pass, `advance` ms later.
    void Pass(std::uint32_t advance = 16)
    {
        now_ += advance;
        manager_->Tick(now_);
        manager_->RunLoopPass();
    }

    // Loop passes with the clock standing still until `done` (or 3 s).
    template <typename Done>
    bool PassUntil(Done done)
    {
        return test::WaitUntil(
            [&] {
                if (done())
                    return true;
                manager_->RunLoopPass();
                return done();
            },
            std::chrono::seconds(3), std::chrono::milliseconds(1));
    }

    bool InState(ConnectionState state)
    {
        return PassUntil([&] { return manager_->state() == state; });
    }

    // A phone that connects in and announces itself; the engine's answer is
    // a request for `requested` made from inside OnConnectionReceived.
    void Announced(UvPeer& phone, ClientFormat requested = {1280, 720, 30, 1})
    {
        observer_.onCall = [&, requested](const std::string& line) {
            if (line.rfind("OnConnectionReceived", 0) == 0)
                manager_->StartStreaming(requested);
        };
        ASSERT_TRUE(phone.Connect(port_));
        ASSERT_TRUE(InState(ConnectionState::kWifiConnecting));
        ASSERT_TRUE(phone.Send(AnnouncementMessage(announcement_)));
        ASSERT_TRUE(InState(ConnectionState::kWifiConnected));
    }

    Bytes ExpectedRequest(ClientFormat requested)
    {
        const Bytes message = AnnouncementMessage(announcement_);
        StartStreamMessage request = BuildStartStream(Announcement(message.data() + kMessageHeaderSize), requested);
        return Bytes(request.begin(), request.end());
    }

    LogRecorder log_;
    RecordingSession observer_{ConnectionState::kIdle};
    std::uint16_t port_ = UvPeer::FreePort();
    std::uint32_t now_ = 5000;
    AnnouncementFields announcement_;
    std::unique_ptr<ConnectionManager> manager_;
};

} // namespace

TEST_F(WifiTest, a_phone_connects_announces_and_is_asked_to_stream)
{
    Make();
    EXPECT_TRUE(log_.Has("error: Bonjour not available"));
    EXPECT_TRUE(log_.Has("info: StartLookingForConnections"));
    UvPeer phone;
    Announced(phone);
    EXPECT_TRUE(log_.Has("info: Accepted socket connection from client"));
    EXPECT_TRUE(log_.Has("info: ConnectionManager state change: IDLE -> WIFI CONNECTING"));
    EXPECT_TRUE(log_.Has("info: ConnectionManager state change: WIFI CONNECTING -> WIFI CONNECTED"));
    EXPECT_TRUE(log_.Has("info: StartStreaming: 1280 x 720 at 30 fps"));
    EXPECT_FALSE(log_.Has("info: Client supports dynamic format change")) << "the first request is never tested";
    EXPECT_EQ(phone.Receive(28), ExpectedRequest({1280, 720, 30, 1}));

    ASSERT_TRUE(phone.Send(talvik::test::VideoMessage(0x11, {1, 2, 3})));
    ASSERT_TRUE(PassUntil([&] { return observer_.events.size() >= 2; }));
    EXPECT_EQ(observer_.events.at(0), "OnConnectionReceived(wifi, 640x480@30/1 1280x720@30/1)");
    EXPECT_EQ(observer_.events.at(1), "OnVideoData(3, 3) 010203");

    // Over WiFi the service sends no keep-alive, however long it runs.
    for (int i = 0; i < 40; ++i) {
        Pass(100);
        ASSERT_TRUE(phone.Send(talvik::test::Header(MESSAGE_KEEPALIVE, 0)));
    }
    EXPECT_TRUE(phone.Receive(1, 200).empty());
}

TEST_F(WifiTest, a_silent_phone_times_out_after_more_than_2000_ms)
{
    Make();
    UvPeer phone;
    ASSERT_TRUE(phone.Connect(port_));
    ASSERT_TRUE(InState(ConnectionState::kWifiConnecting));
    const std::uint32_t connected = now_;
    now_ = connected + 1999;
    Pass(1);
    EXPECT_EQ(manager_->state(), ConnectionState::kWifiConnecting) << "exactly 2000 ms is not yet a time-out";
    Pass(1);
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_EQ(log_.Count("error: Socket read timeout"), 1);
    EXPECT_TRUE(phone.WaitClosed());
    EXPECT_TRUE(observer_.events.empty()) << "no ConnectionDisconnected before an announcement";
}

TEST_F(WifiTest, a_second_phone_is_not_accepted_during_a_session)
{
    Make();
    UvPeer first, second;
    Announced(first);
    EXPECT_FALSE(second.Connect(port_, 500)) << "nothing listens during a session";
    for (int i = 0; i < 5; ++i)
        Pass();
    EXPECT_EQ(manager_->state(), ConnectionState::kWifiConnected);
    EXPECT_EQ(log_.Count("info: Accepted socket connection from client"), 1);
}

TEST_F(WifiTest, the_end_of_the_stream_ends_an_announced_session)
{
    Make();
    {
        UvPeer phone;
        Announced(phone);
    }
    ASSERT_TRUE(InState(ConnectionState::kIdle));
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()");
    bool logged = false;
    for (const std::string& line : log_.Lines())
        logged = logged || (line.rfind("error: Engine on_socket_read (", 0) == 0);
    EXPECT_TRUE(logged);

    UvPeer again;
    EXPECT_TRUE(again.Connect(port_)) << "looking starts again at once";
    EXPECT_TRUE(InState(ConnectionState::kWifiConnecting));
}

TEST_F(WifiTest, invalid_data_ends_a_tcp_session)
{
    Make();
    UvPeer phone;
    Announced(phone);
    ASSERT_TRUE(phone.Send(talvik::test::Header(MESSAGE_VIDEODATA, 4, 0xDEC0ADDE)));
    ASSERT_TRUE(InState(ConnectionState::kIdle));
    EXPECT_TRUE(log_.Has("error: Invalid data received"));
    EXPECT_TRUE(log_.Has("trace: Invalid data received"));
    EXPECT_TRUE(phone.WaitClosed());
}

TEST_F(WifiTest, stream_requests_follow_the_dynamic_format_change_rule)
{
    Make(/*dynamicFormatChange=*/true);
    manager_->StartStreaming({640, 480, 30, 1});
    Pass();

    UvPeer phone;
    Announced(phone);
    EXPECT_EQ(phone.Receive(28), ExpectedRequest({1280, 720, 30, 1})) << "IDLE sent nothing before";

    // From the engine's own thread: carried out by the loop's next pass.
    std::thread([&] { manager_->StartStreaming({640, 480, 30, 1}); }).join();
    Pass();
    EXPECT_TRUE(log_.Has("info: Client supports dynamic format change"));
    EXPECT_EQ(phone.Receive(28), ExpectedRequest({640, 480, 30, 1}));
    EXPECT_EQ(manager_->state(), ConnectionState::kWifiConnected);
}

TEST_F(WifiTest, a_phone_without_dynamic_format_change_is_reconnected)
{
    Make(/*dynamicFormatChange=*/false);
    UvPeer phone;
    Announced(phone);
    EXPECT_EQ(phone.Receive(28).size(), 28u);

    std::thread([&] { manager_->StartStreaming({640, 480, 30, 1}); }).join();
    Pass();
    EXPECT_TRUE(log_.Has("info: StartStreaming: 640 x 480 at 30 fps requires reconnect, disconnecting.."));
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()");
    EXPECT_TRUE(phone.WaitClosed());
    EXPECT_TRUE(phone.Receive(1, 100).empty()) << "no request was sent";
}

TEST_F(WifiTest, outbound_connects_race_and_only_the_first_becomes_the_session)
{
    Make();
    UvPeer first, second;
    ASSERT_TRUE(first.Listen());
    ASSERT_TRUE(second.Listen());
    manager_->BonjourAddressResolved("127.0.0.1", first.port(), false);
    manager_->BonjourAddressResolved("127.0.0.1", second.port(), false);
    EXPECT_TRUE(log_.Has("info: Connecting socket to client at IPv4 address 127.0.0.1 found using Bonjour.."));
    ASSERT_TRUE(InState(ConnectionState::kWifiConnecting));
    EXPECT_EQ(log_.Count("info: We have connected socket to client"), 1);
    first.Accept(500);
    second.Accept(500);
    for (int i = 0; i < 5; ++i)
        Pass();
    // Exactly one of the two connections is left open.
    EXPECT_NE(first.WaitClosed(300), second.WaitClosed(300));

    manager_->BonjourAddressResolved("127.0.0.1", first.port(), false);
    EXPECT_EQ(log_.Count("info: Connecting socket to client at IPv4 address 127.0.0.1 found using Bonjour.."), 2)
        << "no new connect during a session";
}

// The product's threading: the loop thread runs by itself while this thread
// plays the engine, ticking and asking for a new format. Run under
// ThreadSanitizer by the test command.
TEST(connection_manager_threads, engine_thread_and_loop_thread_share_only_what_they_hand_over)
{
    LogRecorder log;
    RecordingSession observer{ConnectionState::kIdle};
    ConnectionManager::Options options;
    options.port = UvPeer::FreePort();
    options.usbmuxd = nullptr;
    options.dnsSdLibrary = "talvik-no-such-dns-sd-library";
    AnnouncementFields fields = kCamera;
    fields.capabilities = 0x10;
    std::uint32_t now = 0;
    {
        ConnectionManager manager(&observer, options);
        // The engine's ticks, 16 ms of engine clock each, until `done`.
        const auto tickUntil = [&](const std::function<bool()>& done) {
            return test::WaitUntil(
                [&] {
                    now += 16;
                    manager.Tick(now);
                    return done();
                },
                std::chrono::seconds(3), std::chrono::milliseconds(2));
        };
        manager.Tick(now += 16);
        UvPeer phone;
        ASSERT_TRUE(phone.Connect(options.port));
        tickUntil([&] { return manager.state() == ConnectionState::kWifiConnecting; });
        ASSERT_TRUE(phone.Send(AnnouncementMessage(fields)));
        ASSERT_TRUE(tickUntil([&] { return manager.state() == ConnectionState::kWifiConnected; }));

        manager.StartStreaming({640, 480, 30, 1});
        UvPeer::Bytes request;
        tickUntil([&] {
            UvPeer::Bytes more = phone.Receive(28, 1);
            request.insert(request.end(), more.begin(), more.end());
            return request.size() >= 28;
        });
        EXPECT_EQ(request.size(), 28u);
        EXPECT_FALSE(manager.hasUsbConnection());

        // Silence: the time-out found by the engine's tick ends the session
        // on the loop thread.
        EXPECT_TRUE(tickUntil([&] { return manager.state() == ConnectionState::kIdle; }));
    }
    EXPECT_TRUE(log.Has("error: Socket read timeout"));
    EXPECT_TRUE(log.Has("trace: ConnectionManager loop finished"));
}

TEST_F(WifiTest, a_taken_port_is_tried_again_while_idle_with_its_failure_logged_once)
{
    auto holder = std::make_unique<UvPeer>();
    ASSERT_TRUE(holder->Listen());
    port_ = holder->port();
    Make();
    for (int i = 0; i < 3; ++i)
        Pass(3001);
    int failures = 0;
    for (const std::string& line : log_.Lines())
        failures += line.rfind("error: uv_tcp_bind failed: ", 0) == 0 || line.rfind("error: uv_listen failed: ", 0) == 0;
    EXPECT_EQ(failures, 1);

    holder.reset();
    Pass(3000);
    UvPeer phone;
    EXPECT_FALSE(phone.Connect(port_, 300)) << "not before the discovery-restart cadence";
    Pass(1);
    ASSERT_TRUE(phone.Connect(port_));
    EXPECT_TRUE(InState(ConnectionState::kWifiConnecting));
}

TEST_F(WifiTest, stopping_frees_every_socket_the_server_and_a_connect_in_flight_included)
{
    Make();
    UvPeer phone;
    ASSERT_TRUE(phone.Listen());
    manager_->BonjourAddressResolved("127.0.0.1", phone.port(), false);
    manager_.reset();
    int opened = 0, closed = 0;
    std::string last;
    for (const std::string& line : log_.Lines()) {
        opened += line.rfind("trace: malloc tcp server: ", 0) == 0 || line.rfind("trace: malloc socket: ", 0) == 0;
        closed += line.rfind("trace: on_close: ", 0) == 0;
        if (line.rfind("trace: free ", 0) == 0)
            last = line.substr(line.rfind(','));
        EXPECT_EQ(line.rfind("error: uv_loop_close failed", 0), std::string::npos) << line;
    }
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(closed, 2);
    EXPECT_EQ(last, ", pending 0");
}
