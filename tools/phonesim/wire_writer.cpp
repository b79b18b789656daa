#include "tools/phonesim/wire_writer.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace talvik::phonesim {

namespace {

// Appends little-endian fields to a message.
class Writer {
public:
    explicit Writer(std::size_t reserve) { bytes_.reserve(reserve); }

    Writer& U8(std::uint8_t value)
    {
        bytes_.push_back(value);
        return *this;
    }
    Writer& U16(std::uint16_t value) { return U8(value & 0xFF).U8(value >> 8); }
    Writer& U32(std::uint32_t value) { return U16(value & 0xFFFF).U16(value >> 16); }
    Writer& F32(float value) { return U32(std::bit_cast<std::uint32_t>(value)); }
    Writer& Data(std::span<const std::uint8_t> data)
    {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }
    Writer& Zeros(std::size_t count)
    {
        bytes_.resize(bytes_.size() + count, 0);
        return *this;
    }
    Writer& Header(std::uint32_t type, std::uint32_t payloadSize)
    {
        return U32(kMagic).U32(0).U32(type).U32(payloadSize);
    }

    Bytes Take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

} // namespace

Bytes WriteHeader(std::uint32_t type, std::uint32_t payloadSize)
{
    return Writer(kHeaderSize).Header(type, payloadSize).Take();
}

Bytes WriteAnnouncement(const Announcement& announcement)
{
    Writer out(kHeaderSize + kAnnouncementSize);
    out.Header(MESSAGE_KEEPALIVE, kAnnouncementSize)
        .U32(announcement.clientType)
        .U32(0)
        .U8(announcement.formatChange ? kCapabilityFormatChange : 0)
        .Zeros(2)
        .U8(static_cast<std::uint8_t>(announcement.optionKinds.size()))
        .U32(static_cast<std::uint32_t>(announcement.formats.size()));
    const std::size_t formats = std::min(announcement.formats.size(), kMaxFormats);
    for (std::size_t i = 0; i < formats; ++i) {
        const VideoFormat& format = announcement.formats[i];
        const std::uint32_t packed = (format.width & 0xFFFu) | (format.height & 0xFFFu) << 12 |
                                     static_cast<std::uint32_t>(format.codec) << 24;
        out.U32(packed).F32(format.fps);
    }
    out.Zeros((kMaxFormats - formats) * 8);
    const std::size_t options = std::min(announcement.optionKinds.size(), kMaxOptions);
    for (std::size_t i = 0; i < options; ++i)
        out.U8(announcement.optionKinds[i]).Zeros(7);
    out.Zeros((kMaxOptions - options) * 8);
    return out.Take();
}

Bytes WriteKeepAlive()
{
    return WriteHeader(MESSAGE_KEEPALIVE, 0);
}

Bytes WriteVideoData(std::uint32_t flags, std::uint32_t frameNumber, std::uint32_t timeMs,
                     std::span<const std::uint8_t> data)
{
    Bytes message = WriteVideoDataHeader(flags, frameNumber, timeMs, data.size());
    message.insert(message.end(), data.begin(), data.end());
    return message;
}

Bytes WriteVideoDataHeader(std::uint32_t flags, std::uint32_t frameNumber, std::uint32_t timeMs,
                           std::size_t dataSize)
{
    const auto payload = static_cast<std::uint32_t>(12 + dataSize);
    return Writer(kHeaderSize + 12)
        .Header(MESSAGE_VIDEODATA, payload)
        .U32(flags)
        .U32(frameNumber)
        .U32(timeMs)
        .Take();
}

Bytes WriteVideoDataWithDepth(std::uint32_t flags, std::uint32_t frameNumber, std::uint16_t depthWidth,
                              std::uint16_t depthHeight, std::span<const std::uint8_t> video,
                              std::span<const std::uint8_t> depth)
{
    const auto payload = static_cast<std::uint32_t>(20 + video.size() + depth.size());
    return Writer(kHeaderSize + payload)
        .Header(MESSAGE_VIDEODATA_WITH_DEPTH, payload)
        .U32(flags)
        .U32(frameNumber)
        .U16(depthWidth)
        .U16(depthHeight)
        .U32(static_cast<std::uint32_t>(video.size()))
        .U32(static_cast<std::uint32_t>(depth.size()))
        .Data(video)
        .Data(depth)
        .Take();
}

Bytes WriteAudioData(std::uint32_t blockNumber, std::uint32_t timeMs, std::span<const std::int16_t> samples)
{
    const auto sampleBytes = static_cast<std::uint32_t>(samples.size() * 2);
    Writer out(kHeaderSize + 12 + sampleBytes);
    out.Header(MESSAGE_AUDIODATA, 12 + sampleBytes).U32(blockNumber).U32(timeMs).U32(sampleBytes);
    for (std::int16_t sample : samples)
        out.U16(static_cast<std::uint16_t>(sample));
    return out.Take();
}

Bytes WriteHelperText(std::string_view text)
{
    const auto length = static_cast<std::uint32_t>(text.size());
    return Writer(kHeaderSize + 4 + length)
        .Header(MESSAGE_HELPERTEXT, 4 + length)
        .U32(length)
        .Data({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})
        .Take();
}

} // namespace talvik::phonesim
