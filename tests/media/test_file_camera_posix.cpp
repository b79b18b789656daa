// The file camera between the camera client and camview, a separate
// process: the default camera file is made, camview changes the request,
// the service side commits a known picture and camview saves it as PNG.
// Also corrupt and hostile files, and requests rewritten while being read.
#include "base/byte_order.h"
#include "media/camera_channel.h"
#include "media/camera_file.h"
#include "media/mapped_file.h"
#include "media/pixel_format.h"
#include "media/video_driver.h"

#include "tests/support/fake_config_store.h"
#include "tests/support/helper_process.h"
#include "tests/support/log_recorder.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <png.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace talvik {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct Rgb {
    int r, g, b;
};

// Quadrants of the test picture: top left red, top right green, bottom left
// blue, bottom right white.
constexpr Rgb kQuadrantRgb[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
// The same colours in BT.601 limited-range Y, U, V.
constexpr int kQuadrantYuv[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {235, 128, 128}};

int Quadrant(std::uint32_t x, std::uint32_t y, std::uint32_t w, std::uint32_t h)
{
    return (y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0);
}

// Writes the test picture into `buffer` in the camera's layout of `format`.
void PaintQuadrants(std::uint8_t* buffer, std::uint32_t w, std::uint32_t h, DriverPixelFormat format)
{
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            const int q = Quadrant(x, y, w, h);
            const int* yuv = kQuadrantYuv[q];
            if (format == 0) { // B G R A, bottom row first
                std::uint8_t* p = buffer + ((h - 1 - y) * w + x) * 4;
                p[0] = kQuadrantRgb[q].b, p[1] = kQuadrantRgb[q].g, p[2] = kQuadrantRgb[q].r, p[3] = 255;
            } else if (format == 1) { // Y plane, then U V pairs per 2x2 block
                buffer[y * w + x] = yuv[0];
                std::uint8_t* uv = buffer + w * h + (y / 2) * w + (x & ~1u);
                uv[0] = yuv[1], uv[1] = yuv[2];
            } else { // Y0 U Y1 V
                std::uint8_t* pair = buffer + y * w * 2 + (x & ~1u) * 2;
                pair[(x & 1) * 2] = yuv[0];
                pair[1] = yuv[1], pair[3] = yuv[2];
            }
        }
}

std::vector<std::uint8_t> ReadPngRgb(const std::string& path, std::uint32_t& w, std::uint32_t& h)
{
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        return {};
    w = image.width;
    h = image.height;
    return pixels;
}

class FileCameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            savedRuntime_ = old;
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
        cameraPath_ = dir_.path() + "/talvik/camera";
        // The file camera whether or not a PipeWire daemon answers here.
        config_.SetString("Software\\Talvik\\Vidrelo", "Camera", "file");
    }
    void TearDown() override
    {
        if (savedRuntime_.empty())
            unsetenv("XDG_RUNTIME_DIR");
        else
            setenv("XDG_RUNTIME_DIR", savedRuntime_.c_str(), 1);
    }

    // Runs camview to its end; its output.
    std::string Camview(const std::vector<std::string>& arguments)
    {
        test::HelperProcess camview(test::SiblingProgram("camview"), arguments,
                                    {"XDG_RUNTIME_DIR=" + dir_.path()});
        EXPECT_EQ(camview.Wait(10s), 0) << camview.Output();
        return camview.Output();
    }

    test::TempDir dir_;
    std::string savedRuntime_;
    std::string cameraPath_;
    test::FakeConfigStore config_;
    test::LogRecorder log_;
};

TEST_F(FileCameraTest, camview_saves_the_committed_picture_in_each_format)
{
    VideoDriver driver(MakeCameraChannel(config_));
    driver.Open();
    ASSERT_EQ(driver.state(), 0) << ::testing::PrintToString(log_.Lines());
    EXPECT_EQ(Camview({}), "request: 1280x720 NV12 (1382400 bytes)\nlast picture: none\n");

    for (const char* format : {"ARGB32", "NV12", "YUY2"}) {
        SCOPED_TRACE(format);
        Camview({"--request", "64x48", format});
        const std::string png = dir_.File(std::string(format) + ".png");
        test::HelperProcess snapshot(test::SiblingProgram("camview"), {"--snapshot", png, "--timeout", "10"},
                                     {"XDG_RUNTIME_DIR=" + dir_.path()});
        // Commit until camview has taken one: it waits for the next picture.
        std::optional<int> exit;
        for (int i = 0; i < 500 && !(exit = snapshot.Wait(20ms)); ++i) {
            std::uint32_t w = 0, h = 0;
            DriverPixelFormat f = kPixelUnsupported;
            std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f);
            ASSERT_NE(buffer, nullptr);
            ASSERT_EQ(w, 64u);
            ASSERT_EQ(h, 48u);
            PaintQuadrants(buffer, w, h, f);
            driver.CommitOutputBuffer(buffer, FrameBytes(f, w, h));
        }
        ASSERT_EQ(exit, 0) << snapshot.Output();

        std::uint32_t w = 0, h = 0;
        std::vector<std::uint8_t> rgb = ReadPngRgb(png, w, h);
        ASSERT_EQ(w, 64u);
        ASSERT_EQ(h, 48u);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const Rgb want = kQuadrantRgb[Quadrant(x, y, w, h)];
                const std::uint8_t* got = &rgb[(y * w + x) * 3];
                ASSERT_NEAR(got[0], want.r, 3) << x << "," << y;
                ASSERT_NEAR(got[1], want.g, 3) << x << "," << y;
                ASSERT_NEAR(got[2], want.b, 3) << x << "," << y;
            }
    }
    EXPECT_THAT(Camview({}), HasSubstr("last picture: 64x48 YUY2 (6144 bytes)"));
    EXPECT_THAT(log_.Lines(), ElementsAre("info: Camera file " + cameraPath_, "info: VideoDriver loaded"));
}

// Little-endian 32-bit value at a literal offset of the file.
void Poke(const std::string& path, off_t offset, std::uint32_t value)
{
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::uint8_t bytes[4];
    talvik::StoreU32Le(bytes, value);
    ASSERT_EQ(pwrite(fd, bytes, 4, offset), 4);
    close(fd);
}

TEST_F(FileCameraTest, camview_waits_out_a_picture_being_written_instead_of_saying_there_is_none)
{
    VideoDriver driver(MakeCameraChannel(config_));
    driver.Open();
    ASSERT_EQ(driver.state(), 0);
    std::uint32_t w = 0, h = 0;
    DriverPixelFormat f = kPixelUnsupported;
    std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f);
    ASSERT_NE(buffer, nullptr);
    driver.CommitOutputBuffer(buffer, FrameBytes(f, w, h));
    // An odd commit sequence (offset 20): the next picture is being written
    // as camview starts, and is committed half a second later.
    Poke(cameraPath_, 20, 3);
    test::HelperProcess camview(test::SiblingProgram("camview"), {}, {"XDG_RUNTIME_DIR=" + dir_.path()});
    std::this_thread::sleep_for(500ms);
    Poke(cameraPath_, 20, 4);
    ASSERT_EQ(camview.Wait(10s), 0) << camview.Output();
    EXPECT_THAT(camview.Output(), HasSubstr("last picture: 1280x720 NV12 (1382400 bytes), "));
}

TEST_F(FileCameraTest, hostile_files_never_lead_outside_the_mapping)
{
    VideoDriver driver(MakeCameraChannel(config_));
    driver.Open();
    ASSERT_EQ(driver.state(), 0);
    log_.Clear();
    std::uint32_t w, h;
    DriverPixelFormat f;

    // A request for more than the file holds: 1920x1080 ARGB32 claimed
    // consistently (ulBufferSize, width, height, bits, compression, size).
    Poke(cameraPath_, 64 + 16, 8294400);
    Poke(cameraPath_, 64 + 72, 1920);
    Poke(cameraPath_, 64 + 76, 1080);
    Poke(cameraPath_, 64 + 80, 1 | 32 << 16);
    Poke(cameraPath_, 64 + 84, 0);
    Poke(cameraPath_, 64 + 88, 0);
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), nullptr);
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), nullptr);
    EXPECT_THAT(log_.Lines(),
                ElementsAre("error: Camera file " + cameraPath_ + " asks for pictures of 8294400 bytes but holds 1382400",
                            "trace: DeviceIoControl IOCTL_GET_FRAME_BUFFER failed: 28",
                            "trace: DeviceIoControl IOCTL_GET_FRAME_BUFFER failed: 28"));

    // Once the consumer has grown the file, the request is served.
    ASSERT_EQ(truncate(cameraPath_.c_str(), 4096 + 8294400), 0);
    std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(w, 1920u);

    // A file cut below its header refuses work, and so does a file of
    // another kind from the start.
    log_.Clear();
    ASSERT_EQ(truncate(cameraPath_.c_str(), 100), 0);
    driver.CommitOutputBuffer(buffer, 8294400);
    EXPECT_EQ(driver.GetOutputBuffer(w, h, f), nullptr);
    EXPECT_THAT(log_.Lines(),
                ElementsAre("error: CommitOutputBuffer DeviceIoControl() IOCTL_WRITE_BUFFERED FAILED; GetLastError = 8",
                            "trace: DeviceIoControl IOCTL_GET_FRAME_BUFFER failed: 8"));

    log_.Clear();
    config_.SetString("Software\\Talvik\\Vidrelo", "CameraFile", dir_.File("not-a-camera"));
    test::WriteFile(dir_.File("not-a-camera"), std::string(5000, 'x'));
    VideoDriver other(MakeCameraChannel(config_));
    other.Open();
    EXPECT_EQ(other.state(), 1);
    EXPECT_THAT(log_.Lines(), ElementsAre("error: Camera file " + dir_.File("not-a-camera") + " has no camera header",
                                          "error: VideoDriver CreateFile failed: 8"));

    // Without a runtime directory there is no default camera: neither
    // XDG_RUNTIME_DIR nor a private directory (whose cache directory is a
    // file here). Where the login manager made /run/user/<uid>, that one is
    // the runtime directory and there is nothing to check.
    if (access(("/run/user/" + std::to_string(geteuid())).c_str(), F_OK) == 0)
        return;
    log_.Clear();
    unsetenv("XDG_RUNTIME_DIR");
    test::WriteFile(dir_.File("not-a-directory"), "x");
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::optional<std::string> savedCache = cache ? std::optional<std::string>(cache) : std::nullopt;
    setenv("XDG_CACHE_HOME", dir_.File("not-a-directory").c_str(), 1);
    test::FakeConfigStore fileCamera;
    fileCamera.SetString("Software\\Talvik\\Vidrelo", "Camera", "file");
    VideoDriver none(MakeCameraChannel(fileCamera));
    none.Open();
    EXPECT_THAT(log_.Lines(),
                ElementsAre("error: VideoDriver device path not found", "error: VideoDriver CreateFile failed: 2"));
    if (savedCache)
        setenv("XDG_CACHE_HOME", savedCache->c_str(), 1);
    else
        unsetenv("XDG_CACHE_HOME");
}

// A consumer that cuts the file back to its header while pictures are
// copied in must not fault the service (a copy through the mapping would
// meet SIGBUS): the pictures that find no room are refused, the others grow
// the file back, and once it stops the pictures arrive whole again.
TEST_F(FileCameraTest, a_file_cut_shorter_while_pictures_are_written_faults_nothing)
{
    VideoDriver driver(MakeCameraChannel(config_));
    driver.Open();
    ASSERT_EQ(driver.state(), 0);
    std::atomic<bool> cutting{true};
    std::thread consumer([&] {
        while (cutting.load())
            truncate(cameraPath_.c_str(), 4096);
    });
    std::uint32_t w = 0, h = 0;
    DriverPixelFormat f = kPixelUnsupported;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(truncate(cameraPath_.c_str(), 4096 + 1382400), 0);
        if (std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f)) {
            std::memset(buffer, i & 0xFF, 1382400);
            driver.CommitOutputBuffer(buffer, 1382400);
        }
    }
    cutting = false;
    consumer.join();

    ASSERT_EQ(truncate(cameraPath_.c_str(), 4096 + 1382400), 0);
    std::uint8_t* buffer = driver.GetOutputBuffer(w, h, f);
    ASSERT_NE(buffer, nullptr);
    PaintQuadrants(buffer, w, h, f);
    const std::vector<std::uint8_t> picture(buffer, buffer + 1382400);
    driver.CommitOutputBuffer(buffer, 1382400);
    const std::string file = test::ReadFile(cameraPath_);
    ASSERT_EQ(file.size(), 4096u + 1382400);
    EXPECT_EQ(file.compare(4096, 1382400, reinterpret_cast<const char*>(picture.data()), picture.size()), 0);
    EXPECT_EQ(LoadU32Le(reinterpret_cast<const std::uint8_t*>(file.data()) + 20) % 2, 0u);
}

TEST_F(FileCameraTest, requests_rewritten_while_read_are_never_torn)
{
    std::unique_ptr<DeviceChannel> camera = MakeCameraChannel(config_);
    ASSERT_TRUE(camera->FindDevicePath());
    ASSERT_EQ(camera->Open(), 0u);

    const FrameBufferRecord small = DescribeFormat(320, 240, kPixelNv12), large = DescribeFormat(640, 480, kPixelYuy2);
    std::uint32_t error = 0;
    std::unique_ptr<MappedFile> consumer = MappedFile::Open(cameraPath_, error);
    ASSERT_TRUE(consumer);
    camera_file::WriteRequest(consumer->data(), small);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i)
            camera_file::WriteRequest(consumer->data(), i % 2 ? small : large);
    });
    int torn = 0;
    for (int i = 0; i < 20000; ++i) {
        FrameBufferRecord record;
        if (camera->GetFrameBuffer(record) == 0 && !(record == small) && !(record == large))
            ++torn;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
} // namespace talvik
