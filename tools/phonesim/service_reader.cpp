#include "tools/phonesim/service_reader.h"

#include <fmt/format.h>

namespace talvik::phonesim {

namespace {

std::uint32_t Le32(const std::uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t Be32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The payload size the service must use for each message it may send.
std::optional<std::uint32_t> ExpectedPayload(std::uint32_t type)
{
    if (type == MESSAGE_KEEPALIVE)
        return 0;
    if (type == MESSAGE_STARTSTREAM)
        return 12;
    return std::nullopt;
}

} // namespace

StreamRequest DecodeStreamRequest(const ServiceMessage& message)
{
    const std::uint8_t* p = message.payload.data();
    return {Le32(p), Le32(p + 4), Le32(p + 8)};
}

bool ServiceReader::Feed(std::span<const std::uint8_t> bytes)
{
    if (!error_.empty())
        return false;
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    return Parse();
}

std::optional<ServiceMessage> ServiceReader::Next()
{
    if (ready_.empty())
        return std::nullopt;
    ServiceMessage message = std::move(ready_.front());
    ready_.pop_front();
    return message;
}

bool ServiceReader::Parse()
{
    const std::size_t prefix = framing_ == Framing::kUsb ? 4 : 0;
    for (;;) {
        const std::size_t available = pending_.size() - consumed_;
        if (available < prefix + kHeaderSize)
            break;
        const std::uint8_t* start = pending_.data() + consumed_;
        const std::uint8_t* header = start + prefix;
        if (Le32(header) != kMagic)
            return Fail(fmt::format("message header with magic {:02X} {:02X} {:02X} {:02X}", header[0], header[1],
                                    header[2], header[3]));
        const std::uint32_t type = Le32(header + 8);
        const std::uint32_t payloadSize = Le32(header + 12);
        const std::optional<std::uint32_t> expected = ExpectedPayload(type);
        if (!expected)
            return Fail(fmt::format("message type 0x{:X}, which the service never sends", type));
        if (payloadSize != *expected)
            return Fail(fmt::format("message type 0x{:X} with payloadSize {} instead of {}", type, payloadSize,
                                    *expected));
        if (prefix != 0 && Be32(start) != kHeaderSize + payloadSize)
            return Fail(fmt::format("USB length prefix {} before a {}-byte message", Be32(start),
                                    kHeaderSize + payloadSize));
        if (available < prefix + kHeaderSize + payloadSize)
            break;
        const std::uint8_t* payload = header + kHeaderSize;
        ready_.push_back({type, Bytes(payload, payload + payloadSize)});
        consumed_ += prefix + kHeaderSize + payloadSize;
    }
    if (consumed_ == pending_.size()) {
        pending_.clear();
        consumed_ = 0;
    }
    return true;
}

bool ServiceReader::Fail(std::string reason)
{
    error_ = std::move(reason);
    return false;
}

} // namespace talvik::phonesim
