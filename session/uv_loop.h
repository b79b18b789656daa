// Who owns what on the libuv side of the session.
//
// UvHandle<T>: the one owner of one libuv handle (uv_tcp_t, uv_async_t,
// uv_timer_t). Open() allocates and initialises it; letting go of it (reset,
// or the owner's own end) starts the close, and the memory is freed in
// on_close, once libuv is done with it. So a handle may be let go of inside
// its own callbacks, and nothing else ever frees one.
//
// UvLoop: the loop the WiFi side runs in, owned by the connection manager
// and run only by its loop thread. Wake() may be called from any thread: it
// cuts a Wait() short. Close() closes what is still open (the sockets of
// connects in flight, whose requests own them and learn of it through their
// callbacks), runs the loop until every callback has come, and asks libuv
// itself whether anything is left before the loop goes.
#pragma once

#include <uv.h>

#include <cstdint>
#include <memory>
#include <utility>

namespace talvik {

namespace uv_handle_detail {
// The loop's TCP handles not yet freed; shown in on_close's trace line, so
// that a leak can be spotted in a log.
int OpenTcpHandles(uv_loop_t* loop);
void TraceClose(uv_handle_t* handle, int openTcpHandles);
} // namespace uv_handle_detail

template <typename T>
class UvHandle {
public:
    UvHandle() = default;
    UvHandle(UvHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UvHandle& operator=(UvHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~UvHandle() { reset(); }

    // A new handle initialised by `init(T*)`, which returns a libuv result;
    // empty when that fails, with the result in `*rc`.
    template <typename Init>
    static UvHandle Open(Init&& init, int* rc)
    {
        UvHandle owner;
        auto* handle = new T;
        *rc = init(handle);
        if (*rc == 0)
            owner.handle_ = handle;
        else
            delete handle; // never initialised: libuv knows nothing of it
        return owner;
    }

    T* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Starts closing the handle (unless something already did); it is freed
    // in on_close.
    void reset()
    {
        if (!handle_)
            return;
        auto* handle = reinterpret_cast<uv_handle_t*>(std::exchange(handle_, nullptr));
        if (!uv_is_closing(handle))
            uv_close(handle, on_close);
    }

    // Every close of a handle opened here ends in this.
    static void on_close(uv_handle_t* handle)
    {
        if (handle->type == UV_TCP)
            uv_handle_detail::TraceClose(handle, uv_handle_detail::OpenTcpHandles(handle->loop));
        delete reinterpret_cast<T*>(handle);
    }

private:
    T* handle_ = nullptr;
};

class UvLoop {
public:
    // Null get() when libuv cannot make a loop (logged): no WiFi then.
    UvLoop();
    ~UvLoop() { Close(); }
    UvLoop(const UvLoop&) = delete;
    UvLoop& operator=(const UvLoop&) = delete;

    uv_loop_t* get() const { return loop_.get(); }

    // Runs the callbacks that are due, without waiting.
    void Poll();
    // Runs callbacks, waiting up to `ms` for the first if none is due; a
    // Wake() ends the wait at once.
    void Wait(std::uint64_t ms);
    // Any thread.
    void Wake();

    // Closes every handle still open and waits for every callback, then the
    // loop. A loop that libuv still finds busy is kept allocated (logged).
    void Close();

private:
    std::unique_ptr<uv_loop_t> loop_;
    // Without these the loop still works, by polling.
    UvHandle<uv_async_t> wake_;
    UvHandle<uv_timer_t> waitBound_;
};

} // namespace talvik
