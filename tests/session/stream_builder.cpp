#include "tests/session/stream_builder.h"

#include "session/announcement.h"

#include <bit>
#include <stdexcept>

namespace talvik::test {

PayloadWriter& PayloadWriter::U8(uint8_t value)
{
    bytes_.push_back(value);
    return *this;
}

PayloadWriter& PayloadWriter::U16(uint16_t value)
{
    return U8(static_cast<uint8_t>(value)).U8(static_cast<uint8_t>(value >> 8));
}

PayloadWriter& PayloadWriter::U32(uint32_t value)
{
    return U16(static_cast<uint16_t>(value)).U16(static_cast<uint16_t>(value >> 16));
}

PayloadWriter& PayloadWriter::F32(float value)
{
    return U32(std::bit_cast<uint32_t>(value));
}

PayloadWriter& PayloadWriter::Append(const Bytes& bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

PayloadWriter& PayloadWriter::Append(const std::string& text)
{
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
}

Bytes Header(uint32_t type, uint32_t payloadSize, uint32_t magic)
{
    return PayloadWriter().U32(magic).U32(0).U32(type).U32(payloadSize).bytes();
}

Bytes Message(uint32_t type, const Bytes& payload, uint32_t magic)
{
    return Join({Header(type, static_cast<uint32_t>(payload.size()), magic), payload});
}

Bytes VideoMessage(uint32_t flags, const Bytes& data)
{
    return Message(MESSAGE_VIDEODATA, PayloadWriter().U32(flags).U32(0).U32(0).Append(data).bytes());
}

Bytes AudioMessage(const Bytes& samples, std::optional<uint32_t> sampleBytes)
{
    const uint32_t field = sampleBytes.value_or(static_cast<uint32_t>(samples.size()));
    return Message(MESSAGE_AUDIODATA, PayloadWriter().U32(0).U32(0).U32(field).Append(samples).bytes());
}

Bytes HelperTextMessage(const std::string& text)
{
    return Message(MESSAGE_HELPERTEXT, PayloadWriter().U32(static_cast<uint32_t>(text.size())).Append(text).bytes());
}

Bytes DepthMessage(uint32_t flags, uint16_t depthWidth, uint16_t depthHeight, const Bytes& video, const Bytes& depth)
{
    return Message(MESSAGE_VIDEODATA_WITH_DEPTH, PayloadWriter()
                                                     .U32(flags)
                                                     .U32(0)
                                                     .U16(depthWidth)
                                                     .U16(depthHeight)
                                                     .U32(static_cast<uint32_t>(video.size()))
                                                     .U32(static_cast<uint32_t>(depth.size()))
                                                     .Append(video)
                                                     .Append(depth)
                                                     .bytes());
}

Bytes AnnouncementPayload(const AnnouncementFields& content)
{
    if (content.formats.size() > kMaxAnnouncedFormats || content.optionKinds.size() > kMaxAnnouncedOptions)
        throw std::invalid_argument("an announcement has room for 35 formats and 5 options");
    PayloadWriter writer;
    writer.U32(content.clientType)
        .U32(0)
        .U8(content.capabilities)
        .U16(0)
        .U8(content.optionCount.value_or(static_cast<uint8_t>(content.optionKinds.size())))
        .U32(content.formatCount.value_or(static_cast<uint32_t>(content.formats.size())));
    for (uint32_t i = 0; i < kMaxAnnouncedFormats; ++i) {
        const WireFormat f = i < content.formats.size() ? content.formats[i] : WireFormat{0, 0, 0, 0.0f};
        writer.U32(f.width | f.height << 12 | f.codec << 24).F32(f.fps);
    }
    for (uint32_t i = 0; i < kMaxAnnouncedOptions; ++i)
        writer.U8(i < content.optionKinds.size() ? content.optionKinds[i] : 0).U8(0xEE).U16(0xEEEE).U32(0xEEEEEEEE);
    return writer.bytes();
}

Bytes AnnouncementMessage(const AnnouncementFields& content)
{
    return Message(MESSAGE_KEEPALIVE, AnnouncementPayload(content));
}

Bytes Join(const std::vector<Bytes>& parts)
{
    Bytes joined;
    for (const Bytes& part : parts)
        joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

} // namespace talvik::test
