// Phone-to-service framing over USB. The message stream is cut into pieces,
// each carried by one frame:
//
//      0                4                8
//      +----------------+----------------+------------------------
//      | DE C0 AD DE    | body length    | body: a piece of the
//      | (magic, LE)    | (big-endian)   | message stream
//      +----------------+----------------+------------------------
//
// The service refuses bodies longer than kMaxUsbFrameBody.
#pragma once

#include "tools/phonesim/wire_writer.h"

namespace talvik::phonesim {

inline constexpr std::size_t kUsbFrameHeaderSize = 8;
inline constexpr std::uint32_t kMaxUsbFrameBody = 4194304;

Bytes WriteUsbFrameHeader(std::uint32_t bodyLength);

// The piece in as many frames as its length needs (one for any piece of at
// most kMaxUsbFrameBody bytes); nothing for an empty piece.
Bytes WriteUsbFrames(std::span<const std::uint8_t> piece);
// The same frames appended to `out`, so that a sender can keep one buffer.
void AppendUsbFrames(std::span<const std::uint8_t> piece, Bytes& out);

} // namespace talvik::phonesim
