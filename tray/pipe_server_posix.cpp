// Linux: a listening SOCK_SEQPACKET socket, polled without blocking. The
// service's client connects without blocking too, and a full backlog is
// what it takes for "busy". A backlog of 0 still queues one connection, so
// while a client is served the server queues a connection of its own (the
// plug) and takes it back once the client is done.
#include "tray/pipe_server.h"

#include "base/tray_link.h"
#include "tray/tray_app.h"

#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace talvik {

namespace {

constexpr std::size_t kRequestBytes = 4096;

enum class State { kConnecting, kReading, kWriting };

std::string ErrorText(int error)
{
    return std::system_category().message(error);
}

int Socket()
{
    return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// A non-blocking connection to `address`; -1 when it is not taken at once.
int ConnectTo(const sockaddr_un& address)
{
    const int fd = Socket();
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

} // namespace

struct PipeServer::Instance {
    sockaddr_un address{};
    int listener = -1;
    int client = -1;
    int plug = -1;
    char request[kRequestBytes];
    State state = State::kConnecting;

    ~Instance()
    {
        for (int fd : {client, plug, listener})
            if (fd >= 0)
                close(fd);
        if (listener >= 0)
            unlink(address.sun_path);
    }
};

PipeServer::PipeServer(Handler onMessage) : onMessage_(std::move(onMessage)) {}

PipeServer::~PipeServer() = default;

bool PipeServer::Create(const std::string& endpoint)
{
    auto instance = std::make_unique<Instance>();
    if (endpoint.size() >= sizeof instance->address.sun_path) {
        spdlog::error("Tray pipe path too long: {0}", endpoint);
        return false;
    }
    instance->address.sun_family = AF_UNIX;
    std::memcpy(instance->address.sun_path, endpoint.c_str(), endpoint.size() + 1);
    const int fd = Socket();
    if (fd < 0) {
        spdlog::error("Tray pipe socket failed: {0}", ErrorText(errno));
        return false;
    }
    const auto* address = reinterpret_cast<const sockaddr*>(&instance->address);
    int bound = bind(fd, address, sizeof instance->address);
    if (bound != 0 && errno == EADDRINUSE) {
        // A socket file left by a tray that has ended refuses connections;
        // one that a running tray serves is left to it.
        const int probe = ConnectTo(instance->address);
        const bool served = probe >= 0 || errno == EAGAIN;
        if (probe >= 0)
            close(probe);
        if (served) {
            close(fd);
            spdlog::error("Another tray serves {0}", endpoint);
            return false;
        }
        unlink(endpoint.c_str());
        bound = bind(fd, address, sizeof instance->address);
    }
    if (bound != 0 || listen(fd, 0) != 0) {
        spdlog::error("Tray pipe {0} cannot listen: {1}", endpoint, ErrorText(errno));
        close(fd);
        return false;
    }
    instance->listener = fd;
    instance_ = std::move(instance);
    ConnectClient(true);
    return true;
}

void PipeServer::ConnectClient(bool atCreation)
{
    Instance& pipe = *instance_;
    if (!atCreation) {
        close(pipe.client);
        pipe.client = -1;
        if (pipe.plug >= 0) {
            // The plug is the one queued connection: take it back.
            const int accepted = accept4(pipe.listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0)
                close(accepted);
            close(pipe.plug);
            pipe.plug = -1;
        }
    }
    pipe.state = State::kConnecting;
}

void PipeServer::PollPipeServer()
{
    if (!instance_)
        return;
    Instance& pipe = *instance_;
    for (;;) {
        switch (pipe.state) {
        case State::kConnecting: {
            const int client = accept4(pipe.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (client < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    spdlog::error("Tray pipe accept failed: {0}", ErrorText(errno));
                return;
            }
            pipe.client = client;
            // Fails when another client is already queued; that one is
            // then served next.
            pipe.plug = ConnectTo(pipe.address);
            pipe.state = State::kReading;
            break;
        }
        case State::kReading: {
            const ssize_t bytes = recv(pipe.client, pipe.request, sizeof pipe.request, MSG_DONTWAIT);
            if (bytes < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (bytes <= 0) {
                ConnectClient(false);
                break;
            }
            pipe.state = State::kWriting;
            onMessage_(CodeOf(pipe.request[0]));
            break;
        }
        case State::kWriting: {
            const std::size_t size = std::strlen(kTrayAnswer) + 1;
            const ssize_t bytes = send(pipe.client, kTrayAnswer, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (bytes < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            if (bytes != static_cast<ssize_t>(size)) {
                ConnectClient(false);
                break;
            }
            pipe.state = State::kReading;
            break;
        }
        }
    }
}

} // namespace talvik
