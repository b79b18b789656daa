// Blending arithmetic and clipping per camera pixel format, and the alpha
// planes of a finished image.
#include "engine/overlay_image.h"
#include "engine/overlay_image_blend.h"
#include "engine/overlay_on_black.h"
#include "media/pixel_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace talvik {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kGuardBytes = 16;
constexpr std::uint8_t kGuard = 0xEE;

// A 4 x 2 image, every colour pixel B 200 G 100 R 50. Top-down alphas:
//   row 0: 255 128   0  64
//   row 1:   0 255 255   0
OverlayImage TestImage()
{
    OverlayImage image;
    image.width = 4;
    image.height = 2;
    const Bytes alphas = {255, 128, 0, 64, 0, 255, 255, 0};
    for (int row : {1, 0}) // bottom-up
        for (int column = 0; column < 4; ++column)
            for (std::uint8_t byte : {std::uint8_t{200}, std::uint8_t{100}, std::uint8_t{50}, alphas[row * 4 + column]})
                image.argb.push_back(byte);
    image.alpha = alphas;
    image.nv12 = {100, 110, 120, 130, 140, 150, 160, 170, 60, 70, 80, 90};
    image.chromaAlpha = {255, 100};
    image.yuy2 = {100, 60, 110, 70, 120, 80, 130, 90, 140, 61, 150, 71, 160, 81, 170, 91};
    image.pairAlpha = {255, 100, 50, 0};
    image.fullSpans = SpansOf(image.alpha, 4, 2);
    image.chromaSpans = SpansOf(image.chromaAlpha, 2, 1);
    image.pairSpans = SpansOf(image.pairAlpha, 2, 2);
    return image;
}

// The frame before blending, followed by guard bytes that must survive.
Bytes Background(DriverPixelFormat format, std::uint32_t width, std::uint32_t height)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    Bytes frame;
    if (format == kPixelNv12) {
        frame.assign(pixels, 16);
        frame.resize(pixels * 3 / 2, 128);
    } else {
        const Bytes cell = format == kPixelYuy2 ? Bytes{16, 128} : Bytes{10, 20, 30, 40};
        for (std::size_t i = 0; i < pixels * cell.size(); ++i)
            frame.push_back(cell[i % cell.size()]);
    }
    frame.resize(frame.size() + kGuardBytes, kGuard);
    return frame;
}

struct BlendCase {
    const char* name;
    DriverPixelFormat format;
    std::uint32_t width, height;
    std::int32_t x, y;
    std::vector<std::pair<std::size_t, std::uint8_t>> changed; // every byte that differs afterwards
};

TEST(blend_overlay, changes_exactly_the_expected_bytes_in_each_format_and_clips_at_the_edges)
{
    const std::vector<BlendCase> cases = {
        // Bottom-up frame: image row 0 lands in memory row 3. Alpha 255
        // copies all four bytes; partial alpha truncates and keeps the
        // frame's alpha byte.
        {"argb at origin", kPixelArgb32, 6, 4, 0, 0,
         {{72, 200}, {73, 100}, {74, 50}, {75, 255}, {76, 105}, {77, 60}, {78, 40}, {84, 57}, {85, 40}, {86, 35},
          {52, 200}, {53, 100}, {54, 50}, {55, 255}, {56, 200}, {57, 100}, {58, 50}, {59, 255}}},
        // Top-down: the same bytes, image row 0 in memory row 0.
        {"bgrx at origin", kPixelBgrx, 6, 4, 0, 0,
         {{0, 200}, {1, 100}, {2, 50}, {3, 255}, {4, 105}, {5, 60}, {6, 40}, {12, 57}, {13, 40}, {14, 35},
          {28, 200}, {29, 100}, {30, 50}, {31, 255}, {32, 200}, {33, 100}, {34, 50}, {35, 255}}},
        {"argb clipped right and below", kPixelArgb32, 6, 3, 4, 2,
         {{16, 200}, {17, 100}, {18, 50}, {19, 255}, {20, 105}, {21, 60}, {22, 40}}},
        {"argb clipped left", kPixelArgb32, 6, 4, -2, 0, {{76, 57}, {77, 40}, {78, 35}, {48, 200}, {49, 100}, {50, 50}, {51, 255}}},
        {"nv12 at origin", kPixelNv12, 6, 4, 0, 0,
         {{0, 100}, {1, 63}, {3, 44}, {7, 150}, {8, 160}, {24, 60}, {25, 70}, {26, 109}, {27, 113}}},
        // The second chroma pair would start past the end of the last
        // chroma row: it is dropped, not written beyond the frame.
        {"nv12 clipped right and below", kPixelNv12, 6, 4, 4, 2, {{16, 100}, {17, 63}, {23, 150}, {34, 60}, {35, 70}}},
        {"yuy2 at origin", kPixelYuy2, 6, 4, 0, 0,
         {{0, 100}, {1, 60}, {2, 110}, {3, 70}, {4, 56}, {5, 109}, {6, 60}, {7, 113},
          {12, 40}, {13, 114}, {14, 42}, {15, 116}}},
        {"yuy2 clipped right and below", kPixelYuy2, 6, 4, 4, 2,
         {{32, 100}, {33, 60}, {34, 110}, {35, 70}, {44, 40}, {45, 114}, {46, 42}, {47, 116}}},
        {"yuy2 entirely outside", kPixelYuy2, 6, 4, 6, -2, {}},
        {"rgba32 draws nothing", kPixelRgba32, 6, 4, 0, 0, {}},
        {"unsupported draws nothing", kPixelUnsupported, 6, 4, 0, 0, {}},
    };
    const OverlayImage image = TestImage();
    for (const BlendCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes before = Background(c.format, c.width, c.height);
        Bytes frame = before;
        BlendOverlay(image, c.format, c.width, c.height, FramePlanesOf(frame.data(), c.width, c.height, c.format), c.x,
                     c.y);
        Bytes expected = before;
        for (const auto& [offset, value] : c.changed)
            expected[offset] = value;
        EXPECT_EQ(frame, expected);
    }
}

// A status frame copies images blended once onto black: the bytes must be
// those of blending onto the black background, at even and odd places, and
// an image not wholly inside, or made for another format, is not copied.
TEST(overlay_on_black, copies_the_bytes_of_blending_onto_the_black_background)
{
    const OverlayImage image = TestImage();
    for (DriverPixelFormat format : {kPixelArgb32, kPixelBgrx, kPixelNv12, kPixelYuy2}) {
        const OverlayOnBlack onBlack(image, format);
        Bytes black(FrameBytes(format, 10, 6) + kGuardBytes, kGuard);
        FillStatusBackground(black.data(), 10, 6, format);
        for (const auto& [x, y] : {std::pair{0, 0}, std::pair{3, 1}, std::pair{6, 4}, std::pair{5, 3}}) {
            SCOPED_TRACE(testing::Message() << PixelFormatName(format) << " at " << x << ", " << y);
            Bytes blended = black;
            BlendOverlay(image, format, 10, 6, FramePlanesOf(blended.data(), 10, 6, format), x, y);
            Bytes copied = black;
            ASSERT_TRUE(onBlack.CopyInto(FramePlanesOf(copied.data(), 10, 6, format), format, 10, 6, x, y));
            EXPECT_EQ(copied, blended);
        }
        Bytes untouched = black;
        EXPECT_FALSE(onBlack.CopyInto(FramePlanesOf(untouched.data(), 10, 6, format), format, 10, 6, 7, 0));
        EXPECT_FALSE(onBlack.CopyInto(FramePlanesOf(untouched.data(), 10, 6, format), format, 10, 6, 0, -1));
        const DriverPixelFormat other = format == kPixelNv12 ? kPixelYuy2 : kPixelNv12;
        EXPECT_FALSE(onBlack.CopyInto(FramePlanesOf(untouched.data(), 10, 6, format), other, 10, 6, 0, 0));
        EXPECT_EQ(untouched, black);
    }
}

TEST(finish_overlay_image, builds_the_alpha_planes_and_turns_the_argb_plane_bottom_up)
{
    // Top-down alphas 255 128 0 64 / 255 255 0 1; colour bytes tag the row.
    const Bytes alphas = {255, 128, 0, 64, 255, 255, 0, 1};
    Bytes bgra;
    for (int i = 0; i < 8; ++i)
        for (std::uint8_t byte : {static_cast<std::uint8_t>(i / 4), std::uint8_t{7}, std::uint8_t{7}, alphas[i]})
            bgra.push_back(byte);

    const OverlayImage image = FinishOverlayImage(bgra, 4, 2);

    EXPECT_EQ(image.alpha, alphas);
    EXPECT_EQ(image.pairAlpha, (Bytes{191, 32, 255, 0}));
    EXPECT_EQ(image.chromaAlpha, (Bytes{223, 16}));
    ASSERT_EQ(image.argb.size(), 32u);
    EXPECT_EQ(image.argb[0], 1);  // memory row 0 is the last row
    EXPECT_EQ(image.argb[3], 255);
    EXPECT_EQ(image.argb[16], 0);
    EXPECT_EQ(image.argb[31], 64);
}

TEST(finish_overlay_image, mismatched_pixels_give_an_image_that_draws_nothing)
{
    const OverlayImage image = FinishOverlayImage(Bytes(12, 255), 2, 2);
    EXPECT_EQ(image.width, 0u);
    Bytes frame = Background(kPixelArgb32, 2, 2);
    const Bytes before = frame;
    BlendOverlay(image, kPixelArgb32, 2, 2, FramePlanesOf(frame.data(), 2, 2, kPixelArgb32), 0, 0);
    EXPECT_EQ(frame, before);
}

} // namespace
} // namespace talvik
