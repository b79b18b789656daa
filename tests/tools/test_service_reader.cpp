// What the phone accepts from the service, over TCP and USB.
#include "tools/phonesim/service_reader.h"

#include <gtest/gtest.h>

using namespace talvik::phonesim;

namespace {

// A request for entry 3 with option entry 1, as the service writes it.
const Bytes kStreamRequest{0xDE, 0xC0, 0xAD, 0xDE, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x0C, 0x00,
                           0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
const Bytes kKeepAlive{0xDE, 0xC0, 0xAD, 0xDE, 0, 0, 0, 0, 0x05, 0x00, 0x02, 0x00, 0, 0, 0, 0};

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<ServiceMessage> Drain(ServiceReader& reader)
{
    std::vector<ServiceMessage> messages;
    while (std::optional<ServiceMessage> message = reader.Next())
        messages.push_back(*message);
    return messages;
}

} // namespace

TEST(service_reader, stream_request_decodes_whole_or_byte_by_byte)
{
    const Bytes stream = Concat({kStreamRequest, kKeepAlive});
    ServiceReader whole(Framing::kTcp);
    ASSERT_TRUE(whole.Feed(stream));
    ServiceReader bytewise(Framing::kTcp);
    for (std::uint8_t byte : stream)
        ASSERT_TRUE(bytewise.Feed({&byte, 1}));

    for (ServiceReader* reader : {&whole, &bytewise}) {
        const std::vector<ServiceMessage> messages = Drain(*reader);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].type, MESSAGE_STARTSTREAM);
        const StreamRequest request = DecodeStreamRequest(messages[0]);
        EXPECT_EQ(request.formatIndex, 3u);
        EXPECT_EQ(request.optionIndex, 1u);
        EXPECT_EQ(request.third, 4u);
        EXPECT_EQ(messages[1].type, MESSAGE_KEEPALIVE);
    }
}

TEST(service_reader, usb_messages_follow_their_big_endian_length)
{
    ServiceReader reader(Framing::kUsb);
    const Bytes stream = Concat({{0x00, 0x00, 0x00, 0x10}, kKeepAlive, {0x00, 0x00, 0x00, 0x1C}, kStreamRequest});
    ASSERT_TRUE(reader.Feed(Bytes(stream.begin(), stream.begin() + 25)));
    ASSERT_TRUE(reader.Feed(Bytes(stream.begin() + 25, stream.end())));
    const std::vector<ServiceMessage> messages = Drain(reader);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].type, MESSAGE_KEEPALIVE);
    EXPECT_EQ(DecodeStreamRequest(messages[1]).formatIndex, 3u);
}

TEST(service_reader, rejects_what_the_service_never_sends)
{
    struct Case {
        const char* what;
        Framing framing;
        Bytes bytes;
        const char* reason;
    };
    Bytes bigEndianMagic = kKeepAlive;
    bigEndianMagic[1] = 0xAD;
    bigEndianMagic[2] = 0xC0;
    Bytes videoType = kKeepAlive;
    videoType[8] = 0x02;
    Bytes shortRequest = kStreamRequest;
    shortRequest[12] = 11;
    const Case cases[] = {
        {"magic in big-endian order", Framing::kTcp, bigEndianMagic, "magic DE AD C0 DE"},
        {"a phone-to-service type", Framing::kTcp, videoType, "type 0x20002"},
        {"a stream request of 11 bytes", Framing::kTcp, shortRequest, "payloadSize 11"},
        {"a length prefix that disagrees", Framing::kUsb, Concat({{0, 0, 0, 0x14}, kKeepAlive}), "prefix 20"},
        {"a USB message without its prefix", Framing::kUsb, Concat({kKeepAlive, kKeepAlive}), "magic 00 00 00 00"},
    };
    for (const Case& c : cases) {
        ServiceReader reader(c.framing);
        EXPECT_FALSE(reader.Feed(c.bytes)) << c.what;
        EXPECT_NE(reader.error().find(c.reason), std::string::npos) << c.what << ": " << reader.error();
        EXPECT_FALSE(reader.Next()) << c.what;
        EXPECT_FALSE(reader.Feed(kKeepAlive)) << c.what << ": nothing is taken after an error";
    }
}
