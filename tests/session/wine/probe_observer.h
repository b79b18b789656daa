// The probe's stand-in for the engine: logs what the connection manager
// hands it, asks for the first announced format as soon as the phone has
// announced itself, and counts the video pictures and audio blocks that
// follow, with their smallest and largest sizes, so that the test can
// compare them with what the phone says it sent.
//
// Every On* call comes from the manager's loop thread; sessionsEnded() may
// be read from any thread. Read the counts only after the manager is gone.
#pragma once

#include "session/connection_manager.h"

#include <atomic>
#include <cstdint>

namespace talvik::test {

// How many messages of one kind came, and their sizes.
struct ReceivedTally {
    std::uint64_t count = 0;
    std::uint32_t smallest = 0;
    std::uint32_t largest = 0;

    void Add(std::uint32_t size);
};

class ProbeObserver final : public ConnectionManagerObserver {
public:
    // The manager that stream requests go to; set before its first Tick.
    void Attach(ConnectionManager* manager) { manager_ = manager; }

    // How many announced sessions have ended.
    int sessionsEnded() const { return sessionsEnded_.load(); }
    const ReceivedTally& video() const { return video_; }
    const ReceivedTally& audio() const { return audio_; }

    void OnConnectionReceived(ConnectionType type, const ClientFormat* formats, std::uint32_t count) override;
    void OnBarcodeClientConnected() override;
    void ConnectionDisconnected() override;
    void OnVideoData(const std::uint8_t* data, std::uint32_t size, std::uint32_t orientation) override;
    void OnVideoDataWithDepth(const std::uint8_t* video, std::uint32_t videoSize, std::uint32_t orientation,
                              std::uint16_t depthWidth, std::uint16_t depthHeight, const std::uint8_t* depth,
                              std::uint32_t depthSize) override;
    void OnRawVideoFrame(const std::uint8_t* data, std::uint32_t size) override;
    void OnAudioData(const std::uint8_t* samples, std::uint32_t size) override;
    void OnStartHelperProgram(const char* text, std::uint32_t length) override;

private:
    // Counts a picture; the first one is logged with its form.
    void AddVideo(const char* form, std::uint32_t size);

    ConnectionManager* manager_ = nullptr;
    ReceivedTally video_;
    ReceivedTally audio_;
    std::atomic<int> sessionsEnded_{0};
};

} // namespace talvik::test
