// The phone's stream read the plainest way, as the yardstick for the
// connection manager: no event loop, no parser, no copy. After the
// announcement and the stream request, blocking reads into one 1 MiB buffer
// (more than a socket holds, so that each read takes all there is) go on
// until the plan's bytes are in, and the reader checks that the phone then
// ends the stream.
//
// Results are counted as in stream_plan.h, a picture being complete when
// the read that brings its last byte returns. A bare reader drops no
// session and has no loop thread, so those fields stay 0.
#pragma once

#include "session/usbmuxd_binding.h"
#include "tests/bench/stream_plan.h"
#include "tests/bench/streaming_engine.h"

#include <chrono>

namespace talvik::bench {

// A TCP socket listening on a free port of 127.0.0.1, closed with the object.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Accepts the simulator's connection on `listener`, a listening TCP socket.
StreamResult ReadTcpBare(int listener, const StreamPlan& plan, std::chrono::seconds timeout);

// Lists the devices of the usbmuxd that USBMUXD_SOCKET_ADDRESS names and
// tunnels to the camera app's port on the first, all through libusbmuxd;
// the reads are its usbmuxd_recv_timeout.
StreamResult ReadUsbBare(const UsbmuxdBinding& usbmuxd, const StreamPlan& plan, std::chrono::seconds timeout);

} // namespace talvik::bench
