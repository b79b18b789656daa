// The images as they load: artwork sizes and colours (decoded identically
// on both platforms), the text line's measure, and the format text's forms.
#include "engine/png_image.h"
#include "engine/status_screen_text.h"
#include "engine/text_image.h"
#include "media/pixel_format.h"

#include <gtest/gtest.h>

#include <cstdint>

#ifdef _WIN32
#include <objbase.h>
#endif

namespace talvik {
namespace {

class ArtworkTest : public testing::Test {
protected:
#ifdef _WIN32
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
#endif
};

TEST_F(ArtworkTest, the_images_load_white_on_black_at_their_sizes)
{
    struct Expected {
        int id;
        std::uint32_t size;
        bool opaque;
    };
    const Expected all[] = {{108, 64, true}, {127, 64, true}, {128, 120, false}, {129, 128, false}, {130, 120, false}};
    for (const Expected& e : all) {
        SCOPED_TRACE(e.id);
        const OverlayImage image = LoadPngImage(e.id);
        ASSERT_EQ(image.width, e.size);
        ASSERT_EQ(image.height, e.size);
        // The corner is background: white paper turned black, or clear.
        EXPECT_EQ(image.argb[0], e.opaque ? 0 : 255);
        EXPECT_EQ(image.argb[3], e.opaque ? 255 : 0);
    }
    EXPECT_EQ(LoadPngImage(131).width, 0u);
}

// FNV-1a over the ARGB planes of all 23 images: the platforms' PNG decoders
// must agree to the byte.
TEST_F(ArtworkTest, decoded_pixels_are_the_same_on_every_platform)
{
    std::uint64_t hash = 1469598103934665603ull;
    for (int id = kSpinnerResource; id <= kCrossedUsbIconResource; ++id)
        for (std::uint8_t byte : LoadPngImage(id).argb)
            hash = (hash ^ byte) * 1099511628211ull;
    EXPECT_EQ(hash, 2218907321748273034ull);
}

TEST_F(ArtworkTest, a_text_line_is_even_sized_with_its_coverage_as_alpha)
{
    const OverlayImage image = CreateTextImage("640x480 NV12 at 30 fps", 22);
    EXPECT_EQ(image.height, 22u);
    EXPECT_GT(image.width, 100u);
    EXPECT_EQ(image.width % 2, 0u);
    int opaque = 0;
    for (std::size_t i = 0; i < image.argb.size(); i += 4) {
        ASSERT_EQ(image.argb[i + 3], image.argb[i + 2]);
        opaque += image.argb[i + 3] == 255;
    }
    EXPECT_GT(opaque, 50);
}

TEST(format_text, names_the_size_the_format_the_link_and_any_scaling)
{
    EXPECT_EQ(FormatText(640, 480, kPixelNv12, FormatTextKind::kStatusScreen, VideoSize{1, 1}),
              "640x480 NV12 at 30 fps");
    EXPECT_EQ(FormatText(1280, 720, kPixelYuy2, FormatTextKind::kUsb, std::nullopt), "USB: 1280x720 YUY2 at 30 fps");
    EXPECT_EQ(FormatText(1280, 720, kPixelArgb32, FormatTextKind::kWifi, VideoSize{1280, 720}),
              "WIFI: 1280x720 ARGB32 at 30 fps");
    EXPECT_EQ(FormatText(640, 480, kPixelRgba32, static_cast<FormatTextKind>(7), VideoSize{1920, 1080}),
              "WIFI: 1920x1080 scaled to 640x480 RGBA32 at 30 fps");
}

} // namespace
} // namespace talvik
