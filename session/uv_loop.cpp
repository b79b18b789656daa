#include "session/uv_loop.h"

#include <spdlog/spdlog.h>

namespace talvik {

namespace uv_handle_detail {

int OpenTcpHandles(uv_loop_t* loop)
{
    int count = 0;
    uv_walk(
        loop,
        [](uv_handle_t* handle, void* counter) {
            if (handle->type == UV_TCP)
                ++*static_cast<int*>(counter);
        },
        &count);
    return count;
}

void TraceClose(uv_handle_t* handle, int openTcpHandles)
{
    const void* address = handle;
    spdlog::trace("on_close: {0:p}", address);
    spdlog::trace("free {0:p}, pending {1}", address, openTcpHandles);
}

} // namespace uv_handle_detail

UvLoop::UvLoop() : loop_(std::make_unique<uv_loop_t>())
{
    int rc = uv_loop_init(loop_.get());
    if (rc != 0) {
        spdlog::error("uv_loop_init failed: {0}", uv_strerror(rc));
        loop_.reset();
        return;
    }
    wake_ = UvHandle<uv_async_t>::Open([&](uv_async_t* h) { return uv_async_init(loop_.get(), h, [](uv_async_t*) {}); },
                                       &rc);
    if (!wake_)
        spdlog::error("uv_async_init failed: {0}", uv_strerror(rc));
    waitBound_ = UvHandle<uv_timer_t>::Open([&](uv_timer_t* h) { return uv_timer_init(loop_.get(), h); }, &rc);
    if (!waitBound_)
        spdlog::error("uv_timer_init failed: {0}", uv_strerror(rc));
}

void UvLoop::Poll()
{
    if (loop_)
        uv_run(loop_.get(), UV_RUN_NOWAIT);
}

void UvLoop::Wait(std::uint64_t ms)
{
    if (!loop_)
        return;
    if (!waitBound_ || uv_timer_start(waitBound_.get(), [](uv_timer_t*) {}, ms, 0) != 0) {
        Poll();
        return;
    }
    uv_run(loop_.get(), UV_RUN_ONCE);
    uv_timer_stop(waitBound_.get());
}

void UvLoop::Wake()
{
    if (wake_)
        uv_async_send(wake_.get());
}

void UvLoop::Close()
{
    if (!loop_)
        return;
    wake_.reset();
    waitBound_.reset();
    // What the loop's users still hold they have let go of already; what is
    // left open belongs to a request in flight (a connect's socket), which
    // learns of the close through its callback.
    uv_walk(
        loop_.get(),
        [](uv_handle_t* handle, void*) {
            if (handle->type == UV_TCP && !uv_is_closing(handle))
                uv_close(handle, UvHandle<uv_tcp_t>::on_close);
        },
        nullptr);
    // Every callback, close callbacks and host lookups included, has come
    // when this returns: nothing can run into a half-destroyed owner later.
    uv_run(loop_.get(), UV_RUN_DEFAULT);
    const int rc = uv_loop_close(loop_.get());
    if (rc != 0) {
        // Something still refers to the loop's memory: it is left allocated.
        spdlog::error("uv_loop_close failed: {0}", uv_strerror(rc));
        (void)loop_.release();
        return;
    }
    loop_.reset();
}

} // namespace talvik
