// The service's end of a TCP connection, for tests that run the simulator as
// a separate process: listens on a free loopback port, accepts the phone and
// reads its messages with time-outs.
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <chrono>
#include <optional>

namespace talvik::phonesim::test {

struct PhoneMessage {
    std::uint32_t magic = 0;
    std::uint32_t type = 0;
    std::uint32_t payloadSize = 0;
    Bytes payload;  // empty when payloadSize is too large to be read
};

class FakeService {
public:
    FakeService();
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    int port() const { return port_; }

    bool Accept(std::chrono::milliseconds timeout);

    // Exactly `count` bytes, or nothing when the phone closes or is silent.
    std::optional<Bytes> Read(std::size_t count, std::chrono::milliseconds timeout);

    // The next message; with `readPayload` false only its header.
    std::optional<PhoneMessage> ReadMessage(std::chrono::milliseconds timeout, bool readPayload = true);

    // The next message of `type`, skipping others (audio, keep-alives).
    std::optional<PhoneMessage> ReadUntil(std::uint32_t type, std::chrono::milliseconds timeout);

    // True when the phone closes the connection within the time, after
    // sending at most `limit` more bytes.
    bool ClosedWithin(std::chrono::milliseconds timeout, std::size_t limit = SIZE_MAX);

    void Send(const Bytes& bytes);
    void SendStreamRequest(std::uint32_t formatIndex, std::uint32_t optionIndex);
    void Close();

private:
    int listen_ = -1;
    int connection_ = -1;
    int port_ = 0;
};

} // namespace talvik::phonesim::test
