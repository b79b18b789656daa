// The status screen as a camera consumer sees it, with real processes:
// TalvikSvc, with no phone streaming, paints it into the file camera, and
// camview reads it. The phone simulator plays usbmuxd with a phone whose app
// is not running, first unplugged, and no usbmuxd process runs, so the USB
// icon blinks crossed out until the phone is plugged in.
#include "media/pixel_format.h"
#include "session/network_check.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tools/camview/picture_rgb.h"
#include "tests/support/skip.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using talvik::camview::Image;
using talvik::test::HelperProcess;
using talvik::test::ServiceRig;

namespace {

// White artwork on black: anything brighter than this was drawn.
constexpr std::uint8_t kDrawn = 100;

struct Area {
    std::uint32_t left, top, right, bottom; // right and bottom exclusive
};

// The smallest area holding the drawn pixels of `area`; empty (right <=
// left) when none is.
Area DrawnBox(const Image& luma, const Area& area)
{
    Area box{area.right, area.bottom, area.left, area.top};
    for (std::uint32_t y = area.top; y < area.bottom; ++y)
        for (std::uint32_t x = area.left; x < area.right; ++x)
            if (luma.pixels[std::size_t{y} * luma.width + x] > kDrawn)
                box = {std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
                       std::max(box.bottom, y + 1)};
    return box;
}

bool Empty(const Area& box)
{
    return box.right <= box.left;
}

// Which pixels of `area` are drawn: tells two drawings apart.
std::vector<bool> DrawnMask(const Image& luma, const Area& area)
{
    std::vector<bool> mask;
    for (std::uint32_t y = area.top; y < area.bottom; ++y)
        for (std::uint32_t x = area.left; x < area.right; ++x)
            mask.push_back(luma.pixels[std::size_t{y} * luma.width + x] > kDrawn);
    return mask;
}

Image Luma(const talvik::test::CameraProbe& camera, std::uint32_t width, std::uint32_t height,
           talvik::DriverPixelFormat format)
{
    std::optional<Image> luma =
        talvik::camview::ToLuma(camera.Grab(talvik::FrameBytes(format, width, height)), width, height, format);
    EXPECT_TRUE(luma);
    return luma ? *luma : Image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height)};
}

// The camera's pictures per second, from camview's second report.
double FramesPerSecond(const ServiceRig& rig)
{
    HelperProcess camview(talvik::test::SiblingProgram("camview"), {"--file", rig.camera(), "--stats"});
    talvik::test::WaitUntil([&] { return std::ranges::count(camview.Output(), '\n') >= 2; }, 5s);
    const std::string output = camview.Output();
    const std::size_t second = output.find('\n') + 1;
    int pictures = 0;
    double fps = 0;
    EXPECT_EQ(std::sscanf(output.c_str() + second, "%d pictures, %lf fps", &pictures, &fps), 2) << output;
    return fps;
}

} // namespace

TEST(status_screen, spinner_icons_and_format_text_reach_the_camera_in_every_pixel_format)
{
    const talvik::test::TempDir usbmuxdDir;
    const std::string usbmuxd = "UNIX:" + usbmuxdDir.File("usbmuxd.sock");
    std::unique_ptr<HelperProcess> phone = talvik::test::StartPhonesim(
        {"usb", "--usbmuxd", usbmuxd, "--usb-detached", "--usb-device", "idle", "--duration", "60"});
    ASSERT_TRUE(phone->WaitForOutput("usbmuxd: listening on", 10s)) << phone->Output();
    ServiceRig rig;
    rig.Start(usbmuxd);
    const talvik::test::CameraProbe camera = rig.cameraProbe();
    // The service's own view of the network decides whether the WiFi icon
    // is drawn; the USB icon sits beside it, or in its place.
    const bool network = talvik::CheckNetworkAvailable();
    const std::uint32_t usbLeft = network ? 138 : 10;
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("CreateFormatBitmap: '1280x720 NV12 at 30 fps'") == 1; }))
        << rig.Log();

    const double fps = FramesPerSecond(rig);
    EXPECT_GE(fps, 20);
    EXPECT_LE(fps, 31);

    struct Case {
        std::uint32_t width, height;
        talvik::DriverPixelFormat format;
    };
    for (const Case& c : {Case{640, 480, talvik::kPixelNv12}, Case{1280, 720, talvik::kPixelYuy2},
                          Case{1920, 1080, talvik::kPixelArgb32}}) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const std::string format = talvik::PixelFormatName(c.format);
        SCOPED_TRACE(size + " " + format);
        ASSERT_EQ(camera.Camview({"--request", size, format}), 0);
        ASSERT_TRUE(rig.WaitFor(
            [&] { return rig.Count("CreateFormatBitmap: '" + size + " " + format + " at 30 fps'") == 1; }))
            << rig.Log();
        const Image luma = Luma(camera, c.width, c.height, c.format);
        camera.Snapshot("status-" + size + "-" + format);

        // The spinner, a ring about 62 pixels across, fills the 64 x 64
        // square in the middle, and nothing else is drawn around it.
        const std::uint32_t x = (c.width - 64) / 2, y = (c.height - 64) / 2;
        const Area spinner = DrawnBox(luma, {x - 40, y - 40, x + 104, y + 104});
        EXPECT_GE(spinner.left, x);
        EXPECT_GE(spinner.top, y);
        EXPECT_LE(spinner.right, x + 64);
        EXPECT_LE(spinner.bottom, y + 64);
        EXPECT_GE(spinner.right - spinner.left, 58u);
        EXPECT_GE(spinner.bottom - spinner.top, 58u);

        // The format text, in the top-right corner, as high as the font
        // (width / 28) and its descenders.
        const Area text = DrawnBox(luma, {x + 104, 0, c.width, y - 40});
        ASSERT_FALSE(Empty(text));
        EXPECT_GE(text.right, c.width - c.width / 56);
        EXPECT_LE(text.top, c.width / 56);
        EXPECT_LE(text.bottom, c.width / 28 + c.width / 56);

        // The icons in the top-left corner: WiFi at (10, 10), then the USB
        // icon; without a network, none at all, as no phone is plugged in.
        const Area icons = DrawnBox(luma, {0, 0, usbLeft + 160, y - 40});
        if (!network) {
            EXPECT_TRUE(Empty(icons));
            continue;
        }
        EXPECT_GE(icons.left, 10u);
        EXPECT_GE(icons.top, 10u);
        EXPECT_LE(icons.bottom, 138u);
        EXPECT_LE(icons.right, usbLeft + 120);
        EXPECT_FALSE(Empty(DrawnBox(luma, {10, 10, 138, 138})));
        EXPECT_FALSE(Empty(DrawnBox(luma, {usbLeft, 10, usbLeft + 120, 130})));
    }

    if (!network) {
        EXPECT_EQ(rig.Stop(), 0);
        TALVIK_SKIP_MISSING() << "no usable network adapter: the blinking USB icon is not drawn without one";
    }
    // No usbmuxd process: the crossed-out USB icon alternates with the
    // plain one once a second.
    const Area usbIcon{usbLeft, 10, usbLeft + 120, 130};
    std::set<std::vector<bool>> blinking;
    for (int i = 0; i < 4; ++i) {
        blinking.insert(DrawnMask(Luma(camera, 1920, 1080, talvik::kPixelArgb32), usbIcon));
        std::this_thread::sleep_for(600ms); // samples over time: the blinking is the subject
    }
    ASSERT_EQ(blinking.size(), 2u);
    // The plain icon has fewer drawn pixels than the crossed one.
    const std::vector<bool> plain =
        std::ranges::min(blinking, {}, [](const std::vector<bool>& mask) { return std::ranges::count(mask, true); });

    // A phone plugged in: the plain icon, steadily.
    phone->Write("attach\n");
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Count("usbmuxd_get_device_list = 1 | valid devices: 1") > 0; }))
        << rig.Log();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(DrawnMask(Luma(camera, 1920, 1080, talvik::kPixelArgb32), usbIcon), plain) << i;
        std::this_thread::sleep_for(600ms); // samples over time: that nothing blinks is the subject
    }
    EXPECT_EQ(rig.Stop(), 0);
}
