#include "tests/bench/bare_readers.h"

#include "session/ios_usb_connection.h"
#include "session/messages.h"
#include "tests/support/wait_until.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <thread>
#include <vector>

namespace talvik::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadBufferBytes = 1048576;
constexpr std::size_t kAnnouncementMessageBytes = kMessageHeaderSize + kAnnouncementPayloadSize;

// One connection to the phone, whatever carries it.
class Link {
public:
    virtual ~Link() = default;
    // Bytes read (> 0), or 0 when the stream has ended, failed or stalled.
    virtual std::size_t Receive(std::uint8_t* buffer, std::size_t size) = 0;
    // One whole message to the phone, in the transport's framing.
    virtual bool SendMessage(const std::uint8_t* message, std::size_t size) = 0;
    // Bytes the transport adds to each message the phone sends.
    virtual std::uint64_t FramingPerMessage() const = 0;
};

class TcpLink final : public Link {
public:
    explicit TcpLink(int fd) : fd_(fd) {}
    ~TcpLink() override { close(fd_); }

    std::size_t Receive(std::uint8_t* buffer, std::size_t size) override
    {
        const ssize_t got = recv(fd_, buffer, size, 0);
        return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    bool SendMessage(const std::uint8_t* message, std::size_t size) override
    {
        return send(fd_, message, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
    }
    std::uint64_t FramingPerMessage() const override { return 0; }

private:
    int fd_;
};

class UsbLink final : public Link {
public:
    UsbLink(const UsbmuxdBinding& usbmuxd, int connection, unsigned timeoutMs)
        : usbmuxd_(usbmuxd), connection_(connection), timeoutMs_(timeoutMs)
    {
    }
    ~UsbLink() override { usbmuxd_.disconnect(connection_); }

    std::size_t Receive(std::uint8_t* buffer, std::size_t size) override
    {
        std::uint32_t got = 0;
        const int result = usbmuxd_.recv_timeout(connection_, reinterpret_cast<char*>(buffer),
                                                 static_cast<std::uint32_t>(size), &got, timeoutMs_);
        return result == 0 ? got : 0;
    }
    // The service puts the message's big-endian length before it.
    bool SendMessage(const std::uint8_t* message, std::size_t size) override
    {
        const auto length = static_cast<std::uint32_t>(size);
        const char prefix[4] = {char(length >> 24), char(length >> 16), char(length >> 8), char(length)};
        return SendAll(prefix, sizeof prefix) && SendAll(reinterpret_cast<const char*>(message), length);
    }
    std::uint64_t FramingPerMessage() const override { return StreamPlan::kUsbFrameHeader; }

private:
    bool SendAll(const char* data, std::uint32_t size)
    {
        std::uint32_t sent = 0;
        return usbmuxd_.send(connection_, data, size, &sent) == 0 && sent == size;
    }

    const UsbmuxdBinding& usbmuxd_;
    int connection_;
    unsigned timeoutMs_;
};

bool ReceiveExactly(Link& link, std::uint8_t* buffer, std::size_t size)
{
    for (std::size_t got = 0; got < size;) {
        const std::size_t n = link.Receive(buffer + got, size - got);
        if (n == 0)
            return false;
        got += n;
    }
    return true;
}

// The announcement (after `prefix` bytes of framing), the request for the
// plan's format, then the timed stream.
StreamResult ReadStream(Link& link, const StreamPlan& plan)
{
    StreamResult result;
    const std::size_t prefix = link.FramingPerMessage();
    std::vector<std::uint8_t> buffer(kReadBufferBytes);
    if (!ReceiveExactly(link, buffer.data(), prefix + kAnnouncementMessageBytes) ||
        ReadMessageHeader(buffer.data() + prefix).payloadSize != kAnnouncementPayloadSize) {
        result.error = "no announcement from the phone";
        return result;
    }
    const StartStreamMessage request =
        BuildStartStream(Announcement(buffer.data() + prefix + kMessageHeaderSize), plan.format);
    const Clock::time_point start = Clock::now();
    if (!link.SendMessage(request.data(), request.size())) {
        result.error = "the stream request could not be sent";
        return result;
    }

    const std::uint64_t wireMessage = plan.MessageBytes() + prefix;
    const std::uint64_t expected = plan.frames * wireMessage;
    std::uint64_t total = 0;
    std::optional<Clock::time_point> first;
    while (total < expected) {
        const std::size_t n = link.Receive(buffer.data(), buffer.size());
        if (n == 0) {
            result.error = fmt::format("the stream ended after {} of {} bytes", total, expected);
            return result;
        }
        total += n;
        if (!first && total >= wireMessage)
            first = Clock::now();
    }
    const Clock::time_point last = Clock::now();
    if (total != expected || link.Receive(buffer.data(), buffer.size()) != 0) {
        result.error = fmt::format("the phone sent more than the {} bytes of the plan", expected);
        return result;
    }
    result.seconds = std::chrono::duration<double>(last - *first).count();
    result.firstPictureMs = std::chrono::duration<double, std::milli>(*first - start).count();
    result.bytes = plan.MeasuredBytes();
    return result;
}

} // namespace

LoopbackListener::LoopbackListener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener()
{
    close(fd_);
}

StreamResult ReadTcpBare(int listener, const StreamPlan& plan, std::chrono::seconds timeout)
{
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(timeout.count() * 1000)) != 1)
        return {.error = "the phone did not connect"};
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        return {.error = "the phone did not connect"};
    const timeval limit{static_cast<time_t>(timeout.count()), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    TcpLink link(fd);
    return ReadStream(link, plan);
}

StreamResult ReadUsbBare(const UsbmuxdBinding& usbmuxd, const StreamPlan& plan, std::chrono::seconds timeout)
{
    int connection = -1;
    talvik::test::WaitUntil(
        [&] {
            UsbmuxdDeviceInfo* devices = nullptr;
            if (usbmuxd.get_device_list(&devices) > 0)
                connection = usbmuxd.connect(devices[0].handle, kPhonePort);
            if (devices)
                usbmuxd.device_list_free(&devices);
            return connection >= 0;
        },
        timeout, std::chrono::milliseconds(50));
    if (connection < 0)
        return {.error = "no phone to tunnel to through usbmuxd"};
    UsbLink link(usbmuxd, connection, static_cast<unsigned>(timeout.count() * 1000));
    return ReadStream(link, plan);
}

} // namespace talvik::bench
