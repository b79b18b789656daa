// The phone's messages, byte for byte, and their USB framing.
#include "tools/phonesim/usb_frame.h"
#include "tools/phonesim/wire_writer.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace talvik::phonesim;

namespace {

std::uint32_t Le32(const Bytes& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    std::memcpy(&value, &bytes[at], 4);
    return value;
}

Bytes Slice(const Bytes& bytes, std::size_t at, std::size_t count)
{
    return Bytes(bytes.begin() + at, bytes.begin() + at + count);
}

constexpr std::size_t kPayload = 16;

} // namespace

TEST(wire_writer, keepalive_is_the_bare_header)
{
    EXPECT_EQ(WriteKeepAlive(),
              (Bytes{0xDE, 0xC0, 0xAD, 0xDE, 0, 0, 0, 0, 0x05, 0x00, 0x02, 0x00, 0, 0, 0, 0}));
}

TEST(wire_writer, announcement_lays_out_client_capabilities_formats_and_options)
{
    Announcement announcement;
    announcement.clientType = 0x12345678;
    announcement.formatChange = true;
    announcement.optionKinds = {1, 2, 7};
    announcement.formats = {{1280, 720, 30.0f, kCodecH264}, {640, 480, 29.97f, kCodecNv12}};
    const Bytes message = WriteAnnouncement(announcement);

    ASSERT_EQ(message.size(), 352u);
    EXPECT_EQ(Slice(message, 0, 16),
              (Bytes{0xDE, 0xC0, 0xAD, 0xDE, 0, 0, 0, 0, 0x05, 0x00, 0x02, 0x00, 0x50, 0x01, 0x00, 0x00}));
    EXPECT_EQ(Le32(message, kPayload + 0), 0x12345678u);
    EXPECT_EQ(message[kPayload + 8], 0x10) << "dynamic format change";
    EXPECT_EQ(message[kPayload + 11], 3) << "option count";
    EXPECT_EQ(Le32(message, kPayload + 12), 2u) << "format count";
    // 1280 x 720, codec 1, 30.0 fps.
    EXPECT_EQ(Slice(message, kPayload + 16, 8), (Bytes{0x00, 0x05, 0x2D, 0x01, 0x00, 0x00, 0xF0, 0x41}));
    // 640 x 480, codec 4: bits 0-11 width, 12-23 height, 24-31 codec.
    EXPECT_EQ(Le32(message, kPayload + 24), 640u | 480u << 12 | 4u << 24);
    float fps = 0;
    std::memcpy(&fps, &message[kPayload + 28], 4);
    EXPECT_FLOAT_EQ(fps, 29.97f);
    EXPECT_EQ(Slice(message, kPayload + 32, 33 * 8), Bytes(33 * 8, 0)) << "unused format entries";
    EXPECT_EQ(Slice(message, kPayload + 296, 24),
              (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(message, kPayload + 320, 16), Bytes(16, 0)) << "unused option entries";

    announcement.formatChange = false;
    EXPECT_EQ(WriteAnnouncement(announcement)[kPayload + 8], 0);
}

TEST(wire_writer, announcement_with_more_formats_than_the_table_holds_keeps_its_size)
{
    Announcement announcement;
    announcement.formats.assign(40, {640, 480, 30.0f, kCodecH264});
    const Bytes message = WriteAnnouncement(announcement);
    ASSERT_EQ(message.size(), 352u);
    EXPECT_EQ(Le32(message, kPayload + 12), 40u) << "the count tells the truth";
    EXPECT_EQ(Le32(message, kPayload + 16 + 34 * 8), 640u | 480u << 12 | 1u << 24) << "entry 34 is the last";
}

TEST(wire_writer, video_messages_carry_flags_and_data_after_their_fixed_fields)
{
    const Bytes data{0x00, 0x00, 0x00, 0x01, 0x65};
    const Bytes video = WriteVideoData(kFlagUpsideDown | kFlagMirrored | kFlagRawNv12, 7, 1000, data);
    ASSERT_EQ(video.size(), 16u + 12 + 5);
    EXPECT_EQ(Le32(video, 8), MESSAGE_VIDEODATA);
    EXPECT_EQ(Le32(video, 12), 17u);
    EXPECT_EQ(Le32(video, kPayload), 0x31u);
    EXPECT_EQ(Slice(video, kPayload + 12, 5), data);

    const Bytes depth{9, 8, 7};
    const Bytes both = WriteVideoDataWithDepth(kFlagMirrored, 7, 160, 120, data, depth);
    ASSERT_EQ(both.size(), 16u + 20 + 5 + 3);
    EXPECT_EQ(Le32(both, 8), MESSAGE_VIDEODATA_WITH_DEPTH);
    EXPECT_EQ(Le32(both, 12), 28u);
    EXPECT_EQ(Le32(both, kPayload), 0x10u);
    EXPECT_EQ(Slice(both, kPayload + 8, 4), (Bytes{160, 0, 120, 0})) << "depth width and height, u16 each";
    EXPECT_EQ(Le32(both, kPayload + 12), 5u);
    EXPECT_EQ(Le32(both, kPayload + 16), 3u);
    EXPECT_EQ(Slice(both, kPayload + 20, 5), data);
    EXPECT_EQ(Slice(both, kPayload + 25, 3), depth);
}

TEST(wire_writer, audio_sample_bytes_match_the_payload_and_samples_are_little_endian)
{
    std::int16_t samples[1024] = {};
    samples[0] = -2;
    samples[1023] = 0x1234;
    const Bytes audio = WriteAudioData(3, 70, samples);
    ASSERT_EQ(audio.size(), 16u + 12 + 2048);
    EXPECT_EQ(Le32(audio, 8), MESSAGE_AUDIODATA);
    EXPECT_EQ(Le32(audio, 12), 2060u);
    EXPECT_EQ(Le32(audio, kPayload + 8), 2048u) << "equals payloadSize - 12";
    EXPECT_EQ(Slice(audio, kPayload + 12, 2), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(Slice(audio, kPayload + 12 + 2046, 2), (Bytes{0x34, 0x12}));
}

TEST(wire_writer, helper_text_is_counted_and_not_terminated)
{
    const Bytes message = WriteHelperText("abc");
    EXPECT_EQ(message, (Bytes{0xDE, 0xC0, 0xAD, 0xDE, 0, 0, 0, 0, 0x06, 0x00, 0x02, 0x00, 7, 0, 0, 0,
                              3, 0, 0, 0, 'a', 'b', 'c'}));
}

TEST(usb_frame, header_is_the_little_endian_magic_and_a_big_endian_length)
{
    EXPECT_EQ(WriteUsbFrameHeader(352), (Bytes{0xDE, 0xC0, 0xAD, 0xDE, 0x00, 0x00, 0x01, 0x60}));
    EXPECT_EQ(WriteUsbFrameHeader(0x400001), (Bytes{0xDE, 0xC0, 0xAD, 0xDE, 0x00, 0x40, 0x00, 0x01}));
}

TEST(usb_frame, pieces_are_split_at_the_largest_body_the_service_accepts)
{
    const Bytes keepAlive = WriteKeepAlive();
    Bytes expected = WriteUsbFrameHeader(16);
    expected.insert(expected.end(), keepAlive.begin(), keepAlive.end());
    EXPECT_EQ(WriteUsbFrames(keepAlive), expected);
    EXPECT_TRUE(WriteUsbFrames({}).empty()) << "no empty frame for an empty piece";

    Bytes large(kMaxUsbFrameBody + 1);
    large.back() = 0x5A;
    const Bytes frames = WriteUsbFrames(large);
    ASSERT_EQ(frames.size(), large.size() + 16);
    EXPECT_EQ(Slice(frames, 0, 8), WriteUsbFrameHeader(kMaxUsbFrameBody));
    EXPECT_EQ(Slice(frames, 8 + kMaxUsbFrameBody, 8), WriteUsbFrameHeader(1));
    EXPECT_EQ(frames.back(), 0x5A);
}
