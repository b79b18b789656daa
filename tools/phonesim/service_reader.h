// What the phone receives from the service, checked strictly: the simulator
// is a test peer, so anything the service should never send ends the session
// with a reason instead of being skipped.
//
// The service sends only two messages, each a 16-byte header (see
// wire_writer.h) and its payload:
//   MESSAGE_KEEPALIVE    empty payload
//   MESSAGE_STARTSTREAM  12 bytes:
//                          0              4              8             12
//                          +--------------+--------------+--------------+
//                          | format index | option index |      4       |
//                          +--------------+--------------+--------------+
//
// Over TCP the messages follow each other directly. Over USB each one is
// preceded by its length, 4 bytes big-endian, and nothing else:
//                          +--------------+---------------------------+
//                          | length (BE)  | message (length bytes)    |
//                          +--------------+---------------------------+
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <deque>
#include <optional>
#include <string>

namespace talvik::phonesim {

enum class Framing { kTcp, kUsb };

struct ServiceMessage {
    std::uint32_t type = 0;
    Bytes payload;
};

struct StreamRequest {
    std::uint32_t formatIndex = 0;
    std::uint32_t optionIndex = 0;
    std::uint32_t third = 0;
};

// The request carried by a MESSAGE_STARTSTREAM whose payload the reader has
// already checked.
StreamRequest DecodeStreamRequest(const ServiceMessage& message);

class ServiceReader {
public:
    explicit ServiceReader(Framing framing) : framing_(framing) {}

    // Takes the next bytes of the service's stream, cut anywhere. Returns
    // false once the stream is invalid; error() then says why, and the
    // reader takes nothing more.
    bool Feed(std::span<const std::uint8_t> bytes);

    // The oldest complete message not yet taken.
    std::optional<ServiceMessage> Next();

    const std::string& error() const { return error_; }

private:
    bool Parse();
    bool Fail(std::string reason);

    Framing framing_;
    Bytes pending_;
    std::size_t consumed_ = 0;
    std::deque<ServiceMessage> ready_;
    std::string error_;
};

} // namespace talvik::phonesim
