// The receiving parser against a recording stand-in for the connection
// manager: observer calls, state changes and log lines, exactly.
#include "session/message_parser.h"
#include "tests/session/recording_session.h"
#include "tests/session/stream_builder.h"
#include "tests/support/log_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace talvik;
using namespace talvik::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class ParserTest : public ::testing::Test {
protected:
    bool Feed(const Bytes& bytes) { return parser_.ParseMessages(bytes.data(), bytes.size()); }

    // The lines logged since the last call.
    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> lines = log_.Lines();
        log_.Clear();
        return lines;
    }

    RecordingSession session_{ConnectionState::kWifiConnecting};
    MessageParser parser_{session_, session_};
    LogRecorder log_;
};

AnnouncementFields Camera(std::vector<WireFormat> formats)
{
    AnnouncementFields content;
    content.clientType = 201;
    content.formats = std::move(formats);
    return content;
}

const AnnouncementFields kCamera = Camera({{1280, 720, 1, 30.0f}, {640, 480, 4, 29.97f}});

const Bytes kAudio = AudioMessage({1, 2, 3, 4});
const std::string kAudioCall = "OnAudioData(4) 01020304";

} // namespace

TEST_F(ParserTest, hands_each_message_type_on_with_its_fields)
{
    EXPECT_TRUE(Feed(Join({
        VideoMessage(0x11 | 0xFFC0, {0xAA, 0xBB}),
        VideoMessage(0x21, {1, 2, 3}),
        kAudio,
        HelperTextMessage("svc text"),
        DepthMessage(0x30, 640, 480, {9, 8, 7}, {6, 5}),
        VideoMessage(0x00, {}),
    })));
    EXPECT_THAT(session_.events, ElementsAre("OnVideoData(2, 3) aabb", "OnRawVideoFrame(3) 010203", kAudioCall,
                                             "OnStartHelperProgram(8) svc text",
                                             "OnVideoDataWithDepth(3, 2, 640x480, 2) 090807 | 0605",
                                             "OnVideoData(0, 0) "));
    EXPECT_THAT(TakeLog(), ElementsAre("trace: MESSAGE_VIDEODATA_WITH_DEPTH video data: 3 bytes, depth data: 2 bytes"));
}

TEST_F(ParserTest, refuses_pieces_while_idle)
{
    session_.state = ConnectionState::kIdle;
    EXPECT_FALSE(Feed(kAudio));
    EXPECT_THAT(session_.events, IsEmpty());
    EXPECT_THAT(TakeLog(), ElementsAre("trace: Received 32 bytes of data while in IDLE state"));
    EXPECT_EQ(session_.receives, 1) << "the refused piece still counts as a receive";
}

TEST_F(ParserTest, counts_a_receive_per_piece_and_per_header)
{
    EXPECT_TRUE(Feed(Join({kAudio, Bytes(kAudio.begin(), kAudio.begin() + 20)})));
    EXPECT_EQ(session_.receives, 3);
    EXPECT_TRUE(Feed(Bytes(kAudio.begin() + 20, kAudio.end())));
    EXPECT_EQ(session_.receives, 4);
    EXPECT_THAT(session_.events, ElementsAre(kAudioCall, kAudioCall));
}

TEST_F(ParserTest, invalid_headers_are_refused_and_stay_refused_until_reset)
{
    const Bytes invalid[] = {
        Header(MESSAGE_AUDIODATA, 0, 0xDEC0ADDE),      // bytes DE AD C0 DE: the magic in the wrong order
        Header(MESSAGE_STARTSTREAM, 12),               // the service's own message
        Header(0x20001, 0), Header(0x20008, 0),
        Header(MESSAGE_VIDEODATA, MessageParser::kMaxPayloadSize + 1),
        Header(MESSAGE_KEEPALIVE, 0xFFFFFFFF),
    };
    for (const Bytes& header : invalid) {
        SCOPED_TRACE(::testing::PrintToString(header));
        parser_.Reset();
        EXPECT_TRUE(Feed(kAudio));
        EXPECT_FALSE(Feed(Join({header, kAudio})));
        EXPECT_THAT(TakeLog(), ElementsAre("error: Invalid data received"));
        // Later pieces meet the same header again rather than parsing from
        // somewhere inside the stream.
        EXPECT_FALSE(Feed(kAudio));
        EXPECT_THAT(TakeLog(), ElementsAre("error: Invalid data received"));
    }
    parser_.Reset();
    EXPECT_TRUE(Feed(kAudio));
    EXPECT_EQ(session_.events, std::vector<std::string>(std::size(invalid) + 1, kAudioCall));
}

TEST_F(ParserTest, payload_size_limit_is_inclusive)
{
    EXPECT_TRUE(Feed(Header(MESSAGE_VIDEODATA, MessageParser::kMaxPayloadSize)));
    EXPECT_THAT(TakeLog(), IsEmpty());
}

TEST_F(ParserTest, keepalives_of_other_sizes_are_only_liveness)
{
    EXPECT_TRUE(Feed(Join({
        Header(MESSAGE_KEEPALIVE, 0),
        Message(MESSAGE_KEEPALIVE, Bytes(335, 0x11)),
        Message(MESSAGE_KEEPALIVE, Join({AnnouncementPayload(kCamera), {0}})),
        kAudio,
    })));
    EXPECT_THAT(session_.events, ElementsAre(kAudioCall));
    EXPECT_THAT(TakeLog(), ElementsAre("trace: Received empty MESSAGE_KEEPALIVE with size 0",
                                         "trace: Received empty MESSAGE_KEEPALIVE with size 335",
                                         "trace: Received empty MESSAGE_KEEPALIVE with size 337"));
}

TEST_F(ParserTest, camera_announcement_reports_formats_then_connects)
{
    const Bytes announcement = AnnouncementMessage(kCamera);
    EXPECT_TRUE(Feed(announcement));
    EXPECT_THAT(session_.events,
                ElementsAre("OnConnectionReceived(wifi, 1280x720@30/1 640x480@29/4)", "SetState(WIFI CONNECTED)"));
    EXPECT_THAT(TakeLog(), ElementsAre("info: Received MESSAGE_KEEPALIVE with 2 video formats:",
                                         "info: 0:\t\t1280 x 720 H.264 at 30 fps",
                                         "info: 1:\t\t640 x 480 NV12 at 29.97 fps"));
    EXPECT_TRUE(std::equal(announcement.begin(), announcement.end(), parser_.announcement().begin()));

    session_.events.clear();
    session_.state = ConnectionState::kUsbConnecting;
    parser_.Reset();
    EXPECT_TRUE(Feed(announcement));
    EXPECT_THAT(session_.events,
                ElementsAre("OnConnectionReceived(usb, 1280x720@30/1 640x480@29/4)", "SetState(USB CONNECTED)"));
}

TEST_F(ParserTest, stream_request_made_during_the_report_goes_out_on_the_connecting_session)
{
    std::vector<uint8_t> request;
    session_.onCall = [&](const std::string&) {
        EXPECT_EQ(session_.state, ConnectionState::kWifiConnecting);
        const auto message = BuildStartStream(Announcement(parser_.announcement().data() + kMessageHeaderSize),
                                              ClientFormat{640, 480, 29, 4});
        request.assign(message.begin(), message.end());
    };
    EXPECT_TRUE(Feed(AnnouncementMessage(kCamera)));
    ASSERT_EQ(request.size(), 28u);
    EXPECT_EQ(request[16], 1) << "the copy was in place when the engine asked";
}

TEST_F(ParserTest, only_the_first_announcement_of_a_session_counts)
{
    AnnouncementFields other = kCamera;
    other.formats = {{1920, 1080, 1, 60.0f}};
    EXPECT_TRUE(Feed(Join({AnnouncementMessage(kCamera), AnnouncementMessage(other)})));
    EXPECT_THAT(session_.events,
                ElementsAre("OnConnectionReceived(wifi, 1280x720@30/1 640x480@29/4)", "SetState(WIFI CONNECTED)"));
    EXPECT_EQ(parser_.announcement()[16 + 16], 0x00) << "the first announcement's copy is kept";

    session_.events.clear();
    session_.state = ConnectionState::kWifiConnecting;
    parser_.Reset();
    EXPECT_TRUE(Feed(AnnouncementMessage(other)));
    EXPECT_THAT(session_.events, ElementsAre("OnConnectionReceived(wifi, 1920x1080@60/1)", "SetState(WIFI CONNECTED)"));
}

TEST_F(ParserTest, client_types_decide_what_is_reported)
{
    struct Case {
        uint32_t clientType;
        ConnectionState state;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {799, ConnectionState::kUsbConnecting, {"OnConnectionReceived(usb, 1280x720@30/1 640x480@29/4)", "SetState(USB CONNECTED)"}},
        {1000, ConnectionState::kWifiConnecting, {"OnBarcodeClientConnected()", "SetState(WIFI CONNECTED)"}},
        {1599, ConnectionState::kUsbConnecting, {"OnBarcodeClientConnected()", "SetState(USB CONNECTED)"}},
        {1000, ConnectionState::kWifiConnected, {}},
        {300, ConnectionState::kWifiConnecting, {}},
        {800, ConnectionState::kUsbConnecting, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clientType);
        session_.events.clear();
        session_.state = c.state;
        parser_.Reset();
        AnnouncementFields content = kCamera;
        content.clientType = c.clientType;
        EXPECT_TRUE(Feed(Join({AnnouncementMessage(content), kAudio})));
        std::vector<std::string> expected = c.events;
        expected.push_back(kAudioCall);
        EXPECT_EQ(session_.events, expected);

        const std::vector<std::string> lines = TakeLog();
        if (ClassifyClient(c.clientType) == ClientClass::kUnknown) {
            EXPECT_THAT(lines, ElementsAre("error: Unknown client connected (" + std::to_string(c.clientType) + ")"));
        } else if (ClassifyClient(c.clientType) == ClientClass::kBarcodeReader) {
            EXPECT_THAT(lines, IsEmpty());
        }
    }
}

TEST_F(ParserTest, camera_announcement_outside_connecting_is_logged_and_kept_but_not_reported)
{
    session_.state = ConnectionState::kWifiConnected;
    const Bytes announcement = AnnouncementMessage(kCamera);
    EXPECT_TRUE(Feed(announcement));
    EXPECT_THAT(session_.events, IsEmpty());
    EXPECT_EQ(TakeLog().size(), 3u);
    EXPECT_TRUE(std::equal(announcement.begin(), announcement.end(), parser_.announcement().begin()));
}

TEST_F(ParserTest, a_session_ended_by_the_report_stays_ended)
{
    // The engine's stream request fails to go out: the manager goes back to
    // IDLE and resets the parser from inside the call.
    session_.onCall = [&](const std::string& line) {
        if (line.rfind("OnConnectionReceived", 0) != 0)
            return;
        session_.SetState(ConnectionState::kIdle);
        parser_.Reset();
    };
    EXPECT_TRUE(Feed(Join({AnnouncementMessage(kCamera), kAudio, kAudio})));
    EXPECT_THAT(session_.events,
                ElementsAre("OnConnectionReceived(wifi, 1280x720@30/1 640x480@29/4)", "SetState(IDLE)",
                            "ConnectionDisconnected()"))
        << "a session the observer was told of is always ended for it";

    // The next session starts from a clean stream.
    session_.onCall = nullptr;
    session_.state = ConnectionState::kWifiConnecting;
    EXPECT_TRUE(Feed(kAudio));
    EXPECT_EQ(session_.events.back(), kAudioCall);
}

TEST_F(ParserTest, format_count_above_the_table_is_capped_at_35)
{
    AnnouncementFields content = kCamera;
    content.formatCount = 1000000;
    EXPECT_TRUE(Feed(AnnouncementMessage(content)));
    const std::vector<std::string> lines = TakeLog();
    ASSERT_EQ(lines.size(), 36u);
    EXPECT_EQ(lines.front(), "info: Received MESSAGE_KEEPALIVE with 35 video formats:");
    EXPECT_EQ(lines.back(), "info: 34:\t\t0 x 0 MPEG-4 at 0 fps");
    EXPECT_THAT(session_.events.front(), ::testing::StartsWith("OnConnectionReceived(wifi, 1280x720@30/1 640x480@29/4 0x0@0/0"));
}

TEST_F(ParserTest, codec_without_a_name_is_logged_as_unknown)
{
    EXPECT_TRUE(Feed(AnnouncementMessage(Camera({{320, 240, 9, 15.0f}}))));
    EXPECT_THAT(TakeLog(), ElementsAre("info: Received MESSAGE_KEEPALIVE with 1 video formats:",
                                         "info: 0:\t\t320 x 240 UNKNOWN at 15 fps"));
}

TEST_F(ParserTest, messages_whose_fields_reach_past_the_payload_are_dropped)
{
    struct Case {
        Bytes message;
        std::string line;
    };
    const Case cases[] = {
        {Message(MESSAGE_VIDEODATA, Bytes(11, 0)), "MESSAGE_VIDEODATA with payloadSize 11: its fields need 12 bytes"},
        {Message(MESSAGE_AUDIODATA, Bytes(8, 0)), "MESSAGE_AUDIODATA with payloadSize 8: its fields need 12 bytes"},
        {AudioMessage({1, 2, 3, 4}, 5), "MESSAGE_AUDIODATA with payloadSize 16: its fields need 17 bytes"},
        {AudioMessage({}, 0xFFFFFFFF), "MESSAGE_AUDIODATA with payloadSize 12: its fields need 4294967307 bytes"},
        {Message(MESSAGE_HELPERTEXT, {}), "MESSAGE_HELPERTEXT with payloadSize 0: its fields need 4 bytes"},
        {Message(MESSAGE_HELPERTEXT, {3, 0, 0, 0, 'a', 'b'}), "MESSAGE_HELPERTEXT with payloadSize 6: its fields need 7 bytes"},
        {Message(MESSAGE_VIDEODATA_WITH_DEPTH, Bytes(19, 0)),
         "MESSAGE_VIDEODATA_WITH_DEPTH with payloadSize 19: its fields need 20 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        session_.events.clear();
        EXPECT_TRUE(Feed(Join({c.message, kAudio})));
        EXPECT_THAT(session_.events, ElementsAre(kAudioCall)) << "the stream goes on after the dropped message";
        EXPECT_THAT(TakeLog(), ElementsAre("error: Dropped " + c.line));
    }
}

TEST_F(ParserTest, depth_message_lengths_are_checked_together)
{
    Bytes message = DepthMessage(0, 4, 4, {1, 2, 3}, {4, 5});
    EXPECT_TRUE(Feed(message));
    message[16 + 16] = 3; // depth bytes 3: one past the payload
    EXPECT_TRUE(Feed(message));
    message[16 + 12] = 0xFF; // video bytes 0xFFFFFFFF: the sum overflows 32 bits
    message[16 + 13] = 0xFF;
    message[16 + 14] = 0xFF;
    message[16 + 15] = 0xFF;
    message[16 + 16] = 0x03;
    EXPECT_TRUE(Feed(message));
    EXPECT_THAT(session_.events, ElementsAre("OnVideoDataWithDepth(3, 0, 4x4, 2) 010203 | 0405"));
    EXPECT_THAT(TakeLog(),
                ElementsAre("trace: MESSAGE_VIDEODATA_WITH_DEPTH video data: 3 bytes, depth data: 2 bytes",
                            "trace: MESSAGE_VIDEODATA_WITH_DEPTH video data: 3 bytes, depth data: 3 bytes",
                            "error: Dropped MESSAGE_VIDEODATA_WITH_DEPTH with payloadSize 25: its fields need 26 bytes",
                            "trace: MESSAGE_VIDEODATA_WITH_DEPTH video data: 4294967295 bytes, depth data: 3 bytes",
                            "error: Dropped MESSAGE_VIDEODATA_WITH_DEPTH with payloadSize 25: its fields need 4294967318 bytes"));
}

TEST_F(ParserTest, short_audio_sample_count_is_delivered_after_an_error)
{
    EXPECT_TRUE(Feed(AudioMessage({1, 2, 3, 4, 5, 6, 7, 8}, 4)));
    EXPECT_THAT(TakeLog(), ElementsAre("error: ERROR: invalid payloadSize for MESSAGE_AUDIODATA"));
    EXPECT_THAT(session_.events, ElementsAre("OnAudioData(4) 01020304"));
}

TEST_F(ParserTest, buffer_grows_to_exactly_the_message_and_never_shrinks)
{
    Bytes big(3000000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    const Bytes message = VideoMessage(0, Bytes(big.begin() + 12, big.end()));
    EXPECT_EQ(parser_.capacity(), 2560000u);
    EXPECT_TRUE(Feed(message));
    EXPECT_EQ(parser_.capacity(), 3000016u);
    EXPECT_THAT(TakeLog(), ElementsAre("trace: Reallocating receive buffer to size 3000016"));

    EXPECT_TRUE(Feed(VideoMessage(0, Bytes(2000000 - 12, 0x5A))));
    EXPECT_THAT(TakeLog(), IsEmpty());
    EXPECT_EQ(parser_.capacity(), 3000016u);

    // A message that overflows the buffer across pieces keeps what the
    // earlier pieces brought.
    RecordingSession other(ConnectionState::kWifiConnecting);
    MessageParser split(other, other);
    for (std::size_t at = 0; at < message.size(); at += 1000000)
        EXPECT_TRUE(split.ParseMessages(message.data() + at, std::min<std::size_t>(1000000, message.size() - at)));
    EXPECT_THAT(other.events, ElementsAre(session_.events.front()));
    EXPECT_EQ(split.capacity(), 3000016u);
}
