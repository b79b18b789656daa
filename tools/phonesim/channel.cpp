#include "tools/phonesim/channel.h"

#include "tools/phonesim/sockets.h"
#include "tools/phonesim/usb_frame.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace talvik::phonesim {

namespace {

// A service that reads nothing for this long is treated as gone, so that
// the simulator never hangs on a full socket.
constexpr int kSendTimeoutMs = 5000;

} // namespace

Channel::Channel(int fd, Framing framing, std::span<const std::uint8_t> early)
    : fd_(fd), framing_(framing), reader_(framing)
{
    SetSendTimeout(fd_, kSendTimeoutMs);
    if (!reader_.Feed(early))
        error_ = reader_.error();
}

IoResult Channel::Send(std::span<const std::uint8_t> piece)
{
    if (framing_ == Framing::kTcp && !byteAtATime_)
        return SendRaw(piece);
    if (framing_ == Framing::kTcp) {
        for (std::uint8_t byte : piece)
            if (IoResult result = Write(&byte, 1); result != IoResult::kOk)
                return result;
        return IoResult::kOk;
    }
    if (!byteAtATime_) {
        usbFrames_.clear();
        AppendUsbFrames(piece, usbFrames_);
        return SendRaw(usbFrames_);
    }
    for (std::uint8_t byte : piece) {
        Bytes frame = WriteUsbFrameHeader(1);
        frame.push_back(byte);
        if (IoResult result = SendRaw(frame); result != IoResult::kOk)
            return result;
    }
    return IoResult::kOk;
}

IoResult Channel::SendRaw(std::span<const std::uint8_t> bytes)
{
    return Write(bytes.data(), bytes.size());
}

IoResult Channel::SendCut(std::span<const std::uint8_t> piece, std::size_t keep)
{
    if (framing_ == Framing::kUsb) {
        const Bytes header = WriteUsbFrameHeader(static_cast<std::uint32_t>(piece.size()));
        if (IoResult result = SendRaw(header); result != IoResult::kOk)
            return result;
    }
    return SendRaw(piece.first(keep));
}

IoResult Channel::Write(const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(fd_, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            error_ = "the service read nothing for " + std::to_string(kSendTimeoutMs / 1000) + " s";
            return IoResult::kFailed;
        }
        if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            error_ = "the service closed the connection";
            return IoResult::kClosed;
        }
        if (sent < 0) {
            error_ = std::string("send: ") + std::strerror(errno);
            return IoResult::kFailed;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return IoResult::kOk;
}

Channel::Received Channel::Receive(std::chrono::steady_clock::time_point deadline, ServiceMessage& message)
{
    for (;;) {
        if (std::optional<ServiceMessage> next = reader_.Next()) {
            message = std::move(*next);
            return Received::kMessage;
        }
        // An unpaced stream is always due: looking without waiting keeps
        // the service's requests coming in between its frames.
        const auto left = std::max(std::chrono::nanoseconds::zero(),
                                   std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       deadline - std::chrono::steady_clock::now()));
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        pollfd poller{fd_, POLLIN, 0};
        const int ready = ppoll(&poller, 1, &wait, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            error_ = std::string("poll: ") + std::strerror(errno);
            return Received::kClosed;
        }
        if (ready == 0)
            return Received::kTimeout;
        std::uint8_t buffer[4096];
        const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error_ = got == 0 ? "the service closed the connection" : std::string("recv: ") + std::strerror(errno);
            return Received::kClosed;
        }
        if (!reader_.Feed({buffer, static_cast<std::size_t>(got)})) {
            error_ = reader_.error();
            return Received::kInvalid;
        }
    }
}

} // namespace talvik::phonesim
