// The PipeWire camera with real processes: a private PipeWire (bus, daemon,
// wireplumber), TalvikSvc told to use PipeWire, GStreamer's pipewiresrc and
// a V4L2 program under pw-v4l2 as ordinary camera consumers, and the phone
// simulator as the phone.
#include "media/pixel_format.h"
#include "tests/service/camera_probe_posix.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pipewire_posix.h"
#include "tools/camview/picture_rgb.h"
#include "tests/support/skip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using talvik::test::ReadFile;

namespace {

std::vector<std::vector<std::uint8_t>> Split(const std::string& bytes, std::size_t size)
{
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::size_t at = 0; at + size <= bytes.size(); at += size)
        pictures.emplace_back(bytes.begin() + at, bytes.begin() + at + size);
    return pictures;
}

// `count` pictures of `width` x `height` in YUY2 (or BGRx) that pipewiresrc
// takes from the camera, one after the other; empty when it does not get
// them.
std::vector<std::vector<std::uint8_t>> Consume(const talvik::test::PipeWire& pipewire, std::uint32_t width,
                                               std::uint32_t height, int count,
                                               talvik::DriverPixelFormat format = talvik::kPixelYuy2)
{
    const std::string file = pipewire.dir.File("pictures.raw");
    std::string output;
    const std::optional<int> code = pipewire.Run(
        "gst-launch-1.0",
        {"-q", "pipewiresrc", "target-object=talvik-camera", "num-buffers=" + std::to_string(count), "!",
         std::string("video/x-raw,format=") + talvik::PixelFormatName(format) + ",width=" + std::to_string(width) +
             ",height=" + std::to_string(height),
         "!", "filesink", "location=" + file},
        30, &output);
    EXPECT_EQ(code, 0) << output;
    std::vector<std::vector<std::uint8_t>> pictures = Split(ReadFile(file), talvik::FrameBytes(format, width, height));
    EXPECT_EQ(pictures.size(), static_cast<std::size_t>(count));
    return pictures;
}

// v4l2_capture run under pw-v4l2 on /dev/video0: `count` pictures of the
// format it set, and what it printed in `output`.
std::vector<std::vector<std::uint8_t>> CaptureV4l2(const talvik::test::PipeWire& pipewire, std::uint32_t width,
                                                   std::uint32_t height, const std::string& fourcc,
                                                   talvik::DriverPixelFormat format, int count, std::string& output)
{
    const std::string file = pipewire.dir.File("v4l2.raw");
    const std::optional<int> code =
        pipewire.Run("pw-v4l2",
                     {talvik::test::SiblingProgram("v4l2_capture"), "/dev/video0", std::to_string(width),
                      std::to_string(height), fourcc, std::to_string(count), file},
                     30, &output);
    EXPECT_EQ(code, 0) << output;
    return Split(ReadFile(file), talvik::FrameBytes(format, width, height));
}

// The status screen at 640 x 480: the spinner's white ring fills the 64 x 64
// square in the middle, nothing around it.
void ExpectSpinner(const std::vector<std::uint8_t>& picture, talvik::DriverPixelFormat format)
{
    const std::optional<talvik::camview::Image> luma = talvik::camview::ToLuma(picture, 640, 480, format);
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
}

// The phone's numbered pictures reach the consumer in order (it may skip
// some): 15 taken by `take` at 640 x 480 YUY2, a few times over, as the
// format text covers the frame code's end for two seconds after a change.
void ExpectNumbersIncrease(const std::function<std::vector<std::vector<std::uint8_t>>(int)>& take)
{
    std::optional<std::uint32_t> first, last;
    for (int attempt = 0; attempt < 4 && !(first && last); ++attempt) {
        const std::vector<std::vector<std::uint8_t>> pictures = take(15);
        ASSERT_EQ(pictures.size(), 15u);
        first = talvik::test::ReadFrameNumber(pictures.front(), 640, 480, talvik::kPixelYuy2);
        last = talvik::test::ReadFrameNumber(pictures.back(), 640, 480, talvik::kPixelYuy2);
    }
    ASSERT_TRUE(first && last);
    EXPECT_GT(*last, *first);
}

} // namespace

TEST(pipewire_camera, a_pipewire_consumer_sees_the_status_screen_and_the_phone_and_chooses_its_size)
{
    talvik::test::PipeWire pipewire;
    if (const std::string skipReason = pipewire.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;
    talvik::test::ServiceRig rig({"Camera=pipewire"});
    rig.Start(rig.unusedUsbmuxd(), {"PIPEWIRE_RUNTIME_DIR=" + pipewire.dir.path()});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: published as \"Vidrelo Camera\" (talvik-camera)") == 1; }))
        << rig.Log();
    std::string nodes;
    ASSERT_EQ(pipewire.Run("pw-dump", {}, 10, &nodes), 0);
    EXPECT_NE(nodes.find("\"media.class\": \"Video/Source\""), std::string::npos) << nodes;
    EXPECT_NE(nodes.find("\"node.description\": \"Vidrelo Camera\""), std::string::npos) << nodes;

    // The status screen at the consumer's 640 x 480 YUY2.
    const std::vector<std::vector<std::uint8_t>> pictures = Consume(pipewire, 640, 480, 5);
    ASSERT_FALSE(pictures.empty());
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: a consumer takes 640 x 480 YUY2") > 0; }))
        << rig.Log();
    ExpectSpinner(pictures.back(), talvik::kPixelYuy2);

    // The phone streams the size the consumer asked for.
    std::unique_ptr<talvik::test::HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "30"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 640 x 480 at 30 fps") == 1; })) << rig.Log();
    ExpectNumbersIncrease([&](int count) { return Consume(pipewire, 640, 480, count); });
    // In BGRx and NV12 too, upright: the code is read from the rows as
    // they come.
    for (const talvik::DriverPixelFormat format : {talvik::kPixelBgrx, talvik::kPixelNv12}) {
        std::optional<std::uint32_t> first;
        for (int attempt = 0; attempt < 4 && !first; ++attempt)
            first = talvik::test::ReadFrameNumber(Consume(pipewire, 640, 480, 3, format).back(), 640, 480, format);
        EXPECT_TRUE(first) << talvik::PixelFormatName(format);
    }

    // A consumer asking for 1280 x 720 makes the service ask the phone.
    Consume(pipewire, 1280, 720, 3);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
    EXPECT_TRUE(rig.Log().ends_with("] VidreloEngine deleted\n")) << rig.Log();
}

TEST(pipewire_camera, v4l2_programs_under_pw_v4l2_one_after_another_list_the_formats_and_get_the_size_they_set)
{
    talvik::test::PipeWire pipewire;
    if (const std::string skipReason = pipewire.Start(); !skipReason.empty())
        TALVIK_SKIP_MISSING() << skipReason;
    if (talvik::test::FindProgram("pw-v4l2").empty())
        TALVIK_SKIP_MISSING() << "pw-v4l2 is not installed (scripts/install-linux-deps.sh installs it)";
    talvik::test::ServiceRig rig({"Camera=pipewire"});
    rig.Start(rig.unusedUsbmuxd(), {"PIPEWIRE_RUNTIME_DIR=" + pipewire.dir.path()});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: published as \"Vidrelo Camera\" (talvik-camera)") == 1; }))
        << rig.Log();

    // Each program starts once the one before has left, as a person starts
    // them, and finds the camera as a fresh one: every format and size
    // listed, its own size granted, and pictures.
    std::string output;
    int consumers = 0;
    auto capture = [&](std::uint32_t width, std::uint32_t height, const std::string& fourcc,
                       talvik::DriverPixelFormat format, int count) {
        std::vector<std::vector<std::uint8_t>> pictures =
            CaptureV4l2(pipewire, width, height, fourcc, format, count, output);
        ++consumers;
        EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("PipeWire camera: the last consumer left") == consumers; }))
            << rig.Log();
        return pictures;
    };
    for (int run = 1; run <= 5; ++run) {
        const std::vector<std::vector<std::uint8_t>> pictures = capture(640, 480, "YUYV", talvik::kPixelYuy2, 2);
        EXPECT_EQ(output, "format NV12 1280x720 640x480 960x540 1920x1080\n"
                          "format YUYV 1280x720 640x480 960x540 1920x1080\n"
                          "format XR24 1280x720 640x480 960x540 1920x1080\n"
                          "set 640x480 YUYV\n")
            << "run " << run;
        ASSERT_EQ(pictures.size(), 2u) << "run " << run;
        ExpectSpinner(pictures.back(), talvik::kPixelYuy2);
    }

    // The phone streams the size the programs set.
    std::unique_ptr<talvik::test::HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "30"});
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 640 x 480 at 30 fps") == 1; })) << rig.Log();
    ExpectNumbersIncrease([&](int count) { return capture(640, 480, "YUYV", talvik::kPixelYuy2, count); });

    // A program that sets another size gets it, and the phone is asked.
    EXPECT_EQ(capture(1280, 720, "NV12", talvik::kPixelNv12, 3).size(), 3u);
    EXPECT_TRUE(output.ends_with("set 1280x720 NV12\n")) << output;
    EXPECT_TRUE(rig.WaitFor([&] { return rig.Count("StartStreaming: 1280 x 720 at 30 fps") == 1; })) << rig.Log();
    phone->Stop();
    EXPECT_EQ(rig.Stop(), 0);
}
