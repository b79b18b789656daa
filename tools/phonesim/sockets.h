// Thin helpers over BSD sockets for the simulator's connections. Every
// function logs nothing; failures come back as -1 with `error` set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvik::phonesim {

// A listening or connecting address in the notation usbmuxd clients use:
// "UNIX:/path/to/socket" or "host:port".
struct Endpoint {
    std::string unixPath;  // set for a UNIX socket
    std::string host;
    std::uint16_t port = 0;

    std::string ToString() const;
};

std::optional<Endpoint> ParseEndpoint(std::string_view text);

// A listening socket on the endpoint. A UNIX socket file left behind by an
// earlier run is replaced.
int Listen(const Endpoint& endpoint, std::string& error);

// A listening TCP socket on every IPv4 interface; port 0 picks a free port.
int ListenTcpAnywhere(std::uint16_t port, std::string& error);

std::uint16_t LocalPort(int fd);

// A connected TCP socket, or -1 when the host does not answer within
// `timeoutMs` or refuses.
int ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error);

// Accepts one connection; -1 when there is none.
int Accept(int listenFd);

// Makes every later blocking send on the socket give up after `ms`.
void SetSendTimeout(int fd, int ms);

} // namespace talvik::phonesim
