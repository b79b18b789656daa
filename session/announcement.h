// The phone's announcement: the 336-byte payload of a MESSAGE_KEEPALIVE,
// sent once at the start of a session. Only the first of a session counts.
//
//     0            4       8     9       11      12             16           296          336
//     +------------+-------+-----+-------+-------+--------------+------------+------------+
//     | clientType | (u32) | cap | (2 B) | opts  | format count | 35 formats | 5 options  |
//     +------------+-------+-----+-------+-------+--------------+------------+------------+
//      u32                  u8            u8      u32            8 B each     8 B each
//
//   cap     bit 4: the phone takes a new stream request while streaming
//   format  (WireVideoFormat) u32 packed: bits 0-11 width, 12-23 height,
//           24-31 codec; then f32 frames per second
//   option  byte 0 the entry's kind; bytes 1-7 not looked at
#pragma once

#include "session/client_format.h"

#include <cstddef>
#include <cstdint>

namespace talvik {

inline constexpr std::size_t kAnnouncementPayloadSize = 336;
inline constexpr uint32_t kMaxAnnouncedFormats = 35;
inline constexpr uint32_t kMaxAnnouncedOptions = 5;

enum class ClientClass {
    kCamera,        // streams video; its formats are reported to the engine
    kBarcodeReader, // sends no video
    kUnknown,
};

ClientClass ClassifyClient(uint32_t clientType);

// A view of an announcement payload; the bytes must outlive it.
class Announcement {
public:
    explicit Announcement(const uint8_t* payload) : payload_(payload) {}

    uint32_t clientType() const;
    bool SupportsDynamicFormatChange() const;

    // The announced counts, capped to the room the table has, so that an
    // index below them always lies inside the payload.
    uint32_t FormatCount() const;
    uint32_t OptionCount() const;

    // Entry `index` decoded; fps truncated toward zero (NaN and negative
    // rates are 0, rates beyond u32 are its maximum).
    ClientFormat Format(uint32_t index) const;
    // Entry `index`'s frame rate as announced.
    float FormatFps(uint32_t index) const;
    uint8_t OptionKind(uint32_t index) const;

private:
    const uint8_t* payload_;
};

} // namespace talvik
