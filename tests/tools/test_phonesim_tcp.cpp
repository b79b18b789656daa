// phonesim as a separate process, connecting out to a fake service over TCP:
// what it streams, how it reacts to the service, its faults and its exit
// codes.
#include "tests/support/phonesim_process.h"
#include "tests/tools/fake_service.h"
#include "tests/tools/test_decoder.h"
#include "tools/phonesim/exit_codes.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace talvik::phonesim;
using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::StartPhonesim;

namespace {

// 0 past the end, so that a missing message fails the checks, not the test.
std::uint32_t Le32(const Bytes& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    if (at + 4 <= bytes.size())
        std::memcpy(&value, &bytes[at], 4);
    return value;
}

// The H.264 data of a MESSAGE_VIDEODATA payload.
Bytes VideoData(const test::PhoneMessage& message)
{
    if (message.payload.size() < 12)
        return {};
    return Bytes(message.payload.begin() + 12, message.payload.end());
}

class PhonesimTcp : public ::testing::Test {
protected:
    // Starts the simulator against the fake service and accepts it.
    void Start(std::vector<std::string> options)
    {
        std::vector<std::string> arguments{"connect", "--port", std::to_string(service_.port()), "--duration", "20"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        phonesim_ = StartPhonesim(arguments);
        ASSERT_TRUE(service_.Accept(5s)) << phonesim_->Output();
    }

    // Reads the announcement and asks for entry `format` (640x480 by default).
    void Stream(std::uint32_t format = 0)
    {
        const test::PhoneMessage announcement = Message();
        ASSERT_EQ(announcement.type, MESSAGE_KEEPALIVE);
        ASSERT_EQ(announcement.payloadSize, 336u);
        service_.SendStreamRequest(format, 1);
    }

    // The next message (only its header with `payload` false), or an empty
    // one and a failure.
    test::PhoneMessage Message(bool payload = true)
    {
        std::optional<test::PhoneMessage> message = service_.ReadMessage(3s, payload);
        if (!message) {
            ADD_FAILURE() << "no message from the phone\n" << Log();
            return {};
        }
        return *message;
    }

    // The next message of `type`, skipping others.
    test::PhoneMessage Next(std::uint32_t type)
    {
        std::optional<test::PhoneMessage> message = service_.ReadUntil(type, 3s);
        if (!message) {
            ADD_FAILURE() << "no message of type " << std::hex << type << " from the phone\n" << Log();
            return {};
        }
        return *message;
    }

    std::optional<int> Exit() { return phonesim_->Wait(10s); }

    std::string Log() const { return phonesim_->Output(); }

    test::FakeService service_;
    std::unique_ptr<HelperProcess> phonesim_;
};

} // namespace

TEST_F(PhonesimTcp, streams_numbered_frames_at_the_frame_rate_with_audio_then_stops_at_its_bound)
{
    Start({"--frames", "45"});
    const auto start = std::chrono::steady_clock::now();
    Stream(0);
    test::TestDecoder decoder;
    std::uint32_t videos = 0, audioBlocks = 0;
    while (std::optional<test::PhoneMessage> message = service_.ReadMessage(3s)) {
        ASSERT_EQ(message->magic, kMagic);
        if (message->type == MESSAGE_VIDEODATA) {
            ASSERT_EQ(Le32(message->payload, 0), 0u) << "no flags";
            ASSERT_TRUE(decoder.Decode(VideoData(*message))) << "frame " << videos;
            EXPECT_EQ(decoder.width(), 640);
            EXPECT_EQ(decoder.FrameNumber(), videos);
            ++videos;
        } else if (message->type == MESSAGE_AUDIODATA) {
            EXPECT_EQ(message->payloadSize, 12u + 2048);
            EXPECT_EQ(Le32(message->payload, 8), 2048u);
            ++audioBlocks;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(videos, 45u);
    EXPECT_GE(seconds, 1.4) << "30 frames per second";
    // 1.5 s of sound in blocks of 1024 samples at 44.1 kHz.
    EXPECT_GE(audioBlocks, 55u);
    EXPECT_LE(audioBlocks, 75u);
    EXPECT_EQ(Exit(), kExitOk);

    const std::vector<talvik::test::SentFrame> frames = talvik::test::SentFrames(Log());
    ASSERT_EQ(frames.size(), 45u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].number, i);
        EXPECT_EQ(frames[i].width, 640);
        EXPECT_GE(frames[i].sendUs, frames[i].captureUs);
    }
    const double meanGapMs = (frames.back().sendUs - frames.front().sendUs) / 1000.0 / 44;
    EXPECT_NEAR(meanGapMs, 33.3, 4);
}

TEST_F(PhonesimTcp, unpaced_sends_frames_back_to_back_and_still_hears_the_service)
{
    // 20 frames of a 1 fps entry: 19 s at the frame rate.
    Start({"--formats", "64x64@1:nv12,128x128@1:nv12", "--unpaced", "--frames", "20", "--tone", "0"});
    const auto start = std::chrono::steady_clock::now();
    Stream(0);
    for (std::uint32_t frame = 0; frame < 20; ++frame) {
        const test::PhoneMessage video = Next(MESSAGE_VIDEODATA);
        ASSERT_EQ(video.payloadSize, 12u + 64 * 64 * 3 / 2);
        EXPECT_EQ(Le32(video.payload, 0), kFlagRawNv12);
        EXPECT_EQ(Le32(video.payload, 4), frame) << "frame numbers in order, none skipped";
    }
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
    EXPECT_TRUE(service_.ClosedWithin(3s, 0)) << "nothing after the last frame";
    EXPECT_EQ(Exit(), kExitOk);

    // Always due to send, the phone must still read what the service sends
    // between frames: a format change takes effect mid-stream.
    Start({"--formats", "64x64@1:nv12,128x128@1:nv12", "--unpaced", "--tone", "0"});
    Stream(0);
    ASSERT_EQ(Next(MESSAGE_VIDEODATA).payloadSize, 12u + 64 * 64 * 3 / 2);
    service_.SendStreamRequest(1, 1);
    const auto asked = std::chrono::steady_clock::now();
    bool changed = false;
    while (!changed && std::chrono::steady_clock::now() - asked < 3s)
        changed = Next(MESSAGE_VIDEODATA).payloadSize == 12u + 128 * 128 * 3 / 2;
    EXPECT_TRUE(changed) << Log();
    service_.Close();
    EXPECT_EQ(Exit(), kExitServiceClosed);
}

TEST_F(PhonesimTcp, changes_format_on_request_only_when_it_announced_it_can)
{
    for (bool announced : {true, false}) {
        SCOPED_TRACE(announced ? "format change announced" : "format change not announced");
        Start(announced ? std::vector<std::string>{} : std::vector<std::string>{"--no-format-change"});
        Stream(0);
        test::TestDecoder decoder;
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(decoder.Decode(VideoData(Next(MESSAGE_VIDEODATA))));
        service_.SendStreamRequest(2, 1);
        // Frames in flight may still have the old size; within half a
        // second the new one must have arrived.
        for (int i = 0; i < 15; ++i)
            ASSERT_TRUE(decoder.Decode(VideoData(Next(MESSAGE_VIDEODATA))));
        EXPECT_EQ(decoder.width(), announced ? 1280 : 640);
        EXPECT_EQ(decoder.FrameNumber(), 17u) << "numbering goes on across the change";
        service_.Close();
        EXPECT_EQ(Exit(), kExitServiceClosed);
    }
}

TEST_F(PhonesimTcp, exit_codes_tell_how_the_service_behaved)
{
    struct Case {
        const char* what;
        std::function<void(test::FakeService&)> service;
        int exitCode;
        const char* logged;
    };
    Bytes bigEndianMagic = WriteKeepAlive();
    std::swap(bigEndianMagic[1], bigEndianMagic[2]);
    const Case cases[] = {
        {"service hangs up", [](test::FakeService& s) { s.Close(); }, kExitServiceClosed,
         "the service closed the connection"},
        {"service sends a bad magic", [&](test::FakeService& s) { s.Send(bigEndianMagic); }, kExitServiceInvalid,
         "magic DE AD C0 DE"},
        {"service asks for an entry that was not announced", [](test::FakeService& s) { s.SendStreamRequest(5, 1); },
         kExitServiceInvalid, "asked for format 5, but only 5 were announced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start({});
        Message();
        c.service(service_);
        EXPECT_EQ(Exit(), c.exitCode);
        EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
        service_.Close();
    }

    int closedPort = 0;
    {
        test::FakeService gone;
        closedPort = gone.port();
    }
    phonesim_ = StartPhonesim({"connect", "--port", std::to_string(closedPort), "--duration", "1.5"});
    EXPECT_EQ(Exit(), kExitNoService);
}

TEST_F(PhonesimTcp, connects_again_for_every_session_asked_for)
{
    Start({"--sessions", "2"});
    Message();
    service_.Close();
    ASSERT_TRUE(service_.Accept(5s)) << "reconnects after the first session";
    EXPECT_EQ(Message().payloadSize, 336u);
    service_.Close();
    EXPECT_EQ(Exit(), kExitServiceClosed);
    EXPECT_NE(Log().find("session 2: connected"), std::string::npos);
}

TEST_F(PhonesimTcp, video_forms_orientation_and_helper_text_follow_the_options)
{
    Start({"--video", "depth", "--depth-size", "16x8", "--upside-down", "--mirrored", "--helper-text", "hello"});
    Message();
    const test::PhoneMessage helper = Message();
    EXPECT_EQ(helper.type, MESSAGE_HELPERTEXT);
    EXPECT_EQ(helper.payload, (Bytes{5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o'}));
    service_.SendStreamRequest(0, 1);
    const test::PhoneMessage depth = Next(MESSAGE_VIDEODATA_WITH_DEPTH);
    EXPECT_EQ(Le32(depth.payload, 0), 0x11u) << "upside down and mirrored";
    EXPECT_EQ(Le32(depth.payload, 8), 16u | 8u << 16) << "depth width and height";
    const std::uint32_t videoBytes = Le32(depth.payload, 12);
    EXPECT_EQ(Le32(depth.payload, 16), 16u * 8 * 2);
    ASSERT_EQ(depth.payloadSize, 20 + videoBytes + 16 * 8 * 2);
    test::TestDecoder decoder;
    EXPECT_TRUE(decoder.Decode(Bytes(depth.payload.begin() + 20, depth.payload.begin() + 20 + videoBytes)));
    service_.Close();
    EXPECT_EQ(Exit(), kExitServiceClosed);

    // NV12 entries are streamed raw, whatever the video option says.
    Start({"--formats", "64x64:nv12,640x480"});
    Stream(0);
    const test::PhoneMessage raw = Next(MESSAGE_VIDEODATA);
    EXPECT_EQ(Le32(raw.payload, 0), 0x20u);
    EXPECT_EQ(raw.payloadSize, 12u + 64 * 64 * 3 / 2);
}

TEST_F(PhonesimTcp, stream_breaking_faults_put_the_expected_bytes_on_the_wire)
{
    // bad-magic: the header of the third message is byte-swapped, then only
    // keep-alives follow.
    Start({"--fault", "bad-magic", "--fault-after", "2", "--tone", "0"});
    Stream();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(Message().type, MESSAGE_VIDEODATA);
    EXPECT_EQ(service_.Read(4, 3s), (Bytes{0xDE, 0xAD, 0xC0, 0xDE}));
    ASSERT_TRUE(service_.Read(12, 3s));
    EXPECT_EQ(service_.Read(16, 3s), WriteKeepAlive());
    service_.Close();

    // oversized-payload: a video header announcing 4 GiB.
    Start({"--fault", "oversized-payload", "--fault-after", "1", "--tone", "0"});
    Stream();
    ASSERT_EQ(Message().type, MESSAGE_VIDEODATA);
    const test::PhoneMessage huge = Message(false);
    EXPECT_EQ(huge.type, MESSAGE_VIDEODATA);
    EXPECT_EQ(huge.payloadSize, 0xFFFFFFFFu);
    EXPECT_EQ(service_.Read(16, 3s), WriteKeepAlive());
    service_.Close();

    // truncated: half a video message, then the phone closes on purpose.
    Start({"--fault", "truncated", "--fault-after", "1", "--tone", "0"});
    Stream();
    ASSERT_EQ(Message().type, MESSAGE_VIDEODATA);
    const test::PhoneMessage cut = Message(false);
    ASSERT_EQ(cut.type, MESSAGE_VIDEODATA);
    EXPECT_TRUE(service_.ClosedWithin(3s, cut.payloadSize - 1)) << "fewer bytes than announced, then the end";
    EXPECT_EQ(Exit(), kExitOk);

    // random-bytes: no announcement, only noise, then nothing.
    Start({"--fault", "random-bytes", "--fault-size", "100"});
    const std::optional<Bytes> noise = service_.Read(100, 3s);
    ASSERT_TRUE(noise);
    EXPECT_NE(Le32(*noise, 0), kMagic);
    EXPECT_FALSE(service_.Read(1, 700ms)) << "nothing after the noise";
    service_.Close();
    EXPECT_EQ(Exit(), kExitServiceClosed);
}

TEST_F(PhonesimTcp, faults_within_a_valid_stream)
{
    // silence: nothing at all after two frames, until the service gives up.
    Start({"--fault", "silence", "--fault-after", "2", "--tone", "0"});
    Stream();
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(Message().type, MESSAGE_VIDEODATA);
    EXPECT_FALSE(service_.Read(1, 1500ms));
    service_.Close();
    EXPECT_EQ(Exit(), kExitServiceClosed);

    // second-announcement and long-helper-text arrive between frames.
    Start({"--fault", "second-announcement", "--fault-after", "1", "--tone", "0"});
    Stream();
    ASSERT_EQ(Message().type, MESSAGE_VIDEODATA);
    const test::PhoneMessage second = Message();
    ASSERT_EQ(second.type, MESSAGE_KEEPALIVE);
    ASSERT_EQ(second.payloadSize, 336u);
    EXPECT_EQ(Le32(second.payload, 12), 1u) << "one format";
    EXPECT_EQ(Le32(second.payload, 16), 320u | 240u << 12 | 1u << 24);
    EXPECT_EQ(Message().type, MESSAGE_VIDEODATA) << "streaming goes on";
    service_.Close();

    Start({"--fault", "long-helper-text", "--fault-after", "0", "--tone", "0"});
    Stream();
    const test::PhoneMessage text = Message();
    ASSERT_EQ(text.type, MESSAGE_HELPERTEXT);
    EXPECT_EQ(Le32(text.payload, 0), 300u);
    EXPECT_EQ(text.payloadSize, 304u);
    service_.Close();

    // byte-at-a-time: the same messages, in the smallest pieces.
    Start({"--fault", "byte-at-a-time", "--tone", "0"});
    Stream();
    test::TestDecoder decoder;
    ASSERT_TRUE(decoder.Decode(VideoData(Next(MESSAGE_VIDEODATA))));
    EXPECT_EQ(decoder.FrameNumber(), 0u);
    service_.Close();
}

TEST_F(PhonesimTcp, client_type_faults_announce_other_apps)
{
    Start({"--fault", "unknown-client"});
    EXPECT_EQ(Le32(Message().payload, 0), 800u);
    service_.Close();

    // The barcode reader never streams, even when asked.
    Start({"--fault", "barcode-client"});
    Stream();
    for (int i = 0; i < 3; ++i) {
        const test::PhoneMessage message = Message();
        EXPECT_EQ(message.type, MESSAGE_KEEPALIVE);
        EXPECT_EQ(message.payloadSize, 0u);
    }
    EXPECT_NE(Log().find("a barcode reader sends no video"), std::string::npos);
}
