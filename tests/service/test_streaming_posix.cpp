// The whole road of a stream with real processes: TalvikSvc takes the phone
// simulator's stream over WiFi and over USB, decodes it into the file camera, where
// camview reads the pictures and changes the request, and writes the tone
// to the ring-file microphone.
#include "media/pixel_format.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tools/camview/picture_rgb.h"
#include "tools/phonesim/frame_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;
using talvik::test::HelperProcess;
using talvik::test::ReadFile;
using talvik::test::TempDir;
using talvik::test::WriteFile;

namespace {

// camview on the rig's camera: its exit code, with its output in `output`.
std::optional<int> Camview(const talvik::test::ServiceRig& rig, const std::vector<std::string>& arguments,
                           std::string* output = nullptr)
{
    std::vector<std::string> all{"--file", rig.camera()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    HelperProcess camview(talvik::test::SiblingProgram("camview"), all);
    const std::optional<int> code = camview.Wait(20s);
    if (output)
        *output = camview.Output();
    return code;
}

// The first whole picture camview streams that has `bytes` bytes (an older
// format's picture may still come first).
std::vector<std::uint8_t> Grab(const talvik::test::ServiceRig& rig, std::uint32_t bytes)
{
    const std::string out = rig.File("picture.raw");
    for (int attempt = 0; attempt < 5; ++attempt) {
        HelperProcess shell("/bin/sh", {"-c", "\"$0\" --file \"$1\" --raw --timeout 5 2>/dev/null | head -c $2 > \"$3\"",
                                        talvik::test::SiblingProgram("camview"), rig.camera(),
                                        std::to_string(bytes), out});
        EXPECT_EQ(shell.Wait(20s), 0);
        const std::string picture = ReadFile(out);
        if (picture.size() == bytes)
            return {picture.begin(), picture.end()};
    }
    return {};
}

// The simulator's frame number in a picture that fills the whole buffer.
std::optional<std::uint32_t> FrameNumber(const std::vector<std::uint8_t>& bytes, std::uint32_t width,
                                         std::uint32_t height, std::int32_t format)
{
    const std::optional<talvik::camview::Image> luma = talvik::camview::ToLuma(bytes, width, height, format);
    if (!luma)
        return std::nullopt;
    return talvik::phonesim::ReadFrameCode(luma->pixels.data(), static_cast<int>(width), static_cast<int>(width),
                                           static_cast<int>(height));
}

bool Sent(const std::vector<talvik::test::SentFrame>& frames, std::uint32_t number, int width)
{
    return std::ranges::any_of(frames, [&](const auto& f) { return f.number == number && f.width == width; });
}

enum class Via { kWifi, kUsb };

void StreamAndCheck(Via via)
{
    TempDir usbmuxdDir;
    const std::string usbmuxd = "UNIX:" + usbmuxdDir.File("usbmuxd.sock");
    std::unique_ptr<HelperProcess> phone;
    if (via == Via::kUsb) {
        // The simulator first, its phone unplugged: the USB library looks
        // for usbmuxd as the service starts.
        phone = talvik::test::StartPhonesim({"usb", "--usbmuxd", usbmuxd, "--usb-detached", "--duration", "40"});
        ASSERT_TRUE(phone->WaitForOutput("usbmuxd: listening on", 10s)) << phone->Output();
    }
    talvik::test::ServiceRig rig;
    rig.Start(usbmuxd);
    // The status screen shows the camera file's own 1280 x 720 NV12 first,
    // which is then the size asked of the phone.
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("CreateFormatBitmap: '1280x720 NV12 at 30 fps'") == 1; }))
        << rig.Log();
    if (via == Via::kWifi)
        phone = talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "40"});
    else
        phone->Write("attach\n");
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    EXPECT_EQ(rig.Count("StartStreaming: 640 x 480 at 30 fps"), 0);
    std::this_thread::sleep_for(500ms); // pictures of the new stream
    std::vector<std::uint8_t> picture = Grab(rig, 1382400);
    const std::optional<std::uint32_t> first = FrameNumber(picture, 1280, 720, talvik::kPixelNv12);
    ASSERT_TRUE(first);

    // Another format of the same size: the same pattern, later frames.
    ASSERT_EQ(Camview(rig, {"--request", "1280x720", "YUY2"}), 0);
    picture = Grab(rig, 1843200);
    const std::optional<std::uint32_t> second = FrameNumber(picture, 1280, 720, talvik::kPixelYuy2);
    ASSERT_TRUE(second);
    EXPECT_GT(*second, *first);

    // A smaller request makes the service ask the phone for it.
    ASSERT_EQ(Camview(rig, {"--request", "640x480", "NV12"}), 0);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 640 x 480 at 30 fps") == 1; })) << rig.Log();
    EXPECT_EQ(rig.Count("Video resolution changed, reconnecting to change client resolution from 1280 x 720 to "
                        "640 x 480"),
              1);
    std::this_thread::sleep_for(500ms);
    picture = Grab(rig, 460800);
    const std::optional<std::uint32_t> third = FrameNumber(picture, 640, 480, talvik::kPixelNv12);
    ASSERT_TRUE(third);

    // The tone, 16-bit stereo with both channels alike, is in the ring.
    const std::string ring = ReadFile(rig.ring());
    ASSERT_EQ(ring.size(), 64u + 262144u);
    std::uint64_t written = 0;
    std::memcpy(&written, ring.data() + 24, 8);
    EXPECT_GT(written, 44100u); // more than a quarter of a second
    int loud = 0;
    for (std::size_t at = 64; at + 4 <= ring.size(); at += 4) {
        std::int16_t left = 0;
        std::int16_t right = 0;
        std::memcpy(&left, ring.data() + at, 2);
        std::memcpy(&right, ring.data() + at + 2, 2);
        ASSERT_EQ(left, right) << "at " << at;
        loud += std::abs(left) > 1000;
    }
    EXPECT_GT(loud, 10000);

    // Once the phone is gone the status screen is back: pictures without a
    // frame number.
    phone->Stop();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("ConnectionDisconnected") == 1; })) << rig.Log();
    picture = Grab(rig, 460800);
    ASSERT_EQ(picture.size(), 460800u);
    EXPECT_FALSE(FrameNumber(picture, 640, 480, talvik::kPixelNv12));

    const std::vector<talvik::test::SentFrame> sent = talvik::test::SentFrames(phone->Output());
    EXPECT_TRUE(Sent(sent, *first, 1280)) << *first;
    EXPECT_TRUE(Sent(sent, *second, 1280)) << *second;
    EXPECT_TRUE(Sent(sent, *third, 640)) << *third;
    EXPECT_EQ(rig.Stop(), 0);
    const std::string log = rig.Log();
    EXPECT_NE(log.find("] VideoDecoder initialized\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] AudioDriver loaded\n"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("] VidreloEngine deleted\n")) << log;
}

} // namespace

TEST(streaming, the_phone_pictures_and_tone_reach_the_file_camera_and_microphone)
{
    if (!talvik::test::FileExists(talvik::test::SiblingProgram("phonesim")))
        GTEST_SKIP() << "phonesim is not built";
    for (Via via : {Via::kWifi, Via::kUsb}) {
        SCOPED_TRACE(via == Via::kWifi ? "WiFi" : "USB");
        StreamAndCheck(via);
    }
}
