#include "tools/phonesim/session_runner.h"

#include <sys/socket.h>
#include <unistd.h>

namespace talvik::phonesim {

SessionRunner::SessionRunner(const PhoneConfig& config, EventLoop& loop, EventLoop::Clock::time_point deadline)
    : config_(config), loop_(loop), deadline_(deadline)
{
}

SessionRunner::~SessionRunner()
{
    StopAll();
}

void SessionRunner::Start(int fd, Framing framing, int device, Bytes early)
{
    Running& session = running_.emplace_back();
    session.number = ++started_;
    session.fd = fd;
    session.device = device;
    session.thread = std::thread([this, &session, framing, early = std::move(early)] {
        Channel channel(session.fd, framing, early);
        session.end = PhoneSession(channel, config_, session.number, session.stop, deadline_).Run();
        const int number = session.number;
        loop_.Post([this, number] { Reap(number); });
    });
}

void SessionRunner::Disconnect(int device)
{
    for (Running& session : running_)
        if (session.device == device) {
            session.stop = true;
            shutdown(session.fd, SHUT_RDWR);
        }
}

void SessionRunner::StopAll()
{
    for (Running& session : running_) {
        session.stop = true;
        shutdown(session.fd, SHUT_RDWR);
    }
    while (!running_.empty()) {
        Finish(running_.front());
        running_.pop_front();
    }
}

void SessionRunner::Reap(int number)
{
    for (auto it = running_.begin(); it != running_.end(); ++it)
        if (it->number == number) {
            Finish(*it);
            running_.erase(it);
            if (onEnded)
                onEnded(*lastEnd_);
            return;
        }
}

void SessionRunner::Finish(Running& session)
{
    session.thread.join();
    close(session.fd);
    lastEnd_ = session.end;
}

} // namespace talvik::phonesim
