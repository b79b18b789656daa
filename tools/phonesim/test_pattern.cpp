#include "tools/phonesim/test_pattern.h"

#include "tools/phonesim/frame_code.h"

#include <algorithm>
#include <cstring>

namespace talvik::phonesim {

namespace {

struct Yuv {
    std::uint8_t y, u, v;
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue.
constexpr Yuv kBars[] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                         {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};
constexpr int kBarCount = 7;
constexpr int kScrollPerFrame = 4;

// Position of a bouncing object: goes from 0 to `range` and back.
int Bounce(std::uint32_t step, int range)
{
    if (range <= 0)
        return 0;
    const int phase = static_cast<int>(step % static_cast<std::uint32_t>(2 * range));
    return phase <= range ? phase : 2 * range - phase;
}

} // namespace

Picture MakePicture(int width, int height)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.y.resize(static_cast<std::size_t>(width) * height);
    picture.u.resize(static_cast<std::size_t>(width / 2) * (height / 2));
    picture.v.resize(picture.u.size());
    return picture;
}

void DrawTestPattern(std::uint32_t number, Picture& picture)
{
    const int width = picture.width;
    const int height = picture.height;
    const int chromaWidth = width / 2;

    // Every row of bars is the same, so draw one and copy it.
    Bytes lumaRow(width), uRow(chromaWidth), vRow(chromaWidth);
    const long scroll = static_cast<long>(number) * kScrollPerFrame;
    for (int x = 0; x < width; ++x) {
        const Yuv& bar = kBars[((x + scroll) % width) * kBarCount / width];
        lumaRow[x] = bar.y;
        if (x % 2 == 0) {
            uRow[x / 2] = bar.u;
            vRow[x / 2] = bar.v;
        }
    }
    for (int y = 0; y < height; ++y)
        std::memcpy(&picture.y[static_cast<std::size_t>(y) * width], lumaRow.data(), width);
    for (int y = 0; y < height / 2; ++y) {
        std::memcpy(&picture.u[static_cast<std::size_t>(y) * chromaWidth], uRow.data(), chromaWidth);
        std::memcpy(&picture.v[static_cast<std::size_t>(y) * chromaWidth], vRow.data(), chromaWidth);
    }

    // The bouncing square, white on even-aligned coordinates so that its
    // chroma stays neutral.
    const int codeHeight = FrameCodeHeight(width);
    const int side = std::max(2, height / 6) & ~1;
    const int left = Bounce(number * 6, width - side) & ~1;
    const int top = (codeHeight + Bounce(number * 4, height - codeHeight - side)) & ~1;
    const int squareWidth = std::min(side, width - left);
    for (int y = top; y < std::min(height, top + side); ++y)
        std::memset(&picture.y[static_cast<std::size_t>(y) * width + left], 235, squareWidth);
    for (int y = top / 2; y < std::min(height, top + side) / 2; ++y) {
        std::memset(&picture.u[static_cast<std::size_t>(y) * chromaWidth + left / 2], 128, squareWidth / 2);
        std::memset(&picture.v[static_cast<std::size_t>(y) * chromaWidth + left / 2], 128, squareWidth / 2);
    }

    // The frame number, over neutral chroma so that only luma carries it.
    DrawFrameCode(number, picture.y.data(), width, width, height);
    const int codeChromaRows = std::min(height / 2, (codeHeight + 1) / 2);
    std::memset(picture.u.data(), 128, static_cast<std::size_t>(codeChromaRows) * chromaWidth);
    std::memset(picture.v.data(), 128, static_cast<std::size_t>(codeChromaRows) * chromaWidth);
}

Bytes ToNv12(const Picture& picture)
{
    Bytes out;
    AppendNv12(picture, out);
    return out;
}

void AppendNv12(const Picture& picture, Bytes& out)
{
    const std::size_t start = out.size();
    out.resize(start + picture.y.size() + 2 * picture.u.size());
    std::memcpy(out.data() + start, picture.y.data(), picture.y.size());
    std::uint8_t* chroma = out.data() + start + picture.y.size();
    for (std::size_t i = 0; i < picture.u.size(); ++i) {
        chroma[2 * i] = picture.u[i];
        chroma[2 * i + 1] = picture.v[i];
    }
}

} // namespace talvik::phonesim
