#include "service/tray_notifier.h"

#include "base/signal_stack.h"

#include <spdlog/spdlog.h>

namespace talvik {

TrayNotifier::TrayNotifier(Sender send, TrayStarter startTray)
    : send_(std::move(send)), startTray_(std::move(startTray)), thread_([this] { Run(); })
{
}

TrayNotifier::~TrayNotifier()
{
    Finish();
}

void TrayNotifier::Post(int code)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (finishing_)
            return;
        if (queue_.size() >= kMaxQueued) {
            spdlog::error("Tray notification {0} dropped: the tray is not answering", code);
            return;
        }
        queue_.push_back(code);
    }
    wake_.notify_one();
}

void TrayNotifier::Finish()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void TrayNotifier::Run()
{
    const SignalStack crashStack; // a crash report even when this stack overflows
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [this] { return finishing_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        const int code = queue_.front();
        guard.unlock();
        const TrayDelivery result = send_(code);
        if (result == TrayDelivery::kMissing)
            startTray_(code);
        else if (result == TrayDelivery::kNoAnswer)
            spdlog::error("Tray did not answer notification {0} within {1} ms", code, kAnswerTimeoutMs);
        guard.lock();
        // Popped only now, so that a full queue counts the one in flight.
        queue_.pop_front();
    }
}

} // namespace talvik
