// Delivers tray notifications from a thread of its own, in the order they
// were posted.
//
// The engine posts a code on the connection manager's loop thread, which
// must never wait for the tray: Post only queues. The notifier's thread
// sends each code in turn; when the tray is not running it is started with
// the code as its argument instead. A tray that never answers costs each
// notification the answer bound; codes posted while the queue is full are
// dropped with an error line, never the session.
#pragma once

#include "service/tray_pipe.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace talvik {

class TrayNotifier {
public:
    using Sender = std::function<TrayDelivery(int code)>;
    using TrayStarter = std::function<void(int code)>;

    static constexpr std::size_t kMaxQueued = 4;
    static constexpr std::uint32_t kAnswerTimeoutMs = 2000;

    // Starts the delivery thread.
    TrayNotifier(Sender send, TrayStarter startTray);
    // Finish(), if not done yet.
    ~TrayNotifier();
    TrayNotifier(const TrayNotifier&) = delete;
    TrayNotifier& operator=(const TrayNotifier&) = delete;

    // Any thread; returns at once.
    void Post(int code);

    // Delivers what is queued, then ends and joins the delivery thread.
    // Later posts are dropped.
    void Finish();

private:
    void Run();

    Sender send_;
    TrayStarter startTray_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<int> queue_;
    bool finishing_ = false;
    std::thread thread_;
};

} // namespace talvik
