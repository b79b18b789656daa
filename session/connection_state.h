// The connection manager's state. The phone is looked for on WiFi and USB
// while IDLE; a session is CONNECTING from its first byte until the phone's
// announcement has been handled, CONNECTED after that.
#pragma once

#include <cstdint>

namespace talvik {

enum class ConnectionState : int32_t {
    Idle = 0,
    WifiConnecting = 1,
    WifiConnected = 2,
    UsbConnecting = 3,
    UsbConnected = 4,
};

} // namespace talvik
