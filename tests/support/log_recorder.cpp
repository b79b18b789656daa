#include "tests/support/log_recorder.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>

namespace talvik::test {

class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& message) override
    {
        const auto level = spdlog::level::to_string_view(message.level);
        lines_.push_back(std::string(level.data(), level.size()) + ": " +
                         std::string(message.payload.data(), message.payload.size()));
    }
    void flush_() override {}

private:
    std::vector<std::string> lines_;
};

LogRecorder::LogRecorder() : sink_(std::make_shared<RecordingSink>()), previous_(spdlog::default_logger())
{
    auto logger = std::make_shared<spdlog::logger>("recorder", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
}

LogRecorder::~LogRecorder()
{
    spdlog::set_default_logger(previous_);
}

std::vector<std::string> LogRecorder::Lines() const
{
    return sink_->Lines();
}

int LogRecorder::Count(const std::string& line) const
{
    const std::vector<std::string> lines = Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

void LogRecorder::Clear()
{
    sink_->Clear();
}

} // namespace talvik::test
