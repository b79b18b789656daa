#include "tools/camview/frame_stats.h"

#include "media/frame_buffer_record.h"
#include "tools/camview/picture_rgb.h"
#include "tools/phonesim/frame_code.h"

#include <fmt/format.h>

#include <algorithm>
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

// The value below which `share` of `values` lie (nearest rank).
double Percentile(std::vector<double> values, double share)
{
    const auto rank = static_cast<std::size_t>(std::ceil(share * values.size()));
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
    std::nth_element(values.begin(), at, values.end());
    return *at;
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
    std::optional<double> intervalMs;
    if (lastCommitUs_ != 0)
        intervalMs = (static_cast<double>(picture.commitTimeUs) - lastCommitUs_) / 1000.0;
    lastCommitUs_ = picture.commitTimeUs;
    std::optional<double> latencyMs;
    if (log_.is_open()) {
        ReadSendTimes();
        std::optional<Image> luma = ToLuma(picture.bytes, picture.record.biWidth(), picture.record.biHeight(),
                                           PixelFormatOf(picture.record));
        if (std::optional<std::uint32_t> number = luma ? FrameNumber(*luma) : std::nullopt) {
            auto sent = sendUs_.find(*number);
            if (sent != sendUs_.end() && sent->second <= seenUs)
                latencyMs = (seenUs - sent->second) / 1000.0;
        }
    }
    for (Stretch* stretch : {&second_, &whole_}) {
        if (stretch->pictures++ == 0)
            stretch->firstSeenUs = seenUs;
        stretch->lastSeenUs = seenUs;
        if (intervalMs)
            stretch->intervalsMs.push_back(*intervalMs);
        if (latencyMs)
            stretch->latenciesMs.push_back(*latencyMs);
    }
}

std::string FrameStats::Report()
{
    const std::string line = Format(second_);
    second_ = {};
    return line;
}

std::string FrameStats::Summary() const
{
    return Format(whole_);
}

std::string FrameStats::Format(const Stretch& stretch) const
{
    const double seconds = (stretch.lastSeenUs - stretch.firstSeenUs) / 1e6;
    const double fps = stretch.pictures > 1 && seconds > 0 ? (stretch.pictures - 1) / seconds : 0;
    const auto [interval, jitter] = MeanAndDeviation(stretch.intervalsMs);
    std::string line = fmt::format("{} pictures, {:.1f} fps, interval {:.1f} ms, jitter {:.1f} ms", stretch.pictures,
                                   fps, interval, jitter);
    if (log_.is_open())
        line += stretch.latenciesMs.empty()
                    ? ", latency unknown (no frame numbers)"
                    : fmt::format(", latency p50 {:.1f} ms, p99 {:.1f} ms ({} pictures)",
                                  Percentile(stretch.latenciesMs, 0.5), Percentile(stretch.latenciesMs, 0.99),
                                  stretch.latenciesMs.size());
    return line;
}

} // namespace talvik::camview
