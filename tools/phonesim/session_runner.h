// Runs each connection's PhoneSession on its own thread, so that the main
// loop keeps serving usbmuxd clients, DNS-SD and new connections while the
// phone streams. Owns the sockets it is given. Every method runs on the
// event loop's thread.
#pragma once

#include "tools/phonesim/event_loop.h"
#include "tools/phonesim/session.h"

#include <list>
#include <optional>
#include <thread>

namespace talvik::phonesim {

class SessionRunner {
public:
    SessionRunner(const PhoneConfig& config, EventLoop& loop, EventLoop::Clock::time_point deadline);
    ~SessionRunner();
    SessionRunner(const SessionRunner&) = delete;
    SessionRunner& operator=(const SessionRunner&) = delete;

    // Plays the phone on a new connection. `device` is the USB device the
    // tunnel leads to, -1 for TCP; `early` what the service sent on it
    // before the session took it over.
    void Start(int fd, Framing framing, int device, Bytes early = {});

    // Cuts the connections to a device, as pulling its cable would.
    void Disconnect(int device);

    // Ends every session and waits for their threads.
    void StopAll();

    // Called after each session ended, with how it ended.
    std::function<void(SessionEnd)> onEnded;

    int started() const { return started_; }
    std::optional<SessionEnd> lastEnd() const { return lastEnd_; }

private:
    struct Running {
        int number = 0;
        int fd = -1;
        int device = -1;
        std::atomic<bool> stop{false};
        SessionEnd end = SessionEnd::kFinished;
        std::thread thread;
    };

    void Reap(int number);
    void Finish(Running& session);

    const PhoneConfig& config_;
    EventLoop& loop_;
    const EventLoop::Clock::time_point deadline_;
    std::list<Running> running_;
    int started_ = 0;
    std::optional<SessionEnd> lastEnd_;
};

} // namespace talvik::phonesim
