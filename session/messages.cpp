#include "session/messages.h"

#include "base/byte_order.h"

namespace talvik {

namespace {

// The option kind that the stream request names.
constexpr uint8_t kStreamOptionKind = 2;
constexpr uint32_t kStartStreamLastField = 4;

void WriteMessageHeader(uint8_t* out, uint32_t type, uint32_t payloadSize)
{
    StoreU32Le(out, kMessageMagic);
    StoreU32Le(out + 4, 0);
    StoreU32Le(out + 8, type);
    StoreU32Le(out + 12, payloadSize);
}

uint32_t FormatIndex(const Announcement& announcement, const ClientFormat& requested)
{
    for (uint32_t i = announcement.FormatCount(); i-- > 0;) {
        if (announcement.Format(i) == requested)
            return i;
    }
    return 0;
}

uint32_t StreamOptionIndex(const Announcement& announcement)
{
    for (uint32_t i = 0; i < announcement.OptionCount(); ++i) {
        if (announcement.OptionKind(i) == kStreamOptionKind)
            return i;
    }
    return 0;
}

} // namespace

MessageHeader ReadMessageHeader(const uint8_t* bytes)
{
    return {LoadU32Le(bytes), LoadU32Le(bytes + 8), LoadU32Le(bytes + 12)};
}

KeepaliveMessage BuildKeepalive()
{
    KeepaliveMessage message;
    WriteMessageHeader(message.data(), MESSAGE_KEEPALIVE, 0);
    return message;
}

StartStreamMessage BuildStartStream(const Announcement& announcement, const ClientFormat& requested)
{
    StartStreamMessage message;
    uint8_t* payload = message.data() + kMessageHeaderSize;
    WriteMessageHeader(message.data(), MESSAGE_STARTSTREAM, kStartStreamPayloadSize);
    StoreU32Le(payload, FormatIndex(announcement, requested));
    StoreU32Le(payload + 4, StreamOptionIndex(announcement));
    StoreU32Le(payload + 8, kStartStreamLastField);
    return message;
}

} // namespace talvik
