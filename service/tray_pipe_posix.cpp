// Linux: the tray listens on a SOCK_SEQPACKET Unix socket, which keeps the
// message boundaries of the named pipe's message mode. The socket is
// non-blocking, so that a full backlog shows as EAGAIN at connect (the
// pipe's "all instances busy") and no step can wait past the answer bound.
#include "service/tray_pipe.h"

#include "base/tray_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace talvik {

namespace {

constexpr int kConnectAttempts = 2;
constexpr auto kBusyWait = std::chrono::milliseconds(10);

enum class Connect { kConnected, kBusy, kMissing, kFailed };

Connect ConnectTo(int fd, const std::string& endpoint)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (endpoint.size() >= sizeof address.sun_path)
        return Connect::kFailed;
    std::memcpy(address.sun_path, endpoint.c_str(), endpoint.size() + 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return Connect::kConnected;
    switch (errno) {
    case EAGAIN:
        return Connect::kBusy;
    case ENOENT:
    case ECONNREFUSED:
        // No socket file, or one left behind by a tray that has ended.
        return Connect::kMissing;
    default:
        // Another kind of failure (permissions, not a socket): starting a
        // second tray would not reach the one that is there.
        return Connect::kFailed;
    }
}

// Waits for the answer until `deadline`; true when it can be read.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

TrayDelivery Deliver(int fd, int code, std::uint32_t answerTimeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answerTimeoutMs);
    const auto message = TrayMessage(code);
    // MSG_NOSIGNAL: a tray that has just gone must not end the service.
    if (send(fd, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
        return TrayDelivery::kFailed;
    if (!WaitReadable(fd, deadline))
        return TrayDelivery::kNoAnswer;
    char answer[kTrayAnswerBufferBytes];
    // The answer is not looked at; a tray that hung up without one has
    // still been given the message, but it is not reported as answered.
    return recv(fd, answer, sizeof answer, 0) > 0 ? TrayDelivery::kAnswered : TrayDelivery::kFailed;
}

} // namespace

TrayDelivery SendToTray(const std::string& endpoint, int code, std::uint32_t answerTimeoutMs)
{
    for (int attempt = 1;; ++attempt) {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return TrayDelivery::kFailed;
        const Connect connected = ConnectTo(fd, endpoint);
        TrayDelivery result = TrayDelivery::kBusy;
        if (connected == Connect::kConnected)
            result = Deliver(fd, code, answerTimeoutMs);
        else if (connected == Connect::kMissing)
            result = TrayDelivery::kMissing;
        else if (connected == Connect::kFailed)
            result = TrayDelivery::kFailed;
        close(fd);
        if (connected != Connect::kBusy || attempt == kConnectAttempts)
            return result;
        std::this_thread::sleep_for(kBusyWait);
    }
}

} // namespace talvik
