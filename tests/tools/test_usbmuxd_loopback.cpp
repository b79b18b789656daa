// The simulator's usbmuxd as Debian's libusbmuxd sees it: the real client
// library lists the simulated devices, follows their attach and detach
// events and opens the tunnel to port 5055, which carries the phone's
// stream in USB frames.
#include "tests/support/phonesim_process.h"
#include "tests/support/usbmuxd_socket.h"
#include "tests/support/wait_until.h"
#include "tests/tools/test_decoder.h"
#include "tools/phonesim/exit_codes.h"
#include "tools/phonesim/wire_writer.h"

#include <gtest/gtest.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

using namespace talvik::phonesim;
using namespace std::chrono_literals;
using talvik::test::HelperProcess;

namespace {

using Clock = std::chrono::steady_clock;

struct Events {
    std::mutex mutex;
    std::vector<std::pair<int, std::uint32_t>> seen;  // event kind, device handle

    static void Callback(const usbmuxd_event_t* event, void* context)
    {
        auto* events = static_cast<Events*>(context);
        std::lock_guard lock(events->mutex);
        events->seen.emplace_back(event->event, event->device.handle);
    }

    // Waits until `count` events arrived; returns them.
    std::vector<std::pair<int, std::uint32_t>> WaitFor(std::size_t count)
    {
        talvik::test::WaitUntil(
            [&] {
                std::lock_guard lock(mutex);
                return seen.size() >= count;
            },
            5s);
        std::lock_guard lock(mutex);
        return seen;
    }
};

std::uint32_t Be32(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes[at], 4);
    return value;
}

class UsbmuxdLoopback : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (tunnel_ > 0)
            usbmuxd_disconnect(tunnel_);
        if (subscription_ != nullptr)
            usbmuxd_events_unsubscribe(subscription_);
    }

    void Start(std::vector<std::string> options)
    {
        std::vector<std::string> arguments{"usb", "--usbmuxd", usbmuxd_.address(), "--duration", "30"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        phonesim_ = talvik::test::StartPhonesim(arguments);
        ASSERT_TRUE(phonesim_->WaitForOutput("usbmuxd: listening on", 5s)) << phonesim_->Output();
    }

    std::vector<usbmuxd_device_info_t> List()
    {
        usbmuxd_device_info_t* list = nullptr;
        const int count = usbmuxd_get_device_list(&list);
        EXPECT_GE(count, 0);
        std::vector<usbmuxd_device_info_t> devices(list, list + std::max(count, 0));
        usbmuxd_device_list_free(&list);
        return devices;
    }

    void Subscribe() { ASSERT_EQ(usbmuxd_events_subscribe(&subscription_, Events::Callback, &events_), 0); }

    // Exactly `count` bytes from the tunnel, or fewer when it ends first.
    Bytes Receive(std::size_t count)
    {
        Bytes bytes(count);
        std::size_t got = 0;
        while (got < count) {
            std::uint32_t received = 0;
            if (usbmuxd_recv_timeout(tunnel_, reinterpret_cast<char*>(bytes.data() + got),
                                     static_cast<std::uint32_t>(count - got), &received, 3000) != 0 ||
                received == 0)
                break;
            got += received;
        }
        bytes.resize(got);
        return bytes;
    }

    // One USB frame's body; checks the frame header.
    Bytes Frame()
    {
        const Bytes header = Receive(8);
        if (header.size() != 8) {
            ADD_FAILURE() << "no frame header\n" << phonesim_->Output();
            return {};
        }
        EXPECT_EQ(Bytes(header.begin(), header.begin() + 4), (Bytes{0xDE, 0xC0, 0xAD, 0xDE}));
        return Receive(Be32(header, 4));
    }

    // What the service sends: each message preceded by its big-endian length.
    void SendToPhone(const Bytes& message)
    {
        Bytes framed{0, 0, 0, static_cast<std::uint8_t>(message.size())};
        framed.insert(framed.end(), message.begin(), message.end());
        std::uint32_t sent = 0;
        ASSERT_EQ(usbmuxd_send(tunnel_, reinterpret_cast<const char*>(framed.data()),
                               static_cast<std::uint32_t>(framed.size()), &sent),
                  0);
        ASSERT_EQ(sent, framed.size());
    }

    void RequestStream()
    {
        Bytes request = WriteHeader(MESSAGE_STARTSTREAM, 12);
        request.insert(request.end(), {0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0});
        SendToPhone(request);
    }

    talvik::test::UsbmuxdSocket usbmuxd_;
    std::unique_ptr<HelperProcess> phonesim_;
    usbmuxd_subscription_context_t subscription_ = nullptr;
    Events events_;
    int tunnel_ = -1;
};

} // namespace

TEST_F(UsbmuxdLoopback, lists_valid_and_invalid_devices_in_order)
{
    Start({"--usb-device", "no-product-id", "--usb-device", "phone", "--usb-device", "zero-handle", "--usb-device",
           "idle"});
    const std::vector<usbmuxd_device_info_t> devices = List();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].handle, 1u);
    EXPECT_EQ(devices[0].product_id, 0u);
    EXPECT_EQ(devices[1].handle, 2u);
    EXPECT_NE(devices[1].product_id, 0u);
    EXPECT_EQ(std::strlen(devices[1].udid), 40u);
    EXPECT_EQ(devices[1].conn_type, CONNECTION_TYPE_USB);
    EXPECT_EQ(devices[2].handle, 0u);
    EXPECT_EQ(devices[3].handle, 4u);

    EXPECT_LT(usbmuxd_connect(devices[0].handle, 5055), 0) << "no app behind an invalid device";
    EXPECT_LT(usbmuxd_connect(devices[3].handle, 5055), 0) << "the app is not running";
    EXPECT_LT(usbmuxd_connect(devices[1].handle, 5056), 0) << "the app listens on 5055 only";
    EXPECT_LT(usbmuxd_connect(99, 5055), 0) << "no such device";
    tunnel_ = usbmuxd_connect(devices[1].handle, 5055);
    EXPECT_GT(tunnel_, 0);
}

TEST_F(UsbmuxdLoopback, subscribers_follow_attach_and_detach_commands)
{
    Start({"--usb-detached"});
    EXPECT_TRUE(List().empty());
    Subscribe();
    phonesim_->Write("attach 0\n");
    auto seen = events_.WaitFor(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(int(UE_DEVICE_ADD), 1u));
    EXPECT_EQ(List().size(), 1u);

    phonesim_->Write("detach\n");
    seen = events_.WaitFor(2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1], std::make_pair(int(UE_DEVICE_REMOVE), 1u));
    EXPECT_TRUE(List().empty());
    EXPECT_LT(usbmuxd_connect(1, 5055), 0) << "a detached device takes no connections";
}

TEST_F(UsbmuxdLoopback, tunnel_to_port_5055_carries_the_stream_in_usb_frames_until_detach)
{
    Start({"--tone", "0"});
    Subscribe();
    ASSERT_EQ(events_.WaitFor(1).size(), 1u) << "the attached device is announced on subscribing";
    tunnel_ = usbmuxd_connect(List().at(0).handle, 5055);
    ASSERT_GT(tunnel_, 0);

    const Bytes announcement = Frame();
    ASSERT_EQ(announcement.size(), 352u) << "one message per frame";
    EXPECT_EQ(Le32(announcement, 0), kMagic);
    EXPECT_EQ(Le32(announcement, 8), MESSAGE_KEEPALIVE);

    RequestStream();
    talvik::phonesim::test::TestDecoder decoder;
    for (std::uint32_t number = 0; number < 3; ++number) {
        Bytes body = Frame();
        while (body.size() >= 16 && Le32(body, 8) == MESSAGE_KEEPALIVE)
            body = Frame();
        ASSERT_GE(body.size(), 28u);
        EXPECT_EQ(Le32(body, 8), MESSAGE_VIDEODATA);
        EXPECT_EQ(body.size(), 16 + Le32(body, 12));
        ASSERT_TRUE(decoder.Decode(Bytes(body.begin() + 28, body.end())));
        EXPECT_EQ(decoder.FrameNumber(), number);
    }

    phonesim_->Write("detach 0\n");
    const auto start = Clock::now();
    while (Receive(65536).size() == 65536) {
    }
    EXPECT_LT(Clock::now() - start, 2s) << "detaching cuts the tunnel";
    EXPECT_EQ(phonesim_->Wait(5s), kExitOk) << "a session cut by a detach ends the run normally";
}

TEST_F(UsbmuxdLoopback, usb_framing_faults)
{
    // An empty frame between two video frames, then a frame announcing one
    // byte more than the service accepts.
    Start({"--tone", "0", "--fault", "usb-empty-frame", "--fault-after", "1"});
    tunnel_ = usbmuxd_connect(List().at(0).handle, 5055);
    ASSERT_GT(tunnel_, 0);
    Frame();
    RequestStream();
    EXPECT_EQ(Le32(Frame(), 8), MESSAGE_VIDEODATA);
    EXPECT_TRUE(Frame().empty());
    EXPECT_EQ(Le32(Frame(), 8), MESSAGE_VIDEODATA);
    usbmuxd_disconnect(tunnel_);

    Start({"--tone", "0", "--fault", "usb-oversized-frame", "--fault-after", "1"});
    tunnel_ = usbmuxd_connect(List().at(0).handle, 5055);
    ASSERT_GT(tunnel_, 0);
    Frame();
    RequestStream();
    EXPECT_EQ(Le32(Frame(), 8), MESSAGE_VIDEODATA);
    const Bytes header = Receive(8);
    ASSERT_EQ(header.size(), 8u);
    EXPECT_EQ(Be32(header, 4), 4194305u);
    usbmuxd_disconnect(tunnel_);

    // One byte per frame.
    Start({"--tone", "0", "--fault", "byte-at-a-time"});
    tunnel_ = usbmuxd_connect(List().at(0).handle, 5055);
    ASSERT_GT(tunnel_, 0);
    Bytes announcement;
    for (int i = 0; i < 352; ++i) {
        const Bytes body = Frame();
        ASSERT_EQ(body.size(), 1u);
        announcement.push_back(body[0]);
    }
    EXPECT_EQ(Le32(announcement, 8), MESSAGE_KEEPALIVE);
    EXPECT_EQ(Le32(announcement, 12), 336u);
}

TEST_F(UsbmuxdLoopback, flapping_device_detaches_and_attaches_again_and_again)
{
    Start({"--fault", "usb-flapping", "--flap-ms", "150"});
    Subscribe();
    const auto seen = events_.WaitFor(5);
    ASSERT_GE(seen.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(seen[i].first, i % 2 == 0 ? UE_DEVICE_ADD : UE_DEVICE_REMOVE) << i;
}
