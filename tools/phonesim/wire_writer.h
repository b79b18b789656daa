// The messages the phone sends to the service, laid out byte by byte here
// rather than shared with the service's parser, so that each side checks the
// other. Every multi-byte field is little-endian.
//
// Every message starts with a 16-byte header:
//
//      0          4          8          12         16
//      +----------+----------+----------+----------+------------------
//      |  magic   | reserved |   type   | payload  | payload ...
//      | DEADC0DE |    0     |          |   size   |
//      +----------+----------+----------+----------+------------------
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace talvik::phonesim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kMagic = 0xDEADC0DE;
inline constexpr std::size_t kHeaderSize = 16;

inline constexpr std::uint32_t MESSAGE_VIDEODATA = 0x20002;
inline constexpr std::uint32_t MESSAGE_STARTSTREAM = 0x20003;
inline constexpr std::uint32_t MESSAGE_AUDIODATA = 0x20004;
inline constexpr std::uint32_t MESSAGE_KEEPALIVE = 0x20005;
inline constexpr std::uint32_t MESSAGE_HELPERTEXT = 0x20006;
inline constexpr std::uint32_t MESSAGE_VIDEODATA_WITH_DEPTH = 0x20007;

// Video flags: the picture is upside down, mirrored left to right, or one
// uncompressed NV12 picture instead of H.264 data.
inline constexpr std::uint32_t kFlagUpsideDown = 0x01;
inline constexpr std::uint32_t kFlagMirrored = 0x10;
inline constexpr std::uint32_t kFlagRawNv12 = 0x20;

enum Codec : std::uint8_t {
    kCodecMpeg4 = 0,
    kCodecH264 = 1,
    kCodecUnsupported = 2,
    kCodecUnsupported2 = 3,
    kCodecNv12 = 4,
};

// One entry of the announced format list. Width and height are at most 4095
// (12 bits each on the wire).
struct VideoFormat {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    float fps = 30.0f;
    std::uint8_t codec = kCodecH264;
};

inline constexpr std::size_t kMaxFormats = 35;
inline constexpr std::size_t kMaxOptions = 5;
inline constexpr std::uint32_t kAnnouncementSize = 336;
inline constexpr std::uint8_t kCapabilityFormatChange = 0x10;

// The announcement (a MESSAGE_KEEPALIVE with a 336-byte payload):
//
//      0       4       8    9  11   12      16                 296           336
//      +-------+-------+----+---+----+-------+------------------+-------------+
//      |client | 0     |caps| 0 |opt |format | 35 formats x 8   | 5 options   |
//      | type  |       |    |   |cnt | count |                  |   x 8       |
//      +-------+-------+----+---+----+-------+------------------+-------------+
//
// A format entry is a u32 (bits 0-11 width, 12-23 height, 24-31 codec)
// followed by the frame rate as an f32; an option entry is its kind byte and
// seven zero bytes. Unused entries are zero. The counts are the lengths of
// the lists; entries beyond the table's room are counted but not written.
struct Announcement {
    std::uint32_t clientType = 1;
    bool formatChange = true;
    std::vector<std::uint8_t> optionKinds;  // at most kMaxOptions
    std::vector<VideoFormat> formats;       // at most kMaxFormats
};

// The header alone, for messages whose payload follows separately or never.
Bytes WriteHeader(std::uint32_t type, std::uint32_t payloadSize);

Bytes WriteAnnouncement(const Announcement& announcement);

// The bare keep-alive: a header with an empty payload.
Bytes WriteKeepAlive();

// MESSAGE_VIDEODATA:
//      +-------+---------+---------+--------------------
//      | flags | frame # | time ms | H.264 access unit, or one NV12 picture
//      +-------+---------+---------+--------------------
// The frame number and time are for people reading captures; the service
// does not look at them.
Bytes WriteVideoData(std::uint32_t flags, std::uint32_t frameNumber, std::uint32_t timeMs,
                     std::span<const std::uint8_t> data);
// The same message up to its data, for a caller that appends `dataSize`
// bytes of data itself.
Bytes WriteVideoDataHeader(std::uint32_t flags, std::uint32_t frameNumber, std::uint32_t timeMs,
                           std::size_t dataSize);

// MESSAGE_VIDEODATA_WITH_DEPTH:
//      0       4       8      10      12      16      20
//      +-------+-------+------+-------+-------+-------+-------+-------+
//      | flags | frame#|depth |depth  | video | depth | video | depth |
//      |       |       |width |height | bytes | bytes | data  | data  |
//      +-------+-------+------+-------+-------+-------+-------+-------+
Bytes WriteVideoDataWithDepth(std::uint32_t flags, std::uint32_t frameNumber, std::uint16_t depthWidth,
                              std::uint16_t depthHeight, std::span<const std::uint8_t> video,
                              std::span<const std::uint8_t> depth);

// MESSAGE_AUDIODATA: block number, time in ms, the sample byte count, then
// the 16-bit mono samples.
Bytes WriteAudioData(std::uint32_t blockNumber, std::uint32_t timeMs, std::span<const std::int16_t> samples);

// MESSAGE_HELPERTEXT: the text length, then the text without a terminator.
Bytes WriteHelperText(std::string_view text);

} // namespace talvik::phonesim
