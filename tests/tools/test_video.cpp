// The simulated camera: frame numbers that survive scaling and H.264, the
// encoder's access units, the NV12 layout and the tone.
#include "tools/phonesim/audio_tone.h"
#include "tools/phonesim/frame_code.h"
#include "tools/phonesim/h264_encoder.h"
#include "tools/phonesim/test_pattern.h"
#include "tests/tools/test_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace talvik::phonesim;

namespace {

// The luma plane shrunk by `factor` in both directions, each output pixel
// the mean of its block, as a scaler would.
Bytes Shrink(const Picture& picture, int factor, int& width, int& height)
{
    width = picture.width / factor;
    height = picture.height / factor;
    Bytes out(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int sum = 0;
            for (int dy = 0; dy < factor; ++dy)
                for (int dx = 0; dx < factor; ++dx)
                    sum += picture.y[(y * factor + dy) * picture.width + x * factor + dx];
            out[y * width + x] = static_cast<std::uint8_t>(sum / (factor * factor));
        }
    return out;
}

// NAL unit types in an Annex-B access unit.
std::vector<int> NalTypes(const Bytes& unit)
{
    std::vector<int> types;
    for (std::size_t i = 0; i + 3 < unit.size(); ++i)
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1)
            types.push_back(unit[i + 3] & 0x1F);
    return types;
}

} // namespace

TEST(frame_code, reads_back_the_number_after_scaling)
{
    for (const auto& [width, height] : {std::pair{640, 480}, std::pair{1280, 720}, std::pair{1920, 1080}})
        for (std::uint32_t number : {0u, 1u, 29u, 0xABCDEFu, 0x1000005u}) {
            Picture picture = MakePicture(width, height);
            DrawTestPattern(number, picture);
            const std::uint32_t expected = number & 0xFFFFFF;
            EXPECT_EQ(ReadFrameCode(picture.y.data(), width, width, height), expected) << width;
            int smallWidth = 0, smallHeight = 0;
            const Bytes small = Shrink(picture, 2, smallWidth, smallHeight);
            EXPECT_EQ(ReadFrameCode(small.data(), smallWidth, smallWidth, smallHeight), expected)
                << "scaled from " << width;
        }
}

TEST(frame_code, is_not_read_from_other_pictures)
{
    Picture picture = MakePicture(640, 480);
    std::fill(picture.y.begin(), picture.y.end(), 128);
    EXPECT_FALSE(ReadFrameCode(picture.y.data(), 640, 640, 480)) << "a flat picture";

    DrawTestPattern(12345, picture);
    // Flip the cell of bit 8, the lowest bit of the number.
    const int left = 24 * 640 / kFrameCodeCells, right = 25 * 640 / kFrameCodeCells;
    for (int y = 0; y < FrameCodeHeight(640); ++y)
        for (int x = left; x < right; ++x)
            picture.y[y * 640 + x] = picture.y[y * 640 + x] > 128 ? 16 : 235;
    EXPECT_FALSE(ReadFrameCode(picture.y.data(), 640, 640, 480)) << "the check byte catches a wrong bit";
}

TEST(h264_encoder, every_picture_is_one_annex_b_access_unit_that_decodes_at_once)
{
    std::string error;
    std::unique_ptr<H264Encoder> encoder = H264Encoder::Open(320, 240, 30, error);
    ASSERT_TRUE(encoder) << error;
    test::TestDecoder decoder;
    Picture picture = MakePicture(320, 240);
    for (std::uint32_t number = 0; number < 40; ++number) {
        DrawTestPattern(number, picture);
        Bytes unit;
        ASSERT_TRUE(encoder->Encode(picture, unit)) << encoder->error();
        ASSERT_GE(unit.size(), 5u);
        EXPECT_EQ(Bytes(unit.begin(), unit.begin() + 3), (Bytes{0, 0, 0})) << "starts with a start code";
        const std::vector<int> types = NalTypes(unit);
        if (number == 0) {
            EXPECT_NE(std::find(types.begin(), types.end(), 7), types.end()) << "parameter sets first";
            EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end()) << "a key frame first";
        }
        ASSERT_TRUE(decoder.Decode(unit)) << "frame " << number << " decodes without delay";
        ASSERT_EQ(decoder.width(), 320);
        EXPECT_EQ(decoder.FrameNumber(), number);
    }
}

TEST(test_pattern, nv12_holds_the_luma_plane_then_interleaved_chroma)
{
    Picture picture = MakePicture(64, 64);
    DrawTestPattern(3, picture);
    picture.u[5] = 11;
    picture.v[5] = 22;
    const Bytes nv12 = ToNv12(picture);
    ASSERT_EQ(nv12.size(), 64u * 64 * 3 / 2);
    EXPECT_TRUE(std::equal(picture.y.begin(), picture.y.end(), nv12.begin()));
    EXPECT_EQ(nv12[64 * 64 + 10], 11);
    EXPECT_EQ(nv12[64 * 64 + 11], 22);
}

TEST(audio_tone, blocks_continue_the_wave_without_a_jump)
{
    ToneGenerator blocks(441);
    ToneGenerator whole(441);
    std::int16_t first[kAudioBlockSamples], second[kAudioBlockSamples], both[2 * kAudioBlockSamples];
    blocks.Fill(first);
    blocks.Fill(second);
    whole.Fill(both);
    EXPECT_TRUE(std::equal(first, first + kAudioBlockSamples, both));
    EXPECT_TRUE(std::equal(second, second + kAudioBlockSamples, both + kAudioBlockSamples));
    // 441 Hz at 44,100 samples per second: one cycle every 100 samples.
    EXPECT_EQ(both[0], 0);
    EXPECT_EQ(both[25], 8192);
    EXPECT_EQ(both[125], 8192);
}
