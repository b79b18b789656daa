// Writes the decoder tests' H.264 streams, committed in tests/media/data so
// that the Windows tests under Wine decode the very same bytes:
//   quadrants-<W>x<H>.h264units  for 1280x720, 640x480 and 1920x1080
// Each holds two access units (a key frame and one predicted frame) of the
// same picture, as the phone would send them, every unit preceded by its
// size as a 32-bit little-endian number. The picture has four flat quadrants
// (BT.601 limited range):
//   top left  Y 81  U 90  V 240 (red)     top right    Y 145 U 54  V 34  (green)
//   bottom left Y 41 U 240 V 110 (blue)   bottom right Y 210 U 16  V 146 (yellow)
// Usage: make_test_streams <directory>
#include "base/byte_order.h"
#include "tools/phonesim/h264_encoder.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using talvik::phonesim::Picture;

struct Yuv {
    std::uint8_t y, u, v;
};
constexpr Yuv kTopLeft{81, 90, 240};
constexpr Yuv kTopRight{145, 54, 34};
constexpr Yuv kBottomLeft{41, 240, 110};
constexpr Yuv kBottomRight{210, 16, 146};

Yuv QuadrantAt(int x, int y, int width, int height)
{
    const bool right = x >= width / 2;
    const bool bottom = y >= height / 2;
    return bottom ? (right ? kBottomRight : kBottomLeft) : (right ? kTopRight : kTopLeft);
}

void DrawQuadrants(Picture& picture)
{
    const int w = picture.width;
    const int h = picture.height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            picture.y[static_cast<std::size_t>(y) * w + x] = QuadrantAt(x, y, w, h).y;
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            const Yuv c = QuadrantAt(2 * x, 2 * y, w, h);
            picture.u[static_cast<std::size_t>(y) * (w / 2) + x] = c.u;
            picture.v[static_cast<std::size_t>(y) * (w / 2) + x] = c.v;
        }
}

bool WriteStream(const std::string& directory, int width, int height)
{
    std::string error;
    auto encoder = talvik::phonesim::H264Encoder::Open(width, height, 30, error);
    if (!encoder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    Picture picture = talvik::phonesim::MakePicture(width, height);
    DrawQuadrants(picture);
    const std::string path = directory + "/quadrants-" + std::to_string(width) + "x" + std::to_string(height) +
                             ".h264units";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int unit = 0; unit < 2; ++unit) {
        talvik::phonesim::Bytes accessUnit;
        if (!encoder->Encode(picture, accessUnit)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), encoder->error().c_str());
            return false;
        }
        const std::uint32_t size = static_cast<std::uint32_t>(accessUnit.size());
        std::uint8_t prefix[4];
        talvik::StoreU32Le(prefix, size);
        out.write(reinterpret_cast<const char*>(prefix), sizeof prefix);
        out.write(reinterpret_cast<const char*>(accessUnit.data()), static_cast<std::streamsize>(size));
    }
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: write failed\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_test_streams <directory>\n");
        return 2;
    }
    for (const auto& [w, h] : {std::pair{1280, 720}, std::pair{640, 480}, std::pair{1920, 1080}})
        if (!WriteStream(argv[1], w, h))
            return 1;
    return 0;
}
