// A stand-in for the connection manager around a MessageParser: holds the
// connection state and records every observer call and state change, in
// order, as one line of text each:
//
//   OnVideoData(5, 3) 0102030405         size, orientation, then the bytes
//   OnConnectionReceived(wifi, 1280x720@30/1 640x480@29/4)
//   SetState(WIFI CONNECTED)
//
// Data longer than 32 bytes is shown as its size and a hash. Every pointer
// the parser hands over is checked to lie inside its message (the header
// sits at a fixed distance before the data); a violation aborts, so the
// fuzzer sees it too.
#pragma once

#include "session/message_parser.h"

#include <functional>
#include <string>
#include <vector>

namespace talvik::test {

class RecordingSession : public ConnectionManagerObserver, public MessageParser::Connection {
public:
    explicit RecordingSession(ConnectionState initial) : state(initial) {}

    ConnectionState State() const override { return state; }
    void SetState(ConnectionState next) override;
    void MarkReceived() override { ++receives; }

    void OnConnectionReceived(ConnectionType type, const ClientFormat* formats, uint32_t count) override;
    void OnBarcodeClientConnected() override;
    void ConnectionDisconnected() override;
    void OnVideoData(const uint8_t* data, uint32_t size, uint32_t orientation) override;
    void OnVideoDataWithDepth(const uint8_t* video, uint32_t videoSize, uint32_t orientation, uint16_t depthWidth,
                              uint16_t depthHeight, const uint8_t* depth, uint32_t depthSize) override;
    void OnRawVideoFrame(const uint8_t* data, uint32_t size) override;
    void OnAudioData(const uint8_t* samples, uint32_t size) override;
    void OnStartHelperProgram(const char* text, uint32_t length) override;

    ConnectionState state;
    int receives = 0;
    std::vector<std::string> events;
    // Runs after each observer call has been recorded, with its line.
    std::function<void(const std::string&)> onCall;

private:
    void Record(std::string line);
};

const char* StateName(ConnectionState state);

} // namespace talvik::test
