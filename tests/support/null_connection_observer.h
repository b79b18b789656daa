// A ConnectionManagerObserver that ignores every session event. Test
// observers derive from it and override only the events they look at.
#pragma once

#include "session/connection_manager_observer.h"

namespace talvik::test {

class NullConnectionObserver : public ConnectionManagerObserver {
public:
    void OnConnectionReceived(ConnectionType, const ClientFormat*, uint32_t) override {}
    void OnBarcodeClientConnected() override {}
    void ConnectionDisconnected() override {}
    void OnVideoData(const uint8_t*, uint32_t, uint32_t) override {}
    void OnVideoDataWithDepth(const uint8_t*, uint32_t, uint32_t, uint16_t, uint16_t, const uint8_t*,
                              uint32_t) override
    {
    }
    void OnRawVideoFrame(const uint8_t*, uint32_t) override {}
    void OnAudioData(const uint8_t*, uint32_t) override {}
    void OnStartHelperProgram(const char*, uint32_t) override {}
};

} // namespace talvik::test
