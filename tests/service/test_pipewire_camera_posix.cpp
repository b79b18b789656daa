// The PipeWire camera with real processes: a private PipeWire (bus, daemon,
// wireplumber), TalvikSvc told to use PipeWire, GStreamer's pipewiresrc as
// an ordinary camera consumer and the phone simulator as the phone.
#include "media/pixel_format.h"
#include "tests/service/camera_probe_posix.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pipewire_posix.h"
#include "tools/camview/picture_rgb.h"

#include <gtest/gtest.h>

#include <algorithm>

using talvik::test::ReadFile;

namespace {

// `count` YUY2 pictures of `width` x `height` that pipewiresrc takes from the
// camera, one after the other; empty when it does not get them.
std::vector<std::vector<std::uint8_t>> Consume(const talvik::test::PipeWire& pipewire, std::uint32_t width,
                                               std::uint32_t height, int count)
{
    const std::string file = pipewire.dir.File("pictures.raw");
    std::string output;
    const std::optional<int> code = pipewire.Run(
        "gst-launch-1.0",
        {"-q", "pipewiresrc", "target-object=talvik-camera", "num-buffers=" + std::to_string(count), "!",
         "video/x-raw,format=YUY2,width=" + std::to_string(width) + ",height=" + std::to_string(height), "!",
         "filesink", "location=" + file},
        30, &output);
    EXPECT_EQ(code, 0) << output;
    const std::string bytes = ReadFile(file);
    const std::size_t size = talvik::FrameBytes(talvik::kPixelYuy2, width, height);
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::size_t at = 0; at + size <= bytes.size(); at += size)
        pictures.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
    EXPECT_EQ(pictures.size(), static_cast<std::size_t>(count));
    return pictures;
}

} // namespace

TEST(pipewire_camera, a_pipewire_consumer_sees_the_status_screen_and_the_phone_and_chooses_its_size)
{
    talvik::test::PipeWire pipewire;
    if (const std::string skipReason = pipewire.Start(); !skipReason.empty())
        GTEST_SKIP() << skipReason;
    talvik::test::ServiceRig rig({"Camera=pipewire"});
    rig.Start(rig.unusedUsbmuxd(), {"PIPEWIRE_RUNTIME_DIR=" + pipewire.dir.path()});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: published as \"Vidrelo Camera\" (talvik-camera)") == 1; }))
        << rig.Log();
    std::string nodes;
    ASSERT_EQ(pipewire.Run("pw-dump", {}, 10, &nodes), 0);
    EXPECT_NE(nodes.find("\"media.class\": \"Video/Source\""), std::string::npos) << nodes;
    EXPECT_NE(nodes.find("\"node.description\": \"Vidrelo Camera\""), std::string::npos) << nodes;

    // The status screen at the consumer's 640 x 480 YUY2: the spinner's
    // white ring fills the 64 x 64 square in the middle, nothing around it.
    std::vector<std::vector<std::uint8_t>> pictures = Consume(pipewire, 640, 480, 5);
    ASSERT_FALSE(pictures.empty());
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: a consumer takes 640 x 480 YUY2") > 0; }))
        << rig.Log();
    const std::optional<talvik::camview::Image> luma =
        talvik::camview::ToLuma(pictures.back(), 640, 480, talvik::kPixelYuy2);
    ASSERT_TRUE(luma);
    std::uint32_t left = 640, top = 480, right = 0, bottom = 0;
    for (std::uint32_t y = 160; y < 320; ++y)
        for (std::uint32_t x = 220; x < 420; ++x)
            if (luma->pixels[y * 640 + x] > 100) {
                left = std::min(left, x), top = std::min(top, y);
                right = std::max(right, x + 1), bottom = std::max(bottom, y + 1);
            }
    EXPECT_GE(left, 288u);
    EXPECT_GE(top, 208u);
    EXPECT_LE(right, 352u);
    EXPECT_LE(bottom, 272u);
    EXPECT_GE(right - left, 58u);

    // The phone streams the size the consumer asked for; its numbered
    // pictures reach the consumer in order (it may skip some).
    std::unique_ptr<talvik::test::HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "30"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 640 x 480 at 30 fps") == 1; })) << rig.Log();
    // The format text covers the frame code's end for two seconds after a
    // change: the first pictures may not tell their numbers.
    std::optional<std::uint32_t> first, last;
    for (int attempt = 0; attempt < 4 && !(first && last); ++attempt) {
        pictures = Consume(pipewire, 640, 480, 15);
        ASSERT_EQ(pictures.size(), 15u);
        first = talvik::test::ReadFrameNumber(pictures.front(), 640, 480, talvik::kPixelYuy2);
        last = talvik::test::ReadFrameNumber(pictures.back(), 640, 480, talvik::kPixelYuy2);
    }
    ASSERT_TRUE(first && last);
    EXPECT_GT(*last, *first);

    // A consumer asking for 1280 x 720 makes the service ask the phone.
    Consume(pipewire, 1280, 720, 3);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
    EXPECT_TRUE(rig.Log().ends_with("] VidreloEngine deleted\n")) << rig.Log();
}
