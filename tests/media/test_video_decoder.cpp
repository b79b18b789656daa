// The decoder and scaler on real H.264 through the real libraries (Debian's
// on Linux, the FFmpeg 4 DLLs under Wine): geometry, bars, orientation and
// pixel formats checked on the pixels of the four-quadrant test picture
// (make_test_streams.cpp), the user data's round trip, and pictures that
// must not be delivered.
#include "media/video_decoder.h"

#include "base/config.h"
#include "base/orientation.h"
#include "media/codec_library.h"
#include "media/pixel_format.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/h264_units.h"
#include "tests/support/log_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace talvik {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> ReadUnits(const std::string& name)
{
    return test::ReadH264Units(std::string(TALVIK_TEST_DATA_DIR) + name);
}

struct Frame {
    Bytes pixels;
    std::uint32_t width, height;
    DriverPixelFormat format;
    std::uintptr_t userData;
};

// Hands out one buffer, fenced by guard bytes that the decoder must never
// touch, and filled with a stray value before every picture so that
// unpainted areas show.
class RecordingObserver : public CVideoDecoderObserver {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr std::uint8_t kStray = 0x5A;

    RecordingObserver(std::uint32_t width, std::uint32_t height, DriverPixelFormat format)
        : width_(width), height_(height), format_(format),
          buffer_(FrameBytes(format, width, height) + 2 * kGuard, kStray)
    {
    }

    std::uint8_t* GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format) override
    {
        std::fill(buffer_.begin(), buffer_.end(), kStray);
        width = width_;
        height = height_;
        format = format_;
        return handOut_ ? buffer_.data() + kGuard : nullptr;
    }

    void OnFrameReady(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height, std::int32_t format,
                      std::uintptr_t userData) override
    {
        const std::size_t bytes = FrameBytes(PixelFormatFromIndex(format), width, height);
        EXPECT_EQ(buffer, buffer_.data() + kGuard);
        for (std::size_t i = 0; i < kGuard; ++i)
            ASSERT_TRUE(buffer_[i] == kStray && buffer_[kGuard + bytes + i] == kStray) << "guard byte " << i;
        frames.push_back({Bytes(buffer, buffer + bytes), width, height, PixelFormatFromIndex(format), userData});
    }

    std::vector<Frame> frames;
    bool handOut_ = true;

private:
    std::uint32_t width_, height_;
    std::int32_t format_;
    Bytes buffer_;
};

// What a pixel at display position (x, y), top row first, holds: R, G, B for
// ARGB32 (whose rows are stored bottom-up) and BGRx, Y, U, V otherwise; and
// the 32-bit formats' alpha byte (255 for the YUV formats).
struct Pixel {
    int c[3];
    int alpha;
    bool operator==(const Pixel&) const = default;
};

Pixel PixelAt(const Frame& f, std::uint32_t x, std::uint32_t y)
{
    const std::uint8_t* p = f.pixels.data();
    switch (f.format) {
    case kPixelArgb32:
    case kPixelBgrx: {
        const std::uint32_t row = f.format == kPixelArgb32 ? f.height - 1 - y : y;
        const std::uint8_t* px = p + (std::size_t{row} * f.width + x) * 4;
        return {{px[2], px[1], px[0]}, px[3]};
    }
    case kPixelNv12: {
        const std::uint8_t* uv = p + std::size_t{f.width} * f.height + std::size_t{y / 2} * f.width + x / 2 * 2;
        return {{p[std::size_t{y} * f.width + x], uv[0], uv[1]}, 255};
    }
    default: {
        const std::uint8_t* row = p + std::size_t{y} * f.width * 2;
        return {{row[x * 2], row[x / 2 * 4 + 1], row[x / 2 * 4 + 3]}, 255};
    }
    }
}

// The test picture's quadrants, [bottom][right], and black.
constexpr Pixel kRgbQuadrants[2][2] = {{{{255, 0, 0}, 255}, {{0, 255, 0}, 255}},
                                       {{{0, 0, 255}, 255}, {{255, 255, 0}, 255}}};
constexpr Pixel kYuvQuadrants[2][2] = {{{{81, 90, 240}, 255}, {{145, 54, 34}, 255}},
                                       {{{41, 240, 110}, 255}, {{210, 16, 146}, 255}}};
constexpr Pixel kRgbBlack{{0, 0, 0}, 255};
constexpr Pixel kYuvBlack{{0, 128, 128}, 255};

bool Near(const Pixel& a, const Pixel& b)
{
    for (int i = 0; i < 3; ++i)
        if (std::abs(a.c[i] - b.c[i]) > 24)
            return false;
    return a.alpha == b.alpha;
}

struct Rect {
    std::uint32_t x, y, w, h;
};

// Exact black everywhere outside `picture`; inside, each quadrant's colour
// at its corners and its centre, quadrants exchanged top with bottom when
// `flipped` and left with right when `mirrored`.
void ExpectPicture(const Frame& f, const Rect& picture, bool flipped, bool mirrored)
{
    const bool rgb = f.format == kPixelArgb32 || f.format == kPixelBgrx;
    int wrongBars = 0;
    for (std::uint32_t y = 0; y < f.height; ++y)
        for (std::uint32_t x = 0; x < f.width; ++x) {
            const bool inside =
                x >= picture.x && x < picture.x + picture.w && y >= picture.y && y < picture.y + picture.h;
            if (!inside && !(PixelAt(f, x, y) == (rgb ? kRgbBlack : kYuvBlack)) && wrongBars++ == 0)
                ADD_FAILURE() << "not black at " << x << "," << y;
        }
    EXPECT_EQ(wrongBars, 0);
    for (std::uint32_t bottom = 0; bottom < 2; ++bottom)
        for (std::uint32_t right = 0; right < 2; ++right) {
            const Pixel want = (rgb ? kRgbQuadrants : kYuvQuadrants)[bottom ^ flipped][right ^ mirrored];
            // The picture's outer corner in this quadrant, clear of the
            // blending where quadrants meet, and the quadrant's centre.
            const std::uint32_t cornerX = right ? picture.x + picture.w - 1 : picture.x;
            const std::uint32_t cornerY = bottom ? picture.y + picture.h - 1 : picture.y;
            const std::uint32_t centreX = picture.x + picture.w / 4 + right * picture.w / 2;
            const std::uint32_t centreY = picture.y + picture.h / 4 + bottom * picture.h / 2;
            for (const auto& [x, y] : {std::pair{cornerX, cornerY}, std::pair{centreX, centreY}}) {
                const Pixel got = PixelAt(f, x, y);
                EXPECT_TRUE(Near(got, want)) << "at " << x << "," << y << ": " << got.c[0] << " " << got.c[1] << " "
                                             << got.c[2] << " " << got.alpha;
            }
        }
}

class VideoDecoderTest : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Bind()); }
    static void TearDownTestSuite() { UnloadCodecLibraries(); }

    static bool Bind()
    {
        test::FakeConfigStore config;
        config.SetString(kUninstallKey, kUninstallValue, TALVIK_TEST_CODEC_DIR "uninstall.exe");
        return LoadCodecLibraries(config);
    }

    // Submits every unit, then delivers what is left, as the engine's tick
    // does.
    static void DecodeAll(VideoDecoder& decoder, const std::vector<Bytes>& units, std::uint32_t flags,
                          std::uintptr_t firstUserData = 0)
    {
        for (std::size_t i = 0; i < units.size(); ++i)
            decoder.Decode(units[i].data(), static_cast<std::uint32_t>(units[i].size()), flags,
                           i == 0 ? firstUserData : 0);
        std::lock_guard<std::mutex> hold(decoder.Lock());
        decoder.ReceiveFrames();
    }

    test::LogRecorder log;
};


TEST_F(VideoDecoderTest, every_geometry_and_orientation_is_scaled_into_each_format)
{
    struct Case {
        std::uint32_t inW, inH, outW, outH;
        std::vector<DriverPixelFormat> formats;
        // The picture inside the buffer and the bars above it (in the
        // buffer's row order) and left of it.
        std::uint32_t scaledW, scaledH, sideBar, topBar;
        std::vector<std::string> sizeLines;
    };
    const std::vector<DriverPixelFormat> all = {kPixelArgb32, kPixelBgrx, kPixelNv12, kPixelYuy2};
    const Case cases[] = {
        {1280, 720, 640, 480, all, 640, 360, 0, 60,
         {"info: decoder output size 1280 x 720 will be scaled to 640 x 360 as driver requires 640 x 480",
          "info: output image will have black bars of 60 pixels on top and bottom"}},
        {640, 480, 1280, 720, all, 960, 720, 160, 0,
         {"info: decoder output size 640 x 480 will be scaled to 960 x 720 as driver requires 1280 x 720",
          "info: output image will have black bars of 160 pixels on left and right hand sides"}},
        {1920, 1080, 1280, 720, all, 1280, 720, 0, 0, {}},
        // Ratios within 0.01: stretched.
        {1280, 720, 1366, 768, all, 1366, 768, 0, 0, {}},
        // Odd bars stay where they fall in ARGB32 and YUY2 rows; NV12 keeps
        // its chroma rows whole.
        {1280, 720, 720, 576, {kPixelArgb32, kPixelBgrx, kPixelYuy2}, 720, 405, 0, 85,
         {"info: decoder output size 1280 x 720 will be scaled to 720 x 405 as driver requires 720 x 576",
          "info: output image will have black bars of 85 pixels on top and bottom"}},
        {1280, 720, 720, 576, {kPixelNv12}, 720, 404, 0, 86,
         {"info: decoder output size 1280 x 720 will be scaled to 720 x 404 as driver requires 720 x 576",
          "info: output image will have black bars of 86 pixels on top and bottom"}},
    };
    for (const Case& c : cases) {
        const auto units =
            ReadUnits("quadrants-" + std::to_string(c.inW) + "x" + std::to_string(c.inH) + ".h264units");
        ASSERT_EQ(units.size(), 2u);
        for (const DriverPixelFormat format : c.formats) {
            SCOPED_TRACE(std::to_string(c.inW) + "x" + std::to_string(c.inH) + " into " + std::to_string(c.outW) +
                         "x" + std::to_string(c.outH) + " " + PixelFormatName(format));
            log.Clear();
            RecordingObserver camera(c.outW, c.outH, format);
            VideoDecoder decoder(camera);
            decoder.Init();
            Frame upright;
            for (std::uint32_t flags = 0; flags < 4; ++flags) {
                camera.frames.clear();
                DecodeAll(decoder, units, flags);
                ASSERT_EQ(camera.frames.size(), 2u) << "flags " << flags;
                const bool flipped = IsUpsideDown(flags);
                const bool mirrored = IsMirrored(flags);
                // ARGB32's bottom-up rows put the top bar at the bottom, and
                // its picture keeps its rows when turned over; the top-down
                // layouts turn over the whole buffer.
                const std::uint32_t farTop = c.outH - c.topBar - c.scaledH;
                const Rect picture{mirrored ? c.outW - c.sideBar - c.scaledW : c.sideBar,
                                   format == kPixelArgb32 || flipped ? farTop : c.topBar, c.scaledW, c.scaledH};
                for (const Frame& f : camera.frames) {
                    EXPECT_EQ(f.width, c.outW);
                    EXPECT_EQ(f.height, c.outH);
                    EXPECT_EQ(f.format, format);
                    ExpectPicture(f, picture, flipped, mirrored);
                }
                if (flags == 0)
                    upright = camera.frames[0];
                if (flags != 2)
                    continue;
                // Mirroring moves whole pixels: the mirrored picture is the
                // upright one read right to left, exactly.
                int differences = 0;
                for (std::uint32_t y = 0; y < c.outH; ++y)
                    for (std::uint32_t x = 0; x < c.outW; ++x)
                        differences += !(PixelAt(camera.frames[0], x, y) == PixelAt(upright, c.outW - 1 - x, y));
                EXPECT_EQ(differences, 0);
            }
            EXPECT_EQ(decoder.SourceWidth(), c.inW);
            EXPECT_EQ(log.Count("info: sws configured to " + std::string(PixelFormatName(format)) + ": input = " +
                                std::to_string(c.inW) + " x " + std::to_string(c.inH) + ", output = " +
                                std::to_string(c.scaledW) + " x " + std::to_string(c.scaledH)),
                      1);
            for (const std::string& line : c.sizeLines)
                EXPECT_EQ(log.Count(line), 1) << line;
            const auto lines = log.Lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.starts_with("info: decoder output size"); }),
                      c.sizeLines.empty() ? 0 : 1);
        }
    }
}

TEST_F(VideoDecoderTest, user_data_travels_with_the_picture_of_its_packet)
{
    const auto units = ReadUnits("quadrants-640x480.h264units");
    RecordingObserver camera(640, 480, kPixelNv12);
    VideoDecoder decoder(camera);
    decoder.Init();
    const auto userData = static_cast<std::uintptr_t>(0xFEDCBA9876543210 & UINTPTR_MAX);
    DecodeAll(decoder, units, 0, userData);
    ASSERT_EQ(camera.frames.size(), 2u);
    EXPECT_EQ(camera.frames[0].userData, userData);
    EXPECT_EQ(camera.frames[1].userData, 0u);
}

TEST_F(VideoDecoderTest, pictures_without_a_usable_buffer_are_dropped)
{
    const auto units = ReadUnits("quadrants-640x480.h264units");
    struct Case {
        const char* what;
        std::uint32_t width, height;
        DriverPixelFormat format;
        bool handOut;
    } cases[] = {
        {"no buffer", 640, 480, kPixelArgb32, false},
        {"nothing usable asked for", 640, 480, kPixelRgba32, true},
        {"empty size", 0, 480, kPixelArgb32, true},
        // The last chroma pairs of a row would not fit.
        {"odd NV12 width", 641, 480, kPixelNv12, true},
        {"odd YUY2 width", 641, 480, kPixelYuy2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingObserver camera(c.width, c.height, c.format);
        camera.handOut_ = c.handOut;
        VideoDecoder decoder(camera);
        decoder.Init();
        DecodeAll(decoder, units, 0);
        EXPECT_TRUE(camera.frames.empty());
    }
}

TEST_F(VideoDecoderTest, without_codec_libraries_work_is_refused_quietly)
{
    const auto units = ReadUnits("quadrants-640x480.h264units");
    RecordingObserver camera(640, 480, kPixelArgb32);
    {
        UnloadCodecLibraries();
        VideoDecoder decoder(camera);
        decoder.Init();
        DecodeAll(decoder, units, 0);
    }
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"trace: VideoDecoder Init",
                                                     "error: VideoDecoder has no codec libraries"}));
    EXPECT_TRUE(camera.frames.empty());
    ASSERT_TRUE(Bind());
}

} // namespace
} // namespace talvik
