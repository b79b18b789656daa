// The Windows service's camera as a native consumer sees it. TalvikSvc.exe
// runs under Wine's service manager with a camera file named in its
// configuration (test_streaming_wine.sh sets that up); this Linux program
// reads the file with camview and checks:
//  - with no phone, the status screen: spinner, icons and background equal,
//    byte for byte, what the Linux status screen paints (the PNG artwork
//    decoded by WIC there and libpng here), the format text roughly alike
//    (GDI's font there, FreeType's here);
//  - with the native phone simulator streaming over WiFi, its numbered
//    pattern the right way round in each pixel format, then the status
//    screen again once the phone is gone.
//
// Environment: TALVIK_WINE_CAMERA (the camera file), TALVIK_WINE_LOG (the
// service's log.txt).
#include "engine/status_screen.h"
#include "media/pixel_format.h"
#include "tests/service/camera_probe_posix.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kWidth = 1280, kHeight = 720;

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// How many lines of the service's log read `line` after their time stamp
// (Windows line ends).
int Count(const std::string& line)
{
    const std::string log = talvik::test::ReadFile(Environment("TALVIK_WINE_LOG"));
    const std::string needle = "] " + line + "\r\n";
    int count = 0;
    for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
        ++count;
    return count;
}

// Waits up to 30 s (Wine is slow to start things) for `line` in the log.
bool AwaitLine(const std::string& line)
{
    return talvik::test::WaitUntil([&] { return Count(line) > 0; }, 30s, 100ms);
}

// Image rows 0 to 2 * width / 28 of the right half hold the format text;
// `row` and `column` are image coordinates of a bottom-up ARGB32 picture.
bool InTextCorner(std::uint32_t row, std::uint32_t column)
{
    return row < 2 * kWidth / 28 && column >= kWidth / 2;
}

// Whether two bottom-up 1280 x 720 ARGB32 pictures are equal outside the
// text corner.
bool SameOutsideText(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    for (std::uint32_t row = 0; row < kHeight; ++row)
        for (std::uint32_t column = 0; column < kWidth; ++column) {
            const std::size_t at = (std::size_t{kHeight - 1 - row} * kWidth + column) * 4;
            if (!InTextCorner(row, column) && !std::equal(&a[at], &a[at] + 4, &b[at]))
                return false;
        }
    return true;
}

// The height of the drawn rows in the text corner.
std::uint32_t TextHeight(const std::vector<std::uint8_t>& picture)
{
    std::uint32_t top = kHeight, bottom = 0;
    for (std::uint32_t row = 0; row < 2 * kWidth / 28; ++row)
        for (std::uint32_t column = kWidth / 2; column < kWidth; ++column)
            if (picture[(std::size_t{kHeight - 1 - row} * kWidth + column) * 4 + 1] > 100) {
                top = std::min(top, row);
                bottom = std::max(bottom, row + 1);
            }
    return bottom > top ? bottom - top : 0;
}

// Every status picture the Linux status screen paints at 1280 x 720 ARGB32:
// each spinner step, with the USB icon in both blink states.
std::vector<std::vector<std::uint8_t>> LinuxStatusPictures(bool network)
{
    talvik::test::FakeConfigStore config;
    talvik::StatusScreen screen(config);
    const talvik::CameraPicture frame{kWidth, kHeight, talvik::kPixelArgb32};
    std::vector<std::vector<std::uint8_t>> pictures;
    std::uint32_t overlayUntil = 0;
    std::uint32_t now = 0;
    for (int blink = 0; blink < 2; ++blink) {
        now += 1001;
        for (int step = 0; step < 20; ++step) {
            std::vector<std::uint8_t> picture(talvik::FrameBytes(talvik::kPixelArgb32, kWidth, kHeight));
            screen.PaintStatusPicture(picture.data(), frame, pictures.empty(), {network, false, false}, now,
                                      overlayUntil);
            pictures.push_back(std::move(picture));
        }
    }
    return pictures;
}

// Whether a WiFi icon is drawn at (10, 10).
bool HasWifiIcon(const std::vector<std::uint8_t>& picture)
{
    for (std::uint32_t row = 10; row < 138; ++row)
        for (std::uint32_t column = 10; column < 138; ++column)
            if (picture[(std::size_t{kHeight - 1 - row} * kWidth + column) * 4 + 1] > 100)
                return true;
    return false;
}

} // namespace

TEST(windows_service, status_screen_and_phone_stream_in_the_camera_file)
{
    const talvik::test::CameraProbe camera(Environment("TALVIK_WINE_CAMERA"));
    ASSERT_TRUE(AwaitLine("CreateFormatBitmap: '1280x720 NV12 at 30 fps'"));

    // The status screen, in the format whose bytes need no conversion.
    ASSERT_EQ(camera.Camview({"--request", "1280x720", "ARGB32"}), 0);
    ASSERT_TRUE(AwaitLine("CreateFormatBitmap: '1280x720 ARGB32 at 30 fps'"));
    const std::vector<std::uint8_t> status = camera.Grab(talvik::FrameBytes(talvik::kPixelArgb32, kWidth, kHeight));
    ASSERT_FALSE(status.empty());
    camera.Snapshot("windows-status-1280x720-ARGB32");
    const std::vector<std::vector<std::uint8_t>> linux = LinuxStatusPictures(HasWifiIcon(status));
    EXPECT_TRUE(std::ranges::any_of(linux, [&](const auto& picture) { return SameOutsideText(status, picture); }))
        << "the Windows status screen differs from the Linux one outside the format text";
    const std::uint32_t height = TextHeight(status), linuxHeight = TextHeight(linux.front());
    EXPECT_GE(height * 10, linuxHeight * 7) << height << " rows against " << linuxHeight;
    EXPECT_LE(height * 10, linuxHeight * 14) << height << " rows against " << linuxHeight;

    // The phone streams 1280 x 720; every pixel format shows its pattern.
    std::unique_ptr<talvik::test::HelperProcess> phone =
        talvik::test::StartPhonesim({"connect", "--host", "127.0.0.1", "--port", "5055", "--duration", "60"});
    ASSERT_TRUE(AwaitLine("StartStreaming: 1280 x 720 at 30 fps")) << phone->Output();
    std::vector<std::uint32_t> numbers;
    for (talvik::DriverPixelFormat format : {talvik::kPixelNv12, talvik::kPixelYuy2, talvik::kPixelArgb32}) {
        const std::string name = talvik::PixelFormatName(format);
        SCOPED_TRACE(name);
        ASSERT_EQ(camera.Camview({"--request", "1280x720", name}), 0);
        const std::optional<std::uint32_t> number = camera.FrameNumber(kWidth, kHeight, format);
        ASSERT_TRUE(number);
        EXPECT_TRUE(numbers.empty() || *number > numbers.back()) << *number;
        numbers.push_back(*number);
        camera.Snapshot("windows-stream-1280x720-" + name);
    }
    EXPECT_EQ(Count("VideoDecoder initialized"), 1);

    // The phone hangs up: the status screen is back.
    phone->Stop();
    ASSERT_TRUE(AwaitLine("ConnectionDisconnected"));
    EXPECT_TRUE(talvik::test::WaitUntil(
        [&] {
            const std::vector<std::uint8_t> after =
                camera.Grab(talvik::FrameBytes(talvik::kPixelArgb32, kWidth, kHeight));
            return !talvik::test::ReadFrameNumber(after, kWidth, kHeight, talvik::kPixelArgb32);
        },
        5s))
        << "the phone's picture stays after it hung up";
    const std::vector<talvik::test::SentFrame> sent = talvik::test::SentFrames(phone->Output());
    for (std::uint32_t number : numbers)
        EXPECT_TRUE(std::ranges::any_of(sent, [&](const auto& f) { return f.number == number && f.width == 1280; }))
            << number;
}
