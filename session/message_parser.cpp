#include "session/message_parser.h"

#include "base/byte_order.h"
#include "base/orientation.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace talvik {

namespace {

constexpr uint32_t kUpsideDownFlag = 0x01;
constexpr uint32_t kMirroredFlag = 0x10;
constexpr uint32_t kRawPictureFlag = 0x20;

// Offsets of the data after each message's own fields.
constexpr uint32_t kVideoDataOffset = 12;
constexpr uint32_t kAudioDataOffset = 12;
constexpr uint32_t kHelperTextOffset = 4;
constexpr uint32_t kDepthVideoOffset = 20;

bool IsPhoneMessageType(uint32_t type)
{
    switch (type) {
    case MESSAGE_VIDEODATA:
    case MESSAGE_AUDIODATA:
    case MESSAGE_KEEPALIVE:
    case MESSAGE_HELPERTEXT:
    case MESSAGE_VIDEODATA_WITH_DEPTH: return true;
    default: return false;
    }
}

uint32_t OrientationFlags(uint32_t messageFlags)
{
    return ((messageFlags & kUpsideDownFlag) ? kOrientationUpsideDown : 0) |
           ((messageFlags & kMirroredFlag) ? kOrientationMirrored : 0);
}

// Whether the payload holds the `needed` bytes that its own length fields
// claim; a message that does not is dropped, since handing it on would read
// past its end.
bool Fits(const char* typeName, uint32_t payloadSize, uint64_t needed)
{
    if (needed <= payloadSize)
        return true;
    spdlog::error("Dropped {0} with payloadSize {1}: its fields need {2} bytes", typeName, payloadSize, needed);
    return false;
}

} // namespace

MessageParser::MessageParser(Connection& connection, ConnectionManagerObserver& observer)
    : connection_(connection), observer_(observer), buffer_(new uint8_t[kInitialCapacity])
{
}

void MessageParser::Reset()
{
    fill_ = 0;
    want_ = kMessageHeaderSize;
    haveHeader_ = false;
    announcementSeen_ = false;
}

bool MessageParser::ParseMessages(const uint8_t* data, std::size_t length)
{
    connection_.MarkReceived();
    if (connection_.State() == ConnectionState::kIdle) {
        spdlog::trace("Received {0} bytes of data while in IDLE state", length);
        return false;
    }

    const uint8_t* const end = data + length;
    while (data != end) {
        const uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(end - data, want_));
        if (fill_ + n > capacity_ && !Grow(fill_ + n))
            return false;
        std::memcpy(buffer_.get() + fill_, data, n);
        fill_ += n;
        want_ -= n;
        data += n;
        if (want_ != 0)
            continue;

        // After a failed header want_ stays 0, so the next piece meets the
        // same header again instead of parsing from its middle.
        if (!haveHeader_) {
            if (!AcceptHeader())
                return false;
            if (want_ != 0)
                continue;
        }
        Dispatch();
        fill_ = 0;
        want_ = kMessageHeaderSize;
        haveHeader_ = false;
        // The rest of the piece belongs to a session that the observer's
        // reaction has just ended.
        if (connection_.State() == ConnectionState::kIdle)
            return true;
    }
    return true;
}

bool MessageParser::Grow(uint32_t size)
{
    spdlog::trace("Reallocating receive buffer to size {0}", size);
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[size]);
    if (!grown) {
        spdlog::error("Reallocating receive buffer to size {0} failed", size);
        return false;
    }
    std::memcpy(grown.get(), buffer_.get(), fill_);
    buffer_ = std::move(grown);
    capacity_ = size;
    return true;
}

bool MessageParser::AcceptHeader()
{
    const MessageHeader header = ReadMessageHeader(buffer_.get());
    if (header.magic != kMessageMagic || !IsPhoneMessageType(header.type) || header.payloadSize > kMaxPayloadSize) {
        spdlog::error("Invalid data received");
        return false;
    }
    connection_.MarkReceived();
    want_ = header.payloadSize;
    haveHeader_ = true;
    return true;
}

void MessageParser::Dispatch()
{
    const MessageHeader header = ReadMessageHeader(buffer_.get());
    const uint8_t* payload = buffer_.get() + kMessageHeaderSize;
    switch (header.type) {
    case MESSAGE_VIDEODATA: DispatchVideo(payload, header.payloadSize); break;
    case MESSAGE_AUDIODATA: DispatchAudio(payload, header.payloadSize); break;
    case MESSAGE_KEEPALIVE: DispatchKeepalive(payload, header.payloadSize); break;
    case MESSAGE_HELPERTEXT: DispatchHelperText(payload, header.payloadSize); break;
    case MESSAGE_VIDEODATA_WITH_DEPTH: DispatchVideoWithDepth(payload, header.payloadSize); break;
    }
}

void MessageParser::DispatchVideo(const uint8_t* payload, uint32_t size)
{
    if (!Fits("MESSAGE_VIDEODATA", size, kVideoDataOffset))
        return;
    const uint32_t flags = LoadU32Le(payload);
    const uint8_t* data = payload + kVideoDataOffset;
    const uint32_t count = size - kVideoDataOffset;
    if (flags & kRawPictureFlag)
        observer_.OnRawVideoFrame(data, count);
    else
        observer_.OnVideoData(data, count, OrientationFlags(flags));
}

void MessageParser::DispatchAudio(const uint8_t* payload, uint32_t size)
{
    if (!Fits("MESSAGE_AUDIODATA", size, kAudioDataOffset))
        return;
    const uint32_t sampleBytes = LoadU32Le(payload + 8);
    if (!Fits("MESSAGE_AUDIODATA", size, uint64_t{kAudioDataOffset} + sampleBytes))
        return;
    // A short sample count is delivered as it stands.
    if (sampleBytes != size - kAudioDataOffset)
        spdlog::error("ERROR: invalid payloadSize for MESSAGE_AUDIODATA");
    observer_.OnAudioData(payload + kAudioDataOffset, sampleBytes);
}

void MessageParser::DispatchHelperText(const uint8_t* payload, uint32_t size)
{
    if (!Fits("MESSAGE_HELPERTEXT", size, kHelperTextOffset))
        return;
    const uint32_t length = LoadU32Le(payload);
    if (!Fits("MESSAGE_HELPERTEXT", size, uint64_t{kHelperTextOffset} + length))
        return;
    observer_.OnStartHelperProgram(reinterpret_cast<const char*>(payload + kHelperTextOffset), length);
}

void MessageParser::DispatchVideoWithDepth(const uint8_t* payload, uint32_t size)
{
    if (!Fits("MESSAGE_VIDEODATA_WITH_DEPTH", size, kDepthVideoOffset))
        return;
    const uint32_t videoBytes = LoadU32Le(payload + 12);
    const uint32_t depthBytes = LoadU32Le(payload + 16);
    spdlog::trace("MESSAGE_VIDEODATA_WITH_DEPTH video data: {0} bytes, depth data: {1} bytes", videoBytes, depthBytes);
    if (!Fits("MESSAGE_VIDEODATA_WITH_DEPTH", size, uint64_t{kDepthVideoOffset} + videoBytes + depthBytes))
        return;
    const uint8_t* video = payload + kDepthVideoOffset;
    observer_.OnVideoDataWithDepth(video, videoBytes, OrientationFlags(LoadU32Le(payload)), LoadU16Le(payload + 8),
                                   LoadU16Le(payload + 10), video + videoBytes, depthBytes);
}

// Reports the announcement while the session is CONNECTING, then moves it to
// CONNECTED. The report comes first, so that a stream request the engine
// makes from inside it still goes out on the CONNECTING session; if the
// report ended the session, it stays ended.
template <typename Report>
void MessageParser::Announce(Report report)
{
    const ConnectionState state = connection_.State();
    if (state == ConnectionState::kWifiConnecting)
        report(ConnectionType::kWifi);
    else if (state == ConnectionState::kUsbConnecting)
        report(ConnectionType::kUsb);
    else
        return;
    if (connection_.State() == state)
        connection_.SetState(state == ConnectionState::kWifiConnecting ? ConnectionState::kWifiConnected
                                                                      : ConnectionState::kUsbConnected);
    else if (connection_.State() == ConnectionState::kIdle)
        // The reaction ended the session before it counted as connected, so
        // the manager reports no disconnect; the observer has been told of a
        // connection and must hear that it is gone.
        observer_.ConnectionDisconnected();
}

void MessageParser::DispatchKeepalive(const uint8_t* payload, uint32_t size)
{
    if (size != kAnnouncementPayloadSize) {
        spdlog::trace("Received empty MESSAGE_KEEPALIVE with size {0}", size);
        return;
    }
    // Only the first announcement of a session counts, even if a later one
    // lists other formats.
    if (announcementSeen_)
        return;
    announcementSeen_ = true;

    const Announcement announcement(payload);
    switch (ClassifyClient(announcement.clientType())) {
    case ClientClass::kCamera: AnnounceCamera(announcement); break;
    case ClientClass::kBarcodeReader: Announce([this](ConnectionType) { observer_.OnBarcodeClientConnected(); }); break;
    case ClientClass::kUnknown: spdlog::error("Unknown client connected ({0})", announcement.clientType()); break;
    }
}

void MessageParser::AnnounceCamera(const Announcement& announcement)
{
    const uint32_t count = announcement.FormatCount();
    spdlog::info("Received MESSAGE_KEEPALIVE with {0} video formats:", count);
    // Kept for the stream requests of this session, which name formats by
    // their place in the phone's list.
    std::memcpy(announcement_.data(), buffer_.get(), announcement_.size());
    for (uint32_t i = 0; i < count; ++i) {
        formats_[i] = announcement.Format(i);
        spdlog::info("{0}:\t\t{1} x {2} {3} at {4} fps", i, formats_[i].width, formats_[i].height,
                     CodecName(formats_[i].codec), announcement.FormatFps(i));
    }
    Announce([this, count](ConnectionType type) { observer_.OnConnectionReceived(type, formats_.data(), count); });
}

} // namespace talvik
