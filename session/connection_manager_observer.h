// How the phone session reaches the engine. Every call comes from the
// connection manager's loop thread.
//
// Pointers handed to an operation are valid only during the call (they point
// into the receive buffer): the observer copies what it keeps.
#pragma once

#include "base/orientation.h"
#include "session/client_format.h"

#include <cstdint>

namespace talvik {

enum class ConnectionType : int32_t {
    kWifi = 0,
    kUsb = 1,
};

class ConnectionManagerObserver {
public:
    // First announcement of a camera client in a session: the formats it can
    // send, in announcement order.
    virtual void OnConnectionReceived(ConnectionType type, const ClientFormat* formats, uint32_t count) = 0;
    // First announcement of a barcode-reader client; it sends no video.
    virtual void OnBarcodeClientConnected() = 0;
    // An announced session ended (not called for one that ended before its
    // announcement).
    virtual void ConnectionDisconnected() = 0;
    // Compressed H.264 data and its orientation flags (base/orientation.h).
    virtual void OnVideoData(const uint8_t* data, uint32_t size, uint32_t orientation) = 0;
    virtual void OnVideoDataWithDepth(const uint8_t* video, uint32_t videoSize, uint32_t orientation,
                                      uint16_t depthWidth, uint16_t depthHeight, const uint8_t* depth,
                                      uint32_t depthSize) = 0;
    // One uncompressed NV12 picture.
    virtual void OnRawVideoFrame(const uint8_t* data, uint32_t size) = 0;
    // 16-bit mono samples.
    virtual void OnAudioData(const uint8_t* samples, uint32_t size) = 0;
    // Text for the helper program, not terminated.
    virtual void OnStartHelperProgram(const char* text, uint32_t length) = 0;

protected:
    // Not deleted through this interface; keeps the operations in the slots
    // listed above.
    ~ConnectionManagerObserver() = default;
};

} // namespace talvik
