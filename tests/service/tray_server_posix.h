// The tray's end of the link as a test plays it: a SOCK_SEQPACKET server on
// a path of the test's choosing that records every message whole and then
// answers it as the tray does, one connection at a time, on a thread that
// the destructor joins.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvik::test {

class TrayServer {
public:
    explicit TrayServer(const std::string& path);
    ~TrayServer();
    TrayServer(const TrayServer&) = delete;
    TrayServer& operator=(const TrayServer&) = delete;

    bool ok() const { return listener_ >= 0; }
    // The messages so far, in the order they came. A message is recorded
    // before it is answered.
    std::vector<std::string> Messages() const;

private:
    void Run();

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::vector<std::string> messages_;
    std::thread thread_;
};

} // namespace talvik::test
