#include "tests/support/uv_peer.h"

#include <uv.h>

#include <chrono>

namespace talvik::test {

namespace {

void CloseAndDelete(uv_tcp_t* handle)
{
    if (handle)
        uv_close(reinterpret_cast<uv_handle_t*>(handle),
                 [](uv_handle_t* h) { delete reinterpret_cast<uv_tcp_t*>(h); });
}

} // namespace

UvPeer::UvPeer() : loop_(std::make_unique<uv_loop_t>())
{
    uv_loop_init(loop_.get());
    loop_->data = this;
}

UvPeer::~UvPeer()
{
    CloseAndDelete(stream_);
    CloseAndDelete(listener_);
    uv_run(loop_.get(), UV_RUN_DEFAULT);
    uv_loop_close(loop_.get());
}

template <typename Done>
bool UvPeer::RunUntil(Done done, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        uv_run(loop_.get(), UV_RUN_NOWAIT);
        if (!done())
            uv_sleep(1);
    }
    return true;
}

void UvPeer::Poll(int ms)
{
    RunUntil([] { return false; }, ms);
}

bool UvPeer::Connect(std::uint16_t port, int timeoutMs)
{
    // A peer may try again after a refused connect: the failed stream goes
    // first, or it would stay open in the loop and keep the loop from closing.
    CloseAndDelete(stream_);
    connected_ = false;
    closed_ = false;
    stream_ = new uv_tcp_t;
    uv_tcp_init(loop_.get(), stream_);
    stream_->data = this;
    sockaddr_in address;
    uv_ip4_addr("127.0.0.1", port, &address);
    auto* request = new uv_connect_t;
    bool done = false;
    struct Context {
        UvPeer* self;
        bool* done;
    } context{this, &done};
    request->data = &context;
    status_ = 0;
    if (uv_tcp_connect(request, stream_, reinterpret_cast<const sockaddr*>(&address), [](uv_connect_t* r, int status) {
            auto* c = static_cast<Context*>(r->data);
            c->self->status_ = status;
            *c->done = true;
            delete r;
        }) != 0) {
        delete request;
        return false;
    }
    // The callback always comes (with an error when the handle is closed).
    bool finished = RunUntil([&] { return done; }, timeoutMs);
    if (!finished || status_ != 0) {
        CloseAndDelete(stream_);
        stream_ = nullptr;
        RunUntil([&] { return done; }, 1000);
        return false;
    }
    connected_ = true;
    StartReading();
    return true;
}

bool UvPeer::Listen()
{
    listener_ = new uv_tcp_t;
    uv_tcp_init(loop_.get(), listener_);
    listener_->data = this;
    sockaddr_in address;
    uv_ip4_addr("127.0.0.1", 0, &address);
    if (uv_tcp_bind(listener_, reinterpret_cast<const sockaddr*>(&address), 0) != 0)
        return false;
    if (uv_listen(reinterpret_cast<uv_stream_t*>(listener_), 8, [](uv_stream_t* server, int status) {
            auto* self = static_cast<UvPeer*>(server->data);
            if (status != 0 || self->stream_)
                return;
            self->stream_ = new uv_tcp_t;
            uv_tcp_init(server->loop, self->stream_);
            self->stream_->data = self;
            if (uv_accept(server, reinterpret_cast<uv_stream_t*>(self->stream_)) == 0) {
                self->connected_ = true;
                self->StartReading();
            }
        }) != 0)
        return false;
    sockaddr_storage bound;
    int length = sizeof bound;
    uv_tcp_getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return true;
}

bool UvPeer::Accept(int timeoutMs)
{
    return RunUntil([&] { return connected_; }, timeoutMs);
}

void UvPeer::StartReading()
{
    // The test's clock stands still between loop passes: a small write must
    // not wait for the other side's delayed acknowledgement.
    uv_tcp_nodelay(stream_, 1);
    uv_read_start(
        reinterpret_cast<uv_stream_t*>(stream_),
        [](uv_handle_t*, std::size_t suggested, uv_buf_t* buffer) {
            *buffer = uv_buf_init(new char[suggested], static_cast<unsigned>(suggested));
        },
        [](uv_stream_t* stream, ssize_t n, const uv_buf_t* buffer) {
            auto* self = static_cast<UvPeer*>(stream->data);
            if (n > 0)
                self->received_.insert(self->received_.end(), buffer->base, buffer->base + n);
            else if (n < 0)
                self->closed_ = true;
            delete[] buffer->base;
        });
}

bool UvPeer::Send(const Bytes& bytes)
{
    if (!stream_)
        return false;
    uv_buf_t buffer = uv_buf_init(const_cast<char*>(reinterpret_cast<const char*>(bytes.data())),
                                  static_cast<unsigned>(bytes.size()));
    auto* request = new uv_write_t;
    bool done = false;
    int status = 0;
    struct Context {
        bool* done;
        int* status;
    } context{&done, &status};
    request->data = &context;
    if (uv_write(request, reinterpret_cast<uv_stream_t*>(stream_), &buffer, 1, [](uv_write_t* r, int s) {
            auto* c = static_cast<Context*>(r->data);
            *c->status = s;
            *c->done = true;
            delete r;
        }) != 0) {
        delete request;
        return false;
    }
    RunUntil([&] { return done; }, 10000);
    return done && status == 0;
}

UvPeer::Bytes UvPeer::Receive(std::size_t count, int timeoutMs)
{
    RunUntil([&] { return received_.size() >= count || closed_; }, timeoutMs);
    Bytes out;
    out.swap(received_);
    return out;
}

bool UvPeer::WaitClosed(int timeoutMs)
{
    return RunUntil([&] { return closed_; }, timeoutMs);
}

std::uint16_t UvPeer::FreePort()
{
    UvPeer probe;
    return probe.Listen() ? probe.port() : 0;
}

} // namespace talvik::test
