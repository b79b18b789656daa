// A TCP peer for tests, on its own libuv loop, with blocking calls that give
// up after a time-out: the phone's side of a connection (it connects, or
// listens and accepts the service's outbound connect), on both targets.
// Each call runs the peer's loop only; the side under test runs elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct uv_loop_s;
struct uv_tcp_s;

namespace talvik::test {

class UvPeer {
public:
    using Bytes = std::vector<std::uint8_t>;

    UvPeer();
    ~UvPeer();
    UvPeer(const UvPeer&) = delete;
    UvPeer& operator=(const UvPeer&) = delete;

    // Connects to 127.0.0.1:port; false when refused or timed out.
    bool Connect(std::uint16_t port, int timeoutMs = 2000);
    // Listens on 127.0.0.1 on a free port (see port()).
    bool Listen();
    std::uint16_t port() const { return port_; }
    // Accepts one connection on the listening socket.
    bool Accept(int timeoutMs = 2000);

    // Writes everything; false on error.
    bool Send(const Bytes& bytes);
    // Waits until at least `count` bytes have arrived in total (or the
    // time-out), then takes and returns everything received so far.
    Bytes Receive(std::size_t count, int timeoutMs = 2000);
    // Whether the other side closed the connection within the time-out.
    bool WaitClosed(int timeoutMs = 2000);
    // Runs the peer's loop for a while (lets pending callbacks happen).
    void Poll(int ms);

    // A port that was free a moment ago, for a server under test.
    static std::uint16_t FreePort();

private:
    template <typename Done>
    bool RunUntil(Done done, int timeoutMs);
    void StartReading();

    std::unique_ptr<uv_loop_s> loop_;
    uv_tcp_s* listener_ = nullptr;
    uv_tcp_s* stream_ = nullptr;
    std::uint16_t port_ = 0;
    Bytes received_;
    bool closed_ = false;
    bool connected_ = false;
    int status_ = 0;
};

} // namespace talvik::test
