// The session wire protocol spoken with the phone app, and the two messages
// the service sends.
//
// Every message, in both directions, is a 16-byte header and a payload; all
// fields are little-endian:
//
//     0         4          8        12            16
//     +---------+----------+--------+-------------+------------------------+
//     |  magic  | reserved |  type  | payloadSize | payload (payloadSize)  |
//     +---------+----------+--------+-------------+------------------------+
//      DE C0 AD DE  sent as 0
//               never read
//
// Sent by the service:
//   MESSAGE_KEEPALIVE    the bare header; only over USB, as a liveness signal
//   MESSAGE_STARTSTREAM  header + 12 bytes:
//                            0 u32 format index   index into the announced formats
//                            4 u32 option index   first announced option of kind 2
//                            8 u32 4
#pragma once

#include "session/announcement.h"
#include "session/client_format.h"

#include "base/phone_link.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace talvik {

inline constexpr std::size_t kMessageHeaderSize = 16;

enum MessageType : uint32_t {
    MESSAGE_VIDEODATA = 0x20002,
    MESSAGE_STARTSTREAM = 0x20003,
    MESSAGE_AUDIODATA = 0x20004,
    MESSAGE_KEEPALIVE = 0x20005,
    MESSAGE_HELPERTEXT = 0x20006,
    MESSAGE_VIDEODATA_WITH_DEPTH = 0x20007,
};

struct MessageHeader {
    uint32_t magic;
    uint32_t type;
    uint32_t payloadSize;
};

// Reads the header at `bytes` (kMessageHeaderSize bytes).
MessageHeader ReadMessageHeader(const uint8_t* bytes);

inline constexpr std::size_t kStartStreamPayloadSize = 12;
using KeepaliveMessage = std::array<uint8_t, kMessageHeaderSize>;
using StartStreamMessage = std::array<uint8_t, kMessageHeaderSize + kStartStreamPayloadSize>;

KeepaliveMessage BuildKeepalive();

// Asks the phone to stream `requested`, naming it by its place in the
// phone's own announcement: the highest announced entry equal to it, or
// entry 0 when none is (entry 0 is the phone's default).
StartStreamMessage BuildStartStream(const Announcement& announcement, const ClientFormat& requested);

} // namespace talvik
