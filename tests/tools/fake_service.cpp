#include "tests/tools/fake_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace talvik::phonesim::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::max<long>(0, left));
}

std::uint32_t Le32(const std::uint8_t* p)
{
    std::uint32_t value = 0;
    std::memcpy(&value, p, 4);
    return value;
}

} // namespace

FakeService::FakeService()
{
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_, 4);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
}

FakeService::~FakeService()
{
    Close();
    close(listen_);
}

bool FakeService::Accept(std::chrono::milliseconds timeout)
{
    Close();
    pollfd poller{listen_, POLLIN, 0};
    if (poll(&poller, 1, static_cast<int>(timeout.count())) != 1)
        return false;
    connection_ = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

std::optional<Bytes> FakeService::Read(std::size_t count, std::chrono::milliseconds timeout)
{
    const Clock::time_point end = Clock::now() + timeout;
    Bytes bytes(count);
    std::size_t got = 0;
    while (got < count) {
        pollfd poller{connection_, POLLIN, 0};
        if (poll(&poller, 1, MsLeft(end)) != 1)
            return std::nullopt;
        const ssize_t n = recv(connection_, bytes.data() + got, count - got, 0);
        if (n <= 0)
            return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    return bytes;
}

std::optional<PhoneMessage> FakeService::ReadMessage(std::chrono::milliseconds timeout, bool readPayload)
{
    const Clock::time_point end = Clock::now() + timeout;
    const std::optional<Bytes> header = Read(kHeaderSize, timeout);
    if (!header)
        return std::nullopt;
    PhoneMessage message{Le32(&(*header)[0]), Le32(&(*header)[8]), Le32(&(*header)[12]), {}};
    if (readPayload) {
        std::optional<Bytes> payload = Read(message.payloadSize, std::chrono::milliseconds(MsLeft(end)));
        if (!payload)
            return std::nullopt;
        message.payload = std::move(*payload);
    }
    return message;
}

std::optional<PhoneMessage> FakeService::ReadUntil(std::uint32_t type, std::chrono::milliseconds timeout)
{
    const Clock::time_point end = Clock::now() + timeout;
    for (;;) {
        std::optional<PhoneMessage> message = ReadMessage(std::chrono::milliseconds(MsLeft(end)));
        if (!message || message->type == type)
            return message;
    }
}

bool FakeService::ClosedWithin(std::chrono::milliseconds timeout, std::size_t limit)
{
    const Clock::time_point end = Clock::now() + timeout;
    std::size_t total = 0;
    for (;;) {
        pollfd poller{connection_, POLLIN, 0};
        if (poll(&poller, 1, MsLeft(end)) != 1)
            return false;
        std::uint8_t chunk[65536];
        const ssize_t n = recv(connection_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return true;
        total += static_cast<std::size_t>(n);
        if (total > limit)
            return false;
    }
}

void FakeService::Send(const Bytes& bytes)
{
    [[maybe_unused]] ssize_t sent = send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeService::SendStreamRequest(std::uint32_t formatIndex, std::uint32_t optionIndex)
{
    Bytes request = WriteHeader(MESSAGE_STARTSTREAM, 12);
    for (std::uint32_t value : {formatIndex, optionIndex, 4u})
        for (int shift = 0; shift < 32; shift += 8)
            request.push_back(static_cast<std::uint8_t>(value >> shift));
    Send(request);
}

void FakeService::Close()
{
    if (connection_ >= 0)
        close(connection_);
    connection_ = -1;
}

} // namespace talvik::phonesim::test
