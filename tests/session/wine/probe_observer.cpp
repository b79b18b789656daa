#include "tests/session/wine/probe_observer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <string>

namespace talvik::test {

void ReceivedTally::Add(std::uint32_t size)
{
    smallest = count == 0 ? size : std::min(smallest, size);
    largest = std::max(largest, size);
    ++count;
}

void ProbeObserver::OnConnectionReceived(ConnectionType type, const ClientFormat* formats, std::uint32_t count)
{
    std::string list;
    for (std::uint32_t i = 0; i < count; ++i)
        list += fmt::format("{}{}x{}@{} {}", i == 0 ? "" : ", ", formats[i].width, formats[i].height, formats[i].fps,
                            CodecName(formats[i].codec));
    spdlog::info("probe: OnConnectionReceived({}): {}", type == ConnectionType::kWifi ? "wifi" : "usb", list);
    if (count == 0)
        return;
    const ClientFormat& wanted = formats[0];
    spdlog::info("probe: asking for {}x{}@{} {}", wanted.width, wanted.height, wanted.fps, CodecName(wanted.codec));
    manager_->StartStreaming(wanted);
}

void ProbeObserver::OnBarcodeClientConnected()
{
    spdlog::info("probe: OnBarcodeClientConnected");
}

void ProbeObserver::ConnectionDisconnected()
{
    spdlog::info("probe: ConnectionDisconnected");
    sessionsEnded_.fetch_add(1);
}

void ProbeObserver::AddVideo(const char* form, std::uint32_t size)
{
    if (video_.count == 0)
        spdlog::info("probe: first video: {} of {} bytes", form, size);
    video_.Add(size);
}

void ProbeObserver::OnVideoData(const std::uint8_t*, std::uint32_t size, std::uint32_t)
{
    AddVideo("H.264 access unit", size);
}

void ProbeObserver::OnVideoDataWithDepth(const std::uint8_t*, std::uint32_t videoSize, std::uint32_t, std::uint16_t,
                                         std::uint16_t, const std::uint8_t*, std::uint32_t)
{
    AddVideo("H.264 access unit with depth", videoSize);
}

void ProbeObserver::OnRawVideoFrame(const std::uint8_t*, std::uint32_t size)
{
    AddVideo("raw NV12 picture", size);
}

void ProbeObserver::OnAudioData(const std::uint8_t*, std::uint32_t size)
{
    if (audio_.count == 0)
        spdlog::info("probe: first audio: {} bytes", size);
    audio_.Add(size);
}

void ProbeObserver::OnStartHelperProgram(const char*, std::uint32_t length)
{
    spdlog::info("probe: OnStartHelperProgram: {} bytes", length);
}

} // namespace talvik::test
