// A small poll(2) loop for the simulator's main thread: sockets to watch,
// one-shot timers, and work posted from session threads.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace talvik::phonesim {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Callback = std::function<void()>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Calls `onReadable` on the loop thread whenever fd is readable (or
    // closed), until Unwatch. May be called from inside callbacks.
    void Watch(int fd, Callback onReadable);
    void Unwatch(int fd);

    // Calls `callback` once, on the loop thread, at `when` or soon after.
    void At(Clock::time_point when, Callback callback);

    // Calls `callback` on the loop thread every `period`, first after one
    // period, for as long as the loop runs.
    void Every(Clock::duration period, Callback callback);

    // Runs `callback` on the loop thread as soon as possible; any thread.
    void Post(Callback callback);

    // Runs until Stop() or `until`, whichever comes first.
    void Run(Clock::time_point until);
    void Stop() { stopped_ = true; }

private:
    void RunPosted();

    std::map<int, Callback> watched_;
    std::multimap<Clock::time_point, Callback> timers_;
    std::mutex postedMutex_;
    std::vector<Callback> posted_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool stopped_ = false;
};

} // namespace talvik::phonesim
