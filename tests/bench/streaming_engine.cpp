#include "tests/bench/streaming_engine.h"

#include "tests/bench/cpu_time.h"
#include "tests/bench/engine_ticks.h"

#include <fmt/format.h>

#include <optional>

namespace talvik::bench {

void StreamingEngine::Request()
{
    requestTime_ = Clock::now();
    manager_->StartStreaming(plan_.format);
}

void StreamingEngine::OnConnectionReceived(ConnectionType, const ClientFormat*, uint32_t)
{
    loopThread_.store(CurrentThreadId());
    if (from_ == RequestFrom::kLoopThread && pictures_.load() == 0)
        Request();
    announcements_.fetch_add(1);
}

void StreamingEngine::ConnectionDisconnected()
{
    disconnections_.fetch_add(1);
}

void StreamingEngine::OnRawVideoFrame(const uint8_t*, uint32_t size)
{
    const Clock::time_point now = Clock::now();
    const std::uint32_t counted = pictures_.load(std::memory_order_relaxed);
    if (size != plan_.PictureBytes())
        wrongSizes_.fetch_add(1);
    if (counted == 0)
        firstPicture_ = now;
    else
        bytes_ += StreamPlan::kVideoMessageOverhead + size;
    if (counted + 1 == plan_.frames)
        lastPicture_ = now;
    pictures_.store(counted + 1, std::memory_order_release);
}

StreamResult StreamingEngine::Run(ConnectionManager& manager, std::chrono::seconds timeout)
{
    manager_ = &manager;
    StreamResult result;
    int requests = 0;
    std::optional<Clock::time_point> streamingSeen;
    double loopCpuAtStreaming = 0;
    const auto finished = [&] {
        const std::uint32_t pictures = pictures_.load(std::memory_order_acquire);
        if (from_ == RequestFrom::kEngineThread && pictures == 0 && announcements_.load() > requests) {
            ++requests;
            Request();
        }
        if (pictures > 0 && !streamingSeen) {
            streamingSeen = Clock::now();
            loopCpuAtStreaming = ThreadCpuSeconds(loopThread_.load());
        }
        return pictures >= plan_.frames || (pictures > 0 && disconnections_.load() >= announcements_.load());
    };
    const bool ended = TickUntil(manager, finished, Clock::now() + timeout);
    const std::uint32_t pictures = pictures_.load(std::memory_order_acquire);
    result.droppedSessions = pictures > 0 ? announcements_.load() - 1 : disconnections_.load();
    if (!ended) {
        result.error = announcements_.load() == 0
                           ? "the phone did not announce itself"
                           : fmt::format("{} of {} pictures within {} s ({} sessions dropped)", pictures,
                                         plan_.frames, timeout.count(), result.droppedSessions);
        return result;
    }
    result.loopCpuSeconds = ThreadCpuSeconds(loopThread_.load()) - loopCpuAtStreaming;
    result.cpuSpanSeconds = std::chrono::duration<double>(Clock::now() - *streamingSeen).count();
    if (pictures < plan_.frames)
        result.error = fmt::format("the session ended after {} of {} pictures", pictures, plan_.frames);
    else if (wrongSizes_.load() != 0 || unexpected_.load())
        result.error = "the manager handed over something other than whole pictures of the plan's size";
    if (!result.error.empty())
        return result;
    result.seconds = std::chrono::duration<double>(lastPicture_ - firstPicture_).count();
    result.firstPictureMs = std::chrono::duration<double, std::milli>(firstPicture_ - requestTime_).count();
    result.bytes = bytes_;
    return result;
}

} // namespace talvik::bench
