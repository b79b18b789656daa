// The engine's side of a streaming run around a real ConnectionManager: it
// ticks the manager every 16 ms on the calling thread, asks for the plan's
// format each time a phone announces itself, and counts the raw pictures
// the manager's loop thread hands over, as stream_plan.h describes.
//
// The request comes from the ticking thread, as the engine makes it, or
// from inside the announcement's observer call on the loop thread, where
// the manager sends it at once: throughput runs use the latter, so that
// they do not depend on how soon a request from another thread gets
// through, which the former measures.
//
// A session that ends before its first picture is counted as dropped; the
// simulator opens the next one by itself, and it is asked again.
#pragma once

#include "session/connection_manager.h"
#include "tests/bench/stream_plan.h"
#include "tests/support/null_connection_observer.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>

namespace talvik::bench {

struct StreamResult {
    std::string error;             // empty when every picture of the plan arrived whole
    double seconds = 0;            // first picture complete to last picture complete
    std::uint64_t bytes = 0;       // the video messages after the first
    double firstPictureMs = 0;     // stream request to first picture complete
    int droppedSessions = 0;       // sessions that ended before their first picture, also on failure
    // The loop thread's CPU time while the pictures came, as the engine saw
    // them (to within a tick), and that span's length.
    double loopCpuSeconds = 0;
    double cpuSpanSeconds = 0;
};

enum class RequestFrom { kEngineThread, kLoopThread };

class StreamingEngine final : public test::NullConnectionObserver {
public:
    StreamingEngine(const StreamPlan& plan, RequestFrom from) : plan_(plan), from_(from) {}

    // Drives `manager`, built with this object as its observer, until the
    // plan's pictures have arrived, a stream breaks off or `timeout` passes.
    StreamResult Run(ConnectionManager& manager, std::chrono::seconds timeout);

    void OnConnectionReceived(ConnectionType type, const ClientFormat* formats, uint32_t count) override;
    void ConnectionDisconnected() override;
    void OnVideoData(const uint8_t*, uint32_t, uint32_t) override { unexpected_ = true; }
    void OnVideoDataWithDepth(const uint8_t*, uint32_t, uint32_t, uint16_t, uint16_t, const uint8_t*,
                              uint32_t) override
    {
        unexpected_ = true;
    }
    void OnRawVideoFrame(const uint8_t* data, uint32_t size) override;
    void OnAudioData(const uint8_t*, uint32_t) override { unexpected_ = true; }

private:
    using Clock = std::chrono::steady_clock;

    void Request();

    const StreamPlan plan_;
    const RequestFrom from_;
    ConnectionManager* manager_ = nullptr;
    // Written by whichever thread asks, before it asks.
    Clock::time_point requestTime_;
    std::atomic<int> announcements_{0};
    std::atomic<int> disconnections_{0};
    std::atomic<bool> unexpected_{false};
    std::atomic<pid_t> loopThread_{0};
    std::atomic<std::uint32_t> wrongSizes_{0};
    // Written by the loop thread before pictures_ counts the picture, so
    // that whoever sees the count sees the times and bytes.
    std::uint64_t bytes_ = 0;
    Clock::time_point firstPicture_;
    Clock::time_point lastPicture_;
    std::atomic<std::uint32_t> pictures_{0};
};

} // namespace talvik::bench
