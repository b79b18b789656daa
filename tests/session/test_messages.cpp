// The announcement's decoding and the two messages the service sends,
// checked byte for byte.
#include "session/announcement.h"
#include "session/messages.h"
#include "tests/session/stream_builder.h"

#include <gtest/gtest.h>

#include <limits>

using namespace talvik;
using namespace talvik::test;

namespace {

StartStreamMessage Request(const AnnouncementFields& content, const ClientFormat& format)
{
    const Bytes payload = AnnouncementPayload(content);
    return BuildStartStream(Announcement(payload.data()), format);
}

AnnouncementFields Formats(std::vector<WireFormat> formats)
{
    AnnouncementFields content;
    content.formats = std::move(formats);
    return content;
}

uint32_t FormatIndex(const StartStreamMessage& message)
{
    return message[16] | message[17] << 8 | message[18] << 16 | message[19] << 24;
}

uint32_t OptionIndex(const StartStreamMessage& message)
{
    return message[20] | message[21] << 8 | message[22] << 16 | message[23] << 24;
}

} // namespace

TEST(messages, keepalive_is_the_bare_header)
{
    const KeepaliveMessage expected = {0xDE, 0xC0, 0xAD, 0xDE, 0, 0, 0, 0, 0x05, 0x00, 0x02, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(BuildKeepalive(), expected);
}

TEST(messages, start_stream_names_the_entry_and_the_first_stream_option)
{
    AnnouncementFields content;
    content.formats = {{640, 480, 1, 30.0f}, {1280, 720, 1, 30.0f}, {1920, 1080, 1, 30.0f}, {1280, 720, 4, 60.0f}};
    content.optionKinds = {1, 2, 2};
    const StartStreamMessage expected = {0xDE, 0xC0, 0xAD, 0xDE, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00,
                                         0x02, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                         0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00};
    EXPECT_EQ(Request(content, {1280, 720, 60, 4}), expected);
}

TEST(messages, start_stream_takes_the_highest_match_or_entry_0)
{
    AnnouncementFields content;
    content.formats = {{640, 480, 1, 30.0f},  {1280, 720, 1, 30.0f}, {1920, 1080, 1, 29.97f},
                    {1280, 720, 0, 30.0f}, {1280, 720, 1, 25.0f}, {1920, 1080, 1, 29.0f}};
    EXPECT_EQ(FormatIndex(Request(content, {1920, 1080, 29, 1})), 5u) << "29.97 truncates to 29, as 29.0 does";
    EXPECT_EQ(FormatIndex(Request(content, {1280, 720, 30, 1})), 1u);
    EXPECT_EQ(FormatIndex(Request(content, {800, 600, 30, 1})), 0u);
    EXPECT_EQ(FormatIndex(Request(content, {1280, 720, 30, 2})), 0u) << "the codec must match as well";
}

TEST(messages, start_stream_looks_only_at_announced_entries)
{
    AnnouncementFields content;
    content.formats = {{640, 480, 1, 30.0f}, {1280, 720, 1, 30.0f}};
    content.formatCount = 1;
    EXPECT_EQ(FormatIndex(Request(content, {1280, 720, 30, 1})), 0u);

    // A count past the table's 35 entries must not reach into the option
    // entries behind it: bytes 01 EE EE EE, then a negative rate, would read
    // as 3585 x 3822 at 0 fps, codec 238.
    content.formatCount = 200;
    content.optionKinds = {1};
    EXPECT_EQ(FormatIndex(Request(content, {3585, 3822, 0, 238})), 0u);
}

TEST(messages, start_stream_option_is_the_first_kind_2_among_at_most_5)
{
    AnnouncementFields content;
    content.formats = {{640, 480, 1, 30.0f}};
    const ClientFormat any{640, 480, 30, 1};

    content.optionKinds = {1, 1, 1, 1, 1};
    content.optionCount = 7;
    EXPECT_EQ(OptionIndex(Request(content, any)), 0u) << "none of kind 2";

    content.optionKinds = {0, 0, 0, 2, 2};
    EXPECT_EQ(OptionIndex(Request(content, any)), 3u);
    content.optionCount = 3;
    EXPECT_EQ(OptionIndex(Request(content, any)), 0u) << "entry 3 is past the count";
}

TEST(announcement, decodes_packed_formats_and_truncates_fps)
{
    // Bytes 00 05 2D 01: width 0x500, height 0x2D0, codec 1.
    Bytes payload = AnnouncementPayload(Formats({{0, 0, 0, 30.0f}, {0, 0, 0, 29.97f}}));
    const Bytes packed = {0x00, 0x05, 0x2D, 0x01};
    std::copy(packed.begin(), packed.end(), payload.begin() + 16);
    std::copy(packed.begin(), packed.end(), payload.begin() + 24);
    const Announcement announcement(payload.data());

    EXPECT_EQ(announcement.Format(0), (ClientFormat{1280, 720, 30, 1}));
    EXPECT_EQ(announcement.Format(1), (ClientFormat{1280, 720, 29, 1}));
    EXPECT_FLOAT_EQ(announcement.FormatFps(1), 29.97f);
    EXPECT_EQ(Announcement(AnnouncementPayload(Formats({{4095, 4095, 255, 0.0f}})).data()).Format(0),
              (ClientFormat{4095, 4095, 0, 255}));
}

TEST(announcement, odd_frame_rates_decode_without_undefined_conversion)
{
    const float rates[] = {-1.0f, std::numeric_limits<float>::quiet_NaN(), 1e20f,
                           std::numeric_limits<float>::infinity(), 0.5f};
    const uint32_t expected[] = {0, 0, UINT32_MAX, UINT32_MAX, 0};
    for (int i = 0; i < 5; ++i) {
        const Bytes payload = AnnouncementPayload(Formats({{640, 480, 1, rates[i]}}));
        EXPECT_EQ(Announcement(payload.data()).Format(0).fps, expected[i]) << rates[i];
    }
}

TEST(announcement, client_type_classes)
{
    for (uint32_t type : {1u, 2u, 3u, 4u, 201u, 299u, 301u, 599u, 600u, 799u})
        EXPECT_EQ(ClassifyClient(type), ClientClass::kCamera) << type;
    for (uint32_t type : {1000u, 1200u, 1599u})
        EXPECT_EQ(ClassifyClient(type), ClientClass::kBarcodeReader) << type;
    for (uint32_t type : {0u, 5u, 200u, 300u, 800u, 999u, 1600u, 0xFFFFFFFFu})
        EXPECT_EQ(ClassifyClient(type), ClientClass::kUnknown) << type;
}

TEST(announcement, dynamic_format_change_is_capability_bit_4)
{
    AnnouncementFields content;
    content.capabilities = 0x10;
    EXPECT_TRUE(Announcement(AnnouncementPayload(content).data()).SupportsDynamicFormatChange());
    content.capabilities = 0xEF;
    EXPECT_FALSE(Announcement(AnnouncementPayload(content).data()).SupportsDynamicFormatChange());
}

TEST(announcement, codec_names)
{
    EXPECT_STREQ(CodecName(0), "MPEG-4");
    EXPECT_STREQ(CodecName(1), "H.264");
    EXPECT_STREQ(CodecName(2), "UNSUPPORTED");
    EXPECT_STREQ(CodecName(3), "UNSUPPORTED2");
    EXPECT_STREQ(CodecName(4), "NV12");
    EXPECT_STREQ(CodecName(5), "UNKNOWN");
    EXPECT_STREQ(CodecName(255), "UNKNOWN");
}
