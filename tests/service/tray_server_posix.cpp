#include "tests/service/tray_server_posix.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace talvik::test {

namespace {

// The tray's answer with its NUL.
const std::string kAnswer("Default answer from server\0", 27);

// Waits up to `ms` for `fd` to be readable.
bool Readable(int fd, int ms)
{
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, ms) == 1;
}

} // namespace

TrayServer::TrayServer(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listener_, 8) == 0) {
        thread_ = std::thread([this] { Run(); });
    } else if (listener_ >= 0) {
        close(listener_);
        listener_ = -1;
    }
}

TrayServer::~TrayServer()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        close(listener_);
}

std::vector<std::string> TrayServer::Messages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

void TrayServer::Run()
{
    while (!stop_) {
        if (!Readable(listener_, 20))
            continue;
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        char message[64];
        const ssize_t size = Readable(connection, 2000) ? recv(connection, message, sizeof message, 0) : -1;
        if (size > 0) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                messages_.emplace_back(message, static_cast<std::size_t>(size));
            }
            send(connection, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
        }
        close(connection);
    }
}

} // namespace talvik::test
