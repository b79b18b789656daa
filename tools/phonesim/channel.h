// One connection to the service as the phone app sees it: the phone's
// message stream goes out, framed for USB when the connection is a usbmuxd
// tunnel (usb_frame.h), and the service's messages come back through a
// ServiceReader. The channel does not own the socket.
#pragma once

#include "tools/phonesim/service_reader.h"

#include <chrono>

namespace talvik::phonesim {

enum class IoResult { kOk, kClosed, kFailed };

class Channel {
public:
    // `early` holds bytes of the service's stream that were read from the
    // socket before the channel took it over.
    Channel(int fd, Framing framing, std::span<const std::uint8_t> early = {});

    Framing framing() const { return framing_; }

    // From now on every byte of the stream is written on its own (in its own
    // USB frame over USB), so that the service receives the stream in the
    // smallest pieces the transport allows.
    void SetByteAtATime(bool on) { byteAtATime_ = on; }

    // Sends a piece of the message stream: one or more whole messages.
    IoResult Send(std::span<const std::uint8_t> piece);

    // Writes bytes exactly as given, outside any framing.
    IoResult SendRaw(std::span<const std::uint8_t> bytes);

    // Sends only the first `keep` bytes of a piece, as a phone that dies
    // while writing it would; over USB the frame still announces the whole
    // piece.
    IoResult SendCut(std::span<const std::uint8_t> piece, std::size_t keep);

    enum class Received { kMessage, kTimeout, kClosed, kInvalid };

    // Waits until `deadline` for the service's next message; a deadline that
    // has passed still takes what has already arrived.
    Received Receive(std::chrono::steady_clock::time_point deadline, ServiceMessage& message);

    // Why the last call failed or found the service's stream invalid.
    const std::string& error() const { return error_; }

private:
    IoResult Write(const std::uint8_t* data, std::size_t size);

    int fd_;
    Framing framing_;
    bool byteAtATime_ = false;
    ServiceReader reader_;
    // Frames of the piece being sent over USB, kept between pieces so that
    // large pieces do not cost an allocation each.
    Bytes usbFrames_;
    std::string error_;
};

} // namespace talvik::phonesim
