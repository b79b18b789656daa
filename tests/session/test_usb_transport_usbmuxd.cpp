// The USB transport with the real libusbmuxd, talking to the phone
// simulator's stand-in usbmuxd (a separate process) through
// USBMUXD_SOCKET_ADDRESS: listing, connecting past an invalid entry, whole
// packets from a live stream, the 500 ms receive time-out, and the stream
// faults that only a real library shows.
#include "session/ios_usb_connection.h"

#include "base/byte_order.h"
#include "session/messages.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/log_recorder.h"
#include "tests/support/usbmuxd_socket.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace talvik;

namespace {

using Clock = std::chrono::steady_clock;

struct Packet {
    bool delivered = false; // a packet, possibly empty
    std::vector<std::uint8_t> body;
    bool failed = false;
    double ms = 0; // how long the ReadPacket call took
};

class UsbTransportTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        usb_.reset(); // before the simulator goes: unsubscribing talks to it
        phone_.reset();
    }

    void StartPhone(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"usb", "--usbmuxd", usbmuxd_.address(), "--duration", "30"});
        phone_ = test::StartPhonesim(arguments);
        ASSERT_TRUE(phone_->WaitForOutput("usbmuxd: listening on", std::chrono::seconds(5)))
            << "the simulator's usbmuxd did not come up:\n"
            << phone_->Output();
        usb_ = std::make_unique<iOSUSBConnection>(*Usbmuxd(), listing_);
    }

    std::uint32_t Now() const
    {
        return std::uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
    }

    // One ReadPacket call; waits out "no phone yet" for up to 5 s.
    Packet Read()
    {
        Packet packet;
        test::WaitUntil(
            [&] {
                packet = Packet{};
                std::uint32_t length = 0;
                const auto begin = Clock::now();
                const std::uint8_t* body = usb_->ReadPacket(Now(), length, packet.failed);
                packet.ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
                packet.delivered = body != nullptr;
                if (body)
                    packet.body.assign(body, body + length);
                return packet.delivered || packet.failed;
            },
            std::chrono::seconds(5), std::chrono::milliseconds(100));
        return packet;
    }

    // Reads the announcement and asks for the phone's default format.
    void StartStream()
    {
        const Packet announcement = Read();
        ASSERT_FALSE(announcement.failed);
        ASSERT_GT(announcement.body.size(), kMessageHeaderSize);
        ASSERT_EQ(LoadU32Le(announcement.body.data() + 8), std::uint32_t(MESSAGE_KEEPALIVE));
        const StartStreamMessage request =
            BuildStartStream(Announcement(announcement.body.data() + kMessageHeaderSize), ClientFormat{});
        ASSERT_TRUE(usb_->SendFrame(request.data(), request.size()));
    }

    // Reads until a video message has come or the call fails.
    bool ReadVideo()
    {
        for (int i = 0; i < 200; ++i) {
            const Packet packet = Read();
            if (packet.failed)
                return false;
            if (packet.body.size() >= kMessageHeaderSize &&
                LoadU32Le(packet.body.data() + 8) == std::uint32_t(MESSAGE_VIDEODATA))
                return true;
        }
        return false;
    }

    test::UsbmuxdSocket usbmuxd_;
    test::LogRecorder log_;
    std::unique_ptr<test::HelperProcess> phone_;
    UsbDeviceListing listing_{*Usbmuxd()};
    std::unique_ptr<iOSUSBConnection> usb_;
    Clock::time_point start_ = Clock::now();
};

bool HasPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

} // namespace

TEST_F(UsbTransportTest, finds_the_phone_past_an_invalid_entry_and_streams_whole_packets)
{
    StartPhone({"--usb-device", "no-product-id", "--usb-device", "phone"});
    StartStream();
    EXPECT_EQ(usb_->ValidDeviceCount(), 1);
    EXPECT_TRUE(log_.Has("info: usbmuxd_get_device_list = 2 | valid devices: 1"));
    EXPECT_TRUE(HasPrefix(log_.Lines(), "info: USB: USB device connected (UDID = XXXXXXXX"));

    int videos = 0;
    for (int i = 0; i < 100 && videos < 5; ++i) {
        const Packet packet = Read();
        ASSERT_FALSE(packet.failed);
        ASSERT_GE(packet.body.size(), kMessageHeaderSize);
        EXPECT_EQ(LoadU32Le(packet.body.data()), kMessageMagic) << "every packet starts with a whole message";
        const std::uint32_t type = LoadU32Le(packet.body.data() + 8);
        if (type == MESSAGE_VIDEODATA) {
            ++videos;
            EXPECT_EQ(packet.body.size(), kMessageHeaderSize + LoadU32Le(packet.body.data() + 12));
        }
    }
    EXPECT_EQ(videos, 5);
}

TEST_F(UsbTransportTest, a_silent_phone_fails_the_read_after_500_ms)
{
    StartPhone({"--fault", "silence", "--fault-after", "2"});
    StartStream();
    ASSERT_TRUE(ReadVideo());
    Packet packet;
    while (!(packet = Read()).failed) {
    }
    EXPECT_GE(packet.ms, 450);
    EXPECT_LT(packet.ms, 900);
    EXPECT_TRUE(HasPrefix(log_.Lines(), "info: USB: usbmuxd_recv_timeout 0 bytes with return value "));
}

TEST_F(UsbTransportTest, an_empty_frame_reads_as_an_empty_packet_and_the_stream_goes_on)
{
    StartPhone({"--fault", "usb-empty-frame", "--fault-after", "2"});
    StartStream();
    bool empty = false;
    for (int i = 0; i < 200 && !empty; ++i) {
        const Packet packet = Read();
        ASSERT_FALSE(packet.failed);
        ASSERT_TRUE(packet.delivered);
        empty = packet.body.empty();
    }
    EXPECT_TRUE(empty);
    EXPECT_TRUE(ReadVideo()) << "the connection survives the empty frame";
}

TEST_F(UsbTransportTest, an_oversized_frame_ends_the_connection)
{
    StartPhone({"--fault", "usb-oversized-frame", "--fault-after", "2"});
    StartStream();
    Packet packet;
    for (int i = 0; i < 200 && !(packet = Read()).failed; ++i) {
    }
    EXPECT_TRUE(packet.failed);
    EXPECT_TRUE(log_.Has("error: USB: Too large packet (4194305 bytes), disconnecting"));
}
