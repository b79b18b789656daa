#include "tools/phonesim/frame_code.h"

#include <algorithm>
#include <cstring>

namespace talvik::phonesim {

namespace {

constexpr std::uint8_t kWhite = 235;
constexpr std::uint8_t kBlack = 16;
constexpr std::uint32_t kNumberMask = 0xFFFFFF;

std::uint32_t CheckByte(std::uint32_t number)
{
    return (number ^ number >> 8 ^ number >> 16 ^ 0x5A) & 0xFF;
}

int CellLeft(int cell, int width)
{
    return cell * width / kFrameCodeCells;
}

// Mean luma of the middle half of a cell, where compression and scaling
// blur least.
int CellMean(const std::uint8_t* luma, int stride, int width, int codeHeight, int cell)
{
    const int left = CellLeft(cell, width);
    const int cellWidth = CellLeft(cell + 1, width) - left;
    const int x0 = left + cellWidth / 4;
    const int x1 = std::max(x0 + 1, left + cellWidth * 3 / 4);
    const int y0 = codeHeight / 4;
    const int y1 = std::max(y0 + 1, codeHeight * 3 / 4);
    long sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            sum += luma[static_cast<long>(y) * stride + x];
    return static_cast<int>(sum / (static_cast<long>(y1 - y0) * (x1 - x0)));
}

} // namespace

int FrameCodeHeight(int width)
{
    return std::max(1, width / kFrameCodeCells);
}

void DrawFrameCode(std::uint32_t number, std::uint8_t* luma, int stride, int width, int height)
{
    const std::uint32_t code = (number & kNumberMask) << 8 | CheckByte(number & kNumberMask);
    const int rows = std::min(FrameCodeHeight(width), height);
    for (int cell = 0; cell < kFrameCodeCells; ++cell) {
        bool white = cell == 0;
        if (cell > 0 && cell < kFrameCodeCells - 1)
            white = (code >> (kFrameCodeCells - 2 - cell)) & 1;
        const int left = CellLeft(cell, width);
        const int right = CellLeft(cell + 1, width);
        for (int y = 0; y < rows; ++y)
            std::memset(luma + static_cast<long>(y) * stride + left, white ? kWhite : kBlack, right - left);
    }
}

std::optional<std::uint32_t> ReadFrameCode(const std::uint8_t* luma, int stride, int width, int height)
{
    const int codeHeight = FrameCodeHeight(width);
    if (width < kFrameCodeCells * 4 || codeHeight < 4 || codeHeight > height)
        return std::nullopt;
    const int white = CellMean(luma, stride, width, codeHeight, 0);
    const int black = CellMean(luma, stride, width, codeHeight, kFrameCodeCells - 1);
    if (white - black < 64)
        return std::nullopt;
    const int threshold = (white + black) / 2;
    std::uint32_t code = 0;
    for (int cell = 1; cell < kFrameCodeCells - 1; ++cell)
        code = code << 1 | (CellMean(luma, stride, width, codeHeight, cell) > threshold ? 1u : 0u);
    const std::uint32_t number = code >> 8;
    if ((code & 0xFF) != CheckByte(number))
        return std::nullopt;
    return number;
}

} // namespace talvik::phonesim
