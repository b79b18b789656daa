// The connection manager's TCP sockets, each with one owner (TcpHandle):
// the listening server, the session's client, and the socket of a connect
// in flight, which its request owns until the connect completes.
//
// OpenTcp is the one place a socket is allocated and initialised; letting go
// of its TcpHandle closes it, and it is freed in on_close (session/uv_loop.h).
// Reads take their buffers from the ReadBufferPool that is the loop's user
// data; a write sends a copy of the message that lives until libuv is done.
#pragma once

#include "session/uv_loop.h"

#include <cstdint>

namespace talvik {

using TcpHandle = UvHandle<uv_tcp_t>;

// A new TCP handle of `loop` with `data` as its user data, traced as
// "malloc {what}: {address}". Empty when it cannot be initialised (logged).
TcpHandle OpenTcp(uv_loop_t* loop, const char* what, void* data);

// Starts connecting `socket` to `address` (IPv6 or dotted IPv4 text) on
// `port`; `done` follows unless a libuv error is returned.
int ConnectTcp(uv_connect_t* request, uv_tcp_t* socket, const char* address, std::uint16_t port, bool isIPv6,
               uv_connect_cb done);

// Writes a copy of `message` to `socket`; `done` gets a request whose data
// is `data`, and the copy is freed after it returns. A libuv error (or
// UV_ENOMEM) is returned when the write did not start; `done` never comes then.
int WriteCopy(uv_tcp_t* socket, const std::uint8_t* message, std::uint32_t length, void* data, uv_write_cb done);

// Starts reading `socket` into buffers of the loop's ReadBufferPool; `read`
// gives each buffer back with ReadBufferPool::Release.
int StartTcpReads(uv_tcp_t* socket, uv_read_cb read);

} // namespace talvik
