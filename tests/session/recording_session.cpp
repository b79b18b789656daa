#include "tests/session/recording_session.h"

#include "session/connection_manager.h"

#include "base/byte_order.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace talvik::test {

namespace {

std::string Dump(const uint8_t* data, uint32_t size)
{
    std::string text;
    char digits[24];
    if (size > 32) {
        uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (uint32_t i = 0; i < size; ++i)
            hash = (hash ^ data[i]) * 1099511628211ull;
        std::snprintf(digits, sizeof digits, "#%016llx", static_cast<unsigned long long>(hash));
        return digits;
    }
    for (uint32_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        text += digits;
    }
    return text;
}

// `data` lies `offset` bytes after the start of its message; the `size`
// bytes from `from` must end inside that message's payload.
void CheckInsideMessage(const char* call, const uint8_t* data, std::size_t offset, const uint8_t* from, uint64_t size)
{
    const uint8_t* message = data - offset;
    const uint64_t messageEnd = kMessageHeaderSize + uint64_t{LoadU32Le(message + 12)};
    if (static_cast<uint64_t>(from - message) + size <= messageEnd)
        return;
    std::fprintf(stderr, "%s: %llu bytes at offset %lld run past the message's %llu bytes\n", call,
                 static_cast<unsigned long long>(size), static_cast<long long>(from - message),
                 static_cast<unsigned long long>(messageEnd));
    std::abort();
}

std::string Line(const char* format, auto... args)
{
    char text[160];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

} // namespace

const char* StateName(ConnectionState state)
{
    return ConnectionStateName(state);
}

void RecordingSession::SetState(ConnectionState next)
{
    events.push_back(std::string("SetState(") + StateName(next) + ")");
    state = next;
}

void RecordingSession::Record(std::string line)
{
    events.push_back(line);
    if (onCall)
        onCall(line);
}

void RecordingSession::OnConnectionReceived(ConnectionType type, const ClientFormat* formats, uint32_t count)
{
    std::string line = type == ConnectionType::kWifi ? "OnConnectionReceived(wifi," : "OnConnectionReceived(usb,";
    for (uint32_t i = 0; i < count; ++i)
        line += Line(" %ux%u@%u/%u", formats[i].width, formats[i].height, formats[i].fps, formats[i].codec);
    Record(line + ")");
}

void RecordingSession::OnBarcodeClientConnected()
{
    Record("OnBarcodeClientConnected()");
}

void RecordingSession::ConnectionDisconnected()
{
    Record("ConnectionDisconnected()");
}

void RecordingSession::OnVideoData(const uint8_t* data, uint32_t size, uint32_t orientation)
{
    CheckInsideMessage("OnVideoData", data, 28, data, size);
    Record(Line("OnVideoData(%u, %u) ", size, orientation) + Dump(data, size));
}

void RecordingSession::OnVideoDataWithDepth(const uint8_t* video, uint32_t videoSize, uint32_t orientation,
                                            uint16_t depthWidth, uint16_t depthHeight, const uint8_t* depth,
                                            uint32_t depthSize)
{
    CheckInsideMessage("OnVideoDataWithDepth", video, 36, video, videoSize);
    CheckInsideMessage("OnVideoDataWithDepth", video, 36, depth, depthSize);
    Record(Line("OnVideoDataWithDepth(%u, %u, %ux%u, %u) ", videoSize, orientation, depthWidth, depthHeight,
                depthSize) +
           Dump(video, videoSize) + " | " + Dump(depth, depthSize));
}

void RecordingSession::OnRawVideoFrame(const uint8_t* data, uint32_t size)
{
    CheckInsideMessage("OnRawVideoFrame", data, 28, data, size);
    Record(Line("OnRawVideoFrame(%u) ", size) + Dump(data, size));
}

void RecordingSession::OnAudioData(const uint8_t* samples, uint32_t size)
{
    CheckInsideMessage("OnAudioData", samples, 28, samples, size);
    Record(Line("OnAudioData(%u) ", size) + Dump(samples, size));
}

void RecordingSession::OnStartHelperProgram(const char* text, uint32_t length)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    CheckInsideMessage("OnStartHelperProgram", bytes, 20, bytes, length);
    Record(Line("OnStartHelperProgram(%u) ", length) + std::string(std::string_view(text, length)));
}

} // namespace talvik::test
