// The Windows camera devices: without the virtual camera's driver (as under
// Wine) the client says so and stays unusable while the service runs on;
// with a camera file configured, committed pictures land in the file.
#include "media/camera_channel.h"
#include "media/video_driver.h"

#include "tests/support/fake_config_store.h"
#include "tests/support/log_recorder.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace talvik {
namespace {

using ::testing::ElementsAre;

TEST(camera_channel_win, a_missing_driver_leaves_the_client_unusable)
{
    test::LogRecorder log;
    test::FakeConfigStore config;
    VideoDriver driver(MakeCameraChannel(config));
    driver.Open();
    EXPECT_EQ(driver.state(), 1);
    EXPECT_THAT(log.Lines(), ElementsAre("error: VideoDriver device path not found",
                                         "error: VideoDriver CreateFile failed: 3")); // ERROR_PATH_NOT_FOUND
    std::uint32_t w, h;
    DriverPixelFormat f;
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), nullptr);
}

TEST(camera_channel_win, a_configured_camera_file_receives_the_pictures)
{
    test::TempDir dir;
    test::FakeConfigStore config;
    config.SetString("Software\\Talvik\\Vidrelo", "CameraFile", dir.File("camera"));
    VideoDriver driver(MakeCameraChannel(config));
    driver.Open();
    ASSERT_EQ(driver.state(), 0);
    std::uint32_t w = 0, h = 0;
    DriverPixelFormat f = kPixelUnsupported;
    std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(w, 1280u);
    EXPECT_EQ(h, 720u);
    EXPECT_EQ(f, 1);
    std::memset(buffer, 0x5C, 1382400);
    driver.CommitOutputBuffer(buffer, 1382400);

    const std::string file = test::ReadFile(dir.File("camera"));
    ASSERT_EQ(file.size(), 4096u + 1382400u);
    EXPECT_EQ(file.substr(0, 12), std::string("TLVKCAM\0\1\0\0\0", 12));
    EXPECT_EQ(file.substr(20, 4), std::string("\2\0\0\0", 4));         // one commit
    EXPECT_EQ(file.substr(32, 4), std::string("\x00\x18\x15\x00", 4)); // 1382400 bytes
    EXPECT_EQ(file.substr(4096), std::string(1382400, '\x5C'));
}

} // namespace
} // namespace talvik
