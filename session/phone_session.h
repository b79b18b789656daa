// The engine's handle on the phone session: what it calls on the connection
// manager. The connection manager is the one implementation in the product;
// engine tests put a fake in its place.
#pragma once

#include "session/client_format.h"
#include "session/connection_state.h"

#include <cstdint>

namespace talvik {

class PhoneSession {
public:
    virtual ~PhoneSession() = default;

    // The engine's thread, about every 16 ms, with the engine clock.
    virtual void Tick(std::uint32_t now) = 0;
    // Asks the phone to stream `requested`; any thread.
    virtual void StartStreaming(const ClientFormat& requested) = 0;

    // Status for the status screen, any thread; plain reads, named like the
    // values they read.
    virtual bool networkAvailable() const = 0;
    virtual ConnectionState state() const = 0;
    virtual bool hasUsbConnection() const = 0;
    virtual int usbValidDeviceCount() const = 0;
    virtual bool usbHasDeviceList() const = 0;
};

} // namespace talvik
