// Status frames through the camera client: spinner and text placement per
// pixel format, the icon rules with the blinking crossed-out USB icon, the
// spinner cycle, and a driver that changes its pixel format.
#include "base/config.h"
#include "engine/status_screen.h"
#include "media/codec_library.h"
#include "media/frame_buffer_record.h"
#include "media/pixel_format.h"
#include "media/video_driver.h"
#include "session/phone_session.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#ifdef _WIN32
#include <objbase.h>
#endif

namespace talvik {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A camera whose consumer asks for `record`; keeps the last picture written.
struct Camera : DeviceChannel {
    FrameBufferRecord record;
    Bytes picture;
    bool FindDevicePath() override { return true; }
    std::uint32_t Open() override { return 0; }
    std::uint32_t GetFrameBuffer(FrameBufferRecord& out) override
    {
        out = record;
        return 0;
    }
    std::uint32_t WriteBuffered(const std::uint8_t* bytes, std::uint32_t size) override
    {
        picture.assign(bytes, bytes + size);
        return 0;
    }
    std::uint32_t CommitFrameBuffer(FrameBufferRecord&) override { return 0; }
    void Close() override {}
};

struct Links : PhoneSession {
    bool network = false;
    int usbDevices = 0;
    void Tick(std::uint32_t) override {}
    void StartStreaming(const ClientFormat&) override {}
    bool networkAvailable() const override { return network; }
    ConnectionState state() const override { return ConnectionState::kIdle; }
    bool hasUsbConnection() const override { return true; }
    int usbValidDeviceCount() const override { return usbDevices; }
    bool usbHasDeviceList() const override { return true; }
};

class StatusScreenTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        test::FakeConfigStore install;
        install.SetString(kUninstallKey, kUninstallValue, TALVIK_TEST_CODEC_DIR "uninstall.exe");
        ASSERT_TRUE(LoadCodecLibraries(install));
    }
    static void TearDownTestSuite() { UnloadCodecLibraries(); }

    void SetUp() override
    {
#ifdef _WIN32
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
#endif
        auto device = std::make_unique<Camera>();
        camera_ = device.get();
        driver_ = std::make_unique<VideoDriver>(std::move(device));
        driver_->Open();
        screen_ = std::make_unique<StatusScreen>(config_);
    }
#ifdef _WIN32
    void TearDown() override { CoUninitialize(); }
#endif

    // One status frame of the given kind; the committed picture.
    const Bytes& Paint(std::uint32_t width, std::uint32_t height, DriverPixelFormat format, std::uint32_t now = 5000,
                       bool appleServiceRunning = true)
    {
        camera_->record = DescribeFormat(width, height, format);
        screen_->PaintStatusFrame(*driver_, links_, appleServiceRunning, now, picture_, overlayUntil_);
        return camera_->picture;
    }

    // The luma bytes (NV12, YUY2) of a top-down rectangle, row by row.
    static Bytes Luma(const Bytes& frame, DriverPixelFormat format, std::uint32_t width, std::uint32_t x,
                      std::uint32_t y, std::uint32_t w, std::uint32_t h)
    {
        const std::uint32_t step = format == kPixelYuy2 ? 2 : 1;
        Bytes out;
        for (std::uint32_t row = y; row < y + h; ++row)
            for (std::uint32_t column = x; column < x + w; ++column)
                out.push_back(frame[(row * width + column) * step]);
        return out;
    }
    static std::uint8_t Max(const Bytes& bytes) { return *std::max_element(bytes.begin(), bytes.end()); }

    test::FakeConfigStore config_;
    test::LogRecorder log_;
    Links links_;
    Camera* camera_ = nullptr;
    std::unique_ptr<VideoDriver> driver_;
    std::unique_ptr<StatusScreen> screen_;
    CameraPicture picture_;
    std::uint32_t overlayUntil_ = 0;
};

TEST_F(StatusScreenTest, an_nv12_frame_has_the_spinner_in_the_middle_and_the_text_top_right)
{
    const Bytes frame = Paint(640, 480, kPixelNv12);
    ASSERT_EQ(frame.size(), 640u * 480 * 3 / 2);
    // The spinner's opaque square (video black, luma 16) spans (288, 208)
    // to (351, 271) on the background's luma 0.
    EXPECT_EQ(Luma(frame, kPixelNv12, 640, 288, 208, 64, 1), Bytes(64, 16));
    EXPECT_EQ(Luma(frame, kPixelNv12, 640, 287, 208, 1, 64), Bytes(64, 0));
    EXPECT_EQ(Luma(frame, kPixelNv12, 640, 288, 272, 64, 1), Bytes(64, 0));
    EXPECT_GT(Max(Luma(frame, kPixelNv12, 640, 288, 208, 64, 64)), 200);
    // Text of height 22 in the top-right corner.
    EXPECT_TRUE(log_.Has("info: CreateFormatBitmap: '640x480 NV12 at 30 fps'"));
    EXPECT_GT(Max(Luma(frame, kPixelNv12, 640, 440, 0, 200, 22)), 200);
    EXPECT_EQ(Max(Luma(frame, kPixelNv12, 640, 440, 22, 200, 10)), 0);
    EXPECT_EQ(ReadSetup(config_), (VideoSize{640, 480}));
    // Two seconds later the text is gone, and stays gone when the clock has
    // run on for half its range (24.9 days).
    EXPECT_EQ(Max(Luma(Paint(640, 480, kPixelNv12, 7000), kPixelNv12, 640, 440, 0, 200, 22)), 0);
    EXPECT_EQ(Max(Luma(Paint(640, 480, kPixelNv12, 7000 + 0x80000000u + 1000), kPixelNv12, 640, 440, 0, 200, 22)), 0);
}

TEST_F(StatusScreenTest, argb32_text_lands_in_the_last_rows_in_memory)
{
    const Bytes frame = Paint(1920, 1080, kPixelArgb32);
    const auto green = [&](std::uint32_t memoryRow, std::uint32_t column) {
        return frame[(memoryRow * 1920 + column) * 4 + 1];
    };
    std::uint8_t text = 0;
    for (std::uint32_t row = 1080 - 68; row < 1080; ++row)
        for (std::uint32_t column = 1400; column < 1920; ++column)
            text = std::max(text, green(row, column));
    EXPECT_GT(text, 200);
    EXPECT_EQ(green(1080 - 69, 1900), 0);
    EXPECT_EQ(frame[3], 255); // opaque black background
    // Spinner's top-left (928, 508) is memory row 1080 - 1 - 508.
    EXPECT_EQ(green(571, 928), 0);
    EXPECT_EQ(frame[(571 * 1920 + 928) * 4 + 3], 255);
}

TEST_F(StatusScreenTest, the_icons_follow_the_network_usb_and_the_apple_service)
{
    const auto wifi = [&](const Bytes& f) { return Max(Luma(f, kPixelYuy2, 1280, 10, 10, 128, 128)); };
    const auto usb = [&](const Bytes& f) { return Luma(f, kPixelYuy2, 1280, 138, 10, 120, 120); };

    Bytes frame = Paint(1280, 720, kPixelYuy2);
    EXPECT_EQ(wifi(frame), 0);

    links_.network = true;
    frame = Paint(1280, 720, kPixelYuy2);
    EXPECT_GT(wifi(frame), 200);
    EXPECT_EQ(Max(usb(frame)), 0);

    // Without the Apple service the crossed-out and plain icons alternate
    // once a second.
    const Bytes first = usb(Paint(1280, 720, kPixelYuy2, 10000, false));
    const Bytes second = usb(Paint(1280, 720, kPixelYuy2, 11001, false));
    const Bytes third = usb(Paint(1280, 720, kPixelYuy2, 12002, false));
    EXPECT_GT(Max(first), 200);
    EXPECT_NE(first, second);
    EXPECT_EQ(first, third);

    // A USB phone shows the plain icon, whatever the service.
    links_.usbDevices = 1;
    const Bytes plain = usb(Paint(1280, 720, kPixelYuy2, 12100, false));
    EXPECT_TRUE(plain == first || plain == second);
    EXPECT_EQ(plain, usb(Paint(1280, 720, kPixelYuy2, 14000, false)));
}

TEST_F(StatusScreenTest, the_spinner_turns_one_step_per_frame_and_comes_round_in_twenty)
{
    const auto spinner = [&](const Bytes& f) { return Luma(f, kPixelNv12, 640, 288, 208, 64, 64); };
    const Bytes first = spinner(Paint(640, 480, kPixelNv12));
    const Bytes second = spinner(Paint(640, 480, kPixelNv12));
    EXPECT_NE(first, second);
    for (int frame = 3; frame <= 20; ++frame)
        Paint(640, 480, kPixelNv12);
    EXPECT_EQ(spinner(Paint(640, 480, kPixelNv12)), first);
}

TEST_F(StatusScreenTest, a_new_pixel_format_makes_a_new_text_and_setup_value)
{
    Paint(1280, 720, kPixelYuy2, 5000);
    WriteSetup(config_, 640, 480); // so that a fresh write shows
    log_.Clear();
    Paint(1280, 720, kPixelYuy2, 9000);
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_EQ(ReadSetup(config_), (VideoSize{640, 480}));

    const Bytes frame = Paint(1280, 720, kPixelNv12, 9034);
    EXPECT_TRUE(log_.Has("info: CreateFormatBitmap: '1280x720 NV12 at 30 fps'"));
    EXPECT_EQ(ReadSetup(config_), (VideoSize{1280, 720}));
    EXPECT_EQ(overlayUntil_, 11034u);
    EXPECT_GT(Max(Luma(frame, kPixelNv12, 1280, 900, 0, 380, 44)), 200);
}

} // namespace
} // namespace talvik
