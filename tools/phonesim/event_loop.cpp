#include "tools/phonesim/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace talvik::phonesim {

EventLoop::EventLoop()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

EventLoop::~EventLoop()
{
    close(wakeRead_);
    close(wakeWrite_);
}

void EventLoop::Watch(int fd, Callback onReadable)
{
    watched_[fd] = std::move(onReadable);
}

void EventLoop::Unwatch(int fd)
{
    watched_.erase(fd);
}

void EventLoop::At(Clock::time_point when, Callback callback)
{
    timers_.emplace(when, std::move(callback));
}

void EventLoop::Every(Clock::duration period, Callback callback)
{
    At(Clock::now() + period, [this, period, callback] {
        callback();
        Every(period, callback);
    });
}

void EventLoop::Post(Callback callback)
{
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(callback));
    }
    const char byte = 0;
    [[maybe_unused]] ssize_t ignored = write(wakeWrite_, &byte, 1);
}

void EventLoop::RunPosted()
{
    char drain[64];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
    std::vector<Callback> work;
    {
        std::lock_guard lock(postedMutex_);
        work.swap(posted_);
    }
    for (Callback& callback : work)
        callback();
}

void EventLoop::Run(Clock::time_point until)
{
    stopped_ = false;
    while (!stopped_) {
        Clock::time_point now = Clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now && !stopped_) {
            Callback callback = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            callback();
        }
        if (stopped_ || now >= until)
            break;

        Clock::time_point wake = until;
        if (!timers_.empty() && timers_.begin()->first < wake)
            wake = timers_.begin()->first;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;

        std::vector<pollfd> pollers{{wakeRead_, POLLIN, 0}};
        for (const auto& [fd, callback] : watched_)
            pollers.push_back({fd, POLLIN, 0});
        if (poll(pollers.data(), pollers.size(), static_cast<int>(wait)) < 0 && errno != EINTR)
            break;

        if (pollers[0].revents != 0)
            RunPosted();
        for (std::size_t i = 1; i < pollers.size() && !stopped_; ++i) {
            if (pollers[i].revents == 0)
                continue;
            // The callback may unwatch its own or another socket.
            auto it = watched_.find(pollers[i].fd);
            if (it != watched_.end()) {
                Callback callback = it->second;
                callback();
            }
        }
    }
}

} // namespace talvik::phonesim
