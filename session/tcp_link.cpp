#include "session/tcp_link.h"

#include "session/read_buffer_pool.h"

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace talvik {

namespace {

// A message copy that lives until libuv has written it.
struct WriteBlock {
    uv_write_t request;
    uv_write_cb done;
    std::uint8_t data[1];
};

void on_write_done(uv_write_t* request, int status)
{
    auto* block = reinterpret_cast<WriteBlock*>(request);
    block->done(request, status);
    std::free(block);
}

void on_alloc(uv_handle_t* handle, std::size_t suggested, uv_buf_t* buffer)
{
    auto* pool = static_cast<ReadBufferPool*>(handle->loop->data);
    std::size_t granted = 0;
    char* data = pool->Acquire(suggested, &granted);
    *buffer = uv_buf_init(data, data ? static_cast<unsigned>(granted) : 0);
}

} // namespace

TcpHandle OpenTcp(uv_loop_t* loop, const char* what, void* data)
{
    int rc = 0;
    TcpHandle socket = TcpHandle::Open(
        [&](uv_tcp_t* handle) {
            spdlog::trace("malloc {0}: {1:p}", what, static_cast<const void*>(handle));
            return uv_tcp_init(loop, handle);
        },
        &rc);
    if (!socket) {
        spdlog::error("uv_tcp_init failed: {0}", uv_strerror(rc));
        return socket;
    }
    socket.get()->data = data;
    return socket;
}

int ConnectTcp(uv_connect_t* request, uv_tcp_t* socket, const char* address, std::uint16_t port, bool isIPv6,
               uv_connect_cb done)
{
    sockaddr_storage target{};
    const int rc = isIPv6 ? uv_ip6_addr(address, port, reinterpret_cast<sockaddr_in6*>(&target))
                          : uv_ip4_addr(address, port, reinterpret_cast<sockaddr_in*>(&target));
    if (rc != 0)
        return rc;
    return uv_tcp_connect(request, socket, reinterpret_cast<const sockaddr*>(&target), done);
}

int WriteCopy(uv_tcp_t* socket, const std::uint8_t* message, std::uint32_t length, void* data, uv_write_cb done)
{
    auto* block = static_cast<WriteBlock*>(std::malloc(offsetof(WriteBlock, data) + length));
    if (!block)
        return UV_ENOMEM;
    block->done = done;
    block->request.data = data;
    std::memcpy(block->data, message, length);
    uv_buf_t buffer = uv_buf_init(reinterpret_cast<char*>(block->data), length);
    const int rc = uv_write(&block->request, reinterpret_cast<uv_stream_t*>(socket), &buffer, 1, on_write_done);
    if (rc != 0)
        std::free(block);
    return rc;
}

int StartTcpReads(uv_tcp_t* socket, uv_read_cb read)
{
    return uv_read_start(reinterpret_cast<uv_stream_t*>(socket), on_alloc, read);
}

} // namespace talvik
