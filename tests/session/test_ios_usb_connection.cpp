// The USB transport against a scripted libusbmuxd: framing, time-outs,
// listing cadence, connection attempts and what goes on the wire, byte for
// byte and log line for log line.
#include "session/ios_usb_connection.h"

#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

using talvik::iOSUSBConnection;
using talvik::UsbmuxdBinding;
using talvik::UsbmuxdDeviceInfo;
using talvik::UsbmuxdEvent;
using talvik::test::LogRecorder;

namespace {

constexpr int kTimedOut = -110;

// One scripted libusbmuxd; the binding's plain function pointers reach it
// through `fake`.
struct FakeUsbmuxd {
    std::vector<UsbmuxdDeviceInfo> devices;
    int listError = 0; // returned instead of the list when negative
    int listCalls = 0;
    std::map<std::uint32_t, int> connectResults; // by handle; 7 when absent
    std::vector<std::uint32_t> connectHandles;
    std::vector<unsigned> connectPorts;

    std::deque<std::string> incoming; // each recv takes from the front chunk
    std::vector<std::uint32_t> asked;
    std::vector<unsigned> timeouts;

    std::string wire;
    std::vector<int> sendResults; // per call, 0 when exhausted
    std::map<int, std::uint32_t> sendLimits; // call index -> bytes accepted

    talvik::UsbmuxdEventCallback callback = nullptr;
    void* userData = nullptr;
    int unsubscribes = 0;
    int debugLevel = -1;
    std::vector<int> disconnected;
    int disconnectResult = 0;
    int sendCalls = 0;
};

FakeUsbmuxd* fake;

const UsbmuxdBinding kFakeBinding = {
    [](talvik::UsbmuxdEventCallback callback, void* userData) {
        fake->callback = callback;
        fake->userData = userData;
        return 0;
    },
    [] {
        ++fake->unsubscribes;
        return 0;
    },
    [](UsbmuxdDeviceInfo** list) {
        ++fake->listCalls;
        if (fake->listError < 0)
            return fake->listError;
        *list = new UsbmuxdDeviceInfo[fake->devices.size() + 1]{};
        std::copy(fake->devices.begin(), fake->devices.end(), *list);
        return static_cast<int>(fake->devices.size());
    },
    [](UsbmuxdDeviceInfo** list) {
        delete[] *list;
        *list = nullptr;
        return 0;
    },
    [](std::uint32_t handle, unsigned short port) {
        fake->connectHandles.push_back(handle);
        fake->connectPorts.push_back(port);
        auto it = fake->connectResults.find(handle);
        return it == fake->connectResults.end() ? 7 : it->second;
    },
    [](int connection) {
        fake->disconnected.push_back(connection);
        return fake->disconnectResult;
    },
    [](int, const char* data, std::uint32_t length, std::uint32_t* sent) {
        const int call = fake->sendCalls++;
        const int result = call < int(fake->sendResults.size()) ? fake->sendResults[call] : 0;
        if (result != 0)
            return result;
        auto limit = fake->sendLimits.find(call);
        *sent = limit == fake->sendLimits.end() ? length : std::min(length, limit->second);
        fake->wire.append(data, *sent);
        return 0;
    },
    [](int, char* data, std::uint32_t length, std::uint32_t* received, unsigned timeout) {
        fake->asked.push_back(length);
        fake->timeouts.push_back(timeout);
        *received = 0;
        if (length == 0)
            return -22; // what a 0-byte receive must never come to
        if (fake->incoming.empty())
            return kTimedOut;
        std::string& chunk = fake->incoming.front();
        const std::uint32_t n = std::min<std::uint32_t>(length, std::uint32_t(chunk.size()));
        std::memcpy(data, chunk.data(), n);
        chunk.erase(0, n);
        if (chunk.empty())
            fake->incoming.pop_front();
        *received = n;
        return 0;
    },
    [](int level) { fake->debugLevel = level; },
};

UsbmuxdDeviceInfo Device(std::uint32_t handle, std::uint32_t productId, const char* udid = "0123456789abcdef0123456789abcdef01234567")
{
    UsbmuxdDeviceInfo device{};
    device.handle = handle;
    device.product_id = productId;
    std::strncpy(device.udid, udid, sizeof device.udid);
    return device;
}

std::string Header(std::uint32_t bodyLength)
{
    return std::string("\xDE\xC0\xAD\xDE", 4) + char(bodyLength >> 24) + char(bodyLength >> 16) +
           char(bodyLength >> 8) + char(bodyLength);
}

class UsbTest : public ::testing::Test {
protected:
    UsbTest() { fake = &usbmuxd_; }
    ~UsbTest() override { fake = nullptr; }

    // A connection that has listed one phone (handle 3) and connected to it.
    std::unique_ptr<iOSUSBConnection> Connected()
    {
        usbmuxd_.devices = {Device(3, 0x12a8)};
        auto usb = std::make_unique<iOSUSBConnection>(kFakeBinding);
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

    FakeUsbmuxd usbmuxd_;
    LogRecorder log_;
};

} // namespace

TEST_F(UsbTest, construction_subscribes_and_silences_the_library_destruction_disconnects)
{
    {
        auto usb = Connected();
        EXPECT_EQ(usbmuxd_.userData, usb.get());
        EXPECT_EQ(usbmuxd_.debugLevel, 0);
        EXPECT_EQ(usbmuxd_.connectPorts, std::vector<unsigned>{5055});
        usbmuxd_.disconnectResult = -1;
    }
    EXPECT_EQ(usbmuxd_.unsubscribes, 1);
    EXPECT_EQ(usbmuxd_.disconnected, std::vector<int>{7});
    EXPECT_TRUE(log_.Has("error: USB: usbmuxd_disconnect failed"));
    const auto lines = log_.Lines();
    EXPECT_EQ(lines.front(), "trace: USB: iOSUSBConnection");
    EXPECT_EQ(lines[lines.size() - 3], "trace: USB: ~iOSUSBConnection");
    EXPECT_EQ(lines.back(), "trace: USB: ~iOSUSBConnection done");
}

TEST_F(UsbTest, a_failed_connect_is_never_disconnected_nor_written_to)
{
    // A failed attempt's result (here 0, which is also a descriptor number)
    // must not be kept as the connection.
    usbmuxd_.devices = {Device(3, 0x12a8)};
    usbmuxd_.connectResults[3] = 0;
    {
        iOSUSBConnection usb(kFakeBinding);
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
    const std::string frame = Header(3000) + body + Header(2) + "ok";
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
    auto usb = Connected();
    usbmuxd_.incoming = {Header(1), "x"};
    bool failed = true;
    Read(*usb, failed);
    EXPECT_EQ(usbmuxd_.timeouts, (std::vector<unsigned>{1000, 1000})) << "one time-out for the whole call";

    usbmuxd_.timeouts.clear();
    EXPECT_EQ(Read(*usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_EQ(usbmuxd_.timeouts, std::vector<unsigned>{500});
    EXPECT_TRUE(log_.Has("info: USB: usbmuxd_recv_timeout 0 bytes with return value -110"));
}

TEST_F(UsbTest, body_length_limit_is_4194304_bytes)
{
    auto usb = Connected();
    usbmuxd_.incoming = {Header(4194304), std::string(4194304, 'a')};
    bool failed = true;
    EXPECT_EQ(Read(*usb, failed).size(), 4194304u);
    EXPECT_FALSE(failed);
    EXPECT_TRUE(log_.Has("error: USB: Reallocating USB receive buffer to 4194304 bytes"));

    usbmuxd_.incoming = {Header(4194305), std::string(16, 'a')};
    EXPECT_EQ(Read(*usb, failed), "");
    EXPECT_TRUE(failed);
    EXPECT_TRUE(log_.Has("error: USB: Too large packet (4194305 bytes), disconnecting"));
}

TEST_F(UsbTest, the_buffer_grows_to_the_largest_packet_and_never_shrinks)
{
    auto usb = Connected();
    usbmuxd_.incoming = {Header(2097152), std::string(2097152, 'b'), Header(1048576), std::string(1048576, 'c'),
                         Header(1048576), std::string(1048576, 'd')};
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
    usbmuxd_.incoming = {Header(0) + Header(3) + "abc"};
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
    iOSUSBConnection usb(kFakeBinding);
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
    usbmuxd_.devices = {Device(5, 0), Device(0, 0x12a8), Device(9, 0x12a8)};
    usbmuxd_.connectResults[9] = -111;
    iOSUSBConnection usb(kFakeBinding);
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

    usbmuxd_.devices = {Device(5, 0)};
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
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(Device(1, 1)).size(), 40u);

    UsbmuxdDeviceInfo full = Device(1, 1);
    std::memset(full.udid, 'u', sizeof full.udid); // no terminator at all
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(full), "XXXXXXXX" + std::string(33, 'u'));
    EXPECT_EQ(iOSUSBConnection::MaskedUdid(Device(1, 1, "abc")), "XXXXXXXX");
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
