// The USB transport against a scripted libusbmuxd: framing, time-outs,
// listing cadence, connection attempts and what goes on the wire, byte for
// byte and log line for log line.
#include "session/ios_usb_connection.h"

#include "tests/session/scripted_usbmuxd.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using talvik::iOSUSBConnection;
using talvik::UsbDeviceListing;
using talvik::UsbmuxdDeviceInfo;
using talvik::UsbmuxdEvent;
using talvik::test::LogRecorder;
using talvik::test::ScriptedDevice;
using talvik::test::ScriptedUsbmuxd;
using talvik::test::UsbFrameHeader;

namespace {

class UsbTest : public ::testing::Test {
protected:
    // A connection that has listed one phone (handle 3) and connected to it.
    std::unique_ptr<iOSUSBConnection> Connected()
    {
        usbmuxd_.devices = {ScriptedDevice(3, 0x12a8)};
        auto usb = std::make_unique<iOSUSBConnection>(ScriptedUsbmuxd::Binding(), listing_);
        std::uint32_t length = 99;
        bool failed = true;
        // Connects, then times out on the empty script; nothing has moved,
        // so the object reads on as a fresh connection would.
        EXPECT_EQ(usb->ReadPacket(1001, length, failed), nullptr);
        EXPECT_TRUE(failed);
        usbmuxd_.asked.clear();
        usbmuxd_.timeouts.clear();
        return usb;
    }

    // Reads one packet and returns its body; "" with `failed` otherwise.
    std::string Read(iOSUSBConnection& usb, bool& failed, std::uint32_t now = 2000)
    {
        std::uint32_t length = 0;
        const std::uint8_t* body = usb.ReadPacket(now, length, failed);
        return body ? std::string(reinterpret_cast<const char*>(body), length) : std::string();
    }

    ScriptedUsbmuxd usbmuxd_;
    UsbDeviceListing listing_{ScriptedUsbmuxd::Binding()};
    LogRecorder log_;
};

} // namespace

TEST_F(UsbTest, construction_subscribes_and_silences_the_library_destruction_disconnects)
{
    {
        auto usb = Connected();
        EXPECT_EQ(usbmuxd_.subscribes, 1);
        EXPECT_EQ(usbmuxd_.debugLevel, 0);
        EXPECT_EQ(usbmuxd_.connectPorts, std::vector<unsigned>{5055});
        usbmuxd_.disconnectResult = -1;
    }
    EXPECT_EQ(usbmuxd_.disconnected, std::vector<int>{7});
    EXPECT_TRUE(log_.Has("error: USB: usbmuxd_disconnect failed"));
    const auto lines = log_.Lines();
    EXPECT_EQ(lines.front(), "trace: USB: iOSUSBConnection");
    EXPECT_EQ(lines[lines.size() - 3], "trace: USB: ~iOSUSBConnection");
    EXPECT_EQ(lines.back(), "trace: USB: ~iOSUSBConnection done");

    // Ending a subscription can leave libusbmuxd's watch socket open: the
    // one subscription lasts as long as the listing.
    iOSUSBConnection next(ScriptedUsbmuxd::Binding(), listing_);
    EXPECT_EQ(usbmuxd_.subscribes, 1);
    EXPECT_EQ(usbmuxd_.unsubscribes, 0);
}

TEST_F(UsbTest, a_failed_connect_is_never_disconnected_nor_written_to)
{
    // A failed attempt's result (here 0, which is also a descriptor number)
    // must not be kept as the connection.
    usbmuxd_.devices = {ScriptedDevice(3, 0x12a8)};
    usbmuxd_.connectResults[3] = 0;
    {
        iOSUSBConnection usb(ScriptedUsbmuxd::Binding(), listing_);
        bool failed = true;
        EXPECT_EQ(Read(usb, failed, 1001), "");
        EXPECT_FALSE(failed);
        EXPECT_TRUE(log_.Has("info: USB: usbmuxd_connect failed to device 3 at port 5055"));
        const std::uint8_t message[16] = {};
        EXPECT_FALSE(usb.SendFrame(message, sizeof message));
        EXPECT_TRUE(log_.Has("error: USB write failed"));
    }
    EXPECT_TRUE(usbmuxd_.disconnected.empty());
    EXPECT_EQ(usbmuxd_.sendCalls, 0);
}

TEST_F(UsbTest, a_packet_arriving_in_pieces_comes_out_whole_in_one_call)
{
    auto usb = Connected();
    std::string body(3000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = char(i * 7);
    const std::string frame = UsbFrameHeader(3000) + body + UsbFrameHeader(2) + "ok";
    for (std::size_t at = 0; at < frame.size(); at += 5)
        usbmuxd_.incoming.push_back(frame.substr(at, 5));

    bool failed = true;
    EXPECT_EQ(Read(*usb, failed), body);
    EXPECT_FALSE(failed);
    EXPECT_EQ(usbmuxd_.asked.front(), 8u) << "the header is asked for alone";
    EXPECT_EQ(usbmuxd_.asked[2], 3000u) << "then exactly the announced body";
    EXPECT_EQ(Read(*usb, failed), "ok") << "the next packet starts at the following header";
    EXPECT_FALSE(failed);
}

TEST_F(UsbTest, receive_time_out_is_1000_ms_before_the_first_byte_and_500_after)
{
    const auto total = [this] {
        unsigned sum = 0;
        for (unsigned timeout : usbmuxd_.timeouts)
            sum += timeout;
        usbmuxd_.timeouts.clear();
        return sum;
    };
    usbmuxd_.devices = {ScriptedDevice(3, 0x12a8)};
    auto usb = std::make_unique<iOSUSBConnection>(ScriptedUsbmuxd::Binding(), listing_);
    bool failed = false;
    EXPECT_EQ(Read(*usb, failed, 1001), "");
    EXPECT_TRUE(failed);
    EXPECT_EQ(total(), 1000u) << "silent from the start";
    EXPECT_TRUE(log_.Has("info: USB: usbmuxd_recv_timeout 0 bytes with return value " +
                         std::to_string(ScriptedUsbmuxd::kTimedOut)));

    usb.reset();
    usb = Connected();
    usbmuxd_.incoming = {UsbFrameHeader(1), "x"};
    Read(*usb, failed);
    EXPECT_EQ(usbmuxd_.timeouts, (std::vector<unsigned>{5, 5})) << "short receives";
    usbmuxd_.timeouts.clear();
    EXPECT_EQ(Read(*usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_EQ(total(), 500u);
}

// Where a receive returns late (Windows timers tick every 15.6 ms), the
// limit still holds on the owner's clock rather than on the receive time
// asked for, which would let 500 ms stretch to 1600.
TEST_F(UsbTest, silence_is_measured_on_the_clock_when_receives_return_late)
{
    usbmuxd_.devices = {ScriptedDevice(3, 0x12a8)};
    std::uint32_t clock = 5000;
    iOSUSBConnection usb(ScriptedUsbmuxd::Binding(), listing_, [&] { return clock; });
    usbmuxd_.whenEmpty = [&] { clock += 16; };
    usbmuxd_.incoming = {UsbFrameHeader(1), "x"};
    bool failed = false;
    EXPECT_EQ(Read(usb, failed), "x");
    usbmuxd_.timeouts.clear();
    const std::uint32_t start = clock;
    EXPECT_EQ(Read(usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_EQ(clock - start, 512u) << "the first late receive past 500 ms ends it";
    EXPECT_EQ(usbmuxd_.timeouts.size(), 32u);
}

TEST_F(UsbTest, a_read_gives_way_between_receives_and_keeps_the_packet_begun)
{
    auto usb = Connected();
    usbmuxd_.incoming = {UsbFrameHeader(2), "o"};
    bool wanted = false;
    usbmuxd_.whenEmpty = [&] { wanted = true; };
    std::uint32_t length = 0;
    bool failed = true;
    EXPECT_EQ(usb->ReadPacket(2000, length, failed, [&] { return wanted; }), nullptr);
    EXPECT_FALSE(failed);
    EXPECT_EQ(usbmuxd_.asked, (std::vector<std::uint32_t>{8, 2, 1})) << "no receive once it is wanted";

    usbmuxd_.whenEmpty = nullptr;
    usbmuxd_.incoming = {"k"};
    EXPECT_EQ(Read(*usb, failed), "ok");
}

TEST_F(UsbTest, body_length_limit_is_4194304_bytes)
{
    auto usb = Connected();
    usbmuxd_.incoming = {UsbFrameHeader(4194304), std::string(4194304, 'a')};
    bool failed = true;
    EXPECT_EQ(Read(*usb, failed).size(), 4194304u);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(log_.Has("error: USB: Reallocating USB receive buffer to 4194304 bytes"));

    usbmuxd_.incoming = {UsbFrameHeader(4194305), std::string(16, 'a')};
    EXPECT_EQ(Read(*usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_TRUE(log_.Has("error: USB: Too large packet (4194305 bytes), disconnecting"));
}

TEST_F(UsbTest, the_buffer_grows_to_the_largest_packet_and_never_shrinks)
{
    auto usb = Connected();
    usbmuxd_.incoming = {UsbFrameHeader(2097152), std::string(2097152, 'b'), UsbFrameHeader(1048576), std::string(1048576, 'c'),
                         UsbFrameHeader(1048576), std::string(1048576, 'd')};
    bool failed = true;
    EXPECT_EQ(Read(*usb, failed), std::string(2097152, 'b'));
    EXPECT_EQ(Read(*usb, failed), std::string(1048576, 'c'));
    EXPECT_EQ(Read(*usb, failed), std::string(1048576, 'd'));
    int reallocations = 0;
    for (const std::string& line : log_.Lines())
        reallocations += line.rfind("error: USB: Reallocating", 0) == 0;
    EXPECT_EQ(reallocations, 1);
    EXPECT_TRUE(log_.Has("error: USB: Reallocating USB receive buffer to 2097152 bytes"));
}

TEST_F(UsbTest, magic_in_big_endian_order_is_invalid)
{
    auto usb = Connected();
    usbmuxd_.incoming = {std::string("\xDE\xAD\xC0\xDE\x00\x00\x00\x01x", 9)};
    bool failed = false;
    EXPECT_EQ(Read(*usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_TRUE(log_.Has("error: USB: Invalid USB magic number, disconnecting"));
}

TEST_F(UsbTest, an_empty_frame_is_an_empty_packet_without_a_0_byte_receive)
{
    auto usb = Connected();
    usbmuxd_.incoming = {UsbFrameHeader(0) + UsbFrameHeader(3) + "abc"};
    std::uint32_t length = 99;
    bool failed = true;
    const std::uint8_t* body = usb->ReadPacket(2000, length, failed);
    EXPECT_NE(body, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(failed);
    EXPECT_EQ(Read(*usb, failed), "abc");
    EXPECT_FALSE(failed);
    for (std::uint32_t asked : usbmuxd_.asked)
        EXPECT_NE(asked, 0u);
}

TEST_F(UsbTest, listing_runs_once_a_second_and_on_every_call_for_1000_ms_after_an_event)
{
    iOSUSBConnection usb(ScriptedUsbmuxd::Binding(), listing_);
    EXPECT_EQ(usb.ValidDeviceCount(), -1);
    EXPECT_FALSE(usb.HasDeviceList());
    std::uint32_t length;
    bool failed;
    for (std::uint32_t now = 0; now <= 3000; now += 100)
        usb.ReadPacket(now, length, failed);
    EXPECT_EQ(usbmuxd_.listCalls, 2) << "at 1100 and 2200 (more than 1000 ms apart)";
    EXPECT_EQ(usb.ValidDeviceCount(), 0);
    EXPECT_TRUE(usb.HasDeviceList());

    usbmuxd_.listCalls = 0;
    usb.ReadPacket(3050, length, failed); // now is 3050 when the event comes
    const UsbmuxdEvent added{1, {}};
    usbmuxd_.callback(&added, usbmuxd_.userData);
    EXPECT_TRUE(log_.Has("trace: USB: usbmuxd_event_cb_t::UE_DEVICE_ADD"));
    for (std::uint32_t now = 3100; now <= 4100; now += 100)
        usb.ReadPacket(now, length, failed);
    EXPECT_EQ(usbmuxd_.listCalls, 11) << "every call up to 4050, and the one at 4100 that ends it";
    EXPECT_EQ(log_.Count("trace: USB: Stop looking for USB devices, 0 connected"), 3);
}

TEST_F(UsbTest, invalid_entries_are_neither_counted_nor_tried)
{
    usbmuxd_.devices = {ScriptedDevice(5, 0), ScriptedDevice(0, 0x12a8), ScriptedDevice(9, 0x12a8)};
    usbmuxd_.connectResults[9] = -111;
    iOSUSBConnection usb(ScriptedUsbmuxd::Binding(), listing_);
    std::uint32_t length;
    bool failed = true;
    EXPECT_EQ(usb.ReadPacket(1001, length, failed), nullptr);
    EXPECT_FALSE(failed);
    EXPECT_EQ(usb.ValidDeviceCount(), 1);
    EXPECT_EQ(usbmuxd_.connectHandles, std::vector<std::uint32_t>{9}) << "the valid entry, wherever it is";
    EXPECT_TRUE(log_.Has("info: usbmuxd_get_device_list = 3 | valid devices: 1"));
    EXPECT_TRUE(log_.Has("info: device 2: | product id 4776 | handle 9"));
    EXPECT_TRUE(log_.Has("trace: USB: Connecting to device 2.."));
    EXPECT_TRUE(log_.Has("info: USB: usbmuxd_connect failed to device 9 at port 5055"));

    usbmuxd_.devices = {ScriptedDevice(5, 0)};
    usbmuxd_.connectHandles.clear();
    usb.ReadPacket(2100, length, failed);
    EXPECT_EQ(usb.ValidDeviceCount(), 0);
    EXPECT_TRUE(usbmuxd_.connectHandles.empty());

    usbmuxd_.listError = -2;
    usb.ReadPacket(3200, length, failed);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(log_.Has("info: usbmuxd_get_device_list error -2"));
    EXPECT_FALSE(usb.HasDeviceList());
}

TEST_F(UsbTest, the_logged_udid_hides_its_first_8_characters)
{
    auto usb = Connected();
    EXPECT_TRUE(log_.Has("info: USB: USB device connected (UDID = XXXXXXXX89abcdef0123456789abcdef01234567, device handle = 7)"));
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(ScriptedDevice(1, 1)).size(), 40u);

    UsbmuxdDeviceInfo full = ScriptedDevice(1, 1);
    std::memset(full.udid, 'u', sizeof full.udid); // no terminator at all
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(full), "XXXXXXXX" + std::string(33, 'u'));
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(ScriptedDevice(1, 1, "abc")), "XXXXXXXX");
}

TEST_F(UsbTest, a_frame_sent_is_a_big_endian_length_then_the_message)
{
    auto usb = Connected();
    std::uint8_t message[16];
    for (int i = 0; i < 16; ++i)
        message[i] = std::uint8_t(0xA0 + i);
    EXPECT_TRUE(usb->SendFrame(message, sizeof message));
    EXPECT_EQ(usbmuxd_.wire, std::string("\x00\x00\x00\x10", 4) + std::string(reinterpret_cast<char*>(message), 16));
    EXPECT_TRUE(log_.Has("trace: USB: usbmuxd_send 4/4 bytes"));
    EXPECT_TRUE(log_.Has("trace: USB: usbmuxd_send 16/16 bytes"));
}

TEST_F(UsbTest, a_frame_is_only_reported_sent_when_both_parts_went_out_whole)
{
    auto usb = Connected();
    const std::uint8_t message[28] = {};

    usbmuxd_.sendResults = {-32};
    EXPECT_FALSE(usb->SendFrame(message, sizeof message));
    EXPECT_TRUE(log_.Has("error: USB: usbmuxd_send failed: -32"));
    EXPECT_EQ(usbmuxd_.sendCalls, 1) << "without its length the message would corrupt the stream";

    usbmuxd_.sendCalls = 0;
    usbmuxd_.sendResults = {0, -32};
    EXPECT_FALSE(usb->SendFrame(message, sizeof message));
    EXPECT_TRUE(log_.Has("error: USB: usbmuxd_send failed: 0/28"));

    usbmuxd_.sendCalls = 0;
    usbmuxd_.sendResults.clear();
    usbmuxd_.sendLimits[1] = 10;
    EXPECT_FALSE(usb->SendFrame(message, sizeof message));
    EXPECT_TRUE(log_.Has("trace: USB: usbmuxd_send 10/28 bytes"));
    EXPECT_EQ(log_.Count("error: USB write failed"), 3);
}

TEST_F(UsbTest, a_new_connection_lists_for_a_second_while_a_device_is_attached)
{
    // As after a fresh subscription, whose first event is the attached
    // phone: every read lists until 1000 ms after the first.
    {
        iOSUSBConnection first(ScriptedUsbmuxd::Binding(), listing_);
        const UsbmuxdEvent added{1, ScriptedDevice(3, 0x12a8)};
        usbmuxd_.callback(&added, usbmuxd_.userData);
    }
    iOSUSBConnection usb(ScriptedUsbmuxd::Binding(), listing_);
    std::uint32_t length;
    bool failed;
    for (std::uint32_t now = 5000; now <= 6100; now += 100)
        usb.ReadPacket(now, length, failed);
    EXPECT_EQ(usbmuxd_.listCalls, 12) << "from 5000 to 6000, and the one at 6100 that ends it";
}
