// The connection manager's state. The phone is looked for on WiFi and USB
// while IDLE; a session is CONNECTING from its first byte until the phone's
// announcement has been handled, CONNECTED after that.
#pragma once

#include <cstdint>

namespace talvik {

enum class ConnectionState : int32_t {
    kIdle = 0,
    kWifiConnecting = 1,
    kWifiConnected = 2,
    kUsbConnecting = 3,
    kUsbConnected = 4,
};

// A session on that transport, announced or not.
inline bool IsWifiSession(ConnectionState state)
{
    return state == ConnectionState::kWifiConnecting || state == ConnectionState::kWifiConnected;
}

inline bool IsUsbSession(ConnectionState state)
{
    return state == ConnectionState::kUsbConnecting || state == ConnectionState::kUsbConnected;
}

} // namespace talvik
