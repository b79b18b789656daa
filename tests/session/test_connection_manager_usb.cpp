// The connection manager's USB path against a scripted libusbmuxd: a phone
// found by listing, keep-alives paced by the packets, the ways a USB session
// ends, and TCP taking precedence over USB while looking. The test plays
// both the engine (the clock) and the loop thread (the passes); a receive
// that finds nothing queued stands for the time a real one waits, and is
// where the script advances the clock.
#include "session/connection_manager.h"
#include "session/messages.h"
#include "tests/session/recording_session.h"
#include "tests/session/scripted_usbmuxd.h"
#include "tests/session/stream_builder.h"
#include "tests/support/log_recorder.h"
#include "tests/support/uv_peer.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <string>

using namespace talvik;
using talvik::test::AnnouncementFields;
using talvik::test::AnnouncementMessage;
using talvik::test::Bytes;
using talvik::test::LogRecorder;
using talvik::test::RecordingSession;
using talvik::test::ScriptedDevice;
using talvik::test::ScriptedUsbmuxd;
using talvik::test::UsbFrameHeader;
using talvik::test::UvPeer;

namespace {

const AnnouncementFields kCamera{201, 0, {{1280, 720, 1, 30.0f}}, {}, {0, 2}, {}};
constexpr ClientFormat kRequested{1280, 720, 30, 1};

// A message as the phone sends it over USB: one frame per message.
std::string Frame(const Bytes& message)
{
    return UsbFrameHeader(std::uint32_t(message.size())) + std::string(message.begin(), message.end());
}

// What the service sends over USB: a big-endian length, then the message.
template <typename Message>
std::string SentFrame(const Message& message)
{
    const auto n = std::uint32_t(message.size());
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + std::string(message.begin(), message.end());
}

class UsbSessionTest : public ::testing::Test {
protected:
    UsbSessionTest()
    {
        usbmuxd_.devices = {ScriptedDevice(3, 0x12a8)};
        ConnectionManager::Options options;
        options.port = port_;
        options.usbmuxd = &ScriptedUsbmuxd::Binding();
        options.dnsSdLibrary = "talvik-no-such-dns-sd-library";
        options.startLoopThread = false;
        options.idlePause = false;
        manager_ = std::make_unique<ConnectionManager>(&observer_, options);
        manager_->Tick(now_);
        observer_.onCall = [this](const std::string& line) {
            if (line.rfind("OnConnectionReceived", 0) == 0)
                manager_->StartStreaming(kRequested);
        };
    }

    void Tick(std::uint32_t now)
    {
        now_ = now;
        manager_->Tick(now_);
    }

    // The phone's announcement arrives while the first receive waits, 100 ms
    // into it; every later receive runs `then`.
    void AnnounceThen(std::function<void()> then, const AnnouncementFields& announcement = kCamera)
    {
        usbmuxd_.whenEmpty = [this, then, announcement] {
            Tick(now_ + 100);
            usbmuxd_.incoming.push_back(Frame(AnnouncementMessage(announcement)));
            usbmuxd_.whenEmpty = then;
        };
    }

    std::string RequestFrame(const AnnouncementFields& fields = kCamera, ClientFormat requested = kRequested) const
    {
        const Bytes announcement = AnnouncementMessage(fields);
        return SentFrame(BuildStartStream(Announcement(announcement.data() + kMessageHeaderSize), requested));
    }

    ScriptedUsbmuxd usbmuxd_;
    LogRecorder log_;
    RecordingSession observer_{ConnectionState::kIdle};
    std::uint16_t port_ = UvPeer::FreePort();
    std::uint32_t now_ = 5000;
    std::unique_ptr<ConnectionManager> manager_;
};

} // namespace

TEST_F(UsbSessionTest, a_listed_phone_is_connected_announces_and_is_asked_to_stream)
{
    AnnounceThen([this] { usbmuxd_.incoming.push_back(UsbFrameHeader(0)); });
    EXPECT_TRUE(manager_->hasUsbConnection());
    manager_->RunLoopPass();

    EXPECT_EQ(usbmuxd_.connectHandles, std::vector<std::uint32_t>{3});
    EXPECT_EQ(manager_->state(), ConnectionState::kUsbConnected);
    EXPECT_TRUE(log_.Has("info: ConnectionManager state change: IDLE -> USB CONNECTING"));
    EXPECT_TRUE(log_.Has("info: ConnectionManager state change: USB CONNECTING -> USB CONNECTED"));
    EXPECT_EQ(observer_.events.at(0), "OnConnectionReceived(usb, 1280x720@30/1)");
    EXPECT_EQ(usbmuxd_.wire, RequestFrame()) << "the request, framed, and no keep-alive yet";
    EXPECT_TRUE(manager_->hasUsbConnection());
    EXPECT_EQ(manager_->usbValidDeviceCount(), 1);

    UvPeer phone;
    EXPECT_FALSE(phone.Connect(port_, 300)) << "TCP is not listened for during a USB session";
}

TEST_F(UsbSessionTest, with_a_packet_every_100_ms_every_third_one_is_answered_with_a_keepalive)
{
    // After the announcement, 13 video packets 100 ms apart; each receive
    // notes how many keep-alives had gone out before it. The keep-alive
    // interval is more than 250 ms, so every third packet is answered.
    const std::size_t requestSize = RequestFrame().size();
    const std::string keepalive = SentFrame(BuildKeepalive());
    std::vector<std::size_t> keepalivesBefore;
    AnnounceThen([&] {
        if (keepalivesBefore.size() == 14)
            return;
        keepalivesBefore.push_back((usbmuxd_.wire.size() - requestSize) / keepalive.size());
        if (keepalivesBefore.size() == 14)
            return;
        Tick(now_ + 100);
        usbmuxd_.incoming.push_back(Frame(talvik::test::VideoMessage(0, {1, 2, 3})));
    });
    for (int pass = 0; pass < 10 && usbmuxd_.incoming.empty() && keepalivesBefore.size() <= 13; ++pass)
        manager_->RunLoopPass();

    ASSERT_EQ(keepalivesBefore.size(), 14u);
    // Entry k counts the keep-alives sent after the first k video packets.
    std::vector<std::size_t> answered;
    for (std::size_t k = 1; k < keepalivesBefore.size(); ++k)
        if (keepalivesBefore[k] != keepalivesBefore[k - 1])
            answered.push_back(k);
    EXPECT_EQ(answered, (std::vector<std::size_t>{3, 6, 9, 12}));
    std::string expected = RequestFrame();
    for (int i = 0; i < 4; ++i)
        expected += keepalive;
    EXPECT_EQ(usbmuxd_.wire, expected);
    EXPECT_EQ(observer_.events.size(), 1u + 13u + 1u);

    // The script ran dry: the receive failed and the session ended.
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_TRUE(log_.Has("trace: Error reading USB"));
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()");
    EXPECT_EQ(usbmuxd_.disconnected, std::vector<int>{7});
    EXPECT_EQ(usbmuxd_.subscribes, 1) << "looking starts again on the same subscription";
}

TEST_F(UsbSessionTest, only_empty_frames_time_out_after_more_than_2000_ms)
{
    // One empty frame per pass, arriving as the clock reaches `clock`.
    std::uint32_t clock = 0;
    AnnounceThen([&] {
        if (clock != 0)
            Tick(clock);
        usbmuxd_.incoming.push_back(UsbFrameHeader(0));
    });
    manager_->RunLoopPass();
    ASSERT_EQ(manager_->state(), ConnectionState::kUsbConnected);
    const std::uint32_t received = 5100; // when the announcement came in

    clock = received + 2000;
    manager_->RunLoopPass();
    EXPECT_EQ(manager_->state(), ConnectionState::kUsbConnected) << "exactly 2000 ms is not yet a time-out";
    clock = received + 2001;
    manager_->RunLoopPass();
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_EQ(log_.Count("error: Timeout reading USB: 2001 / 2000"), 1);
    EXPECT_FALSE(log_.Has("error: Socket read timeout"));
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()");
}

TEST_F(UsbSessionTest, invalid_data_and_failed_sends_end_a_usb_session)
{
    // A message with a bad magic, after the announcement.
    AnnounceThen([this] {
        usbmuxd_.incoming.push_back(Frame(talvik::test::Header(MESSAGE_VIDEODATA, 0, 0x12345678)));
        usbmuxd_.whenEmpty = nullptr;
    });
    manager_->RunLoopPass();
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_TRUE(log_.Has("trace: Invalid data received"));
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()");

    // The stream request cannot be sent.
    observer_.events.clear();
    usbmuxd_.sendCalls = 0;
    usbmuxd_.sendResults = {-32};
    AnnounceThen([this] { usbmuxd_.incoming.push_back(UsbFrameHeader(0)); });
    Tick(now_ + 16);
    manager_->RunLoopPass();
    EXPECT_EQ(manager_->state(), ConnectionState::kIdle);
    EXPECT_TRUE(log_.Has("error: USB write failed"));
    EXPECT_EQ(observer_.events.back(), "ConnectionDisconnected()") << "it was told of the connection";
}

TEST_F(UsbSessionTest, a_tcp_connection_wins_over_a_ready_usb_packet_in_the_same_pass)
{
    usbmuxd_.incoming.push_back(Frame(AnnouncementMessage(kCamera)));
    UvPeer phone;
    ASSERT_TRUE(phone.Connect(port_));
    manager_->RunLoopPass();

    EXPECT_EQ(manager_->state(), ConnectionState::kWifiConnecting);
    EXPECT_TRUE(usbmuxd_.asked.empty()) << "USB is not read once TCP carries the session";
    EXPECT_EQ(usbmuxd_.incoming.size(), 1u);
    EXPECT_EQ(usbmuxd_.unsubscribes, 0);
    EXPECT_FALSE(manager_->hasUsbConnection());
    EXPECT_EQ(manager_->usbValidDeviceCount(), -1);
    EXPECT_FALSE(log_.Has("info: ConnectionManager state change: IDLE -> USB CONNECTING"));
}

TEST_F(UsbSessionTest, a_request_from_the_engine_thread_cuts_the_usb_read_short)
{
    // Requests are handed to the loop thread; over USB it must not wait for
    // a read that can take 500 ms: the read gives way, and the next pass
    // sends the request before it reads on.
    AnnouncementFields fields = kCamera;
    fields.capabilities = 0x10; // format changes while streaming
    fields.formats = {{640, 480, 1, 30.0f}, {1280, 720, 1, 30.0f}};
    constexpr ClientFormat kSmaller{640, 480, 30, 1};
    int packets = 0;
    AnnounceThen(
        [&] {
            if (++packets == 1)
                std::thread([&] { manager_->StartStreaming(kSmaller); }).join();
            usbmuxd_.incoming.push_back(Frame(talvik::test::VideoMessage(0, {1})));
        },
        fields);
    manager_->RunLoopPass();
    EXPECT_EQ(usbmuxd_.wire, RequestFrame(fields)) << "the read gave way inside the packet";
    EXPECT_EQ(observer_.events.size(), 1u);
    manager_->RunLoopPass();

    EXPECT_EQ(usbmuxd_.wire, RequestFrame(fields) + RequestFrame(fields, kSmaller));
    EXPECT_EQ(observer_.events.at(1).rfind("OnVideoData(", 0), 0u) << "the packet begun, kept whole";
    EXPECT_TRUE(log_.Has("info: Client supports dynamic format change"));
    EXPECT_EQ(manager_->state(), ConnectionState::kUsbConnected);
}

TEST(connection_manager_usb_stop, stopping_during_a_usb_session_returns_within_a_second)
{
    // The phone sends a keep-alive every 450 ms: never silent long enough
    // for a read to fail, so a pass of five reads lasts over 2 s.
    ScriptedUsbmuxd usbmuxd;
    usbmuxd.devices = {ScriptedDevice(3, 0x12a8)};
    auto lastSent = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    usbmuxd.whenEmpty = [&] {
        // A receive with nothing to read lasts its whole slice, as usbmuxd's.
        std::this_thread::sleep_for(std::chrono::milliseconds(iOSUSBConnection::kReceiveSliceMs));
        if (std::chrono::steady_clock::now() - lastSent >= std::chrono::milliseconds(450)) {
            lastSent = std::chrono::steady_clock::now();
            usbmuxd.incoming.push_back(Frame(talvik::test::Header(MESSAGE_KEEPALIVE, 0)));
        }
    };
    LogRecorder log;
    RecordingSession observer{ConnectionState::kIdle};
    ConnectionManager::Options options;
    options.port = UvPeer::FreePort();
    options.usbmuxd = &ScriptedUsbmuxd::Binding();
    options.dnsSdLibrary = "talvik-no-such-dns-sd-library";
    auto manager = std::make_unique<ConnectionManager>(&observer, options);
    std::uint32_t now = 1000;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            manager->Tick(now);
            now += 16;
            return manager->state() != ConnectionState::kIdle;
        },
        std::chrono::seconds(5), std::chrono::milliseconds(16)));
    // The subject: a stop that comes while the loop is inside its reads.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto stop = std::chrono::steady_clock::now();
    manager.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(1));
}
