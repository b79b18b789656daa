#include "tools/phonesim/usb_frame.h"

#include <algorithm>

namespace talvik::phonesim {

Bytes WriteUsbFrameHeader(std::uint32_t bodyLength)
{
    return {0xDE,
            0xC0,
            0xAD,
            0xDE,
            static_cast<std::uint8_t>(bodyLength >> 24),
            static_cast<std::uint8_t>(bodyLength >> 16),
            static_cast<std::uint8_t>(bodyLength >> 8),
            static_cast<std::uint8_t>(bodyLength)};
}

Bytes WriteUsbFrames(std::span<const std::uint8_t> piece)
{
    Bytes out;
    AppendUsbFrames(piece, out);
    return out;
}

void AppendUsbFrames(std::span<const std::uint8_t> piece, Bytes& out)
{
    out.reserve(out.size() + piece.size() + (piece.size() / kMaxUsbFrameBody + 1) * kUsbFrameHeaderSize);
    while (!piece.empty()) {
        const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(piece.size(), kMaxUsbFrameBody));
        const Bytes header = WriteUsbFrameHeader(length);
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), piece.begin(), piece.begin() + length);
        piece = piece.subspan(length);
    }
}

} // namespace talvik::phonesim
