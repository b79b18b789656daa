#include "tools/camview/frame_stats.h"

#include "media/frame_buffer_record.h"
#include "tools/camview/picture_rgb.h"
#include "tools/phonesim/frame_code.h"

#include <fmt/format.h>

#include <cmath>
#include <numeric>
#include <optional>

namespace talvik::camview {

namespace {

constexpr std::size_t kRememberedFrames = 4096;
constexpr std::uint8_t kDark = 40;

// The simulator's picture inside a letterboxed frame: the rows and columns
// between the dark bars.
std::optional<std::uint32_t> FrameNumber(const Image& luma)
{
    std::uint32_t top = luma.height, bottom = 0, left = luma.width, right = 0;
    for (std::uint32_t y = 0; y < luma.height; ++y)
        for (std::uint32_t x = 0; x < luma.width; ++x)
            if (luma.pixels[std::size_t{y} * luma.width + x] > kDark) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
                right = std::max(right, x);
            }
    if (top > bottom || left > right)
        return std::nullopt;
    return phonesim::ReadFrameCode(&luma.pixels[std::size_t{top} * luma.width + left], static_cast<int>(luma.width),
                                   static_cast<int>(right - left + 1), static_cast<int>(bottom - top + 1));
}

// "... frame=17 ... send_us=9138811015 ..." -> (17, 9138811015)
std::optional<std::pair<std::uint32_t, std::uint64_t>> ParseFrameLine(const std::string& line)
{
    const std::size_t frame = line.find(" frame=");
    const std::size_t send = line.find(" send_us=");
    if (frame == std::string::npos || send == std::string::npos)
        return std::nullopt;
    try {
        return std::make_pair(static_cast<std::uint32_t>(std::stoull(line.substr(frame + 7)) & 0xFFFFFF),
                              static_cast<std::uint64_t>(std::stoull(line.substr(send + 9))));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::pair<double, double> MeanAndDeviation(const std::vector<double>& values)
{
    if (values.empty())
        return {0, 0};
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    double squares = 0;
    for (double v : values)
        squares += (v - mean) * (v - mean);
    return {mean, std::sqrt(squares / values.size())};
}

} // namespace

FrameStats::FrameStats(const std::string& simulatorLog)
{
    if (!simulatorLog.empty())
        log_.open(simulatorLog);
}

void FrameStats::ReadSendTimes()
{
    if (!log_.is_open())
        return;
    char c;
    while (log_.get(c)) {
        if (c != '\n') {
            partialLine_ += c;
            continue;
        }
        if (auto entry = ParseFrameLine(partialLine_)) {
            sendUs_[entry->first] = entry->second;
            if (sendUs_.size() > kRememberedFrames)
                sendUs_.erase(sendUs_.begin());
        }
        partialLine_.clear();
    }
    log_.clear(); // at the end for now; the simulator appends more
}

void FrameStats::Add(const Picture& picture, std::uint64_t seenUs)
{
    if (pictures_ == 0)
        firstSeenUs_ = seenUs;
    lastSeenUs_ = seenUs;
    ++pictures_;
    if (lastCommitUs_ != 0)
        intervalsMs_.push_back((static_cast<double>(picture.commitTimeUs) - lastCommitUs_) / 1000.0);
    lastCommitUs_ = picture.commitTimeUs;

    if (!log_.is_open())
        return;
    ReadSendTimes();
    std::optional<Image> luma = ToLuma(picture.bytes, picture.record.biWidth(), picture.record.biHeight(),
                                       PixelFormatOf(picture.record));
    if (!luma)
        return;
    if (std::optional<std::uint32_t> number = FrameNumber(*luma)) {
        auto sent = sendUs_.find(*number);
        if (sent != sendUs_.end() && sent->second <= seenUs)
            latenciesMs_.push_back((seenUs - sent->second) / 1000.0);
    }
}

std::string FrameStats::Report()
{
    const double seconds = (lastSeenUs_ - firstSeenUs_) / 1e6;
    const double fps = pictures_ > 1 && seconds > 0 ? (pictures_ - 1) / seconds : 0;
    const auto [interval, jitter] = MeanAndDeviation(intervalsMs_);
    std::string line = fmt::format("{} pictures, {:.1f} fps, interval {:.1f} ms, jitter {:.1f} ms", pictures_, fps,
                                   interval, jitter);
    if (log_.is_open()) {
        const auto [latency, spread] = MeanAndDeviation(latenciesMs_);
        line += latenciesMs_.empty() ? ", latency unknown (no frame numbers)"
                                     : fmt::format(", latency {:.1f} ms (deviation {:.1f} ms, {} pictures)", latency,
                                                   spread, latenciesMs_.size());
    }
    pictures_ = 0;
    intervalsMs_.clear();
    latenciesMs_.clear();
    return line;
}

} // namespace talvik::camview
