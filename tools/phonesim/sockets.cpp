#include "tools/phonesim/sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace talvik::phonesim {

namespace {

int Fail(int fd, std::string& error, std::string what)
{
    error = what + ": " + std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return -1;
}

int ListenUnix(const std::string& path, std::string& error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat info{};
    if (lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
        unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail(fd, error, "socket");
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail(fd, error, "cannot bind " + path);
    if (listen(fd, 16) != 0)
        return Fail(fd, error, "cannot listen on " + path);
    return fd;
}

int ListenTcp(const sockaddr_in& address, std::string& error)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail(fd, error, "socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fail(fd, error, "cannot bind TCP port " + std::to_string(ntohs(address.sin_port)));
    if (listen(fd, 16) != 0)
        return Fail(fd, error, "cannot listen");
    return fd;
}

} // namespace

std::string Endpoint::ToString() const
{
    return unixPath.empty() ? host + ":" + std::to_string(port) : "UNIX:" + unixPath;
}

std::optional<Endpoint> ParseEndpoint(std::string_view text)
{
    Endpoint endpoint;
    if (text.starts_with("UNIX:")) {
        endpoint.unixPath = text.substr(5);
        if (endpoint.unixPath.empty())
            return std::nullopt;
        return endpoint;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    endpoint.host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    auto [end, status] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (status != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
        return std::nullopt;
    endpoint.port = static_cast<std::uint16_t>(value);
    return endpoint;
}

int Listen(const Endpoint& endpoint, std::string& error)
{
    if (!endpoint.unixPath.empty())
        return ListenUnix(endpoint.unixPath, error);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    if (inet_pton(AF_INET, endpoint.host.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + endpoint.host;
        return -1;
    }
    return ListenTcp(address, error);
}

int ListenTcpAnywhere(std::uint16_t port, std::string& error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    return ListenTcp(address, error);
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &results); status != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(status);
        return -1;
    }
    int fd = -1;
    for (addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
        fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd < 0)
            continue;
        // A blocking connect gives up after the send time-out.
        SetSendTimeout(fd, timeoutMs);
        if (connect(fd, entry->ai_addr, entry->ai_addrlen) == 0)
            break;
        Fail(fd, error, "cannot connect to " + host + ":" + std::to_string(port));
        fd = -1;
    }
    freeaddrinfo(results);
    if (fd >= 0) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

int Accept(int listenFd)
{
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return fd;
}

void SetSendTimeout(int fd, int ms)
{
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

} // namespace talvik::phonesim
